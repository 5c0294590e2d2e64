#pragma once
// The walk's plan as the provider sees it, and the second worker that lists ahead of the walk
// from the bottom of that plan. Internal to the SMB room; the functions are TSmbProvider::TImpl's
// (walk_plan.cpp).

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_set>
#include <vector>

#include "platform/smb/smb_worker_process.h"

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

// A thread's second worker while it walks a share and a core is free. It lists, on a connection
// of its own, the directories that the walk reaches last (the bottom of its plan), a subtree at a
// time, so that the server serves the walk on two cores; the walk takes those listings when it
// gets there. Where the walk catches up, it lists on by itself.
struct TSecond {
  std::unique_ptr<TClaim> Claim; // released after the worker has ended
  std::shared_ptr<TWorker> Worker;
  std::shared_ptr<std::atomic<int>> Busy; // the provider's count of second workers at work
  bool Counted = false;                   // counted in Busy
  bool Greeted = false;
  bool InFlight = false; // a request (or the greeting) not answered yet
  bool Closing = false;  // the request in flight closes a listing too long to keep
  bool Dead = false;     // failed or ended; Prune removes it
  std::string Asked;     // the directory of the OpenDir in flight
  // Its next directories, the next last. An entry counts while Planned holds it: the walk takes
  // over one it reaches first.
  std::vector<std::string> Frontier;
  std::unordered_set<std::string> Planned;
  ~TSecond() {
    if (Counted) --*Busy;
  }
  void Count() {
    const bool Now = InFlight || !Planned.empty();
    if (Now != Counted) *Busy += Now ? 1 : -1;
    Counted = Now;
  }
};

} // namespace sonquarry::smb
