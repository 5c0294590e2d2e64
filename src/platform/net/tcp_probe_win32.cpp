// The TCP probe over Winsock: a non-blocking connect settled by WSAPoll.
#include "platform/net/tcp_probe.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <chrono>

#include "platform/os/win32_api.h"

namespace sonquarry::net {

bool ProbeTcp(uint32_t Address, uint16_t Port, int TimeOutMs) noexcept {
  if (!platform::EnsureWinsock()) return false;
  const SOCKET S = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (S == INVALID_SOCKET) return false;
  u_long NonBlocking = 1;
  bool Ok = false;
  sockaddr_in Sa{};
  Sa.sin_family = AF_INET;
  Sa.sin_port = htons(Port);
  Sa.sin_addr.s_addr = htonl(Address);
  if (TimeOutMs <= 0) {
    Ok = ::connect(S, reinterpret_cast<const sockaddr *>(&Sa), sizeof Sa) == 0;
  } else if (::ioctlsocket(S, FIONBIO, &NonBlocking) == 0) {
    if (::connect(S, reinterpret_cast<const sockaddr *>(&Sa), sizeof Sa) == 0) {
      Ok = true;
    } else if (::WSAGetLastError() == WSAEWOULDBLOCK) {
      using Clock = std::chrono::steady_clock;
      const auto Deadline = Clock::now() + std::chrono::milliseconds(TimeOutMs);
      for (;;) {
        const auto Left =
            std::chrono::ceil<std::chrono::milliseconds>(Deadline - Clock::now()).count();
        if (Left <= 0) break;
        WSAPOLLFD P{};
        P.fd = S;
        P.events = POLLWRNORM;
        const int N = ::WSAPoll(&P, 1, int(Left));
        if (N < 0) break;
        if (N == 0) continue; // the deadline decides
        Ok = SocketConnected(uintptr_t(S));
        break;
      }
    }
  }
  ::closesocket(S);
  return Ok;
}

bool SocketConnected(uintptr_t Socket) noexcept {
  const SOCKET S = SOCKET(Socket);
  int Err = 0;
  int Len = sizeof Err;
  sockaddr_in Peer{};
  int PeerLen = sizeof Peer;
  return ::getsockopt(S, SOL_SOCKET, SO_ERROR, reinterpret_cast<char *>(&Err), &Len) == 0 &&
         Err == 0 && ::getpeername(S, reinterpret_cast<sockaddr *>(&Peer), &PeerLen) == 0;
}

} // namespace sonquarry::net
