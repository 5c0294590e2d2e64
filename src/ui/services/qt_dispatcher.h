#pragma once
// The main-thread hand-over over Qt's event loop: calls from other threads wait in a queue and
// the event loop runs them (also inside modal dialogs and message boxes). Close, at shutdown,
// releases every thread still blocked in a hand-over, so none hangs on a loop that has ended.
//
// Posted calls are run in batches: a turn of the queue for them alone comes at most once per
// PostedPace, so that many small calls (a directory each during a search) cost the loop one wake
// and one repaint per batch rather than per call. A blocking call is run at once, with every
// call queued before it.

#include "platform/os/main_thread.h"

#include <QObject>
#include <chrono>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>

class QTimer;

namespace sonquarry {

class TQtDispatcher final : public platform::TDispatcherBase {
public:
  static constexpr std::chrono::milliseconds PostedPace{10};

  // Create on the thread that runs the QApplication; that thread is the main thread.
  TQtDispatcher();
  ~TQtDispatcher() override;

  std::size_t ProcessPending() override { return Drain(true); }

  // Where a posted function's error goes (it has no caller); default: standard error.
  std::function<void(std::exception_ptr)> OnPostedError;

  // The longest time one turn of the queue took on the main thread, in microseconds, and the
  // number of turns that ran calls.
  long long LongestTurnUs() const { return LongestTurnUs_; }
  long long Turns() const { return Turns_; }
  void ResetLongestTurn() {
    LongestTurnUs_ = 0;
    Turns_ = 0;
  }

protected:
  void Signal(std::unique_lock<std::mutex> &L) override;

private:
  // Now: run the queue even when only posted calls wait and the last turn was recent.
  std::size_t Drain(bool Now);
  void ReportPostedError(std::exception_ptr Error);

  bool WakePosted_ = false;           // under Lock_: a turn is queued on the loop
  bool Paced_ = false;                // under Lock_: Pace_ runs and will take the posted calls
  std::unique_ptr<QObject> Receiver_; // lives on the main thread; its events run the queue
  std::unique_ptr<QTimer> Pace_;      // main thread
  std::chrono::steady_clock::time_point LastTurn_{}; // main thread
  long long LongestTurnUs_ = 0;
  long long Turns_ = 0;
};

} // namespace sonquarry
