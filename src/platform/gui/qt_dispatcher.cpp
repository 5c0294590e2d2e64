#include "platform/gui/qt_dispatcher.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <chrono>
#include <iostream>

namespace sonquarry {

namespace {
// One turn of the queue yields to the event loop after this long, so that painting and input
// keep up while the threads deliver faster than the handlers run.
constexpr auto TurnBudget = std::chrono::milliseconds(15);
} // namespace

struct TQtDispatcher::TCall {
  std::function<void()> Fn;
  std::shared_ptr<platform::TLifeline> Guard;
  bool Blocking = false;
  bool Started = false;
  bool Finished = false;
  bool Ran = false;
  bool Abandoned = false; // its caller left before it started: never run it
  std::exception_ptr Error;
};

TQtDispatcher::TQtDispatcher()
    : Main_(std::this_thread::get_id()), Receiver_(std::make_unique<QObject>()) {
  ListenForCuts();
}

TQtDispatcher::~TQtDispatcher() {
  Close();
  StopListeningForCuts();
}

bool TQtDispatcher::IsMainThread() const { return std::this_thread::get_id() == Main_; }

bool TQtDispatcher::Closed() const {
  std::lock_guard<std::mutex> L(Lock_);
  return Closed_;
}

std::size_t TQtDispatcher::Pending() const {
  std::lock_guard<std::mutex> L(Lock_);
  return Queue_.size();
}

void TQtDispatcher::WakeWaiters() {
  std::lock_guard<std::mutex> L(Lock_);
  Finished_.notify_all();
}

void TQtDispatcher::WakeLoop(std::unique_lock<std::mutex> &L) {
  (void)L;
  if (WakePosted_) return;
  WakePosted_ = true;
  QMetaObject::invokeMethod(
      Receiver_.get(), [this] { Drain(); }, Qt::QueuedConnection);
}

bool TQtDispatcher::RunBlocking(std::function<void()> Fn,
                                const std::shared_ptr<platform::TLifeline> &Guard) {
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
  Queue_.push_back(C);
  WakeLoop(L);
  Finished_.wait(
      L, [&] { return C->Finished || (!C->Started && (Closed_ || (Guard && !Guard->Alive()))); });
  if (!C->Finished) {
    C->Abandoned = true; // the main thread skips it and never touches C->Fn
    return false;
  }
  if (C->Error) std::rethrow_exception(C->Error);
  return C->Ran;
}

void TQtDispatcher::Post(std::function<void()> Fn,
                         const std::shared_ptr<platform::TLifeline> &Guard) {
  auto C = std::make_shared<TCall>();
  C->Fn = std::move(Fn);
  C->Guard = Guard;
  std::unique_lock<std::mutex> L(Lock_);
  if (Closed_) return;
  Queue_.push_back(C);
  WakeLoop(L);
}

void TQtDispatcher::Close() {
  std::deque<std::shared_ptr<TCall>> Dropped;
  {
    std::lock_guard<std::mutex> L(Lock_);
    Closed_ = true;
    Dropped.swap(Queue_);
    Finished_.notify_all();
  }
}

void TQtDispatcher::RunCall(const std::shared_ptr<TCall> &C, std::unique_lock<std::mutex> &L) {
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
  if (!C->Blocking && Error) {
    // Never through Qt's event loop: the handler shows or logs it.
    if (OnPostedError) {
      OnPostedError(Error);
    } else {
      try {
        std::rethrow_exception(Error);
      } catch (const std::exception &E) {
        std::cerr << "sonquarry: " << E.what() << '\n';
      } catch (...) {
        std::cerr << "sonquarry: unknown error in a posted call\n";
      }
    }
  }
  L.lock();
  C->Ran = Ran;
  C->Finished = true;
  if (C->Blocking) {
    C->Error = Error;
    Finished_.notify_all();
  }
}

std::size_t TQtDispatcher::Drain() {
  const auto Start = std::chrono::steady_clock::now();
  std::unique_lock<std::mutex> L(Lock_);
  WakePosted_ = false;
  std::size_t N = Queue_.size(), Done = 0;
  while (N-- > 0 && !Queue_.empty()) {
    auto C = Queue_.front();
    Queue_.pop_front();
    if (C->Abandoned) continue;
    RunCall(C, L);
    ++Done;
    if (std::chrono::steady_clock::now() - Start > TurnBudget) break;
  }
  if (!Queue_.empty() && !Closed_) WakeLoop(L);
  const auto Us = std::chrono::duration_cast<std::chrono::microseconds>(
                      std::chrono::steady_clock::now() - Start)
                      .count();
  if (Us > LongestTurnUs_) LongestTurnUs_ = Us;
  return Done;
}

} // namespace sonquarry
