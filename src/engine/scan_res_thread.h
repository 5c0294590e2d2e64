#pragma once
// The worker of a scan: takes queued resources from the shared list one at a time, queues the
// domains of the network and the allowed computers of a domain, walks the allowed shares of a
// computer, hands every walked directory to the main thread and logs one block per resource.
//
// Ownership and shutdown
// - The thread holds shared ownership of its list and of the provider it uses, and owns its filter
//   copy, so an owner released while the thread is still blocked in a network call or a hand-over
//   leaves nothing dangling.
// - Every event runs on the main thread through a blocking hand-over guarded by Lifeline. A
//   hand-over that is refused (lifeline cut, dispatcher closed) makes the thread terminate itself:
//   nobody is left to receive what it finds.
// - Events and settings are set before Resume and not changed afterwards.

#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "engine/net_res.h"
#include "engine/net_res_list.h"
#include "engine/probe_ahead.h"
#include "engine/scan_filter.h"
#include "platform/main_thread.h"
#include "platform/thread.h"

namespace sonquarry {

namespace platform {
class INetProvider;
}

class TScanResThread : public platform::TThread {
public:
  using TResEnumeratedEvent =
      std::function<void(TScanResThread *Sender, const TNetResStrings &ChildList)>;
  using TResQueuedEvent = std::function<void(TScanResThread *Sender, const std::string &Name)>;
  using TFilesFoundEvent =
      std::function<void(TScanResThread *Sender, const std::string &Dir,
                         const std::vector<std::string> &FileNames, const std::string &Domain)>;
  using TCountEvent = std::function<void(TScanResThread *Sender, int Count)>;
  using TThreadEvent = std::function<void(TScanResThread *Sender)>;
  using TProbe = std::function<bool(const std::string &Host, int Port, int TimeOut)>;

  // Idle takers look at the list again after this many ms.
  static constexpr int DefaultPollInterval = 200;
  // The delay between resources is slept in slices of this many ms.
  static constexpr int DefaultDelaySlice = 500;
  // Directories deeper than this below the share are not walked (links may loop).
  static constexpr int MaxWalkDepth = 64;
  // Level of the log lines of a scan.
  static constexpr int LogLevel = 3;

  // Created suspended and free on terminate; hold it in a std::shared_ptr (see TThread) so that
  // it stays valid for its owner after it has ended. A null list throws Exception
  // "TScanResThread.Create: ANetResList is not created.". A null Provider means the process-wide
  // one.
  explicit TScanResThread(std::shared_ptr<TNetResThList> ANetResList,
                          std::shared_ptr<platform::INetProvider> Provider = nullptr);
  ~TScanResThread() override;

  TResEnumeratedEvent OnResEnumerated;
  TResQueuedEvent OnResQueued;
  TFilesFoundEvent OnFilesFound;
  TCountEvent OnCompScanned;
  TThreadEvent OnFirstFile;
  TCountEvent OnEnumError;

  TScanFilter Filter;
  bool NetBios = true;
  int32_t TimeOut = 500;
  int32_t Delay = 0;
  int PollInterval = DefaultPollInterval;
  int DelaySlice = DefaultDelaySlice;
  // IP mode: a host that accepts connections on port 445 only counts as well.
  bool Probe445 = false;
  // The address probe of IP mode: the probes made ahead of the threads when set, else Probe,
  // else ProbeHost.
  std::shared_ptr<TProbeAhead> Ahead;
  TProbe Probe;
  // Guards every hand-over to the main thread; may be null (no owner that goes away).
  std::shared_ptr<platform::TLifeline> Lifeline;

protected:
  void Execute() override;

private:
  // Next under the list lock, polling while the list says "wait". False when the list is
  // exhausted, on termination or on failure.
  bool TakeNext(TDomNetRes *&Taken);
  void WaitDelay();
  bool CheckResource(const TDomNetRes *DomNetRes);
  void ProcessChildren(const TDomNetRes &Taken);
  void QueueChildren();
  void QueueComputers(const std::string &DomainName);
  void ScanShares(const std::string &Domain);
  // The directories of one share walked so far, by their identity on the server.
  using TWalkedDirs = std::unordered_map<uint64_t, std::string>;
  void WalkDir(const std::string &Dir, const std::string &Domain, int Depth, TWalkedDirs &Walked);
  void WriteMessages();
  void Add(std::string Line) { Messages.push_back(std::move(Line)); }
  // Runs Fn on the main thread and waits; a refused hand-over terminates the thread.
  void HandOver(const std::function<void()> &Fn);
  void FileFoundOnce();

  std::shared_ptr<TNetResThList> ResList;
  std::shared_ptr<platform::INetProvider> Provider_;
  std::vector<std::string> Messages;
  TNetResStrings ChildList;
  bool FileFound = false;
};

} // namespace sonquarry
