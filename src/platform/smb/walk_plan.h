#pragma once
// The decisions of a walk of one share and of the helpers that list ahead of it: which
// directories the walk has before it, when a helper starts, what it lists next and when the
// helpers end. No sockets or processes: the provider feeds it what the walk and the helpers saw
// and acts on its answers (smb_helpers.cpp). Internal to the SMB room.

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "platform/smb/wire/smb_wire.h"

namespace sonquarry::smb {

// The connections of the walks of one provider: per server (lower case), and helpers in all.
struct TLoad {
  std::mutex Lock;
  std::map<std::string, int> Conns;
  int Helpers = 0;
};

// One connection of a walk counted against its server's cap while it lives.
class TClaim {
public:
  // Null when Server has Cap connections already, or (Helper) the helpers are HelperCap.
  static std::unique_ptr<TClaim> Take(const std::shared_ptr<TLoad> &L, const std::string &Server,
                                      int Cap, bool Helper, int HelperCap);
  ~TClaim();
  TClaim(const TClaim &) = delete;
  TClaim &operator=(const TClaim &) = delete;

private:
  TClaim(std::shared_ptr<TLoad> L, std::string Server, bool Helper)
      : L_(std::move(L)), Server_(std::move(Server)), Helper_(Helper) {}
  std::shared_ptr<TLoad> L_;
  std::string Server_;
  bool Helper_;
};

// A helper as the plan sees it. It lists, on a connection of its own, the directories that the
// walk reaches last (the bottom of its plan), a subtree at a time, so that the server serves the
// walk on two cores; the walk takes those listings when it gets there. Where the walk catches
// up, it lists on by itself. The provider's helper (TSecond) adds the worker.
struct THelper {
  virtual ~THelper() = default;
  bool Greeted = false;
  bool InFlight = true; // a request (or the greeting) not answered yet
  bool Closing = false; // the request in flight closes a listing too long to keep
  bool Dead = false;    // failed or ended; Prune removes it
  std::string Asked;    // the directory of the OpenDir in flight
  // Its next directories, the next last. An entry counts while Planned holds it: the walk takes
  // over one it reaches first.
  std::vector<std::string> Frontier;
  std::unordered_set<std::string> Planned;
  bool Busy() const { return InFlight || !Planned.empty(); }
};

class TWalkPlan {
public:
  static constexpr std::size_t MaxPlanned = 16384, MaxListedEntries = 200000;
  // Listings in a row that waited on the link before a walk counts as latency-bound: the first
  // of a share also connects.
  static constexpr int SlowInARow = 5;
  // Sooner while a core is free: this many in a row past the share's first, each of ClearlySlow
  // times the bound or more, are the link's round trips, not a busy machine's.
  static constexpr int ClearlyInARow = 2, ClearlySlow = 4;

  // LatencyBoundMs and HelperAfterDirs as in SmbProviderOptions.
  TWalkPlan(int LatencyBoundMs, int HelperAfterDirs)
      : LatencyBoundMs_(LatencyBoundMs), HelperAfterDirs_(HelperAfterDirs) {}

  // The walk opened Unc of Share (of directory id DirId) with these first entries; WaitedMs: how
  // long each listing of the exchange took, below 0 when there was none; SpareCore: whether a
  // core is free (none when empty). True when Share is another than the last: the last share's
  // plan and helpers are gone.
  bool Opened(const std::string &Share, const std::string &Unc, uint64_t DirId,
              const std::vector<wire::Entry> &Entries, double WaitedMs,
              const std::function<bool()> &SpareCore = {});
  // Later entries of a listing the walk reads on; ignored when of another share.
  void ReadOn(const std::string &Share, const std::string &Unc,
              const std::vector<wire::Entry> &Entries);
  bool LatencyBound() const;

  // Whether to start one more helper now: once the walk has opened HelperAfterDirs directories
  // and has two before it while a core is free; latency-bound, up to the caps at once after the
  // listing that showed it, later while the helpers without work cannot take what nobody has,
  // within the caps (the walk's own connection counts for Server).
  bool WantsHelper(int ServerCap, int HelperCap, const std::function<bool()> &SpareCore) const;
  THelper &Add(std::unique_ptr<THelper> H);
  // No helper again for this thread: one failed.
  void NoMoreHelpers() { NoHelper_ = true; }
  // A helper that failed or ended: the walk lists its directories itself.
  void Drop(THelper &H);
  void Prune();
  // The helpers end when nothing is left for them; true when they did.
  bool EndIdle();

  // The next directory for H: its own next, or the walk's last, or (latency-bound) the last of
  // the helper with the most; "" when there is none or enough listings wait for the walk.
  std::string NextFor(THelper &H, bool Latency, const std::function<bool()> &SpareCore);
  // A whole listing H brought: kept for the walk, and its subdirectories planned for H.
  void Keep(THelper &H, wire::AheadListing A);

  // The helper that lists Unc now, or null; and whether Unc's listing waits for the walk.
  THelper *Listing(const std::string &Unc) const;
  // The walk waits for the listing H has in flight. H lists in the walk's order just ahead of
  // it, so each of H's answers would be waited for in turn while the walk's connection idles:
  // the nearer half of H's next directories become the walk's.
  void CaughtUp(THelper &H);
  bool Has(const std::string &Unc) const { return Listed_.count(Unc) > 0; }
  // The listing of Unc when a helper brought it; else Unc is the walk's from now on.
  bool Take(const std::string &Unc, wire::AheadListing &Out);

  const std::vector<std::unique_ptr<THelper>> &Helpers() const { return Helpers_; }
  const std::string &Share() const { return Share_; }
  const std::deque<std::string> &Plan() const { return Plan_; }
  std::size_t ListedEntries() const { return ListedEntries_; }

private:
  // Whether a helper has listed Dir, or lists or plans it.
  bool Taken(const std::string &Dir) const;
  // The walk's planned directories that no helper has, counted up to Enough.
  std::size_t Untaken(std::size_t Enough) const;

  int LatencyBoundMs_, HelperAfterDirs_;
  std::string Share_;
  int Opened_ = 0;
  int Slow_ = 0;         // the walk's listings in a row that waited on the link
  int Clear_ = 0;        // those in a row past the share's first that waited ClearlySlow times
  bool Clearly_ = false; // ClearlyInARow of them with a core free
  bool Burst_ = false;   // the last listing showed the walk latency-bound
  // The directories the walk listed but has not opened yet, the next last.
  std::deque<std::string> Plan_;
  std::vector<std::unique_ptr<THelper>> Helpers_; // at most one unless latency-bound
  bool NoHelper_ = false;
  // The helpers' listings, not taken yet.
  std::unordered_map<std::string, wire::AheadListing> Listed_;
  std::size_t ListedEntries_ = 0;
  // Directory ids met by the walk and by the helpers: links that loop are not planned.
  std::unordered_set<uint64_t> WalkIds_, HelperIds_;
};

} // namespace sonquarry::smb
