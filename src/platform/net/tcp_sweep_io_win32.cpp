// The sweep's system side over Winsock: WSAPoll over the connects in flight. Winsock has no
// descriptor to wake a poll with, so a wait lasts at most WakePollMs and Wake has nothing to do.
#include "platform/net/tcp_sweep_io.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <algorithm>
#include <unordered_map>
#include <vector>

#include "platform/net/tcp_probe.h"
#include "platform/net/tcp_sweep.h"
#include "platform/os/win32_api.h"

namespace sonquarry::net {

namespace {

constexpr int MaxBudget = 1024;
// How long a wait lasts at most: a taker's urgent address waits no longer than this to start.
constexpr int WakePollMs = 10;

bool OutOfDescriptors(int Err) { return Err == WSAEMFILE || Err == WSAENOBUFS; }

} // namespace

// Windows puts no descriptor limit on sockets: the cap alone bounds them.
int TTcpSweep::DescriptorBudget(int Reserve) {
  (void)Reserve;
  return MaxBudget;
}

struct TSweepIo::TImpl {
  bool Ready = false;
  std::unordered_map<uint64_t, SOCKET> Sockets;
  std::vector<WSAPOLLFD> Polled;
  std::vector<uint64_t> PolledIds;
};

TSweepIo::TSweepIo() : Impl_(std::make_unique<TImpl>()) {
  Impl_->Ready = platform::EnsureWinsock();
}

TSweepIo::~TSweepIo() {
  for (const auto &[Id, S] : Impl_->Sockets) ::closesocket(S);
}

bool TSweepIo::Ready() const { return Impl_->Ready; }

TSweepIo::TStart TSweepIo::Connect(uint32_t Address, uint16_t Port, uint64_t Id) {
  const SOCKET Fd = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (Fd == INVALID_SOCKET)
    return OutOfDescriptors(::WSAGetLastError()) ? TStart::NoDescriptor : TStart::Failed;
  u_long NonBlocking = 1;
  if (::ioctlsocket(Fd, FIONBIO, &NonBlocking) != 0) {
    ::closesocket(Fd);
    return TStart::Failed;
  }
  sockaddr_in Sa{};
  Sa.sin_family = AF_INET;
  Sa.sin_port = htons(Port);
  Sa.sin_addr.s_addr = htonl(Address);
  if (::connect(Fd, reinterpret_cast<const sockaddr *>(&Sa), sizeof Sa) == 0) {
    ::closesocket(Fd);
    return TStart::Connected;
  }
  if (::WSAGetLastError() != WSAEWOULDBLOCK) {
    ::closesocket(Fd);
    return TStart::Failed;
  }
  Impl_->Sockets.emplace(Id, Fd);
  return TStart::Pending;
}

void TSweepIo::Close(uint64_t Id) {
  const auto It = Impl_->Sockets.find(Id);
  if (It == Impl_->Sockets.end()) return;
  ::closesocket(It->second);
  Impl_->Sockets.erase(It);
}

bool TSweepIo::Wait(int Ms, const std::function<void(uint64_t, bool)> &Settled) {
  auto &I = *Impl_;
  const int Bound = Ms < 0 ? WakePollMs : std::min(Ms, WakePollMs);
  if (I.Sockets.empty()) {
    ::Sleep(DWORD(Bound));
    return true;
  }
  I.Polled.clear();
  I.PolledIds.clear();
  for (const auto &[Id, S] : I.Sockets) {
    WSAPOLLFD P{};
    P.fd = S;
    P.events = POLLWRNORM;
    I.Polled.push_back(P);
    I.PolledIds.push_back(Id);
  }
  const int N = ::WSAPoll(I.Polled.data(), ULONG(I.Polled.size()), Bound);
  if (N < 0) return false;
  for (std::size_t K = 0; N > 0 && K < I.Polled.size(); ++K) {
    if (!I.Polled[K].revents) continue;
    // An earlier one of this round may have closed it.
    const auto It = I.Sockets.find(I.PolledIds[K]);
    if (It != I.Sockets.end()) Settled(It->first, SocketConnected(uintptr_t(It->second)));
  }
  return true;
}

void TSweepIo::Wake() {}

} // namespace sonquarry::net
