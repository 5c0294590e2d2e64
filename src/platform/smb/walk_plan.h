#pragma once
// The walk's plan as the provider sees it, and the second worker that lists ahead of the walk
// from the bottom of that plan. Internal to the SMB room; the functions are TSmbProvider::TImpl's
// (walk_plan.cpp).

#include <atomic>
#include <memory>
#include <string>
#include <unordered_set>
#include <vector>

#include "platform/smb/smb_worker_process.h"

namespace sonquarry::smb {

// A thread's second worker while it walks a share and a core is free. It lists, on a connection
// of its own, the directories that the walk reaches last (the bottom of its plan), a subtree at a
// time, so that the server serves the walk on two cores; the walk takes those listings when it
// gets there. Where the walk catches up, it lists on by itself.
struct TSecond {
  std::shared_ptr<TWorker> Worker;
  std::shared_ptr<std::atomic<int>> Busy; // the provider's count of second workers at work
  bool Counted = false;                   // counted in Busy
  bool Greeted = false;
  bool InFlight = false; // a request (or the greeting) not answered yet
  bool Closing = false;  // the request in flight closes a listing too long to keep
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
