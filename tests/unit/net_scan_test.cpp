// ctest-labels: threads
// The scanning threads and the coordinator over a fake network provider.
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
#include "platform/os/exception.h"
#include "platform/os/main_thread.h"
#include "support/fake_net_provider.h"
#include "support/scan_fixture.h"
#include "support/scan_log_blocks.h"
#include "support/test_support.h"

namespace fs = std::filesystem;
using namespace sonquarry;
using net::DirEntry;
using net::NetDisplayDomain;
using net::NetDisplayNetwork;
using net::NetDisplayServer;
using net::NetDisplayShare;
using net::NetUsageConnectable;
using sonquarry::testing::CountBlocks;
using sonquarry::testing::ErrorOf;
using sonquarry::testing::FakeNetProvider;
using sonquarry::testing::FindBlock;
using sonquarry::testing::ReadLogBlocks;
using Clock = std::chrono::steady_clock;
using Strings = std::vector<std::string>;

using sonquarry::testing::MsSince;

namespace {

net::DirEntry D(const std::string &Name) { return {Name, true}; }
net::DirEntry F(const std::string &Name) { return {Name, false}; }

// The fake with a hook before every directory listing and a gate that can hold one.
class WalkProvider : public FakeNetProvider {
public:
  bool FindFiles(const std::string &UncDir, std::vector<net::DirEntry> &Out,
                 net::NetError *Error) override {
    {
      std::unique_lock<std::mutex> L(Lock_);
      Finds_.push_back(UncDir);
      if (UncDir == HoldDir_) {
        Held_ = true;
        Cv_.notify_all();
        Cv_.wait(L, [&] { return !Holding_; });
      }
    }
    if (Looping_ && UncDir.size() >= 6 && UncDir.compare(UncDir.size() - 6, 6, "\\again") == 0) {
      Out = {D("again"), F("song.mp3")};
      return true;
    }
    return FakeNetProvider::FindFiles(UncDir, Out, Error);
  }
  void Hold(const std::string &Dir) {
    std::lock_guard<std::mutex> L(Lock_);
    HoldDir_ = Dir;
    Holding_ = true;
  }
  bool WaitHeld(int Ms) {
    std::unique_lock<std::mutex> L(Lock_);
    return Cv_.wait_for(L, std::chrono::milliseconds(Ms), [&] { return Held_; });
  }
  void Release() {
    std::lock_guard<std::mutex> L(Lock_);
    Holding_ = false;
    Cv_.notify_all();
  }
  Strings Finds() const {
    std::lock_guard<std::mutex> L(Lock_);
    return Finds_;
  }
  // Every directory named "again" holds itself once more.
  void Loop() { Looping_ = true; }

private:
  mutable std::mutex Lock_;
  std::condition_variable Cv_;
  Strings Finds_;
  std::string HoldDir_;
  bool Holding_ = false, Held_ = false;
  std::atomic<bool> Looping_{false};
};

// Two workgroups: WG1 with PC1 (music, private, empty), PC2 (no shares) and DENIED; WG2 with
// PC3 (songs without MP3 files).
void BuildNetwork(WalkProvider &P) {
  using R = FakeNetProvider;
  P.Set(R::Top, {R::Res(net::NetDisplayNetwork, "SMB Network")});
  P.Set("SMB Network",
        {R::Res(net::NetDisplayDomain, "WG1"), R::Res(net::NetDisplayDomain, "WG2")});
  P.Set("WG1", {R::Res(net::NetDisplayServer, "\\\\PC1"), R::Res(net::NetDisplayServer, "\\\\PC2"),
                R::Res(net::NetDisplayServer, "\\\\DENIED")});
  P.Set("WG2", {R::Res(net::NetDisplayServer, "\\\\PC3")});
  P.Set("\\\\PC1", {R::Res(net::NetDisplayShare, "\\\\PC1\\music", net::NetUsageConnectable),
                    R::Res(net::NetDisplayShare, "\\\\PC1\\private", net::NetUsageConnectable),
                    R::Res(net::NetDisplayShare, "\\\\PC1\\empty", net::NetUsageConnectable)});
  P.Set("\\\\PC2", {});
  P.Set("\\\\DENIED", {R::Res(net::NetDisplayShare, "\\\\DENIED\\x", net::NetUsageConnectable)});
  P.Set("\\\\PC3", {R::Res(net::NetDisplayShare, "\\\\PC3\\songs", net::NetUsageConnectable)});
  P.SetDir("\\\\PC1\\music",
           {D("."), D(".."), D("Rock"), D("album.mp3"), F("top.mp3"), F("README.txt")});
  P.SetDir("\\\\PC1\\music\\Rock", {D("."), D(".."), D("Deep"), F("a.MP3"), F("b.txt")});
  P.SetDir("\\\\PC1\\music\\Rock\\Deep", {F("c.mp3"), F("c.mp3.zip"), F("noext")});
  P.SetDir("\\\\PC1\\music\\album.mp3", {F("01.mp3"), F("02.wma")});
  P.SetDir("\\\\PC1\\private", {F("secret.mp3")});
  P.SetDir("\\\\PC1\\empty", {D("."), D("..")});
  P.SetDir("\\\\PC3\\songs", {F("x.wma")});
  P.SetDir("\\\\DENIED\\x", {});
}

using Report = sonquarry::testing::TReport;

class NetScanTest : public sonquarry::testing::TScanFixture {
protected:
  NetScanTest() : TScanFixture("sonquarry-netscan-", 10000) {}
  void SetUp() override {
    TScanFixture::SetUp();
    Provider = std::make_shared<WalkProvider>();
    Scan->Provider = Provider;
    Scan->MaxThreadCount = 4;
    Connect(*Scan);
  }

  void Connect(TNetScan &S) {
    S.OnFilesFound = [this](TScanResThread *, const std::string &Dir, const Strings &Files,
                            const std::string &Domain) {
      EXPECT_TRUE(Main.IsMainThread());
      Reports.push_back({Dir, Files, Domain});
    };
    S.OnResQueued = [this](TScanResThread *, const std::string &Name) { Queued.push_back(Name); };
    S.OnResEnumerated = [this](TScanResThread *, const TNetResStrings &L) {
      ++Enumerations;
      Enumerated += int(L.size());
      for (auto &I : L) EXPECT_TRUE(I.Res && I.Res->RemoteName == I.Name);
    };
    S.OnEnumError = [this](TScanResThread *, int Code) { EnumErrors.push_back(Code); };
    S.OnFinish = [this](TNetScan *Sender) {
      EXPECT_EQ(Sender, Scan.get());
      ++Finished;
    };
  }

  // Starts a scan of the fake network whose listing of Dir waits for Provider->Release().
  bool StartHeldIn(const std::string &Dir) {
    BuildNetwork(*Provider);
    Provider->Hold(Dir);
    Scan->Start();
    return Main.PumpUntil([&] { return Provider->WaitHeld(0); }, 10000);
  }
  bool WaitFinished(int Ms = 10000) {
    return Main.PumpUntil([&] { return Finished > 0; }, Ms);
  }
  // The scan ends within Ms and reports its end once, also SettleMs later.
  void ExpectOneFinish(int Ms = 10000, int SettleMs = 100) {
    ASSERT_TRUE(WaitFinished(Ms));
    Main.PumpFor(SettleMs);
    EXPECT_EQ(Finished, 1);
  }
  // Stop while a listing is held, then let the listing return.
  void StopAndRelease(int SettleMs = 100) {
    Scan->Stop();
    Provider->Release();
    ExpectOneFinish(10000, SettleMs);
  }
  const Report *ReportOf(const std::string &D) const {
    for (auto &R : Reports)
      if (R.Dir == D) return &R;
    return nullptr;
  }
  int IndexOf(const std::string &D) const {
    for (size_t I = 0; I < Reports.size(); ++I)
      if (Reports[I].Dir == D) return int(I);
    return -1;
  }

  std::shared_ptr<WalkProvider> Provider;
  Strings Queued;
  int Enumerations = 0, Enumerated = 0;
  std::vector<int> EnumErrors;
};

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

TEST_F(NetScanTest, ThreadNeedsAList) {
  EXPECT_EQ(ErrorOf([] { TScanResThread T(nullptr); }),
            "TScanResThread.Create: ANetResList is not created.");
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

// Count computers without shares right under the root.
void ComputersUnderTheRoot(FakeNetProvider &P, int Count) {
  std::vector<net::NetResource> Comps;
  for (int I = 0; I < Count; ++I) {
    const std::string Pc = "\\\\X" + std::to_string(I);
    Comps.push_back(FakeNetProvider::Res(net::NetDisplayServer, Pc));
    P.Set(Pc, {});
  }
  P.Set(FakeNetProvider::Top, Comps);
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

// Makes every new thread ask for a stack larger than the address space, so none can start.
class TNoThreadStarts {
public:
  TNoThreadStarts() {
    pthread_getattr_default_np(&Saved_);
    pthread_attr_t Huge;
    pthread_attr_init(&Huge);
    pthread_attr_setstacksize(&Huge, size_t{1} << 46);
    pthread_setattr_default_np(&Huge);
    pthread_attr_destroy(&Huge);
  }
  ~TNoThreadStarts() {
    pthread_setattr_default_np(&Saved_);
    pthread_attr_destroy(&Saved_);
  }

private:
  pthread_attr_t Saved_;
};

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

} // namespace
