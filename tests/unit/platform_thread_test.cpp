// ctest-labels: threads
#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/os/main_thread.h"
#include "platform/os/thread.h"
#include "support/test_support.h"

using namespace sonquarry;
using namespace sonquarry::platform;
using Clock = std::chrono::steady_clock;
using sonquarry::testing::WaitUntil;

namespace {

int ElapsedMs(Clock::time_point Since) {
  return int(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - Since).count());
}

class DispatcherTest : public ::testing::Test {
protected:
  void SetUp() override { platform::SetMainThread(&D); }
  void TearDown() override {
    D.Close();
    EXPECT_TRUE(platform::TThread::WaitForFreeThreads(5000));
    platform::SetMainThread(nullptr);
  }
  platform::TQueueDispatcher D;
};

class TLambdaThread : public platform::TThread {
public:
  explicit TLambdaThread(std::function<void(TLambdaThread &)> Body,
                         std::atomic<int> *Destroyed = nullptr)
      : Body_(std::move(Body)), Destroyed_(Destroyed) {}
  ~TLambdaThread() override {
    if (Destroyed_) ++*Destroyed_;
  }
  using platform::TThread::Synchronize;
  using platform::TThread::WaitTerminated;

protected:
  void Execute() override { Body_(*this); }

private:
  std::function<void(TLambdaThread &)> Body_;
  std::atomic<int> *Destroyed_;
};

TEST_F(DispatcherTest, CreatedSuspendedUntilResume) {
  std::atomic<bool> Ran{false};
  TLambdaThread T([&](TLambdaThread &) { Ran = true; });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(Ran);
  EXPECT_FALSE(T.Started());
  T.Resume();
  T.WaitFor();
  EXPECT_TRUE(Ran);
  EXPECT_TRUE(T.Finished());
}

TEST_F(DispatcherTest, FreeOnTerminateRunsEndEventOnMainThreadThenFrees) {
  std::atomic<int> Destroyed{0};
  std::thread::id EventThread;
  int Events = 0;
  auto *T = new TLambdaThread([](TLambdaThread &) {}, &Destroyed);
  T->SetFreeOnTerminate(true);
  T->SetOnTerminate([&](platform::TThread *Sender) {
    EXPECT_EQ(Sender, T);
    EventThread = std::this_thread::get_id();
    ++Events;
    EXPECT_EQ(Destroyed, 0); // still alive while its end event runs
  });
  T->Resume();
  ASSERT_TRUE(D.PumpUntil([&] { return Destroyed == 1; }, 5000));
  EXPECT_EQ(Events, 1);
  EXPECT_EQ(EventThread, std::this_thread::get_id());
  EXPECT_TRUE(platform::TThread::WaitForFreeThreads(2000));
  EXPECT_EQ(platform::TThread::FreeThreadCount(), 0);
}

TEST_F(DispatcherTest, EndEventClearedOnMainThreadIsNeverCalled) {
  std::atomic<int> Destroyed{0};
  bool Called = false;
  std::atomic<bool> Go{false};
  auto *T = new TLambdaThread(
      [&](TLambdaThread &) {
        while (!Go) std::this_thread::sleep_for(std::chrono::milliseconds(1));
      },
      &Destroyed);
  T->SetFreeOnTerminate(true);
  T->SetOnTerminate([&](platform::TThread *) { Called = true; });
  T->Resume();
  T->SetOnTerminate(nullptr); // the owner goes away first
  Go = true;
  ASSERT_TRUE(D.PumpUntil([&] { return Destroyed == 1; }, 5000));
  EXPECT_FALSE(Called);
}

TEST_F(DispatcherTest, SynchronizeBlocksUntilMainThreadRan) {
  int Value = 0; // touched only on the main thread and by the worker after the hand-over
  std::atomic<bool> SawValue{false};
  TLambdaThread T([&](TLambdaThread &Self) {
    EXPECT_TRUE(Self.Synchronize([&] { Value = 42; }));
    SawValue = (Value == 42);
  });
  T.Resume();
  ASSERT_TRUE(D.PumpUntil([&] { return T.Finished(); }, 5000));
  T.WaitFor();
  EXPECT_TRUE(SawValue);
}

TEST_F(DispatcherTest, ExceptionOfBlockingCallReachesTheCaller) {
  std::string Caught;
  TLambdaThread T([&](TLambdaThread &Self) {
    try {
      Self.Synchronize([] { throw std::runtime_error("boom"); });
    } catch (const std::runtime_error &E) {
      Caught = E.what();
    }
  });
  T.Resume();
  ASSERT_TRUE(D.PumpUntil([&] { return T.Finished(); }, 5000));
  T.WaitFor();
  EXPECT_EQ(Caught, "boom");
}

TEST_F(DispatcherTest, RunBlockingOnMainThreadRunsInline) {
  int Ran = 0;
  EXPECT_TRUE(D.RunBlocking([&] { ++Ran; }));
  EXPECT_EQ(Ran, 1);
  EXPECT_EQ(D.Pending(), 0u);
}

TEST_F(DispatcherTest, PostRunsInOrderOnPump) {
  std::vector<int> Order;
  std::thread W([&] {
    for (int i = 0; i < 5; ++i) D.Post([&Order, i] { Order.push_back(i); });
  });
  W.join();
  EXPECT_EQ(D.Pump(), 5u);
  EXPECT_EQ(Order, (std::vector<int>{0, 1, 2, 3, 4}));
}

TEST_F(DispatcherTest, CutLifelineReleasesABlockedCallerAndSkipsItsFunction) {
  auto Owner = platform::TLifeline::Create();
  std::atomic<int> Result{-1};
  bool Ran = false;
  std::thread W([&] { Result = D.RunBlocking([&] { Ran = true; }, Owner) ? 1 : 0; });
  while (D.Pending() == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  const auto Start = Clock::now();
  Owner->Cut(); // the owner is released while the worker waits
  W.join();
  EXPECT_LT(ElapsedMs(Start), 5000); // it would wait for the main thread for ever
  EXPECT_EQ(Result, 0);
  D.Pump(); // the queued call is now skipped
  EXPECT_FALSE(Ran);
  // Later calls on a cut lifeline are refused at once.
  std::thread W2([&] { Result = D.RunBlocking([&] { Ran = true; }, Owner) ? 1 : 0; });
  W2.join();
  EXPECT_EQ(Result, 0);
  EXPECT_FALSE(Ran);
}

TEST_F(DispatcherTest, CutFromInsideTheGuardedFunctionNeitherDeadlocksNorAbandonsIt) {
  auto Owner = platform::TLifeline::Create();
  std::atomic<int> Result{-1};
  std::thread W([&] {
    Result = D.RunBlocking(
                 [&] {
                   Owner->Cut();
                   std::this_thread::sleep_for(std::chrono::milliseconds(20));
                 },
                 Owner)
                 ? 1
                 : 0;
  });
  ASSERT_TRUE(D.PumpUntil([&] { return Result != -1; }, 5000));
  W.join();
  EXPECT_EQ(Result, 1); // it ran to its end before the caller went on
}

TEST_F(DispatcherTest, CloseReleasesBlockedCallersAndRefusesLaterOnes) {
  std::atomic<int> Released{0};
  std::vector<std::thread> Ws;
  for (int i = 0; i < 3; ++i)
    Ws.emplace_back([&] {
      if (!D.RunBlocking([] {})) ++Released;
    });
  while (D.Pending() < 3) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  D.Close();
  for (auto &W : Ws) W.join();
  EXPECT_EQ(Released, 3);
  bool Ran = false;
  D.Post([&] { Ran = true; });
  EXPECT_EQ(D.Pump(), 0u);
  EXPECT_FALSE(Ran);
}

TEST_F(DispatcherTest, FreeThreadBlockedInHandOverEndsWhenOwnerCutsWhileMainThreadIsBusy) {
  // The hardest shutdown: the owner is released while its threads wait in a hand-over and the
  // main thread will not pump again until they have gone.
  auto Owner = platform::TLifeline::Create();
  std::atomic<int> Destroyed{0}, Delivered{0}, Refused{0};
  constexpr int Threads = 8;
  for (int i = 0; i < Threads; ++i) {
    auto *T = new TLambdaThread(
        [&](TLambdaThread &Self) {
          while (!Self.Terminated())
            if (!Self.Synchronize([&] { ++Delivered; }, Owner)) {
              ++Refused;
              break;
            }
        },
        &Destroyed);
    T->SetFreeOnTerminate(true);
    T->Resume();
  }
  ASSERT_TRUE(D.PumpUntil([&] { return Delivered >= 10 * Threads; }, 10000));
  // No more pumping: every thread comes to wait in a hand-over.
  ASSERT_TRUE(WaitUntil([&] { return D.Pending() == Threads; }, 10000));
  Owner->Cut();
  const int AtCut = Delivered;
  D.Close(); // the main loop ends: end events are skipped too
  EXPECT_TRUE(platform::TThread::WaitForFreeThreads(5000));
  EXPECT_EQ(Destroyed, Threads);
  EXPECT_EQ(Delivered, AtCut);
  EXPECT_EQ(Refused, Threads);
}

TEST_F(DispatcherTest, TerminateWakesWaitTerminatedAtOnce) {
  std::atomic<int> WaitedMs{-1};
  TLambdaThread T([&](TLambdaThread &Self) {
    const auto Start = Clock::now();
    Self.WaitTerminated(10000);
    WaitedMs = ElapsedMs(Start);
  });
  T.Resume();
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  T.Terminate();
  T.WaitFor();
  EXPECT_GE(WaitedMs, 0);
  EXPECT_LT(WaitedMs, 5000); // not the 10000 ms asked for
}

TEST_F(DispatcherTest, ExceptionInExecuteEndsTheThreadWithItsMessage) {
  TLambdaThread T([](TLambdaThread &) { throw std::runtime_error("TX.Execute: broken."); });
  T.Resume();
  ASSERT_TRUE(D.PumpUntil([&] { return T.Finished(); }, 5000));
  T.WaitFor();
  EXPECT_EQ(T.FatalError(), "TX.Execute: broken.");
}

TEST(EventTest, AutoResetsAfterOneWait) {
  platform::TEvent E;
  EXPECT_FALSE(E.WaitFor(10));
  E.SetEvent();
  E.SetEvent(); // two sets before a wait count once
  EXPECT_TRUE(E.WaitFor(0));
  EXPECT_FALSE(E.WaitFor(10));
}

// Slow work posted in turn runs in that order off the caller's thread, a failing job stops
// none after it, Drain waits for what was posted, and the end runs what is still queued.
TEST(SerialJobsTest, JobsRunInOrderOffTheCallerAndNoneIsLost) {
  std::vector<int> ran; // touched by the jobs' thread alone until Drain returns
  std::atomic<bool> offCaller{true};
  const auto caller = std::this_thread::get_id();
  {
    TSerialJobs jobs;
    for (int i = 0; i < 50; ++i)
      jobs.Post([&, i] {
        if (std::this_thread::get_id() == caller) offCaller = false;
        if (i == 3) throw std::runtime_error("a failed save");
        if (i % 10 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(2));
        ran.push_back(i);
      });
    jobs.Drain();
    EXPECT_EQ(ran.size(), 49u);
    for (int i = 50; i < 60; ++i) jobs.Post([&, i] { ran.push_back(i); });
  }
  std::vector<int> expected;
  for (int i = 0; i < 60; ++i)
    if (i != 3) expected.push_back(i);
  EXPECT_EQ(ran, expected);
  EXPECT_TRUE(offCaller);
}

} // namespace
