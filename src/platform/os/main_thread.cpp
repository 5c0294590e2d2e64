#include "platform/os/main_thread.h"

#include <algorithm>
#include <chrono>
#include <exception>
#include <vector>

namespace sonquarry::platform {

namespace {

// Dispatchers whose waiting callers a Cut must wake. Lock order: this lock, then a dispatcher's.
std::mutex &CutListenersLock() {
  static std::mutex L;
  return L;
}
std::vector<TMainThreadDispatcher *> &CutListeners() {
  static std::vector<TMainThreadDispatcher *> V;
  return V;
}

TQueueDispatcher BuiltIn;
std::atomic<TMainThreadDispatcher *> Installed{nullptr};

} // namespace

// ---- TLifeline

bool TLifeline::Run(const std::function<void()> &Fn) {
  std::lock_guard<std::recursive_mutex> L(Lock_);
  if (!Alive_.load(std::memory_order_acquire)) return false;
  Fn();
  return true;
}

void TLifeline::Cut() {
  {
    // Waits for a guarded function that runs on another thread.
    std::lock_guard<std::recursive_mutex> L(Lock_);
    Alive_.store(false, std::memory_order_release);
  }
  std::lock_guard<std::mutex> L(CutListenersLock());
  for (auto *D : CutListeners()) D->WakeWaiters();
}

// ---- TMainThreadDispatcher

void TMainThreadDispatcher::ListenForCuts() {
  std::lock_guard<std::mutex> L(CutListenersLock());
  CutListeners().push_back(this);
}

void TMainThreadDispatcher::StopListeningForCuts() {
  std::lock_guard<std::mutex> L(CutListenersLock());
  auto &V = CutListeners();
  V.erase(std::remove(V.begin(), V.end(), this), V.end());
}

TMainThreadDispatcher &MainThread() {
  auto *D = Installed.load(std::memory_order_acquire);
  return D ? *D : BuiltIn;
}

void SetMainThread(TMainThreadDispatcher *D) { Installed.store(D, std::memory_order_release); }

TQueueDispatcher &BuiltInMainThread() { return BuiltIn; }

// ---- TDispatcherBase

struct TDispatcherBase::TCall {
  std::function<void()> Fn;
  std::shared_ptr<TLifeline> Guard;
  std::condition_variable Done; // its blocked caller waits here
  bool Blocking = false;
  bool Started = false;   // the main thread has taken it
  bool Finished = false;  // the main thread is done with it
  bool Ran = false;       // the function was called
  bool Abandoned = false; // its caller left before it started: never run it
  std::exception_ptr Error;
};

TDispatcherBase::TDispatcherBase() : Main_(std::this_thread::get_id()) { ListenForCuts(); }

TDispatcherBase::~TDispatcherBase() { StopListeningForCuts(); }

bool TDispatcherBase::IsMainThread() const { return std::this_thread::get_id() == Main_; }

bool TDispatcherBase::Closed() const {
  std::lock_guard<std::mutex> L(Lock_);
  return Closed_;
}

std::size_t TDispatcherBase::Pending() const {
  std::lock_guard<std::mutex> L(Lock_);
  return Queue_.size();
}

void TDispatcherBase::WakeWaiters() {
  // Only callers whose call has not started can leave on a cut.
  std::lock_guard<std::mutex> L(Lock_);
  for (const auto &C : Queue_)
    if (C->Blocking) C->Done.notify_one();
}

void TDispatcherBase::Enqueue(const std::shared_ptr<TCall> &C, std::unique_lock<std::mutex> &L) {
  Queue_.push_back(C);
  if (C->Blocking) ++BlockingQueued_;
  Signal(L);
}

bool TDispatcherBase::RunBlocking(std::function<void()> Fn,
                                  const std::shared_ptr<TLifeline> &Guard) {
  if (IsMainThread()) {
    if (Closed()) return false;
    if (Guard) return Guard->Run(Fn);
    Fn();
    return true;
  }
  auto C = std::make_shared<TCall>();
  C->Fn = std::move(Fn);
  C->Guard = Guard;
  C->Blocking = true;
  std::unique_lock<std::mutex> L(Lock_);
  if (Closed_ || (Guard && !Guard->Alive())) return false;
  Enqueue(C, L);
  C->Done.wait(
      L, [&] { return C->Finished || (!C->Started && (Closed_ || (Guard && !Guard->Alive()))); });
  if (!C->Finished) {
    // Not taken yet: the main thread will skip it and never touch C->Fn.
    C->Abandoned = true;
    return false;
  }
  if (C->Error) std::rethrow_exception(C->Error);
  return C->Ran;
}

void TDispatcherBase::Post(std::function<void()> Fn, const std::shared_ptr<TLifeline> &Guard) {
  auto C = std::make_shared<TCall>();
  C->Fn = std::move(Fn);
  C->Guard = Guard;
  std::unique_lock<std::mutex> L(Lock_);
  if (Closed_) return;
  Enqueue(C, L);
}

void TDispatcherBase::Close() {
  std::deque<std::shared_ptr<TCall>> Dropped;
  {
    std::unique_lock<std::mutex> L(Lock_);
    Closed_ = true;
    Dropped.swap(Queue_);
    BlockingQueued_ = 0;
    for (const auto &C : Dropped)
      if (C->Blocking) C->Done.notify_one();
    Signal(L);
  }
  // Dropped functions die here, outside the lock; callers that left never see them again.
}

bool TDispatcherBase::RunFront(std::unique_lock<std::mutex> &L, std::exception_ptr &PostedError) {
  if (Queue_.empty()) return false;
  auto C = Queue_.front();
  Queue_.pop_front();
  if (C->Blocking) --BlockingQueued_;
  if (C->Abandoned) return false;
  C->Started = true;
  L.unlock();
  std::exception_ptr Error;
  bool Ran = false;
  try {
    if (C->Guard)
      Ran = C->Guard->Run(C->Fn);
    else {
      C->Fn();
      Ran = true;
    }
  } catch (...) {
    Ran = true;
    Error = std::current_exception();
  }
  std::function<void()> Done = std::move(C->Fn);
  Done = nullptr;
  L.lock();
  C->Ran = Ran;
  C->Finished = true;
  if (C->Blocking) {
    C->Error = Error;
    C->Done.notify_one();
  } else {
    PostedError = Error;
  }
  return true;
}

// ---- TQueueDispatcher

void TQueueDispatcher::Signal(std::unique_lock<std::mutex> &L) {
  (void)L;
  Arrived_.notify_all();
}

bool TQueueDispatcher::RunOne(std::unique_lock<std::mutex> &L) {
  std::exception_ptr Error;
  const bool Ran = RunFront(L, Error);
  if (Error) {
    // A posted function has no caller to hand its failure to: it reaches the loop that pumps.
    L.unlock();
    std::rethrow_exception(Error);
  }
  return Ran;
}

std::size_t TQueueDispatcher::Pump() {
  std::unique_lock<std::mutex> L(Lock_);
  std::size_t N = Queued(), Done = 0;
  while (N-- > 0 && Queued() > 0) {
    RunOne(L);
    ++Done;
  }
  return Done;
}

std::size_t TQueueDispatcher::PumpFor(int TimeOutMs) {
  const auto Deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(TimeOutMs);
  std::unique_lock<std::mutex> L(Lock_);
  std::size_t Done = 0;
  for (;;) {
    if (Queued() > 0) {
      RunOne(L);
      ++Done;
      continue;
    }
    if (Closed_ || Arrived_.wait_until(L, Deadline) == std::cv_status::timeout) break;
  }
  return Done;
}

bool TQueueDispatcher::PumpUntil(const std::function<bool()> &Pred, int TimeOutMs) {
  const auto Deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(TimeOutMs);
  for (;;) {
    if (Pred()) return true;
    const auto Now = std::chrono::steady_clock::now();
    if (Now >= Deadline) return false;
    std::unique_lock<std::mutex> L(Lock_);
    if (Queued() == 0) {
      // Pred may depend on things that queue nothing (a thread that ended): look again soon.
      Arrived_.wait_until(L, std::min(Deadline, Now + std::chrono::milliseconds(5)));
      continue;
    }
    RunOne(L);
  }
}

} // namespace sonquarry::platform
