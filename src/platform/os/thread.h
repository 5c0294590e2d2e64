#pragma once
// The thread base of the engine: created suspended, started by Resume, a terminate request flag,
// free on end, an end-of-thread event run on the main thread, a blocking call into the main
// thread, sleep; and an auto-reset event with a timed wait.
//
// Contract
// - Execute runs on the thread. An exception that escapes it ends the thread; its message is kept
//   in FatalError().
// - When Execute has returned, OnTerminate (if set) runs on the main thread while the thread waits
//   (TMainThreadDispatcher::RunBlocking). It is read on the main thread, so an owner that clears
//   it there before the event runs is never called. If the dispatcher is closed it is skipped.
// - FreeOnTerminate, owned by std::shared_ptr (std::make_shared before Resume): the running
//   thread holds one reference to itself and drops it after OnTerminate (or after the refused
//   hand-over of a closed dispatcher). The object is freed by whoever lets go last: the thread
//   when no owner holds it any more, else the last owner. An owner may therefore keep its
//   pointer, call Terminate, SetOnTerminate or Finished, and release it in any order.
// - FreeOnTerminate, made with new (no shared owner): the thread deletes its object after
//   OnTerminate; until then it stays valid for the main thread, afterwards no one may touch it.
// - Either way the std::thread of a self-freeing thread is joined by the process (next Resume of
//   any thread, or WaitForFreeThreads), so every thread is joined before the process ends.
// - Resume that cannot start the thread (no resources) throws std::system_error and leaves the
//   object as if Resume had never been called: not started, no self reference, not counted.
// - Not FreeOnTerminate: the owner calls WaitFor (or deletes the object, which terminates and
//   joins). WaitFor on the main thread processes the dispatcher's pending calls while it waits, so
//   the thread's own hand-overs and its end event still run.
// - Synchronize runs a function on the main thread and waits; it returns false when the function
//   did not run (lifeline cut, dispatcher closed). Read handler slots inside that function, not
//   before, so that an owner that detaches on the main thread is never called afterwards.
// - Shutdown: close the dispatcher (every blocked Synchronize returns false), request Terminate of
//   the threads, then WaitForFreeThreads with a bound.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "platform/os/main_thread.h"

namespace sonquarry::platform {

class TThread : public std::enable_shared_from_this<TThread> {
public:
  using TNotifyEvent = std::function<void(TThread *Sender)>;

  // Created suspended: nothing runs until Resume.
  TThread();
  virtual ~TThread();
  TThread(const TThread &) = delete;
  TThread &operator=(const TThread &) = delete;

  // Starts the thread; later calls do nothing. Throws std::system_error when it cannot start.
  void Resume();
  // Asks Execute to end at its next check; wakes WaitTerminated.
  void Terminate();
  bool Terminated() const { return Terminated_.load(std::memory_order_acquire); }

  // Set before Resume.
  void SetFreeOnTerminate(bool Value) { FreeOnTerminate_ = Value; }
  bool FreeOnTerminate() const { return FreeOnTerminate_; }
  // Set before Resume; may be cleared later on the main thread to detach the owner.
  void SetOnTerminate(TNotifyEvent Handler);

  // Joins a thread that does not free itself; returns at once if it never started.
  void WaitFor();
  bool Started() const { return Started_; }
  bool Finished() const { return Finished_.load(std::memory_order_acquire); }
  std::string FatalError() const;

  // Waits until every self-freeing thread of the process has ended (and joins them). Returns
  // false when TimeOutMs passed first (a negative value waits without bound).
  static bool WaitForFreeThreads(int TimeOutMs);
  static int FreeThreadCount();

  static void Sleep(int Ms);

  // The thread whose Execute runs on the calling thread; null on any other thread.
  static TThread *Current();
  // A blocking call on this thread installs Hook while it waits; Terminate runs it (on the
  // terminating thread, under this thread's lock: it must not block) so that the call ends at
  // once. An empty function removes it.
  void SetTerminateHook(std::function<void()> Hook);

protected:
  virtual void Execute() = 0;

  bool Synchronize(const std::function<void()> &Fn,
                   const std::shared_ptr<TLifeline> &Guard = nullptr);
  // Sleeps up to Ms, ending early on Terminate; returns Terminated().
  bool WaitTerminated(int Ms);

private:
  static void Main(TThread *Self);
  void DoTerminate();

  std::thread Handle_;
  bool Started_ = false;
  bool FreeOnTerminate_ = false;
  std::atomic<bool> Terminated_{false};
  std::atomic<bool> Finished_{false};
  std::atomic<bool> Exited_{false};
  TNotifyEvent OnTerminate_;            // guarded by Lock_
  std::function<void()> TerminateHook_; // guarded by Lock_
  mutable std::mutex Lock_;
  std::condition_variable TerminateSignal_;
  std::string FatalError_;
  std::shared_ptr<TThread> Self_; // the running thread's hold on a shared object; under Lock_
};

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

// Jobs run one after another, in the order posted, on a thread of their own (started by the first
// Post): slow work leaves its caller's thread free and keeps its order. The destructor runs what
// is still queued and joins.
class TSerialJobs {
public:
  TSerialJobs() = default;
  TSerialJobs(const TSerialJobs &) = delete;
  TSerialJobs &operator=(const TSerialJobs &) = delete;
  ~TSerialJobs();
  void Post(std::function<void()> Job);
  // Returns when every job posted before has run.
  void Drain();

private:
  void Run();
  std::mutex Lock_;
  std::condition_variable Changed_;
  std::deque<std::function<void()>> Jobs_;
  bool Running_ = false; // a job taken from Jobs_ has not returned yet
  bool Ending_ = false;
  std::thread Thread_;
};

} // namespace sonquarry::platform
