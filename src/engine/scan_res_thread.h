#pragma once
// The worker of a scan: takes queued resources from the shared list one at a time, queues the
// domains of the network and the allowed computers of a domain, walks the allowed shares of a
// computer, hands every walked directory to the main thread and logs one block per resource.
//
// Ownership and shutdown
// - The thread holds shared ownership of its list and of the provider it uses, and owns its filter
//   copy, so an owner released while the thread is still blocked in a network call or a hand-over
//   leaves nothing dangling.
// - Every event runs on the main thread, guarded by Lifeline. A hand-over that is refused
//   (lifeline cut, dispatcher closed) makes the thread terminate itself: nobody is left to
//   receive what it finds.
// - OnFilesFound is handed over without waiting (the walk goes on meanwhile), every other event
//   with a wait. The calls of one thread run in the order it made them, and the thread waits for
//   its directories at every other event and at the end of each resource, so a handler's failure
//   still fails the resource it was raised for, as if the thread had waited: the walk stops, the
//   resource's later events are not delivered, and its log block ends with the error. A thread
//   that is stopped delivers none of the directories it still has waiting.
// - Events and settings are set before Resume and not changed afterwards.

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "discovery/ip_sweep.h"
#include "engine/net_res.h"
#include "engine/net_res_list.h"
#include "engine/scan_filter.h"
#include "engine/scan_log.h"
#include "engine/scan_thread_types.h"
#include "platform/os/main_thread.h"
#include "platform/os/thread.h"

namespace sonquarry {

namespace net {
class INetProvider;
class INetDirListing;
} // namespace net

// Shut while a coordinator starts its threads: each waits here before its first resource, so
// that the threads already started do not compete with the one starting them. It also counts the
// threads that have not had a first resource yet: with a pause between resources, a thread that
// took a second one while another still had none would leave that one idle and its resource
// waiting out the pause.
class TStartGate {
public:
  void Open();
  void Wait();
  // A thread that will come to its first resource.
  void Enlist();
  // An enlisted thread took its first resource, or will take none.
  void Settled();
  bool FirstWaveSettled();

private:
  std::mutex Lock_;
  std::condition_variable Opened_;
  bool Open_ = false;
  int Unsettled_ = 0;
};

class TScanResThread : public platform::TThread {
public:
  using TResEnumeratedEvent = scan_thread::TResEnumeratedEvent;
  using TResQueuedEvent = scan_thread::TResQueuedEvent;
  using TFilesFoundEvent = scan_thread::TFilesFoundEvent;
  using TFileStatsEvent = scan_thread::TFileStatsEvent;
  using TCountEvent = scan_thread::TCountEvent;
  using TThreadEvent = scan_thread::TThreadEvent;
  using TCompLostEvent = scan_thread::TCompLostEvent;
  using TProbe = scan_thread::TProbe;

  static constexpr int DefaultPollInterval = scan_thread::DefaultPollInterval;
  static constexpr int DefaultDelaySlice = scan_thread::DefaultDelaySlice;
  // At most this many directories of a thread wait for the main thread.
  static constexpr int MaxPosted = 64;
  // Directories deeper than this below the share are not walked (links may loop).
  static constexpr int MaxWalkDepth = net::MaxWalkDepth;
  static constexpr int DefaultMaxShareDirs = scan_thread::DefaultMaxShareDirs;
  // Level of the log lines of a scan.
  static constexpr int LogLevel = llScan;

  // Created suspended and free on terminate; hold it in a std::shared_ptr (see TThread) so that
  // it stays valid for its owner after it has ended. A null list throws Exception
  // "TScanResThread.Create: ANetResList is not created.", a null Provider
  // "TScanResThread.Create: no network provider.".
  TScanResThread(std::shared_ptr<TNetResThList> ANetResList,
                 std::shared_ptr<net::INetProvider> Provider);
  ~TScanResThread() override;

  TResEnumeratedEvent OnResEnumerated;
  TResQueuedEvent OnResQueued;
  TFilesFoundEvent OnFilesFound;
  // Right after OnFilesFound, for the same files; only when set are the stats kept.
  TFileStatsEvent OnFileStats;
  TCountEvent OnCompScanned;
  TThreadEvent OnFirstFile;
  TCountEvent OnEnumError;
  // At the end of a computer's walk: how many directories could not be read (refused by the
  // server, or left unvisited by a computer lost during its walk).
  TCountEvent OnDirsUnread;
  // A computer (its name, as in the walked paths) stopped answering during its walk: its files
  // that were not found again are unknown, not gone.
  TCompLostEvent OnCompLost;

  TScanFilter Filter;
  bool NetBios = true;
  int32_t TimeOut = 500;
  int32_t Delay = 0;
  int PollInterval = DefaultPollInterval;
  int DelaySlice = DefaultDelaySlice;
  int MaxShareDirs = DefaultMaxShareDirs;
  // IP mode: a host that accepts connections on port 445 only counts as well.
  bool Probe445 = false;
  // The address probe of IP mode: the probes made ahead of the threads when set, else Probe,
  // else ProbeHost.
  std::shared_ptr<TIpSweep> Ahead;
  TProbe Probe;
  // Guards every hand-over to the main thread; may be null (no owner that goes away).
  std::shared_ptr<platform::TLifeline> Lifeline;
  // Waited for before the first resource; may be null.
  std::shared_ptr<TStartGate> Gate;

protected:
  void Execute() override;

private:
  // Next under the list lock, polling while the list says "wait". False when the list is
  // exhausted, on termination or on failure.
  bool TakeNext(TDomNetRes *&Taken);
  void WaitDelay();
  // With a pause between resources: waits until every thread of the scan has had its first one.
  // False on termination.
  bool AwaitFirstWave();
  bool CheckResource(const TDomNetRes *DomNetRes);
  void ProcessChildren(const TDomNetRes &Taken);
  void QueueChildren();
  void QueueComputers(const std::string &DomainName);
  void ScanShares(const TDomNetRes &Taken);
  // The directories of one share walked so far, by their identity on the server.
  using TWalkedDirs = std::unordered_map<uint64_t, std::string>;
  void WalkDir(const std::string &Dir, const std::string &Domain, int Depth, TWalkedDirs &Walked);
  // A computer lost during its walk: what the listing still holds without the network is taken
  // (names into FileNames), its subdirectories counted as unvisited.
  void TakeRest(net::INetDirListing &Listing, std::vector<std::string> &FileNames,
                std::vector<net::FileStat> &Stats);
  void Found(const net::DirEntry &E, std::vector<std::string> &FileNames,
             std::vector<net::FileStat> &Stats);
  bool ComputerAnswers();
  void WriteMessages();
  void Add(std::string Line) { Messages.push_back(std::move(Line)); }
  // Runs Fn on the main thread and waits; a refused hand-over terminates the thread.
  void HandOver(const std::function<void()> &Fn);
  // Hands a directory's files to the main thread without waiting for their handler.
  void PostFilesFound(const std::string &Dir, std::vector<std::string> FileNames,
                      std::vector<net::FileStat> Stats, const std::string &Domain);
  // Waits until at most Keep directories are left with the main thread; raises a handler's
  // failure among those run, with the log lines added after that directory taken back.
  void AwaitPosted(int Keep);
  // Terminated, or a directory's handler failed.
  bool Stopped() const;
  void FileFoundOnce();

  std::shared_ptr<TNetResThList> ResList;
  std::shared_ptr<net::INetProvider> Provider_;
  std::vector<std::string> Messages;
  TNetResStrings ChildList;
  bool FileFound = false;
  // The walk of one computer's shares: the computer, and what could not be read of it.
  struct TCompWalk {
    const TNetRes *Comp = nullptr;
    int Refused = 0;
    bool Lost = false;
    std::string Why;
    int Unvisited = 0;
    std::string Share; // the share being walked, and its directories so far
    int ShareDirs = 0;
    bool Cut = false; // a share passed MaxShareDirs
  } Walk_;
  struct TPosted;
  struct TPostedCall;
  const std::shared_ptr<TPosted> Posted_;
};

} // namespace sonquarry
