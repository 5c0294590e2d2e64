// ctest-labels: threads
// What a scan over the fake network finds and logs, alone and under many threads.
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
#include "platform/os/exception.h"
#include "platform/os/main_thread.h"
#include "support/net_scan_fixture.h"
#include "support/scan_log_blocks.h"
#include "support/test_support.h"

// ---- settings and thread count

TEST_F(NetScanTest, FreshCoordinatorAndThreadCountOfEachScanMethod) {
  TNetScan Fresh;
  EXPECT_TRUE(Fresh.NetBios);
  EXPECT_EQ(Fresh.TimeOut, 500);
  EXPECT_EQ(Fresh.MaxThreadCount, 16);
  EXPECT_EQ(Fresh.ScanMethod, smAutoDetect);
  EXPECT_FALSE(Fresh.IsClearBefor);
  EXPECT_EQ(Fresh.FoundComps, 0);
  EXPECT_EQ(Fresh.ScannedComps, 0);
  EXPECT_EQ(Fresh.IPRangeCount(), 0u);
  // Auto detect off Windows XP SP2: every thread, no pause.
  EXPECT_EQ(Fresh.ThreadCountToStart(), 16);
  EXPECT_EQ(Fresh.DelayToStart(), 0);
  Fresh.ScanMethod = smWinXPSP2;
  EXPECT_EQ(Fresh.ThreadCountToStart(), 9);
  EXPECT_EQ(Fresh.DelayToStart(), 30000);
  Fresh.ScanMethod = smOtherOS;
  Fresh.MaxThreadCount = 0;
  EXPECT_EQ(Fresh.ThreadCountToStart(), 1);
  Fresh.MaxThreadCount = -5;
  EXPECT_EQ(Fresh.ThreadCountToStart(), 1);
  Fresh.ScanMethod = 7;
  EXPECT_EQ(Fresh.DelayToStart(), 0);
}

TEST_F(NetScanTest, AddIPRangeOfOneAddressEqualsAddIP) {
  Scan->AddIPRange(5, 5);
  Scan->AddIP(5);
  Scan->AddIPRange(9, 7);
  TNetResThList::Guard G(*Scan->IPResList);
  const auto &L = static_cast<TIPResList *>(G.get())->IPList;
  ASSERT_EQ(L.Count(), 3u);
  EXPECT_EQ(L[0].From(), 5u);
  EXPECT_EQ(L[0].To(), 5u);
  EXPECT_EQ(L[0].Tag, L[1].Tag);
  EXPECT_EQ(L[1].From(), 5u);
  EXPECT_EQ(L[1].To(), 5u);
  EXPECT_EQ(L[2].From(), 7u);
  EXPECT_EQ(L[2].To(), 9u);
}

TEST_F(NetScanTest, ThreadNeedsAListAndAProvider) {
  EXPECT_EQ(ErrorOf([this] { TScanResThread T(nullptr, Provider); }),
            "TScanResThread.Create: ANetResList is not created.");
  EXPECT_EQ(ErrorOf([] {
              TScanResThread T(std::make_shared<TNetResThList>(std::make_unique<TNetResList>()),
                               nullptr);
            }),
            "TScanResThread.Create: no network provider.");
}

// ---- a network-neighbourhood scan

TEST_F(NetScanTest, NeighbourhoodScanReportsEveryAllowedDirectoryDeepestFirst) {
  BuildNetwork(*Provider);
  Scan->Filter.DeniedComps = {"\\\\DENIED"};
  Scan->Filter.DeniedRes = {"private"};
  Scan->Start();
  EXPECT_EQ(Scan->RunningThreads().size(), 4u);
  ASSERT_TRUE(WaitFinished());
  EXPECT_EQ(Finished, 1);
  EXPECT_FALSE(Scan->Running());

  // Every walked directory once, deepest first within its share; the empty share too.
  ASSERT_EQ(Reports.size(), 6u);
  const Report *Deep = ReportOf("\\\\PC1\\music\\Rock\\Deep");
  const Report *Rock = ReportOf("\\\\PC1\\music\\Rock");
  const Report *Album = ReportOf("\\\\PC1\\music\\album.mp3");
  const Report *Music = ReportOf("\\\\PC1\\music");
  const Report *Empty = ReportOf("\\\\PC1\\empty");
  const Report *Songs = ReportOf("\\\\PC3\\songs");
  ASSERT_TRUE(Deep && Rock && Album && Music && Empty && Songs);
  EXPECT_LT(IndexOf(Deep->Dir), IndexOf(Rock->Dir));
  EXPECT_LT(IndexOf(Rock->Dir), IndexOf(Album->Dir));
  EXPECT_LT(IndexOf(Album->Dir), IndexOf(Music->Dir));
  EXPECT_LT(IndexOf(Music->Dir), IndexOf(Empty->Dir));
  EXPECT_EQ(Deep->Files, Strings{"c.mp3"});
  EXPECT_EQ(Rock->Files, Strings{"a.MP3"});
  EXPECT_EQ(Album->Files, Strings{"01.mp3"});
  // A directory named like a music file is walked and listed too, in listing order.
  EXPECT_EQ(Music->Files, (Strings{"album.mp3", "top.mp3"}));
  EXPECT_TRUE(Empty->Files.empty());
  EXPECT_TRUE(Songs->Files.empty());
  EXPECT_EQ(Music->Domain, "WG1");
  EXPECT_EQ(Songs->Domain, "WG2");
  EXPECT_EQ(ReportOf("\\\\PC1\\private"), nullptr);
  for (auto &F : Provider->Finds()) EXPECT_NE(F.rfind("\\\\DENIED", 0), 0u) << F;

  // Children of the root and of the provider are announced; computers are not. The order
  // across threads is free: a domain may be announced before its provider's own hand-over.
  std::sort(Queued.begin(), Queued.end());
  EXPECT_EQ(Queued, (Strings{"SMB Network", "WG1", "WG2"}));
  // Root, provider, two domains, three computers.
  EXPECT_EQ(Enumerations, 7);
  EXPECT_EQ(Enumerated, 1 + 2 + 3 + 1 + 3 + 0 + 1);
  EXPECT_EQ(EnumErrors, std::vector<int>{2}); // PC2 holds nothing
  EXPECT_EQ(Scan->ScannedComps, 3);
  EXPECT_EQ(Scan->FoundComps, 1);
  TNetResThList::Guard G(*Scan->NetResList);
  EXPECT_EQ(G->Count(), 0);
}

TEST_F(NetScanTest, LogHasOneBlockPerResourceWithTheWordsOfEachKind) {
  BuildNetwork(*Provider);
  Scan->Filter.DeniedComps = {"\\\\DENIED"};
  Scan->Filter.DeniedRes = {"private"};
  Scan->Start();
  ASSERT_TRUE(WaitFinished());
  const auto L = ReadLogBlocks(LogFile);
  EXPECT_TRUE(L.Bad.empty()) << L.Bad.front();
  const auto *Root = FindBlock(L, "Processing root resource.");
  ASSERT_TRUE(Root);
  EXPECT_EQ(*Root, (Strings{"Processing root resource.", "This resource is root.", "SMB Network"}));
  const auto *Net = FindBlock(L, "Processing resource SMB Network.");
  ASSERT_TRUE(Net);
  EXPECT_EQ(*Net, (Strings{"Processing resource SMB Network.",
                           "This type of resource doesn't matter.", "WG1", "WG2"}));
  const auto *Wg1 = FindBlock(L, "Processing resource WG1.");
  ASSERT_TRUE(Wg1);
  EXPECT_EQ(*Wg1, (Strings{"Processing resource WG1.", "This resource is domain.", "\\\\PC1",
                           "\\\\PC2", "\\\\DENIED", "Resource \\\\DENIED was filtered"}));
  const auto *Pc1 = FindBlock(L, "Processing resource \\\\PC1.");
  ASSERT_TRUE(Pc1);
  EXPECT_EQ(*Pc1, (Strings{"Processing resource \\\\PC1.", "This resource is computer.",
                           "\\\\PC1\\music", "\\\\PC1\\private", "\\\\PC1\\empty",
                           "Resource \\\\PC1\\private was filtered."}));
  const auto *Pc2 = FindBlock(L, "Processing resource \\\\PC2.");
  ASSERT_TRUE(Pc2);
  EXPECT_EQ(*Pc2, (Strings{"Processing resource \\\\PC2.", "This resource is computer.",
                           "This resource is empty."}));
  EXPECT_EQ(FindBlock(L, "Processing resource \\\\DENIED."), nullptr);
  // Every thread ends on an exhausted list.
  EXPECT_EQ(CountBlocks(L, "There is no more resources."), 4);
  EXPECT_EQ(L.Blocks.size(), 7u + 4u);
}

TEST_F(NetScanTest, OneFirstFilePerComputerWithFilesAndCountersResetAtStart) {
  BuildNetwork(*Provider);
  using R = FakeNetProvider;
  Provider->Set(
      "WG2", {R::Res(net::NetDisplayServer, "\\\\PC3"), R::Res(net::NetDisplayServer, "\\\\PC4")});
  Provider->Set("\\\\PC4", {R::Res(net::NetDisplayShare, "\\\\PC4\\a", net::NetUsageConnectable),
                            R::Res(net::NetDisplayShare, "\\\\PC4\\b", net::NetUsageConnectable)});
  Provider->SetDir("\\\\PC4\\a", {F("1.mp3"), F("2.mp3")});
  Provider->SetDir("\\\\PC4\\b", {F("3.mp3")});
  Scan->Start();
  ASSERT_TRUE(WaitFinished());
  // PC1 and PC4 hold files; PC1, PC2, DENIED (not denied here), PC3, PC4 were enumerated.
  EXPECT_EQ(Scan->FoundComps, 2);
  EXPECT_EQ(Scan->ScannedComps, 5);
  Finished = 0;
  Scan->NetBios = false; // no ranges: nothing to do
  Scan->Start();
  ASSERT_TRUE(WaitFinished());
  EXPECT_EQ(Scan->FoundComps, 0);
  EXPECT_EQ(Scan->ScannedComps, 0);
}

TEST_F(NetScanTest, ErrorsOfOneResourceAreLoggedAndTheScanGoesOn) {
  BuildNetwork(*Provider);
  using R = FakeNetProvider;
  // A share name that is no NetBIOS resource name ends that computer's processing.
  Provider->Set("\\\\PC3",
                {R::Res(net::NetDisplayShare, "\\\\PC3", net::NetUsageConnectable),
                 R::Res(net::NetDisplayShare, "\\\\PC3\\songs", net::NetUsageConnectable)});
  // A handler that fails on the main thread fails the resource it was raised for.
  auto Inner = Scan->OnFilesFound;
  Scan->OnFilesFound = [Inner](TScanResThread *S, const std::string &Dir, const Strings &Files,
                               const std::string &Domain) {
    if (Dir == "\\\\PC1\\empty") throw Exception("Handler: refused.");
    Inner(S, Dir, Files, Domain);
  };
  Scan->Start();
  ASSERT_TRUE(WaitFinished());
  const auto L = ReadLogBlocks(LogFile);
  const auto *Pc3 = FindBlock(L, "Processing resource \\\\PC3.");
  ASSERT_TRUE(Pc3);
  EXPECT_EQ(Pc3->back(), "!Exception: GetNetResName: \\\\PC3 is not a NetBIOS resource name.");
  EXPECT_EQ(ReportOf("\\\\PC3\\songs"), nullptr);
  const auto *Pc1 = FindBlock(L, "Processing resource \\\\PC1.");
  ASSERT_TRUE(Pc1);
  EXPECT_EQ(Pc1->back(), "!Exception: Handler: refused.");
  EXPECT_NE(ReportOf("\\\\PC1\\music"), nullptr);
  // Both resources were marked done: the scan ended normally.
  EXPECT_EQ(CountBlocks(L, "There is no more resources."), 4);
  EXPECT_EQ(Finished, 1);
}

TEST_F(NetScanTest, AnyStandardErrorOfAHandlerIsLoggedAndTheScanGoesOn) {
  BuildNetwork(*Provider);
  const std::vector<std::function<void()>> Raise = {
      [] { throw Exception("Handler: refused."); },
      [] { throw std::runtime_error("Handler: not now."); },
      [] { (void)Strings().at(3); },
      [] { throw std::bad_alloc(); },
  };
  for (const auto &R : Raise) {
    std::string What;
    try {
      R();
    } catch (const std::exception &E) {
      What = E.what();
    }
    Scan = std::make_unique<TNetScan>();
    Scan->Provider = Provider;
    Scan->MaxThreadCount = 4;
    Connect(*Scan);
    Finished = 0;
    Reports.clear();
    auto Inner = Scan->OnFilesFound;
    Scan->OnFilesFound = [Inner, &R](TScanResThread *S, const std::string &Dir,
                                     const Strings &Files, const std::string &Domain) {
      if (Dir == "\\\\PC1\\music\\Rock\\Deep") R();
      Inner(S, Dir, Files, Domain);
    };
    Scan->Start();
    ASSERT_TRUE(WaitFinished()) << What;
    const auto L = ReadLogBlocks(LogFile);
    const auto *Pc1 = FindBlock(L, "Processing resource \\\\PC1.");
    ASSERT_TRUE(Pc1) << What;
    EXPECT_EQ(Pc1->back(), "!Exception: " + What);
    EXPECT_NE(ReportOf("\\\\PC3\\songs"), nullptr) << What;
    // No thread ended early: each says that the list is exhausted.
    EXPECT_EQ(CountBlocks(L, "There is no more resources."), 4) << What;
  }
}

TEST_F(NetScanTest, WalkStopsAtTheDepthLimitAndSaysSo) {
  using R = FakeNetProvider;
  Provider->Loop();
  Provider->Set(R::Top, {R::Res(net::NetDisplayServer, "\\\\PC")});
  Provider->Set("\\\\PC", {R::Res(net::NetDisplayShare, "\\\\PC\\loop", net::NetUsageConnectable)});
  Provider->SetDir("\\\\PC\\loop", {D("again"), F("song.mp3")});
  Scan->MaxThreadCount = 1;
  Scan->Start();
  ASSERT_TRUE(WaitFinished());
  // The share and 64 levels below it.
  ASSERT_EQ(Reports.size(), size_t(TScanResThread::MaxWalkDepth + 1));
  std::string Deepest = "\\\\PC\\loop";
  for (int I = 0; I < TScanResThread::MaxWalkDepth; ++I) Deepest += "\\again";
  EXPECT_EQ(Reports.front().Dir, Deepest);
  EXPECT_EQ(Reports.front().Files, Strings{"song.mp3"});
  EXPECT_EQ(Reports.back().Dir, "\\\\PC\\loop");
  const auto L = ReadLogBlocks(LogFile);
  const auto *Pc = FindBlock(L, "Processing resource \\\\PC.");
  ASSERT_TRUE(Pc);
  EXPECT_EQ(Pc->back(), "Directory " + Deepest +
                            "\\again was not walked: it lies more than 64 levels below its share.");
}

TEST_F(NetScanTest, AShareOfTooManyDirectoriesIsCutSaidAndItsComputerLeftUnknown) {
  using R = FakeNetProvider;
  Provider->Set(R::Top, {R::Res(net::NetDisplayServer, "\\\\PC")});
  Provider->Set("\\\\PC", {R::Res(net::NetDisplayShare, "\\\\PC\\wide", net::NetUsageConnectable)});
  std::vector<net::DirEntry> Top{F("top.mp3")};
  for (int I = 0; I < 30; ++I) {
    Top.push_back(D("d" + std::to_string(I)));
    Provider->SetDir("\\\\PC\\wide\\d" + std::to_string(I), {F("song.mp3")});
  }
  Provider->SetDir("\\\\PC\\wide", Top);
  Scan->MaxThreadCount = 1;
  Scan->MaxShareDirs = 10;
  Scan->Start();
  ASSERT_TRUE(WaitFinished());
  // The share itself and the first 9 below it; the share's own files still come.
  ASSERT_EQ(Reports.size(), 10u);
  EXPECT_EQ(Reports.back().Dir, "\\\\PC\\wide");
  EXPECT_EQ(Reports.back().Files, Strings{"top.mp3"});
  const auto L = ReadLogBlocks(LogFile);
  const auto *Pc = FindBlock(L, "Processing resource \\\\PC.");
  ASSERT_TRUE(Pc);
  EXPECT_EQ(std::count_if(Pc->begin(), Pc->end(),
                          [](const std::string &S) { return S.find("holds more than") != S.npos; }),
            1);
  EXPECT_NE(std::find(Pc->begin(), Pc->end(),
                      "Share \\\\PC\\wide holds more than 10 directories: \\\\PC\\wide\\d9 and "
                      "the rest were not walked."),
            Pc->end());
  EXPECT_EQ(Scan->LostComps, (std::vector<std::pair<std::string, std::string>>{{"", "PC"}}));
}

// ---- IP mode

TEST_F(NetScanTest, IPModeProbesEachAllowedAddressAndScansWhoAnswers) {
  using R = FakeNetProvider;
  Provider->Set("\\\\10.0.0.2",
                {R::Res(net::NetDisplayShare, "\\\\10.0.0.2\\s", net::NetUsageConnectable)});
  Provider->SetDir("\\\\10.0.0.2\\s", {F("a.mp3")});
  std::mutex ProbeLock;
  Strings Probed;
  Scan->Probe = [&](const std::string &Host, int Port, int TimeOut) {
    EXPECT_EQ(Port, 139);
    EXPECT_EQ(TimeOut, 250);
    std::lock_guard<std::mutex> L(ProbeLock);
    Probed.push_back(Host);
    return Host == "10.0.0.2" || Host == "10.0.0.3";
  };
  Scan->NetBios = false;
  Scan->TimeOut = 250;
  Scan->Filter.DeniedComps = {"\\\\10.0.0.3"};
  Scan->AddIPRange(StrIP("10.0.0.4"), StrIP("10.0.0.1"));
  Scan->Start();
  ASSERT_TRUE(WaitFinished());
  ASSERT_EQ(Reports.size(), 1u);
  EXPECT_EQ(Reports[0].Dir, "\\\\10.0.0.2\\s");
  EXPECT_EQ(Reports[0].Domain, "<<unknown>>");
  EXPECT_EQ(Reports[0].Files, Strings{"a.mp3"});
  std::sort(Probed.begin(), Probed.end());
  // A filtered address is never probed.
  EXPECT_EQ(Probed, (Strings{"10.0.0.1", "10.0.0.2", "10.0.0.4"}));
  const auto L = ReadLogBlocks(LogFile);
  for (const char *A : {"10.0.0.1", "10.0.0.3", "10.0.0.4"}) {
    const auto *B = FindBlock(L, std::string("Processing resource \\\\") + A + ".");
    ASSERT_TRUE(B) << A;
    EXPECT_EQ(*B, (Strings{std::string("Processing resource \\\\") + A + ".", "Not respond"}));
  }
  EXPECT_EQ(Scan->ScannedComps, 1);
  EXPECT_EQ(Scan->FoundComps, 1);
  // The ranges stay for the next scan.
  EXPECT_EQ(Scan->IPRangeCount(), 1u);
}

// ---- the log under many threads

TEST_F(NetScanTest, BlocksOfManyThreadsNeverInterleave) {
  using R = FakeNetProvider;
  std::vector<net::NetResource> Comps;
  for (int I = 0; I < 40; ++I) {
    const std::string Pc = "\\\\PC" + std::to_string(I);
    Comps.push_back(R::Res(net::NetDisplayServer, Pc));
    std::vector<net::NetResource> Shares;
    for (int S = 0; S < 5; ++S) {
      const std::string Share = Pc + "\\s" + std::to_string(S);
      Shares.push_back(R::Res(net::NetDisplayShare, Share, net::NetUsageConnectable));
      Provider->SetDir(Share, {});
    }
    Provider->Set(Pc, Shares);
  }
  Provider->Set(R::Top, {R::Res(net::NetDisplayDomain, "WG")});
  Provider->Set("WG", Comps);
  Scan->MaxThreadCount = 16;
  Scan->Start();
  ASSERT_TRUE(WaitFinished(20000));
  const auto L = ReadLogBlocks(LogFile);
  EXPECT_TRUE(L.Bad.empty());
  int Computers = 0;
  for (const auto &B : L.Blocks) {
    if (B.front().rfind("Processing resource \\\\PC", 0) != 0) continue;
    ++Computers;
    const std::string Pc = B.front().substr(20, B.front().size() - 21);
    ASSERT_EQ(B.size(), 7u) << Pc;
    EXPECT_EQ(B[1], "This resource is computer.");
    for (int S = 0; S < 5; ++S) EXPECT_EQ(B[2 + S], Pc + "\\s" + std::to_string(S));
  }
  EXPECT_EQ(Computers, 40);
  EXPECT_EQ(Reports.size(), 200u);
  EXPECT_EQ(CountBlocks(L, "There is no more resources."), 16);
}

// A thread writes its block while it holds ScanLogLock: with the lock held elsewhere, no block of
// a finished resource reaches the log.
TEST_F(NetScanTest, ThreadsWriteTheirBlocksOnlyUnderTheScanLogLock) {
  BuildNetwork(*Provider);
  Provider->Close("WG1");
  Scan->Start();
  ASSERT_TRUE(Main.PumpUntil([&] { return Provider->WaitBlocked(0); }, 10000));
  // Everything outside WG1 is done and logged; the other threads wait for work.
  ASSERT_TRUE(Main.PumpUntil(
      [&] { return FindBlock(ReadLogBlocks(LogFile), "Processing resource \\\\PC3.") != nullptr; },
      10000));
  std::unique_lock<std::mutex> Held(ScanLogLock);
  const auto Before = fs::file_size(LogFile);
  Provider->Open(); // WG1 and its computers are processed now
  EXPECT_FALSE(Main.PumpUntil([&] { return fs::file_size(LogFile) != Before; }, 1000));
  Held.unlock();
  ASSERT_TRUE(WaitFinished());
  const auto L = ReadLogBlocks(LogFile);
  EXPECT_TRUE(L.Bad.empty());
  const auto *Wg1 = FindBlock(L, "Processing resource WG1.");
  ASSERT_TRUE(Wg1);
  EXPECT_EQ(Wg1->size(), 5u);
}

// ---- one coordinator, several scans

TEST_F(NetScanTest, SearchStopAndSearchAgainFindsEverythingWithOneFinishEach) {
  ASSERT_TRUE(StartHeldIn("\\\\PC1\\music\\Rock"));
  ASSERT_NO_FATAL_FAILURE(StopAndRelease());
  Finished = 0;
  Reports.clear();
  Scan->Start();
  ASSERT_NO_FATAL_FAILURE(ExpectOneFinish());
  std::set<std::string> Dirs;
  for (auto &R : Reports) Dirs.insert(R.Dir);
  EXPECT_EQ(Dirs, (std::set<std::string>{"\\\\PC1\\music", "\\\\PC1\\music\\Rock",
                                         "\\\\PC1\\music\\Rock\\Deep", "\\\\PC1\\music\\album.mp3",
                                         "\\\\PC1\\private", "\\\\PC1\\empty", "\\\\DENIED\\x",
                                         "\\\\PC3\\songs"}));
  EXPECT_EQ(Reports.size(), Dirs.size());
}

TEST_F(NetScanTest, IPModeStartsAgainAtTheLowestAddressAfterAStop) {
  std::mutex M;
  std::condition_variable Cv;
  Strings Probed;
  bool Gate = true, Waiting = false;
  Scan->Probe = [&](const std::string &Host, int, int) {
    std::unique_lock<std::mutex> L(M);
    Probed.push_back(Host);
    if (Host == "10.0.0.3" && Gate) {
      Waiting = true;
      Cv.wait(L, [&] { return !Gate; });
    }
    return false;
  };
  Scan->NetBios = false;
  Scan->MaxThreadCount = 1;
  Scan->AddIPRange(StrIP("10.0.0.1"), StrIP("10.0.0.5"));
  Scan->Start();
  ASSERT_TRUE(sonquarry::testing::WaitUntil(
      [&] {
        std::lock_guard<std::mutex> L(M);
        return Waiting;
      },
      10000));
  Scan->Stop();
  {
    std::lock_guard<std::mutex> L(M);
    Gate = false;
    Cv.notify_all();
  }
  ASSERT_TRUE(WaitFinished());
  Finished = 0;
  {
    std::lock_guard<std::mutex> L(M);
    EXPECT_EQ(Probed, (Strings{"10.0.0.1", "10.0.0.2", "10.0.0.3"}));
    Probed.clear();
  }
  Scan->Start();
  ASSERT_TRUE(WaitFinished());
  std::lock_guard<std::mutex> L(M);
  EXPECT_EQ(Probed, (Strings{"10.0.0.1", "10.0.0.2", "10.0.0.3", "10.0.0.4", "10.0.0.5"}));
}

TEST_F(NetScanTest, AFilterChangedDuringAScanAffectsOnlyTheNextScan) {
  BuildNetwork(*Provider);
  Provider->Close("WG2"); // PC3 is not known yet when the filter changes
  Scan->Start();
  ASSERT_TRUE(Main.PumpUntil([&] { return Provider->WaitBlocked(0); }, 10000));
  Scan->Filter.DeniedComps = {"\\\\PC3"};
  Scan->Filter.DeniedRes = {"music"};
  Provider->Open();
  ASSERT_TRUE(WaitFinished());
  EXPECT_NE(ReportOf("\\\\PC3\\songs"), nullptr);
  EXPECT_NE(ReportOf("\\\\PC1\\music"), nullptr);
  Finished = 0;
  Reports.clear();
  Scan->Start();
  ASSERT_TRUE(WaitFinished());
  EXPECT_EQ(ReportOf("\\\\PC3\\songs"), nullptr);
  EXPECT_EQ(ReportOf("\\\\PC1\\music"), nullptr);
  EXPECT_NE(ReportOf("\\\\PC1\\empty"), nullptr);
}

TEST_F(NetScanTest, TheLogHoldsOnlyTheLatestScan) {
  BuildNetwork(*Provider);
  Scan->Start();
  ASSERT_TRUE(WaitFinished());
  ASSERT_NE(FindBlock(ReadLogBlocks(LogFile), "Processing resource \\\\DENIED."), nullptr);
  Finished = 0;
  Scan->Filter.DeniedComps = {"\\\\DENIED"};
  Scan->MaxThreadCount = 2;
  Scan->Start();
  ASSERT_TRUE(WaitFinished());
  const auto L = ReadLogBlocks(LogFile);
  EXPECT_TRUE(L.Bad.empty());
  EXPECT_EQ(CountBlocks(L, "Processing root resource."), 1);
  EXPECT_EQ(FindBlock(L, "Processing resource \\\\DENIED."), nullptr);
  EXPECT_EQ(CountBlocks(L, "There is no more resources."), 2);
}

TEST_F(NetScanTest, AThreadCountOfZeroOrLessStillGivesAScanThatEnds) {
  BuildNetwork(*Provider);
  for (const int Count : {0, -5}) {
    Finished = 0;
    Reports.clear();
    Scan->MaxThreadCount = Count;
    Scan->Start();
    EXPECT_EQ(Scan->RunningThreads().size(), 1u) << Count;
    ASSERT_TRUE(WaitFinished()) << Count;
    EXPECT_EQ(Reports.size(), 8u) << Count;
  }
}
