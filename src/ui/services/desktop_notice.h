#pragma once
// A word to the user through the desktop's notification service (org.freedesktop.Notifications
// on the session bus), for news that comes while the user works in another program.

class QString;

namespace sonquarry {

// Sends the notification without waiting for any answer; nothing happens without a session bus,
// and a bus without the service only answers with an error that nobody waits for.
void NotifyDesktop(const QString &Summary, const QString &Body);

} // namespace sonquarry
