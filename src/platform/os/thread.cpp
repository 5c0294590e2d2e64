#include "platform/os/thread.h"

#include <chrono>
#include <exception>
#include <vector>

namespace sonquarry::platform {

namespace {

// Self-freeing threads still running, and the handles of those that ended, waiting to be joined.
// Never destroyed: a thread may still end while the process runs its exit handlers.
struct TFreeThreads {
  std::mutex Lock;
  std::condition_variable Ended;
  int Live = 0;
  std::vector<std::thread> Done;
};

TFreeThreads &FreeThreads() {
  static auto *R = new TFreeThreads;
  return *R;
}

void JoinEnded() {
  std::vector<std::thread> Done;
  {
    std::lock_guard<std::mutex> L(FreeThreads().Lock);
    Done.swap(FreeThreads().Done);
  }
  for (auto &T : Done) T.join();
}

} // namespace

TThread::TThread() = default;

TThread::~TThread() {
  // Last resort for a thread that does not free itself: its owner should have called WaitFor.
  if (!FreeOnTerminate_ && Handle_.joinable()) {
    Terminate();
    if (Handle_.get_id() != std::this_thread::get_id())
      Handle_.join();
    else
      Handle_.detach();
  }
}

void TThread::Resume() {
  if (Started_) return;
  JoinEnded();
  auto &R = FreeThreads();
  std::lock_guard<std::mutex> L(Lock_);
  if (FreeOnTerminate_) {
    Self_ = weak_from_this().lock();
    std::lock_guard<std::mutex> G(R.Lock);
    ++R.Live;
  }
  try {
    Handle_ = std::thread(&TThread::Main, this);
  } catch (...) {
    if (FreeOnTerminate_) {
      Self_.reset(); // not the last reference: the caller holds one
      std::lock_guard<std::mutex> G(R.Lock);
      --R.Live;
      R.Ended.notify_all();
    }
    throw;
  }
  Started_ = true;
}

namespace {
thread_local TThread *CurrentThread = nullptr;
}

TThread *TThread::Current() { return CurrentThread; }

void TThread::SetTerminateHook(std::function<void()> Hook) {
  std::lock_guard<std::mutex> L(Lock_);
  TerminateHook_ = std::move(Hook);
}

void TThread::Terminate() {
  Terminated_.store(true, std::memory_order_release);
  std::lock_guard<std::mutex> L(Lock_);
  TerminateSignal_.notify_all();
  if (TerminateHook_) TerminateHook_();
}

void TThread::SetOnTerminate(TNotifyEvent Handler) {
  std::lock_guard<std::mutex> L(Lock_);
  OnTerminate_ = std::move(Handler);
}

void TThread::WaitFor() {
  if (FreeOnTerminate_ || !Handle_.joinable() || Handle_.get_id() == std::this_thread::get_id())
    return;
  auto &D = MainThread();
  if (D.IsMainThread()) {
    while (!Exited_.load(std::memory_order_acquire)) {
      if (D.ProcessPending() == 0) {
        std::unique_lock<std::mutex> L(Lock_);
        TerminateSignal_.wait_for(L, std::chrono::milliseconds(2),
                                  [&] { return Exited_.load(std::memory_order_acquire); });
      }
    }
  }
  Handle_.join();
}

std::string TThread::FatalError() const {
  std::lock_guard<std::mutex> L(Lock_);
  return FatalError_;
}

bool TThread::WaitForFreeThreads(int TimeOutMs) {
  auto &R = FreeThreads();
  bool AllEnded;
  {
    std::unique_lock<std::mutex> L(R.Lock);
    auto None = [&] { return R.Live == 0; };
    if (TimeOutMs < 0) {
      R.Ended.wait(L, None);
      AllEnded = true;
    } else {
      AllEnded = R.Ended.wait_for(L, std::chrono::milliseconds(TimeOutMs), None);
    }
  }
  JoinEnded();
  return AllEnded;
}

int TThread::FreeThreadCount() {
  std::lock_guard<std::mutex> L(FreeThreads().Lock);
  return FreeThreads().Live;
}

void TThread::Sleep(int Ms) {
  if (Ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(Ms));
}

bool TThread::Synchronize(const std::function<void()> &Fn,
                          const std::shared_ptr<TLifeline> &Guard) {
  return MainThread().RunBlocking(Fn, Guard);
}

bool TThread::WaitTerminated(int Ms) {
  std::unique_lock<std::mutex> L(Lock_);
  TerminateSignal_.wait_for(L, std::chrono::milliseconds(Ms < 0 ? 0 : Ms),
                            [&] { return Terminated(); });
  return Terminated();
}

void TThread::DoTerminate() {
  {
    std::lock_guard<std::mutex> L(Lock_);
    if (!OnTerminate_) return;
  }
  try {
    Synchronize([this] {
      // Read again here: the owner may have detached while the event waited.
      TNotifyEvent Handler;
      {
        std::lock_guard<std::mutex> L(Lock_);
        Handler = OnTerminate_;
      }
      if (Handler) Handler(this);
    });
  } catch (...) {
    // The end-of-thread event failed on the main thread; the thread ends all the same.
  }
}

void TThread::Main(TThread *Self) {
  CurrentThread = Self;
  try {
    Self->Execute();
  } catch (const std::exception &E) {
    std::lock_guard<std::mutex> L(Self->Lock_);
    Self->FatalError_ = E.what();
  } catch (...) {
    std::lock_guard<std::mutex> L(Self->Lock_);
    Self->FatalError_ = "unknown exception";
  }
  CurrentThread = nullptr;
  Self->Finished_.store(true, std::memory_order_release);
  Self->DoTerminate();
  if (!Self->FreeOnTerminate_) {
    std::lock_guard<std::mutex> L(Self->Lock_);
    Self->Exited_.store(true, std::memory_order_release);
    Self->TerminateSignal_.notify_all();
    return;
  }
  std::thread Handle;
  std::shared_ptr<TThread> Hold;
  {
    // Resume may still be storing the handle.
    std::lock_guard<std::mutex> L(Self->Lock_);
    Handle = std::move(Self->Handle_);
    Hold = std::move(Self->Self_);
  }
  // An owner that still holds the object frees it when it lets go.
  if (Hold)
    Hold.reset();
  else
    delete Self;
  auto &R = FreeThreads();
  std::lock_guard<std::mutex> L(R.Lock);
  R.Done.push_back(std::move(Handle));
  --R.Live;
  R.Ended.notify_all();
}

TSerialJobs::~TSerialJobs() {
  {
    std::lock_guard<std::mutex> L(Lock_);
    Ending_ = true;
  }
  Changed_.notify_all();
  if (Thread_.joinable()) Thread_.join();
}

void TSerialJobs::Post(std::function<void()> Job) {
  std::lock_guard<std::mutex> L(Lock_);
  Jobs_.push_back(std::move(Job));
  if (!Thread_.joinable()) Thread_ = std::thread([this] { Run(); });
  Changed_.notify_all();
}

void TSerialJobs::Drain() {
  std::unique_lock<std::mutex> L(Lock_);
  Changed_.wait(L, [this] { return Jobs_.empty() && !Running_; });
}

void TSerialJobs::Run() {
  std::unique_lock<std::mutex> L(Lock_);
  for (;;) {
    Changed_.wait(L, [this] { return !Jobs_.empty() || Ending_; });
    if (Jobs_.empty()) return; // ending, and nothing left to run
    std::function<void()> Job = std::move(Jobs_.front());
    Jobs_.pop_front();
    Running_ = true;
    L.unlock();
    try {
      Job();
    } catch (...) {
      // A job's failure is its own to report; the jobs after it still run.
    }
    L.lock();
    Running_ = false;
    Changed_.notify_all();
  }
}

} // namespace sonquarry::platform
