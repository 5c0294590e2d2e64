// The sweep over Winsock: the Linux event loop with WSAPoll over the sockets in flight in place
// of epoll, and a short poll in place of the wake-up descriptor.
#include "platform/net/tcp_sweep.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>
#include <thread>
#include <unordered_map>
#include <unordered_set>

#include "platform/net/tcp_probe.h"
#include "platform/os/win32_api.h"

namespace sonquarry::net {

namespace {

using Clock = std::chrono::steady_clock;

constexpr int MaxBudget = 1024;
// While no descriptor is to be had and none of ours is open, look again this often.
constexpr int StarvedRetryMs = 10;

// How long the loop sleeps at most: a taker's urgent address waits no longer than this to start.
constexpr int WakePollMs = 10;

bool OutOfDescriptors(int Err) { return Err == WSAEMFILE || Err == WSAENOBUFS; }

bool Connected(SOCKET Fd) {
  int Err = 0;
  int Len = sizeof Err;
  if (::getsockopt(Fd, SOL_SOCKET, SO_ERROR, reinterpret_cast<char *>(&Err), &Len) != 0 || Err != 0)
    return false;
  sockaddr_in Peer{};
  int PeerLen = sizeof Peer;
  return ::getpeername(Fd, reinterpret_cast<sockaddr *>(&Peer), &PeerLen) == 0;
}

} // namespace

// Windows puts no descriptor limit on sockets: the cap alone bounds them.
int TTcpSweep::DescriptorBudget(int Reserve) {
  (void)Reserve;
  return MaxBudget;
}

struct TTcpSweep::TImpl {
  enum class TState : uint8_t { Queued, Running, Done };
  struct TEntry {
    TState State = TState::Queued;
    bool Ok = false;
  };
  struct TAttempt {
    uint32_t Address;
    SOCKET Fd;
  };
  struct TLive {
    int Open = 0;
    std::vector<uint64_t> Ids;
  };

  TOptions Opt;
  TNextAddress Next;
  std::thread Loop;
  std::mutex JoinLock;

  // Shared with the takers, under M.
  std::mutex M;
  std::condition_variable Cv;
  std::unordered_map<uint32_t, TEntry> Entries; // started or asked for, not yet taken
  std::deque<uint32_t> Urgent;                  // asked for before the sweep came to them
  std::unordered_set<uint32_t> Skip;            // taken before the sweep came to them
  bool SweepDone = false;
  bool HaveLast = false;
  uint32_t SweepLast = 0;
  bool Stopping = false;
  bool NoLoop = false;

  std::atomic<int> Limit{1};
  std::atomic<int> Peak{0};

  // The loop thread's own.
  std::unordered_map<uint64_t, TAttempt> Attempts;
  std::unordered_map<uint32_t, TLive> Live;
  std::deque<std::pair<Clock::time_point, uint64_t>> Deadlines; // in start order
  uint64_t NextId = 1;                                          // 0 is the wake-up descriptor
  int Open = 0;
  std::optional<uint32_t> Held; // waits for a descriptor
  std::optional<Clock::time_point> StarvedSince;

  bool SyncProbe(uint32_t Address) const {
    for (const uint16_t P : Opt.Ports)
      if (ProbeTcp(Address, P, Opt.TimeOutMs)) return true;
    return false;
  }

  void WakeLoop() const {} // the loop looks again within WakePollMs

  void Publish(uint32_t Address, bool Ok) {
    {
      std::lock_guard<std::mutex> L(M);
      const auto It = Entries.find(Address);
      if (It == Entries.end()) return;
      It->second.State = TState::Done;
      It->second.Ok = Ok;
    }
    Cv.notify_all();
  }

  void Close(uint64_t Id) {
    const auto It = Attempts.find(Id);
    if (It == Attempts.end()) return;
    ::closesocket(It->second.Fd);
    Attempts.erase(It);
    --Open;
  }

  void CloseLive(uint32_t Address) {
    const auto It = Live.find(Address);
    if (It == Live.end()) return;
    for (const uint64_t Id : It->second.Ids) Close(Id);
    Live.erase(It);
  }

  // The next address to start: a demanded one first, then the sweep's next while the window has
  // room. False when there is nothing to start now.
  bool Pick(uint32_t &Address) {
    if (Held) {
      Address = *Held;
      return true;
    }
    {
      std::lock_guard<std::mutex> L(M);
      while (!Urgent.empty()) {
        Address = Urgent.front();
        Urgent.pop_front();
        const auto It = Entries.find(Address);
        if (It == Entries.end() || It->second.State != TState::Queued) continue;
        It->second.State = TState::Running;
        return true;
      }
      if (SweepDone || Entries.size() >= Opt.Window) return false;
    }
    for (;;) {
      uint32_t A = 0;
      const bool Got = Next(A);
      std::lock_guard<std::mutex> L(M);
      if (!Got) {
        SweepDone = true;
        Skip.clear();
        return false;
      }
      SweepLast = A;
      HaveLast = true;
      if (Skip.erase(A) || Entries.count(A)) continue;
      Entries.emplace(A, TEntry{TState::Running, false});
      Address = A;
      return true;
    }
  }

  // Opens one socket per port. False when the system has no descriptor to spare: nothing of
  // Address stays open then.
  bool Begin(uint32_t Address) {
    TLive L;
    bool Ok = false;
    for (const uint16_t Port : Opt.Ports) {
      const SOCKET Fd = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
      u_long NonBlocking = 1;
      if (Fd != INVALID_SOCKET && ::ioctlsocket(Fd, FIONBIO, &NonBlocking) != 0) {
        ::closesocket(Fd);
        continue;
      }
      if (Fd == INVALID_SOCKET) {
        if (!OutOfDescriptors(::WSAGetLastError())) continue;
        for (const uint64_t Id : L.Ids) Close(Id);
        return false;
      }
      sockaddr_in Sa{};
      Sa.sin_family = AF_INET;
      Sa.sin_port = htons(Port);
      Sa.sin_addr.s_addr = htonl(Address);
      if (::connect(Fd, reinterpret_cast<const sockaddr *>(&Sa), sizeof Sa) == 0) {
        ::closesocket(Fd);
        Ok = true;
        break;
      }
      if (::WSAGetLastError() != WSAEWOULDBLOCK) { // refused, unreachable: settled already
        ::closesocket(Fd);
        continue;
      }
      const uint64_t Id = NextId++;
      Attempts.emplace(Id, TAttempt{Address, Fd});
      ++Open;
      L.Ids.push_back(Id);
      ++L.Open;
      if (Opt.TimeOutMs > 0)
        Deadlines.emplace_back(Clock::now() + std::chrono::milliseconds(Opt.TimeOutMs), Id);
    }
    Peak = std::max(Peak.load(), Open);
    if (Ok) {
      for (const uint64_t Id : L.Ids) Close(Id);
      Publish(Address, true);
    } else if (L.Open == 0) {
      Publish(Address, false);
    } else {
      Live.emplace(Address, std::move(L));
    }
    return true;
  }

  void StartMore() {
    const int PerAddress = static_cast<int>(Opt.Ports.size());
    for (;;) {
      if (Open > 0 && Open + PerAddress > Limit) return;
      uint32_t A = 0;
      if (!Pick(A)) return;
      if (Begin(A)) {
        Held.reset();
        StarvedSince.reset();
        continue;
      }
      // Out of descriptors: fewer in flight from now on, and this address waits for one of ours
      // to close; with none of ours open, it fails once the shortage has lasted a time-out.
      Held = A;
      if (Open > 0) {
        Limit = std::max(1, Open);
        return;
      }
      const auto Now = Clock::now();
      if (!StarvedSince) StarvedSince = Now;
      const int Bound = std::max(Opt.TimeOutMs, 1000);
      if (Now - *StarvedSince < std::chrono::milliseconds(Bound)) return;
      Held.reset();
      Publish(A, false);
    }
  }

  void Settle(uint64_t Id, bool Ok) {
    const auto It = Attempts.find(Id);
    if (It == Attempts.end()) return;
    const uint32_t Address = It->second.Address;
    Close(Id);
    auto L = Live.find(Address);
    if (L == Live.end()) return;
    --L->second.Open;
    if (Ok) {
      CloseLive(Address);
      Publish(Address, true);
    } else if (L->second.Open == 0) {
      Live.erase(L);
      Publish(Address, false);
    }
  }

  void Expire() {
    const auto Now = Clock::now();
    while (!Deadlines.empty() &&
           (Deadlines.front().first <= Now || !Attempts.count(Deadlines.front().second))) {
      const uint64_t Id = Deadlines.front().second;
      Deadlines.pop_front();
      Settle(Id, false);
    }
  }

  int WaitMs() {
    if (Held && Open == 0) return StarvedRetryMs;
    if (Deadlines.empty()) return WakePollMs;
    const auto Left =
        std::chrono::ceil<std::chrono::milliseconds>(Deadlines.front().first - Clock::now());
    return static_cast<int>(std::clamp<int64_t>(Left.count(), 0, WakePollMs));
  }

  bool StopAsked() {
    std::lock_guard<std::mutex> L(M);
    return Stopping;
  }

  void Run() {
    try {
      Sweep();
    } catch (const std::exception &) {
      // The address source failed: the takers go on without the loop.
    }
    while (!Attempts.empty()) Close(Attempts.begin()->first);
    Live.clear();
    {
      // A loop that ended on its own leaves the takers to probe by themselves.
      std::lock_guard<std::mutex> L(M);
      if (!Stopping) NoLoop = true;
    }
    Cv.notify_all();
  }

  void Sweep() {
    std::vector<WSAPOLLFD> Fds;
    std::vector<uint64_t> Ids;
    while (!StopAsked()) {
      StartMore();
      Fds.clear();
      Ids.clear();
      for (const auto &[Id, A] : Attempts) {
        WSAPOLLFD P{};
        P.fd = A.Fd;
        P.events = POLLWRNORM;
        Fds.push_back(P);
        Ids.push_back(Id);
      }
      if (Fds.empty()) {
        ::Sleep(DWORD(WaitMs()));
      } else {
        const int N = ::WSAPoll(Fds.data(), ULONG(Fds.size()), WaitMs());
        if (N < 0) break;
        for (std::size_t I = 0; N > 0 && I < Fds.size(); ++I) {
          if (!Fds[I].revents) continue;
          const auto It = Attempts.find(Ids[I]);
          if (It != Attempts.end()) Settle(Ids[I], Connected(It->second.Fd));
        }
      }
      Expire();
    }
  }
};

TTcpSweep::TTcpSweep(TOptions Options, TNextAddress Next) : Impl_(std::make_unique<TImpl>()) {
  auto &I = *Impl_;
  I.Opt = std::move(Options);
  I.Next = std::move(Next);
  I.Opt.Window = std::max<size_t>(I.Opt.Window, 1);
  I.Limit = I.Opt.MaxInFlight > 0 ? I.Opt.MaxInFlight : DescriptorBudget(I.Opt.Reserve);
  bool Ready = platform::EnsureWinsock() && I.Next && !I.Opt.Ports.empty();
  if (Ready) {
    try {
      I.Loop = std::thread([&I] { I.Run(); });
    } catch (const std::exception &) {
      Ready = false;
    }
  }
  if (!Ready) I.NoLoop = true;
}

TTcpSweep::~TTcpSweep() { Stop(); }

bool TTcpSweep::Result(uint32_t Address) {
  auto &I = *Impl_;
  std::unique_lock<std::mutex> L(I.M);
  if (I.Stopping) return false;
  auto It = I.Entries.find(Address);
  if (It == I.Entries.end() && !I.NoLoop) {
    I.Entries.emplace(Address, TImpl::TEntry{});
    I.Urgent.push_back(Address);
    I.WakeLoop();
  }
  I.Cv.wait(L, [&] {
    if (I.Stopping || I.NoLoop) return true;
    const auto E = I.Entries.find(Address);
    return E != I.Entries.end() && E->second.State == TImpl::TState::Done;
  });
  if (I.Stopping) return false;
  It = I.Entries.find(Address);
  if (It == I.Entries.end() || It->second.State != TImpl::TState::Done) {
    // No loop (any more): this taker makes the attempt itself.
    if (It != I.Entries.end()) I.Entries.erase(It);
    L.unlock();
    return I.SyncProbe(Address);
  }
  const bool Ok = It->second.Ok;
  const bool WasFull = I.Entries.size() >= I.Opt.Window;
  I.Entries.erase(It);
  // Asked for ahead of the sweep: the sweep must not start it again when it gets there.
  if (!I.SweepDone && (!I.HaveLast || Address > I.SweepLast)) I.Skip.insert(Address);
  if (WasFull) I.WakeLoop();
  return Ok;
}

void TTcpSweep::Stop() {
  auto &I = *Impl_;
  {
    std::lock_guard<std::mutex> L(I.M);
    I.Stopping = true;
  }
  I.Cv.notify_all();
  std::lock_guard<std::mutex> J(I.JoinLock);
  if (I.Loop.joinable() && I.Loop.get_id() != std::this_thread::get_id()) I.Loop.join();
}

int TTcpSweep::InFlightLimit() const { return Impl_->Limit; }

int TTcpSweep::PeakInFlight() const { return Impl_->Peak; }

} // namespace sonquarry::net
