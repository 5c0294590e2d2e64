#pragma once
// The inside of TSmbProvider, shared by its files: the workers of the calling thread
// (smb_provider.cpp), the walk's plan and second worker (walk_plan.cpp), the listing
// (smb_listing.cpp) and the file (smb_file.cpp). Internal to the SMB room.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "platform/smb/reachability.h"
#include "platform/smb/smb_provider.h"
#include "platform/smb/smb_worker_process.h"
#include "platform/smb/walk_plan.h"

namespace sonquarry::smb {

// ---- the workers of the calling thread: one per provider, ended with the thread

struct TSlot {
  uint64_t Provider = 0;
  std::shared_ptr<TWorker> Worker;
  // Whole listings that came read ahead with a reply, not asked for yet.
  std::deque<wire::AheadListing> Ahead;
  // The walk as the provider sees it: its share, the directories it opened, and those it listed
  // but has not opened yet (the next last).
  std::string Share;
  std::unique_ptr<TClaim> Walk; // the walk's own connection, counted for its server
  int Opened = 0;
  int Slow = 0; // the walk's listings in a row that waited on the link (LatencyBoundMs)
  std::deque<std::string> Plan;
  std::vector<std::unique_ptr<TSecond>> Seconds; // at most one unless the walk is latency-bound
  bool NoSecond = false;                         // one failed: none again for this thread
  // The second worker's listings, not taken yet.
  std::unordered_map<std::string, wire::AheadListing> Listed;
  std::size_t ListedEntries = 0;
  // Directory ids met by the walk and by the second worker: links that loop are not planned.
  std::unordered_set<uint64_t> WalkIds, SecondIds;
};

struct TSmbProvider::TImpl {
  SmbProviderOptions Options;
  const uint64_t Id = NextId();
  std::string WorkerPath;
  wire::Hello Config;

  mutable std::mutex WorkersLock;
  std::vector<std::weak_ptr<TWorker>> Workers;
  bool Released = false;

  TReachability Reach{Options};

  // Connections of the walks per server, and helpers in all.
  std::shared_ptr<TLoad> Load = std::make_shared<TLoad>();
  std::atomic<int> ServerCap{8}, HelperCap{16};

  static uint64_t NextId();

  // The calling thread's worker; Spawn starts one when it has none.
  std::shared_ptr<TWorker> Worker(bool Spawn, net::NetError &Error);

  // ---- the walk's plan and the second worker

  static constexpr std::size_t MaxPlanned = 16384, MaxSecondEntries = 200000;
  static constexpr auto ActiveFor = std::chrono::milliseconds(250);
  std::shared_ptr<std::atomic<int>> SecondsBusy = std::make_shared<std::atomic<int>>(0);
  std::atomic<std::size_t> SecondTaken{0}; // listings walks took from second workers
  std::mutex ActiveLock;
  std::map<std::thread::id, Clock::time_point> Active; // threads by their last call

  TSlot *OwnSlot();

  void Touch();

  // Whether one more process at work still leaves no core short: the threads that called lately
  // and the second workers at work are fewer than the cores.
  bool SpareCore();

  // The walk opened Unc (of directory id DirId) with these (first) entries; WaitedMs: how long
  // each listing of the exchange that brought them took, or below 0 when there was none.
  void Walked(const std::string &Unc, uint64_t DirId, const std::vector<wire::Entry> &Entries,
              double WaitedMs = -1);
  bool LatencyBound(const TSlot &S) const;

  // Later entries of a listing that the walk reads on. It has walked the subdirectories of the
  // entries before them, so theirs come next.
  void WalkedOn(const std::string &Unc, const std::vector<wire::Entry> &Entries);

  // The second worker's listing of Unc, waiting for it when it is on its way (the other helpers
  // are served meanwhile). One it has only planned is the walk's from now on.
  bool TakeSecond(const std::string &Unc, wire::AheadListing &Out);

  // Ends one; the walk lists its directories itself. It is removed from S.Seconds by Prune.
  void DropSecond(TSlot &S, TSecond &Sec, const net::NetError &Why);
  static void Prune(TSlot &S);

  // A listing a second worker brought: kept for the walk, and its subdirectories planned.
  void KeepSecond(TSlot &S, TSecond &Sec, wire::AheadListing A);

  void SecondReply(TSlot &S, TSecond &Sec, wire::Frame &F);

  // Starts second workers: one once the walk is deep enough and a core is free, or, when the walk
  // is latency-bound, as many as its plan keeps busy within the caps. Reads what they answered,
  // and gives each idle one its next directory: the next of its own, or else the walk's last, or
  // else (latency-bound) the last of the one with the most.
  void PumpSecond(TSlot &S);
  bool SpawnSecond(TSlot &S);
  // Whether a helper has listed Dir, or lists or plans it.
  static bool Taken(const TSlot &S, const std::string &Dir);
  // The walk's planned directories that no helper has, counted up to Enough.
  static std::size_t Untaken(const TSlot &S, std::size_t Enough);
  // The next directory for Sec; "" when there is none.
  std::string NextFor(TSlot &S, TSecond &Sec, bool Latency);

  bool Register(const std::shared_ptr<TWorker> &W);

  // The listing of Unc if it came read ahead: taken, with those the walk passed over. Any other
  // directory means the walk went elsewhere: the rest is dropped.
  bool TakeAhead(const std::string &Unc, wire::AheadListing &Out);
  // Those of the reply the calling thread's worker just gave.
  void KeepAhead(std::vector<wire::AheadListing> &Listings);

  // A failed exchange: the worker is ended and forgotten by this thread; Error says why.
  void Fail(const std::shared_ptr<TWorker> &W, const std::string &What, net::NetError &Error);

  // Sends one request on the calling thread's worker and reads its first reply.
  bool Ask(std::shared_ptr<TWorker> &W, wire::Type Kind, const std::vector<uint8_t> &Payload,
           wire::Frame &Reply, const std::string &What, net::NetError &Error);
  // The next reply of an exchange under way.
  bool Next(const std::shared_ptr<TWorker> &W, wire::Frame &Reply, net::NetError &Error);
  bool Unexpected(const std::shared_ptr<TWorker> &W, const std::string &What, net::NetError &Error);
  // An Error reply: the server's answer, not the worker's fault.
  static bool ServerError(const wire::Frame &F, net::NetError &Error);

  void EndAll();

  net::NetEnumStatus Enum(int32_t Level, const std::string &RemoteName,
                          std::vector<net::NetResource> &Out, net::NetError &Error);
};

// A listing or a file opened in the calling thread's worker; null on failure (Error says why).
std::unique_ptr<net::INetDirListing> OpenSmbListing(const std::shared_ptr<TSmbProvider::TImpl> &P,
                                                    const std::string &Unc, net::NetError &Error);
std::unique_ptr<net::INetFile> OpenSmbFile(const std::shared_ptr<TSmbProvider::TImpl> &P,
                                           const std::string &Unc, net::NetError &Error);
bool StatSmbFile(const std::shared_ptr<TSmbProvider::TImpl> &P, const std::string &Unc,
                 net::FileStat &Out, net::NetError &Error);
bool ReadSmbTags(const std::shared_ptr<TSmbProvider::TImpl> &P, const std::string &Unc,
                 int64_t Size, const net::TagBudget &Budget, net::TagReading &Out,
                 net::NetError &Error);

} // namespace sonquarry::smb
