#pragma once
// The scan coordinator: holds the scan settings and the master filter (TScanOptions), the two
// shared lists (network neighbourhood, IP ranges), the threads of the running scan and the two
// counters of the end-of-scan summary. Every operation runs on the main thread.
//
// Shutdown: the owner may release the coordinator at any time, also while a scan runs or after
// the main-thread dispatcher has closed. The destructor asks every thread to stop, detaches their
// end-of-thread events and cuts the lifeline that guards their hand-overs, so no handler of a
// released coordinator ever runs; the threads hold the list they drain and end on their own once
// their network call in progress returns. The coordinator shares the ownership of its threads,
// so a thread that ended without its end-of-thread event (dispatcher closed) is still valid
// while listed, and is freed by whichever of the two lets go last.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "engine/net_res_list.h"
#include "engine/scan_options.h"
#include "engine/scan_thread_types.h"
#include "platform/os/main_thread.h"

namespace sonquarry {

namespace net {
class INetProvider;
}
namespace platform {
class TThread;
}
class TIpSweep;
class TNetwork;

class TNetScan : public TScanOptions, public TIPRangeTarget {
public:
  using TNotifyEvent = std::function<void(TNetScan *Sender)>;

  // The limited-connection method: this many threads, each pausing this long between resources.
  static constexpr int LimitedThreadCount = 9;
  static constexpr int DefaultLimitedDelay = 30000;

  TNetScan();
  ~TNetScan() override;
  TNetScan(const TNetScan &) = delete;
  TNetScan &operator=(const TNetScan &) = delete;

  TNotifyEvent OnFinish;
  scan_thread::TResEnumeratedEvent OnResEnumerated;
  scan_thread::TResQueuedEvent OnResQueued;
  scan_thread::TFilesFoundEvent OnFilesFound;
  scan_thread::TFileStatsEvent OnFileStats;
  scan_thread::TCountEvent OnEnumError;

  const std::shared_ptr<TNetResThList> NetResList;
  const std::shared_ptr<TNetResThList> IPResList;

  int32_t FoundComps = 0;
  int32_t ScannedComps = 0;
  // Of the running or last scan: the directories that could not be read, and the computers
  // (domain, name) that stopped answering during their walk.
  int32_t UnreadDirs = 0;
  // Stop was asked during this scan: what it did not reach was not looked at.
  bool Stopped = false;
  std::vector<std::pair<std::string, std::string>> LostComps;

  // Timing the tests shorten; the defaults are the product's.
  int LimitedDelay = DefaultLimitedDelay;
  int PollInterval = scan_thread::DefaultPollInterval;
  int DelaySlice = scan_thread::DefaultDelaySlice;
  int MaxShareDirs = scan_thread::DefaultMaxShareDirs;
  // The program's network: each scan's neighbourhood comes from it, with the discoverers that
  // the options choose. Provider, when set, is used as it is instead (tests). A Probe given here
  // is called by each thread for its own address instead of the probes made ahead.
  std::shared_ptr<TNetwork> Network;
  std::shared_ptr<net::INetProvider> Provider;
  scan_thread::TProbe Probe;

  // What a scan started now goes through; null when the scan has no network.
  std::shared_ptr<net::INetProvider> ProviderToStart() const;
  // What the running or last scan goes through.
  const std::shared_ptr<net::INetProvider> &Active() const { return Active_; }

  // One-address range under the IP list's lock.
  void AddIP(uint32_t Address) override;
  // From == To: AddIP; otherwise the range From..To under the lock.
  void AddIPRange(uint32_t From, uint32_t To) override;
  // Number of ranges of the IP list, under its lock.
  size_t IPRangeCount();
  // Empties the network-neighbourhood list.
  void ClearNetRes();

  // Starts a scan and returns at once. A failure (the log cannot be emptied, a thread cannot be
  // created or started) propagates; threads already started run on and are listed, the one that
  // failed is not. Throws Exception
  // "TNetScan.Start: a scan is running." while threads of the previous scan still run, and
  // "TNetScan.Start: no network." without Network and Provider.
  void Start();
  // Asks every thread to end; does not wait.
  void Stop();
  // What the destructor does, for an owner that must keep the object a while longer (a call of
  // its own may still be on the stack): every thread is asked to end and no handler runs again.
  void Detach();
  bool Running() const { return !Threads.empty(); }
  // Number of threads and their delay that Start would use now.
  int ThreadCountToStart() const;
  int DelayToStart() const;
  bool LimitedMethod() const;

  const std::vector<std::shared_ptr<TScanResThread>> &RunningThreads() const { return Threads; }

private:
  void ThreadTerminated(platform::TThread *Sender);
  // The counter handlers given to every thread.
  void OnCompScanned(TScanResThread *, int Count) { ScannedComps += Count; }
  void OnFirstFile(TScanResThread *) { ++FoundComps; }

  std::vector<std::shared_ptr<TScanResThread>> Threads;
  // The probes of the running IP scan; the threads share it.
  std::shared_ptr<TIpSweep> Ahead;
  std::shared_ptr<net::INetProvider> Active_;
  std::shared_ptr<platform::TLifeline> Lifeline;
};

} // namespace sonquarry
