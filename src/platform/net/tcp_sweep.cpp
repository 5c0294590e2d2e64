// The sweep's event loop, the same on every system; what it asks of the system is in
// tcp_sweep_io.h (epoll on Linux, WSAPoll on Windows).
#include "platform/net/tcp_sweep.h"

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
#include "platform/net/tcp_sweep_io.h"

namespace sonquarry::net {

namespace {

using Clock = std::chrono::steady_clock;

// While no descriptor is to be had and none of ours is open, look again this often.
constexpr int StarvedRetryMs = 10;

} // namespace

struct TTcpSweep::TImpl {
  enum class TState : uint8_t { Queued, Running, Done };
  struct TEntry {
    TState State = TState::Queued;
    bool Ok = false;
  };
  struct TLive {
    int Open = 0;
    std::vector<uint64_t> Ids;
  };

  TOptions Opt;
  TNextAddress Next;
  TSweepIo Io;
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
  std::unordered_map<uint64_t, uint32_t> Attempts; // id to address
  std::unordered_map<uint32_t, TLive> Live;
  std::deque<std::pair<Clock::time_point, uint64_t>> Deadlines; // in start order
  uint64_t NextId = 1;
  int Open = 0;
  std::optional<uint32_t> Held; // waits for a descriptor
  std::optional<Clock::time_point> StarvedSince;

  bool SyncProbe(uint32_t Address) const {
    for (const uint16_t P : Opt.Ports)
      if (ProbeTcp(Address, P, Opt.TimeOutMs)) return true;
    return false;
  }

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
    Io.Close(Id);
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
      const uint64_t Id = NextId;
      const TSweepIo::TStart Started = Io.Connect(Address, Port, Id);
      if (Started == TSweepIo::TStart::Connected) {
        Ok = true;
        break;
      }
      if (Started == TSweepIo::TStart::Failed) continue;
      if (Started == TSweepIo::TStart::NoDescriptor) {
        for (const uint64_t I : L.Ids) Close(I);
        return false;
      }
      ++NextId;
      Attempts.emplace(Id, Address);
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
    const uint32_t Address = It->second;
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
    if (Deadlines.empty()) return -1;
    const auto Left =
        std::chrono::ceil<std::chrono::milliseconds>(Deadlines.front().first - Clock::now());
    return static_cast<int>(std::max<int64_t>(0, Left.count()));
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
    const auto OnSettled = [this](uint64_t Id, bool Connected) { Settle(Id, Connected); };
    while (!StopAsked()) {
      StartMore();
      if (!Io.Wait(WaitMs(), OnSettled)) break;
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
  bool Ready = I.Io.Ready() && I.Next && !I.Opt.Ports.empty();
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
    I.Io.Wake();
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
  if (WasFull) I.Io.Wake();
  return Ok;
}

void TTcpSweep::Stop() {
  auto &I = *Impl_;
  {
    std::lock_guard<std::mutex> L(I.M);
    I.Stopping = true;
  }
  I.Cv.notify_all();
  I.Io.Wake();
  std::lock_guard<std::mutex> J(I.JoinLock);
  if (I.Loop.joinable() && I.Loop.get_id() != std::this_thread::get_id()) I.Loop.join();
}

int TTcpSweep::InFlightLimit() const { return Impl_->Limit; }

int TTcpSweep::PeakInFlight() const { return Impl_->Peak; }

} // namespace sonquarry::net
