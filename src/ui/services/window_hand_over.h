#pragma once
// The hand-over between a user's windows: the first window listens on a local socket in the
// user's runtime folder ($XDG_RUNTIME_DIR, else the cache folder; both the user's alone), and a
// later start of the program calls it there instead of opening a second window.

#include <functional>
#include <memory>
#include <string>

class QLocalServer;

namespace sonquarry {

class TWindowHandOver {
public:
  TWindowHandOver();
  ~TWindowHandOver();
  TWindowHandOver(const TWindowHandOver &) = delete;
  TWindowHandOver &operator=(const TWindowHandOver &) = delete;

  // A later start: true when the first window answered within TimeOutMs (it has come to the
  // front by then).
  static bool CallFirst(int TimeOutMs);
  // The first window: OnCall runs on the main thread at each later start. Replaces a socket that
  // a first window which died left behind; the caller holds the list, so no live one is there.
  bool Listen(std::function<void()> OnCall);

  // The socket's path; "" when the user has no folder for it.
  static std::string SocketPath();

private:
  std::unique_ptr<QLocalServer> Server;
};

} // namespace sonquarry
