// The hand-over to the main thread over Qt's event loop: calls run there in order, posted ones
// too, and closing lets every blocked thread go.

#include "support/gui_spin.h"
#include "ui/services/qt_dispatcher.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <atomic>
#include <gtest/gtest.h>
#include <thread>
#include <vector>

using namespace sonquarry;

using sonquarry::testing::SpinUntil;

TEST(QtDispatcher, BlockingAndPostedCallsRunOnTheLoopInOrder) {
  TQtDispatcher d;
  const auto main = std::this_thread::get_id();
  std::vector<int> order;
  std::atomic<int> done{0};
  std::thread worker([&] {
    EXPECT_FALSE(d.IsMainThread());
    d.Post([&] { order.push_back(1); });
    EXPECT_TRUE(d.RunBlocking([&] {
      EXPECT_EQ(std::this_thread::get_id(), main);
      order.push_back(2);
    }));
    EXPECT_THROW(d.RunBlocking([] { throw std::runtime_error("x"); }), std::runtime_error);
    ++done;
  });
  EXPECT_TRUE(SpinUntil([&] { return done == 1; }));
  worker.join();
  EXPECT_EQ(order, (std::vector<int>{1, 2}));
  EXPECT_TRUE(d.RunBlocking([&] { order.push_back(3); })); // from the main thread: at once
  EXPECT_EQ(order.back(), 3);
}

TEST(QtDispatcher, CloseAndCutReleaseBlockedThreads) {
  TQtDispatcher d;
  auto life = platform::TLifeline::Create();
  std::atomic<int> results{0};
  bool ran = false;
  std::vector<std::thread> workers;
  for (int i = 0; i < 3; ++i)
    workers.emplace_back([&, i] {
      const bool r = d.RunBlocking([&] { ran = true; }, i == 0 ? life : nullptr);
      EXPECT_FALSE(r);
      ++results;
    });
  while (d.Pending() < 3) std::this_thread::yield(); // nobody runs the loop meanwhile
  life->Cut();
  while (results < 1) std::this_thread::yield();
  d.Close();
  for (auto &w : workers) w.join();
  EXPECT_EQ(results, 3);
  QCoreApplication::processEvents();
  EXPECT_FALSE(ran);
  EXPECT_FALSE(d.RunBlocking([&] { ran = true; })); // closed, even on the main thread
  std::thread late([&] { EXPECT_FALSE(d.RunBlocking([&] { ran = true; })); });
  late.join();
  EXPECT_FALSE(ran);
}
