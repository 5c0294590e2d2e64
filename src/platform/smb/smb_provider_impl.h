#pragma once
// The inside of TSmbProvider, shared by its files: the workers of the calling thread
// (smb_provider.cpp), the helpers of a walk (smb_helpers.cpp), the listing
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

// A helper of the walk with its worker.
struct TSecond : THelper {
  std::unique_ptr<TClaim> Claim; // released after the worker has ended
  std::shared_ptr<TWorker> Worker;
  std::shared_ptr<std::atomic<int>> AtWork; // the provider's count of second workers at work
  bool Counted = false;                     // counted in AtWork
  ~TSecond() override {
    if (Counted) --*AtWork;
  }
  void Count() {
    const bool Now = Busy();
    if (Now != Counted) *AtWork += Now ? 1 : -1;
    Counted = Now;
  }
};

struct TSlot {
  uint64_t Provider = 0;
  std::shared_ptr<TWorker> Worker;
  // Whole listings that came read ahead with a reply, not asked for yet.
  std::deque<wire::AheadListing> Ahead;
  std::unique_ptr<TClaim> Walk; // the walk's own connection, counted for its server
  // The walk's decisions; its helpers are TSecond.
  TWalkPlan Plan{-1, 0};
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
  std::shared_ptr<TSmbLogins> Logins;

  // Connections of the walks per server, and helpers in all.
  std::shared_ptr<TLoad> Load = std::make_shared<TLoad>();
  std::atomic<int> ServerCap{8}, HelperCap{16};

  static uint64_t NextId();

  // The calling thread's worker; Spawn starts one when it has none.
  std::shared_ptr<TWorker> Worker(bool Spawn, net::NetError &Error);

  // ---- the walk's plan and the second worker

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
  // The walk opened Unc (of directory id DirId) with these (first) entries; WaitedMs: how long
  // each listing of the exchange that brought them took, or below 0 when there was none.
  void Walked(const std::string &Unc, uint64_t DirId, const std::vector<wire::Entry> &Entries,
              double WaitedMs = -1);

  // Later entries of a listing that the walk reads on. It has walked the subdirectories of the
  // entries before them, so theirs come next.
  void WalkedOn(const std::string &Unc, const std::vector<wire::Entry> &Entries);

  // The second worker's listing of Unc, waiting for it when it is on its way (the other helpers
  // are served meanwhile). One it has only planned is the walk's from now on.
  bool TakeSecond(const std::string &Unc, wire::AheadListing &Out);

  // Ends one; the walk lists its directories itself. The plan's Prune removes it.
  void DropSecond(TSlot &S, TSecond &Sec, const net::NetError &Why);

  void SecondReply(TSlot &S, TSecond &Sec, wire::Frame &F);

  // Starts the helpers the plan wants, reads what they answered, and gives each idle one the
  // next directory the plan has for it.
  void PumpSecond(TSlot &S);
  bool SpawnSecond(TSlot &S);

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
