#include "ui/services/desktop_notice.h"

#include "platform/os/session_bus.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QString>
#include <QStringList>
#include <QVariantMap>

namespace sonquarry {

void NotifyDesktop(const QString &Summary, const QString &Body) {
  // Found by hand: Qt's own session bus would autolaunch one where there is none.
  const QString address = QString::fromStdString(platform::SessionBusAddress());
  if (address.isEmpty()) return;
  // One connection per address, kept: the bus of a session does not change under the program,
  // but a test's private bus does.
  const QString name = "sonquarry-notices " + address;
  QDBusConnection bus(name);
  if (!bus.isConnected()) {
    QDBusConnection::disconnectFromBus(name);
    bus = QDBusConnection::connectToBus(address, name);
    if (!bus.isConnected()) return;
  }
  QDBusMessage call = QDBusMessage::createMethodCall("org.freedesktop.Notifications",
                                                     "/org/freedesktop/Notifications",
                                                     "org.freedesktop.Notifications", "Notify");
  QVariantMap hints;
  hints.insert("desktop-entry", QStringLiteral("org.example.Sonquarry"));
  call << QStringLiteral("Sonquarry") << 0u << QStringLiteral("org.example.Sonquarry") << Summary
       << Body << QStringList() << hints << -1;
  bus.send(call);
}

} // namespace sonquarry
