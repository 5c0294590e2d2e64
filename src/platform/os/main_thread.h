#pragma once
// The process-wide hand-over to the main thread: a blocking call (RunBlocking) and a fire-and-
// forget call (Post). The GUI installs a dispatcher over its event loop; the headless scanner and
// the tests use TQueueDispatcher and pump it themselves.
//
// Contract
// - Functions run on the main thread one at a time, in the order they were queued.
// - RunBlocking from the main thread itself runs the function at once (no queueing, no deadlock).
// - RunBlocking returns true when the function ran to its end (an exception it throws is passed
//   back to the caller), false when it did not run and never will: its lifeline was cut, or the
//   dispatcher was closed. A call that returns false has already forgotten the function: the main
//   thread never touches it afterwards, so it may refer to the caller's stack.
// - A lifeline (TLifeline) ties calls to an owner that may go away while threads wait in a
//   hand-over (a coordinator, a dialog). The owner cuts it, on any thread, before it is released.
//   When Cut returns, no function guarded by that lifeline is running (unless Cut was called from
//   inside one) and none will start; callers blocked on such a function return false at once.
// - Close (at shutdown) makes every pending and every later RunBlocking return false and drops
//   posted functions, so no worker thread hangs on a main loop that no longer runs.

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

namespace sonquarry::platform {

class TLifeline {
public:
  static std::shared_ptr<TLifeline> Create() { return std::make_shared<TLifeline>(); }

  // Runs Fn unless the lifeline is cut; Cut waits for a running Fn. Returns whether Fn ran.
  bool Run(const std::function<void()> &Fn);
  // After Cut, Run never calls its function again; callers blocked on guarded calls are woken.
  void Cut();
  bool Alive() const { return Alive_.load(std::memory_order_acquire); }

private:
  std::recursive_mutex Lock_;
  std::atomic<bool> Alive_{true};
};

class TMainThreadDispatcher {
public:
  virtual ~TMainThreadDispatcher() = default;

  // Runs Fn on the main thread and waits until it has run (see the contract above).
  virtual bool RunBlocking(std::function<void()> Fn,
                           const std::shared_ptr<TLifeline> &Guard = nullptr) = 0;
  // Queues Fn for the main thread and returns at once; a cut Guard skips it.
  virtual void Post(std::function<void()> Fn,
                    const std::shared_ptr<TLifeline> &Guard = nullptr) = 0;
  virtual bool IsMainThread() const = 0;
  // On the main thread: runs the calls queued now; returns how many. Lets the main thread wait
  // for a worker (TThread::WaitFor) without deadlocking on that worker's hand-over.
  virtual std::size_t ProcessPending() = 0;
  // Refuses every pending and later call; idempotent.
  virtual void Close() = 0;
  virtual bool Closed() const = 0;

protected:
  // A dispatcher whose callers wait on a lifeline registers itself so that a Cut wakes them.
  void ListenForCuts();
  void StopListeningForCuts();
  // Wakes every blocked caller so that it can look at its lifeline again.
  virtual void WakeWaiters() = 0;
  friend class TLifeline;
};

// The process-wide dispatcher. Until one is installed, a TQueueDispatcher owned by the process
// serves, with the first thread that asked for it as its main thread.
TMainThreadDispatcher &MainThread();
// Installs D (not owned; nullptr restores the built-in one). Call on the main thread before any
// worker thread exists.
void SetMainThread(TMainThreadDispatcher *D);
// The built-in dispatcher, created during static initialisation (on the main thread).
class TQueueDispatcher;
TQueueDispatcher &BuiltInMainThread();

// The queue under both dispatchers: calls wait in order for the main thread; a blocked caller
// sleeps on its own call, so that the end of one call wakes only its caller. The thread that
// creates it is its main thread. A subclass runs the queue (RunFront) and says how the main
// thread learns of new work (Signal).
class TDispatcherBase : public TMainThreadDispatcher {
public:
  ~TDispatcherBase() override;
  TDispatcherBase(const TDispatcherBase &) = delete;
  TDispatcherBase &operator=(const TDispatcherBase &) = delete;

  bool RunBlocking(std::function<void()> Fn,
                   const std::shared_ptr<TLifeline> &Guard = nullptr) override;
  void Post(std::function<void()> Fn, const std::shared_ptr<TLifeline> &Guard = nullptr) override;
  bool IsMainThread() const override;
  void Close() override;
  bool Closed() const override;
  // Number of functions waiting.
  std::size_t Pending() const;

protected:
  TDispatcherBase();
  // Under the lock: a call was queued, or the dispatcher closed.
  virtual void Signal(std::unique_lock<std::mutex> &L) = 0;
  // Takes the front call and runs it with the lock released; L is held again on return. The
  // error of a posted call (it has no caller to take it) is handed back; false: the queue was
  // empty or the call was abandoned, nothing ran.
  bool RunFront(std::unique_lock<std::mutex> &L, std::exception_ptr &PostedError);
  void WakeWaiters() override;
  // Calls waiting, abandoned ones included; with the lock held.
  std::size_t Queued() const { return Queue_.size(); }
  // Blocking calls among them; with the lock held.
  std::size_t BlockingQueued() const { return BlockingQueued_; }

  mutable std::mutex Lock_;
  bool Closed_ = false;

private:
  struct TCall;
  void Enqueue(const std::shared_ptr<TCall> &C, std::unique_lock<std::mutex> &L);

  std::deque<std::shared_ptr<TCall>> Queue_;
  std::size_t BlockingQueued_ = 0;
  const std::thread::id Main_;
};

// A plain queue that its main thread pumps.
class TQueueDispatcher final : public TDispatcherBase {
public:
  TQueueDispatcher() = default;
  ~TQueueDispatcher() override { Close(); }

  std::size_t ProcessPending() override { return Pump(); }

  // Runs what is queued now (not what those functions queue); returns the number run.
  std::size_t Pump();
  // Runs queued functions as they arrive for TimeOutMs milliseconds; returns the number run.
  std::size_t PumpFor(int TimeOutMs);
  // Runs queued functions until Pred() holds (tested before waiting and after each function) or
  // TimeOutMs passes; returns Pred()'s last value.
  bool PumpUntil(const std::function<bool()> &Pred, int TimeOutMs);

protected:
  void Signal(std::unique_lock<std::mutex> &L) override;

private:
  // RunFront that passes a posted function's failure on to the loop that pumps.
  bool RunOne(std::unique_lock<std::mutex> &L);

  std::condition_variable Arrived_; // the main thread waits for work
};

} // namespace sonquarry::platform
