#include "platform/net/tcp_probe.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace sonquarry::net {

namespace {

class TSocketGuard {
public:
  explicit TSocketGuard(int Fd) : Fd_(Fd) {}
  ~TSocketGuard() {
    // close() must not be retried on EINTR on Linux: the descriptor is gone either way.
    if (Fd_ >= 0) ::close(Fd_);
  }
  TSocketGuard(const TSocketGuard &) = delete;
  TSocketGuard &operator=(const TSocketGuard &) = delete;
  int get() const { return Fd_; }

private:
  int Fd_;
};

// Waits until the pending connect on Fd settles; TimeOutMs < 0 waits without bound.
bool WaitConnected(int Fd, int TimeOutMs) {
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(TimeOutMs < 0 ? 0 : TimeOutMs);
  for (;;) {
    int wait = -1;
    if (TimeOutMs >= 0) {
      const auto left =
          std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
      if (left <= 0) return false;
      wait = static_cast<int>(left);
    }
    pollfd pfd{Fd, POLLOUT, 0};
    const int n = ::poll(&pfd, 1, wait);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) {
      // poll may wake a little early; the deadline check above decides.
      if (TimeOutMs >= 0 && Clock::now() < deadline) continue;
      return false;
    }
    return SocketConnected(uintptr_t(Fd));
  }
}

} // namespace

bool SocketConnected(uintptr_t Socket) noexcept {
  const int Fd = int(Socket);
  int err = 0;
  socklen_t len = sizeof err;
  if (::getsockopt(Fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0 || err != 0) return false;
  sockaddr_in peer{};
  socklen_t peerLen = sizeof peer;
  return ::getpeername(Fd, reinterpret_cast<sockaddr *>(&peer), &peerLen) == 0;
}

bool ProbeTcp(uint32_t Address, uint16_t Port, int TimeOutMs) noexcept {
  const bool bounded = TimeOutMs > 0;
  int type = SOCK_STREAM | SOCK_CLOEXEC;
  if (bounded) type |= SOCK_NONBLOCK;
  TSocketGuard sock(::socket(AF_INET, type, 0));
  if (sock.get() < 0) return false;

  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(Port);
  sa.sin_addr.s_addr = htonl(Address);

  if (::connect(sock.get(), reinterpret_cast<const sockaddr *>(&sa), sizeof sa) == 0) return true;
  // A connect interrupted by a signal goes on in the background; wait for it to settle.
  if (errno == EINPROGRESS || errno == EINTR)
    return WaitConnected(sock.get(), bounded ? TimeOutMs : -1);
  return false;
}

} // namespace sonquarry::net
