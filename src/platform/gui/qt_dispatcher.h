#pragma once
// The main-thread hand-over over Qt's event loop: calls from other threads wait in a queue and
// the event loop runs them (also inside modal dialogs and message boxes). Close, at shutdown,
// releases every thread still blocked in a hand-over, so none hangs on a loop that has ended.

#include "platform/main_thread.h"

#include <QObject>
#include <condition_variable>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

namespace sonquarry {

class TQtDispatcher final : public platform::TMainThreadDispatcher {
public:
  // Create on the thread that runs the QApplication; that thread is the main thread.
  TQtDispatcher();
  ~TQtDispatcher() override;
  TQtDispatcher(const TQtDispatcher &) = delete;
  TQtDispatcher &operator=(const TQtDispatcher &) = delete;

  bool RunBlocking(std::function<void()> Fn,
                   const std::shared_ptr<platform::TLifeline> &Guard = nullptr) override;
  void Post(std::function<void()> Fn,
            const std::shared_ptr<platform::TLifeline> &Guard = nullptr) override;
  bool IsMainThread() const override;
  std::size_t ProcessPending() override { return Drain(); }
  void Close() override;
  bool Closed() const override;

  // Where a posted function's error goes (it has no caller); default: standard error.
  std::function<void(std::exception_ptr)> OnPostedError;

  // Number of calls waiting for the loop.
  std::size_t Pending() const;
  // The longest time one turn of the queue took on the main thread, in microseconds.
  long long LongestTurnUs() const { return LongestTurnUs_; }
  void ResetLongestTurn() { LongestTurnUs_ = 0; }

protected:
  void WakeWaiters() override;

private:
  struct TCall;
  std::size_t Drain();
  void RunCall(const std::shared_ptr<TCall> &C, std::unique_lock<std::mutex> &L);
  void WakeLoop(std::unique_lock<std::mutex> &L);

  mutable std::mutex Lock_;
  std::condition_variable Finished_;
  std::deque<std::shared_ptr<TCall>> Queue_;
  bool Closed_ = false;
  bool WakePosted_ = false;
  const std::thread::id Main_;
  std::unique_ptr<QObject> Receiver_; // lives on the main thread; its events run the queue
  long long LongestTurnUs_ = 0;
};

} // namespace sonquarry
