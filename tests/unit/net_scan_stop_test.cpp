// ctest-labels: threads
// Stopping a scan and releasing its coordinator while its threads run.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <map>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include <pthread.h>

#include <gtest/gtest.h>

#include "engine/net_scan.h"
#include "engine/scan_log.h"
#include "engine/scan_res_thread.h"
#include "engine/scan_session.h"
#include "paths/wnet_tree.h"
#include "platform/os/exception.h"
#include "platform/os/main_thread.h"
#include "support/net_scan_fixture.h"
#include "support/scan_log_blocks.h"
#include "support/test_support.h"

// ---- stopping

TEST_F(NetScanTest, StopDuringAWalkEndsAfterTheCallInProgressWithoutReportingIt) {
  ASSERT_TRUE(StartHeldIn("\\\\PC1\\music\\Rock"));
  ASSERT_NO_FATAL_FAILURE(StopAndRelease(300));
  // Nothing below or after the interrupted directory was listed or reported.
  const Strings Finds = Provider->Finds();
  const auto Held = std::find(Finds.begin(), Finds.end(), "\\\\PC1\\music\\Rock");
  ASSERT_NE(Held, Finds.end());
  for (auto It = Held + 1; It != Finds.end(); ++It) EXPECT_NE(It->rfind("\\\\PC1", 0), 0u) << *It;
  for (auto &R : Reports) EXPECT_NE(R.Dir.rfind("\\\\PC1", 0), 0u) << R.Dir;
  const auto L = ReadLogBlocks(LogFile);
  const auto *Pc1 = FindBlock(L, "Processing resource \\\\PC1.");
  ASSERT_TRUE(Pc1);
  EXPECT_EQ(Pc1->back(), "\\\\PC1\\empty"); // nothing after the share list
}

// Rows of a list searched again: a stop inside PC1's walk (its share "music" done, "private"
// held) leaves the rows the walk did not reach "not checked" (3), never "removed" (2); a search
// that ends removes the row that its listing no longer holds.
TEST_F(NetScanTest, AStopInsideAWalkLeavesTheRowsItDidNotReachNotChecked) {
  struct TCase {
    bool Stop;
    int Gone, Private; // states of music\gone.mp3 and private\secret.mp3
  };
  for (const TCase C :
       {TCase{false, nsInaccessible, nsKnown}, TCase{true, nsUnreached, nsUnreached}}) {
    SCOPED_TRACE(C.Stop ? "stopped" : "ended");
    TWNetTree Tree;
    Tree.AddFile("WG1", "\\\\PC1\\music\\Rock\\Deep", "c.mp3");
    Tree.AddFile("WG1", "\\\\PC1\\music", "gone.mp3");
    Tree.AddFile("WG1", "\\\\PC1\\private", "secret.mp3");
    TScanSession Session(*Scan, Tree);
    Session.PrepareList();
    bool MusicDone = false;
    Scan->OnFilesFound = [&](TScanResThread *, const std::string &Dir, const Strings &Files,
                             const std::string &Domain) {
      for (const auto &N : Files) Tree.AddFile(Domain, Dir, N);
      MusicDone = MusicDone || Dir == "\\\\PC1\\music";
    };
    Finished = 0;
    if (C.Stop) {
      ASSERT_TRUE(StartHeldIn("\\\\PC1\\private"));
      ASSERT_TRUE(Main.PumpUntil([&] { return MusicDone; }, 10000));
      ASSERT_NO_FATAL_FAILURE(StopAndRelease());
    } else {
      BuildNetwork(*Provider);
      Scan->Start();
      ASSERT_NO_FATAL_FAILURE(ExpectOneFinish());
    }
    Session.Finish();
    std::map<std::string, int> States;
    for (int I = 0; I < Tree.Count(); ++I)
      States[Tree.GetDirectory(I) + std::string(Tree.File(I).Name())] = Tree.File(I).State();
    EXPECT_EQ(States["\\\\PC1\\music\\Rock\\Deep\\c.mp3"], nsKnown);
    EXPECT_EQ(States["\\\\PC1\\music\\gone.mp3"], C.Gone);
    EXPECT_EQ(States["\\\\PC1\\private\\secret.mp3"], C.Private);
  }
}

TEST_F(NetScanTest, LimitedConnectionMethodPausesOnlyBeforeLaterResourcesAndStopCutsThePause) {
  // Eighteen computers under the root: whatever the order, every thread finds a first resource.
  ComputersUnderTheRoot(*Provider, 18);
  Scan->ScanMethod = smWinXPSP2; // 9 threads pausing 30000 ms before each further resource
  Scan->Start();
  EXPECT_EQ(Scan->RunningThreads().size(), 9u);
  // The first resource of each thread is processed at once: the root and eight computers.
  ASSERT_TRUE(Main.PumpUntil([&] { return Provider->Calls().size() >= 9; }, 20000))
      << Provider->Calls().size();
  Main.PumpFor(300);
  EXPECT_EQ(Provider->Calls().size(), 9u);
  EXPECT_EQ(Finished, 0);
  Scan->Stop();
  // Far less than the pause: it is waited in slices that look at the stop.
  ASSERT_NO_FATAL_FAILURE(ExpectOneFinish(20000));
  EXPECT_EQ(Provider->Calls().size(), 9u);
}

TEST_F(NetScanTest, LimitedConnectionMethodGivesEveryThreadAFirstResourceBeforeAnyPauses) {
  // The root and eight computers for nine threads: the thread done with the root must leave the
  // computers to the idle threads, so nobody pauses and the scan ends long before 30 s.
  ComputersUnderTheRoot(*Provider, 8);
  Scan->ScanMethod = smWinXPSP2;
  Scan->Start();
  ASSERT_TRUE(WaitFinished(15000)) << Provider->Calls().size();
  EXPECT_EQ(Provider->Calls().size(), 9u);
  EXPECT_EQ(CountBlocks(ReadLogBlocks(LogFile), "There is no more resources."), 9);
}

TEST_F(NetScanTest, StopEndsThreadsThatWaitForWork) {
  BuildNetwork(*Provider);
  Provider->Close("WG2"); // one thread holds the domain; the others wait for work
  Scan->Start();
  ASSERT_TRUE(Main.PumpUntil([&] { return Provider->WaitBlocked(0); }, 10000));
  // Every other thread has run out of work and waits.
  ASSERT_TRUE(Main.PumpUntil([&] { return Provider->Calls().size() == 7; }, 10000));
  Scan->Stop();
  // The holder is still in its call: only the waiting threads can end now.
  ASSERT_TRUE(Main.PumpUntil([&] { return Scan->RunningThreads().size() == 1; }, 20000));
  Provider->Open();
  ASSERT_NO_FATAL_FAILURE(ExpectOneFinish());
  const auto L = ReadLogBlocks(LogFile);
  const auto *Wg2 = FindBlock(L, "Processing resource WG2.");
  ASSERT_TRUE(Wg2);
  EXPECT_EQ(Wg2->back(), "Thread was terminated.");
}

TEST_F(NetScanTest, StartWhileRunningIsRefused) {
  BuildNetwork(*Provider);
  Provider->Close("WG1");
  Scan->Start();
  ASSERT_TRUE(Main.PumpUntil([&] { return Provider->WaitBlocked(0); }, 10000));
  EXPECT_THROW(Scan->Start(), Exception);
  Scan->Stop();
  Provider->Open();
  ASSERT_NO_FATAL_FAILURE(ExpectOneFinish());
}

TEST_F(NetScanTest, StartFailsWhenTheLogCannotBeEmptied) {
  Log.SetFileName((Dir / "no such dir" / "search.log").string());
  EXPECT_THROW(Scan->Start(), Exception);
  EXPECT_FALSE(Scan->Running());
}

// ---- releasing the coordinator during a scan

TEST_F(NetScanTest, ReleasedWhileThreadsWaitInAHandOver) {
  BuildNetwork(*Provider);
  std::atomic<int> Calls{0};
  Scan->OnFilesFound = [&](TScanResThread *, const std::string &, const Strings &,
                           const std::string &) { ++Calls; };
  Scan->OnResQueued = [&](TScanResThread *, const std::string &) { ++Calls; };
  Scan->Start();
  // Let the threads queue hand-overs without running them.
  ASSERT_TRUE(sonquarry::testing::WaitUntil([&] { return Main.Pending() > 0; }, 10000));
  Scan.reset();
  Main.PumpFor(500);
  EXPECT_EQ(Calls, 0);
  EXPECT_EQ(Finished, 0);
  EXPECT_TRUE(platform::TThread::WaitForFreeThreads(5000));
}

TEST_F(NetScanTest, ReleasedWhileAThreadIsInANetworkCall) {
  int Calls = 0;
  Scan->OnFilesFound = [&](TScanResThread *, const std::string &, const Strings &,
                           const std::string &) { ++Calls; };
  ASSERT_TRUE(StartHeldIn("\\\\PC1\\music\\Rock\\Deep"));
  const int Before = Calls;
  Scan.reset();
  Provider->Release();
  Main.PumpFor(300);
  EXPECT_EQ(Calls, Before);
  EXPECT_EQ(Finished, 0);
  EXPECT_TRUE(platform::TThread::WaitForFreeThreads(5000));
}

TEST_F(NetScanTest, ANewScanStartsWhileTheThreadsOfAReleasedOneStillLog) {
  ASSERT_TRUE(StartHeldIn("\\\\PC1\\music\\Rock"));
  Scan.reset();
  // The old threads write their last blocks while the new scan empties the log.
  Scan = std::make_unique<TNetScan>();
  Scan->Provider = Provider;
  Scan->MaxThreadCount = 4;
  Connect(*Scan);
  Provider->Release();
  Scan->Start();
  ASSERT_TRUE(WaitFinished());
  EXPECT_EQ(Finished, 1);
  EXPECT_TRUE(platform::TThread::WaitForFreeThreads(5000));
  EXPECT_TRUE(ReadLogBlocks(LogFile).Bad.empty());
}

TEST_F(NetScanTest, ReleasedAfterStopWhileTheLastThreadEnds) {
  ASSERT_TRUE(StartHeldIn("\\\\PC1\\music\\Rock"));
  Scan->Stop();
  ASSERT_TRUE(Main.PumpUntil([&] { return Scan->RunningThreads().size() == 1; }, 10000));
  TScanResThread *Last = Scan->RunningThreads().front().get();
  Provider->Release();
  // Its hand-overs run one at a time until what waits is its end-of-thread event, which must not
  // reach the released object.
  for (;;) {
    ASSERT_TRUE(sonquarry::testing::WaitUntil([&] { return Main.Pending() == 1; }, 10000));
    if (Last->Finished()) break;
    Main.Pump();
  }
  Scan.reset();
  Main.PumpFor(300);
  EXPECT_EQ(Finished, 0);
  EXPECT_TRUE(platform::TThread::WaitForFreeThreads(5000));
}

TEST_F(NetScanTest, ReleasedAfterTheDispatcherClosedUnderItsEndedThreads) {
  BuildNetwork(*Provider);
  Scan->Start();
  // Every hand-over is refused from now on, the end-of-thread events included: the thread that
  // took the root ends by itself, the others wait for work until they are stopped.
  Main.Close();
  const auto Start = Clock::now();
  while (platform::TThread::FreeThreadCount() == Scan->ThreadCountToStart() &&
         MsSince(Start) < 5000)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  ASSERT_LT(platform::TThread::FreeThreadCount(), Scan->ThreadCountToStart());
  Scan->Stop(); // reaches the ended threads too
  ASSERT_TRUE(platform::TThread::WaitForFreeThreads(5000));
  EXPECT_TRUE(Scan->Running());
  for (const auto &T : Scan->RunningThreads()) EXPECT_TRUE(T->Finished());
  Scan.reset();
  EXPECT_EQ(Finished, 0);
}

TEST_F(NetScanTest, AThreadThatCannotStartLeavesTheCountsRight) {
  BuildNetwork(*Provider);
  {
    TNoThreadStarts Limit;
    EXPECT_THROW(Scan->Start(), std::system_error);
  }
  EXPECT_FALSE(Scan->Running());
  EXPECT_EQ(platform::TThread::FreeThreadCount(), 0);
  Scan->Start();
  ASSERT_TRUE(WaitFinished());
  EXPECT_EQ(Finished, 1);
  EXPECT_NE(ReportOf("\\\\PC3\\songs"), nullptr);
}
