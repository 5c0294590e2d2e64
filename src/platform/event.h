#pragma once
// An auto-reset event with a timed wait: SetEvent wakes one wait (or the next one), which resets
// it.

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace sonquarry::platform {

class TEvent {
public:
  void SetEvent() {
    std::lock_guard<std::mutex> L(Lock_);
    Signalled_ = true;
    Cv_.notify_one();
  }
  void ResetEvent() {
    std::lock_guard<std::mutex> L(Lock_);
    Signalled_ = false;
  }
  // True when the event was set within TimeOutMs; the event is then reset.
  bool WaitFor(int TimeOutMs) {
    std::unique_lock<std::mutex> L(Lock_);
    if (!Cv_.wait_for(L, std::chrono::milliseconds(TimeOutMs), [&] { return Signalled_; }))
      return false;
    Signalled_ = false;
    return true;
  }

private:
  std::mutex Lock_;
  std::condition_variable Cv_;
  bool Signalled_ = false;
};

} // namespace sonquarry::platform
