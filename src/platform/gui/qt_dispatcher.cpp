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

TQtDispatcher::TQtDispatcher() : Receiver_(std::make_unique<QObject>()) {}

TQtDispatcher::~TQtDispatcher() { Close(); }

void TQtDispatcher::Signal(std::unique_lock<std::mutex> &L) {
  (void)L;
  if (WakePosted_ || Closed_) return;
  WakePosted_ = true;
  QMetaObject::invokeMethod(
      Receiver_.get(), [this] { Drain(); }, Qt::QueuedConnection);
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

std::size_t TQtDispatcher::Drain() {
  const auto Start = std::chrono::steady_clock::now();
  std::unique_lock<std::mutex> L(Lock_);
  WakePosted_ = false;
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
