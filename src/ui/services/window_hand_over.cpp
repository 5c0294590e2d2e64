#include "ui/services/window_hand_over.h"

#include "platform/files/folders.h"

#include <QLocalServer>
#include <QLocalSocket>
#include <cstdlib>

namespace sonquarry {

namespace {

constexpr char Answer = '1';

} // namespace

TWindowHandOver::TWindowHandOver() = default;
TWindowHandOver::~TWindowHandOver() = default;

std::string TWindowHandOver::SocketPath() {
  const char *run = std::getenv("XDG_RUNTIME_DIR");
  const std::string dir = run && *run ? std::string(run) + "/sonquarry/" : files::GetCacheFolder();
  if (dir.empty() || !files::ForceDirectories(dir)) return "";
  return dir + "window";
}

bool TWindowHandOver::CallFirst(int TimeOutMs) {
  const std::string path = SocketPath();
  if (path.empty()) return false;
  QLocalSocket socket;
  socket.connectToServer(QString::fromStdString(path));
  if (!socket.waitForConnected(TimeOutMs)) return false;
  char got = 0;
  return socket.waitForReadyRead(TimeOutMs) && socket.getChar(&got) && got == Answer;
}

bool TWindowHandOver::Listen(std::function<void()> OnCall) {
  const QString path = QString::fromStdString(SocketPath());
  if (path.isEmpty()) return false;
  QLocalServer::removeServer(path);
  Server = std::make_unique<QLocalServer>();
  Server->setSocketOptions(QLocalServer::UserAccessOption);
  QObject::connect(
      Server.get(), &QLocalServer::newConnection, Server.get(), [this, OnCall = std::move(OnCall)] {
        while (QLocalSocket *caller = Server->nextPendingConnection()) {
          OnCall();
          caller->putChar(Answer);
          caller->flush();
          caller->disconnectFromServer();
          QObject::connect(caller, &QLocalSocket::disconnected, caller, &QObject::deleteLater);
        }
      });
  return Server->listen(path);
}

} // namespace sonquarry
