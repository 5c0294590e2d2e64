#pragma once
// Runs the window's events and the built-in dispatcher's hand-overs until a condition holds.

#include <QCoreApplication>
#include <QElapsedTimer>
#include <chrono>
#include <functional>
#include <thread>

#include "platform/os/main_thread.h"

namespace sonquarry::testing {

inline bool SpinUntil(const std::function<bool()> &Pred, int Ms = 30000) {
  QElapsedTimer t;
  t.start();
  while (!Pred() && t.elapsed() < Ms) {
    platform::BuiltInMainThread().Pump();
    QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    // A short sleep leaves the cores to the threads and servers that the test waits for.
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return Pred();
}

} // namespace sonquarry::testing
