#pragma once
// The main-thread hand-over over Qt's event loop: calls from other threads wait in a queue and
// the event loop runs them (also inside modal dialogs and message boxes). Close, at shutdown,
// releases every thread still blocked in a hand-over, so none hangs on a loop that has ended.

#include "platform/main_thread.h"

#include <QObject>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>

namespace sonquarry {

class TQtDispatcher final : public platform::TDispatcherBase {
public:
  // Create on the thread that runs the QApplication; that thread is the main thread.
  TQtDispatcher();
  ~TQtDispatcher() override;

  std::size_t ProcessPending() override { return Drain(); }

  // Where a posted function's error goes (it has no caller); default: standard error.
  std::function<void(std::exception_ptr)> OnPostedError;

  // The longest time one turn of the queue took on the main thread, in microseconds.
  long long LongestTurnUs() const { return LongestTurnUs_; }
  void ResetLongestTurn() { LongestTurnUs_ = 0; }

protected:
  void Signal(std::unique_lock<std::mutex> &L) override;

private:
  std::size_t Drain();
  void ReportPostedError(std::exception_ptr Error);

  bool WakePosted_ = false;           // under Lock_
  std::unique_ptr<QObject> Receiver_; // lives on the main thread; its events run the queue
  long long LongestTurnUs_ = 0;
};

} // namespace sonquarry
