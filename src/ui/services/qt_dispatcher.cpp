#include "ui/services/qt_dispatcher.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QTimer>
#include <iostream>

namespace sonquarry {

namespace {
// One turn of the queue yields to the event loop after this long, so that painting and input
// keep up while the threads deliver faster than the handlers run.
constexpr auto TurnBudget = std::chrono::milliseconds(15);
} // namespace

TQtDispatcher::TQtDispatcher()
    : Receiver_(std::make_unique<QObject>()), Pace_(std::make_unique<QTimer>()) {
  Pace_->setSingleShot(true);
  QObject::connect(Pace_.get(), &QTimer::timeout, Receiver_.get(), [this] {
    {
      std::lock_guard<std::mutex> L(Lock_);
      Paced_ = false;
    }
    Drain(true);
  });
}

TQtDispatcher::~TQtDispatcher() { Close(); }

void TQtDispatcher::Signal(std::unique_lock<std::mutex> &L) {
  (void)L;
  if (WakePosted_ || Closed_) return;
  // Posted calls alone wait for the paced turn.
  if (Paced_ && BlockingQueued() == 0) return;
  WakePosted_ = true;
  QMetaObject::invokeMethod(
      Receiver_.get(), [this] { Drain(false); }, Qt::QueuedConnection);
}

void TQtDispatcher::ReportPostedError(std::exception_ptr Error) {
  // Never through Qt's event loop: the handler shows or logs it.
  if (OnPostedError) {
    OnPostedError(Error);
    return;
  }
  try {
    std::rethrow_exception(Error);
  } catch (const std::exception &E) {
    std::cerr << "sonquarry: " << E.what() << '\n';
  } catch (...) {
    std::cerr << "sonquarry: unknown error in a posted call\n";
  }
}

std::size_t TQtDispatcher::Drain(bool Now) {
  const auto Start = std::chrono::steady_clock::now();
  std::unique_lock<std::mutex> L(Lock_);
  WakePosted_ = false;
  if (Queued() == 0) return 0;
  if (!Now && BlockingQueued() == 0 && Start - LastTurn_ < PostedPace) {
    if (!Paced_) {
      Paced_ = true;
      const auto Left =
          std::chrono::ceil<std::chrono::milliseconds>(PostedPace - (Start - LastTurn_));
      L.unlock();
      Pace_->start(Left);
    }
    return 0;
  }
  if (Paced_) {
    // This turn takes what the paced one would have.
    Paced_ = false;
    L.unlock();
    Pace_->stop();
    L.lock();
  }
  LastTurn_ = Start;
  ++Turns_;
  std::size_t N = Queued(), Done = 0;
  while (N-- > 0 && Queued() > 0) {
    std::exception_ptr Error;
    if (!RunFront(L, Error)) continue;
    ++Done;
    if (Error) {
      L.unlock();
      ReportPostedError(Error);
      L.lock();
    }
    if (std::chrono::steady_clock::now() - Start > TurnBudget) break;
  }
  if (Queued() > 0) Signal(L);
  const auto Us = std::chrono::duration_cast<std::chrono::microseconds>(
                      std::chrono::steady_clock::now() - Start)
                      .count();
  if (Us > LongestTurnUs_) LongestTurnUs_ = Us;
  return Done;
}

} // namespace sonquarry
