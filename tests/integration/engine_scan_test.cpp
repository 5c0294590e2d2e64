// ctest-labels: threads
// The scan engine against the test network: every file of every reachable share, IP mode over
// the whole subnet, filters, stopping, and releasing the coordinator in the middle of a scan.
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "app/program_network.h"
#include "engine/net_scan.h"
#include "engine/scan_log.h"
#include "engine/scan_res_thread.h"
#include "platform/net/net_provider.h"
#include "platform/os/main_thread.h"
#include "support/extra_share_provider.h"
#include "support/scan_expect.h"
#include "support/scan_fixture.h"
#include "support/scan_log_blocks.h"
#include "support/test_support.h"
#include "support/testnet_env.h"

namespace fs = std::filesystem;
using namespace sonquarry;
using sonquarry::testing::CountBlocks;
using sonquarry::testing::FindBlock;
using sonquarry::testing::ReadLogBlocks;
using sonquarry::testing::TExpected;
using sonquarry::testing::TFound;
using sonquarry::testing::TScanView;
using Clock = std::chrono::steady_clock;
using Strings = std::vector<std::string>;

using sonquarry::testing::MsSince;

namespace {

using sonquarry::testing::ExtraShareProvider;

using Report = sonquarry::testing::TReport;

class EngineScanNet : public sonquarry::testing::TScanFixture {
protected:
  EngineScanNet() : TScanFixture("sonquarry-engine-", 30000) {}
  void SetUp() override {
    TScanFixture::SetUp();
    // The browse lists alone: the computers that WS-Discovery and mDNS add have tests of their own.
    Scan->WsDiscovery = false;
    Scan->Mdns = false;
    Scan->OnFilesFound = [this](TScanResThread *, const std::string &D, const Strings &Files,
                                const std::string &Domain) {
      Reports.push_back({D, Files, Domain});
    };
    Scan->OnFinish = [this](TNetScan *) { ++Finished; };
  }
  bool RunToEnd(int Ms = 120000) {
    Scan->Start();
    return Main.PumpUntil([&] { return Finished > 0; }, Ms);
  }
  std::set<TFound> FoundSet() const {
    std::set<TFound> Out;
    for (auto &R : Reports)
      for (auto &F : R.Files) Out.insert({R.Domain, R.Dir, F});
    return Out;
  }
  std::set<std::string> ReportedDirs() const {
    std::set<std::string> Out;
    for (auto &R : Reports) Out.insert(R.Dir);
    return Out;
  }
  // Every directory is reported after all directories below it.
  void ExpectDeepestFirst() const {
    std::map<std::string, size_t> At;
    for (size_t I = 0; I < Reports.size(); ++I) At[Reports[I].Dir] = I;
    for (auto &[D, I] : At) {
      const std::string Prefix = D + "\\";
      for (auto It = At.lower_bound(Prefix); It != At.end() && It->first.rfind(Prefix, 0) == 0;
           ++It)
        EXPECT_LT(It->second, I) << It->first << " after " << D;
    }
  }

  sonquarry::testing::Env E = sonquarry::testing::Env::Load();
};

TEST_F(EngineScanNet, NeighbourhoodFindsEveryFileOfEveryShareOfBothWorkgroups) {
  ASSERT_TRUE(RunToEnd());
  const TExpected Want(E, TScanView{});
  std::set<std::string> Samba;
  for (const auto &H : E.List("SQ_SAMBA_HOSTS")) Samba.insert(E.Host(H, "NAME"));
  EXPECT_EQ(Want.Hosts(), Samba);
  EXPECT_EQ(FoundSet(), Want.Found);
  // Every directory once, the empty shares included (with no names).
  EXPECT_EQ(ReportedDirs(), Want.Dirs);
  EXPECT_EQ(Reports.size(), Want.Dirs.size());
  for (auto &R : Reports) {
    if (R.Dir == "\\\\SQALPHA\\empty" || R.Dir == "\\\\SQBRAVO\\empty") {
      EXPECT_TRUE(R.Files.empty()) << R.Dir;
    }
  }
  // ".MP3" counts as ".mp3"; a directory named like a music file is walked and listed.
  EXPECT_TRUE(
      FoundSet().count({"SQGROUP1", "\\\\SQALPHA\\music\\Rock\\Artist One", "02 - Loud.MP3"}));
  EXPECT_TRUE(FoundSet().count({"SQGROUP1", "\\\\SQALPHA\\music", "album.mp3"}));
  EXPECT_TRUE(FoundSet().count({"SQGROUP1", "\\\\SQALPHA\\music\\album.mp3", "01 first.mp3"}));
  ExpectDeepestFirst();
  // One first file per computer with files (SQALPHA has two such shares), each computer once.
  EXPECT_EQ(Scan->FoundComps, int(Want.HostsWithFiles.size()));
  EXPECT_EQ(Scan->ScannedComps, int(Want.Hosts().size()));
  EXPECT_EQ(Finished, 1);

  const auto L = ReadLogBlocks(LogFile);
  EXPECT_TRUE(L.Bad.empty()) << L.Bad.front();
  for (const auto &Host : E.List("SQ_SAMBA_HOSTS")) {
    const std::string Name = E.Host(Host, "NAME");
    const auto *B = FindBlock(L, "Processing resource \\\\" + Name + ".");
    ASSERT_TRUE(B) << Name;
    std::set<std::string> Shares;
    for (auto &S : sonquarry::testing::SplitList(E.Host(Host, "SHARES")))
      Shares.insert("\\\\" + Name + "\\" + S);
    ASSERT_GE(B->size(), 2u);
    EXPECT_EQ((*B)[1], "This resource is computer.");
    // Exactly this computer's shares: no line of another block in between.
    EXPECT_EQ(std::set<std::string>(B->begin() + 2, B->end()), Shares);
    EXPECT_EQ(B->size(), Shares.size() + 2);
  }
  const auto *Wg1 = FindBlock(L, "Processing resource SQGROUP1.");
  ASSERT_TRUE(Wg1);
  EXPECT_EQ((*Wg1)[1], "This resource is domain.");
  EXPECT_EQ(CountBlocks(L, "There is no more resources."), Scan->MaxThreadCount);
}

TEST_F(EngineScanNet, FilteredComputerAndShareStandInTheirParentsBlocks) {
  Scan->Filter.DeniedComps = {"\\\\SQBRAVO"};
  Scan->Filter.DeniedRes = {"Shared Music"};
  ASSERT_TRUE(RunToEnd());
  TScanView V;
  V.DeniedHosts = {"SQBRAVO"};
  V.DeniedShares = {"Shared Music"};
  const TExpected Want(E, V);
  EXPECT_EQ(FoundSet(), Want.Found);
  EXPECT_EQ(ReportedDirs(), Want.Dirs);
  const auto L = ReadLogBlocks(LogFile);
  const auto *Wg1 = FindBlock(L, "Processing resource SQGROUP1.");
  ASSERT_TRUE(Wg1);
  EXPECT_EQ(Wg1->back(), "Resource \\\\SQBRAVO was filtered");
  EXPECT_EQ(FindBlock(L, "Processing resource \\\\SQBRAVO."), nullptr);
  const auto *Alpha = FindBlock(L, "Processing resource \\\\SQALPHA.");
  ASSERT_TRUE(Alpha);
  EXPECT_EQ(Alpha->back(), "Resource \\\\SQALPHA\\Shared Music was filtered.");
  EXPECT_EQ(Scan->ScannedComps, int(Want.Hosts().size()));
  EXPECT_EQ(Scan->FoundComps, int(Want.HostsWithFiles.size()));
}

TEST_F(EngineScanNet, IPModeOverTheWholeSubnetFindsTheSameFilesAsUnknownDomain) {
  const std::string Subnet = E.Get("SQ_SUBNET");
  const uint32_t Net = StrIP(Subnet.substr(0, Subnet.find('/')));
  Scan->NetBios = false;
  Scan->MaxThreadCount = 64;
  Scan->AddIPRange(Net, Net + 255);
  const auto T0 = Clock::now();
  ASSERT_TRUE(RunToEnd());
  const int Ms = MsSince(T0);
  TScanView V;
  V.Ip = true;
  const TExpected Want(E, V);
  // Every host that listens on port 139.
  for (const auto &H : E.Hosts())
    EXPECT_EQ(Want.Hosts().count(E.Host(H, "NAME")),
              E.Host(H, "PORTS").find("139") != std::string::npos ? 1u : 0u)
        << H;
  EXPECT_EQ(FoundSet(), Want.Found);
  EXPECT_EQ(ReportedDirs(), Want.Dirs);
  for (auto &R : Reports) EXPECT_EQ(R.Domain, "<<unknown>>");
  EXPECT_EQ(Scan->ScannedComps, int(Want.Hosts().size()));
  EXPECT_EQ(Scan->FoundComps, int(Want.HostsWithFiles.size()));
  const auto L = ReadLogBlocks(LogFile);
  EXPECT_TRUE(L.Bad.empty());
  // Refused, silent (time-out) and missing hosts alike; 256 addresses, four computers.
  for (const char *Host : {"REFUSED", "SILENT", "MISSING"}) {
    const auto *B = FindBlock(L, "Processing resource \\\\" + E.Host(Host, "IP") + ".");
    ASSERT_TRUE(B) << Host;
    EXPECT_EQ(*B, (Strings{B->front(), "Not respond"}));
  }
  int Probed = 0, NotRespond = 0;
  for (auto &B : L.Blocks) {
    if (B.front().rfind("Processing resource \\\\", 0) == 0) ++Probed;
    if (B.size() == 2 && B[1] == "Not respond") ++NotRespond;
  }
  EXPECT_EQ(Probed, 256);
  EXPECT_EQ(NotRespond, 256 - int(Want.Hosts().size()));
  // 252 silent or refused probes of at most 500 ms: one after another they would take 126 s.
  EXPECT_LT(Ms, 60000);
}

TEST_F(EngineScanNet, AShareThatLinksBackToItselfEndsItsWalk) {
  // The hidden share \\SQALPHA\loop$ holds a link to its own root: the root is walked once,
  // the link is left out with a line in the computer's block.
  const std::string Loop = E.Get("SQ_LOOP_SHARE");
  const std::string Share = Loop.substr(Loop.rfind('\\') + 1);
  const std::string Ip = E.Host("ALPHA", "IP");
  Scan->Provider = std::make_shared<ExtraShareProvider>("\\\\" + Ip, Share);
  Scan->NetBios = false;
  Scan->AddIP(StrIP(Ip));
  Scan->Filter.AllowedRes = {Share};
  ASSERT_TRUE(RunToEnd());
  const std::string Root = "\\\\" + Ip + "\\" + Share;
  ASSERT_EQ(Reports.size(), 1u);
  EXPECT_EQ(Reports[0].Dir, Root);
  EXPECT_EQ(Reports[0].Files, Strings{"song.mp3"});
  const auto L = ReadLogBlocks(LogFile);
  const auto *B = FindBlock(L, "Processing resource \\\\" + Ip + ".");
  ASSERT_TRUE(B);
  EXPECT_EQ(B->back(), "Directory " + Root + "\\" + E.Get("SQ_LOOP_LINK") +
                           " was not walked: it is " + Root + " again.");
}

TEST_F(EngineScanNet, AWalkStopsAtTheDepthLimitAndLogsTheDirectoryLeftOut) {
  // 70 levels below the (otherwise empty) share "empty" of SQALPHA, for this test only.
  const fs::path Top = fs::path(E.Get("SQ_TESTNET_DIR")) / "shares" / "alpha" / "empty" / "deep";
  struct TRemove {
    fs::path P;
    ~TRemove() { fs::remove_all(P); }
  } Remove{Top};
  fs::path P = Top;
  for (int I = 0; I < 69; ++I) P /= "d";
  fs::create_directories(P);
  Scan->Filter.AllowedComps = {"\\\\sqalpha"};
  Scan->Filter.AllowedRes = {"empty"};
  ASSERT_TRUE(RunToEnd());
  std::vector<const Report *> Alpha;
  for (auto &R : Reports)
    if (R.Dir.rfind("\\\\SQALPHA\\", 0) == 0) Alpha.push_back(&R);
  // The share and 64 levels below it.
  ASSERT_EQ(Alpha.size(), size_t(TScanResThread::MaxWalkDepth + 1));
  std::string Deepest = "\\\\SQALPHA\\empty\\deep";
  for (int I = 1; I < TScanResThread::MaxWalkDepth; ++I) Deepest += "\\d";
  EXPECT_EQ(Alpha.front()->Dir, Deepest);
  EXPECT_EQ(Alpha.back()->Dir, "\\\\SQALPHA\\empty");
  const auto L = ReadLogBlocks(LogFile);
  const auto *B = FindBlock(L, "Processing resource \\\\SQALPHA.");
  ASSERT_TRUE(B);
  EXPECT_EQ(B->back(), "Directory " + Deepest +
                           "\\d was not walked: it lies more than 64 levels below its share.");
}

TEST_F(EngineScanNet, StopDuringAWalkEndsEveryThreadAfterItsCallInProgress) {
  int AfterStop = 0;
  bool Stopped = false;
  Scan->OnFilesFound = [&](TScanResThread *, const std::string &D, const Strings &,
                           const std::string &) {
    if (Stopped) {
      ++AfterStop;
      return;
    }
    // Deep inside a share: other computers are being walked too.
    if (D.find("\\Rock\\") == std::string::npos) return;
    Stopped = true;
    Scan->Stop();
  };
  ASSERT_TRUE(RunToEnd());
  ASSERT_TRUE(Stopped);
  Main.PumpFor(500);
  EXPECT_EQ(Finished, 1);
  // A thread that had finished its directory's loop may still hand it over; nothing more.
  EXPECT_LE(AfterStop, 2);
  const auto L = ReadLogBlocks(LogFile);
  EXPECT_TRUE(L.Bad.empty());
}

TEST_F(EngineScanNet, StopDuringTheLimitedConnectionPauseCutsThePause) {
  const std::string Subnet = E.Get("SQ_SUBNET");
  const uint32_t Net = StrIP(Subnet.substr(0, Subnet.find('/')));
  Scan->NetBios = false;
  Scan->ScanMethod = smWinXPSP2; // 9 threads, 30000 ms between resources
  Scan->AddIPRange(Net, Net + 255);
  Scan->Start();
  ASSERT_EQ(Scan->RunningThreads().size(), 9u);
  // Every thread has probed its first address (no host below .10 answers) and pauses now.
  ASSERT_TRUE(Main.PumpUntil([&] { return ReadLogBlocks(LogFile).Blocks.size() >= 9; }, 20000));
  ASSERT_EQ(Finished, 0);
  const auto T0 = Clock::now();
  Scan->Stop();
  ASSERT_TRUE(Main.PumpUntil([&] { return Finished > 0; }, 20000));
  // Far less than the pause: it is waited in slices that look at the stop.
  EXPECT_LT(MsSince(T0), 15000);
  Main.PumpFor(300);
  EXPECT_EQ(Finished, 1);
  EXPECT_EQ(CountBlocks(ReadLogBlocks(LogFile), "There is no more resources."), 0);
}

TEST_F(EngineScanNet, ReleasingTheCoordinatorInTheMiddleOfAScanIsClean) {
  for (int Round = 0; Round < 3; ++Round) {
    std::atomic<int> Late{0};
    auto S = std::make_unique<TNetScan>();
    S->Network = MakeProgramNetwork();
    S->Filter.Extentions = {".mp3"};
    bool Gone = false;
    S->OnFilesFound = [&](TScanResThread *, const std::string &, const Strings &,
                          const std::string &) {
      if (Gone) ++Late;
    };
    S->OnResEnumerated = [&](TScanResThread *, const TNetResStrings &) {
      if (Gone) ++Late;
    };
    S->Start();
    // Threads in network calls and in hand-overs that nobody serves for a while.
    Main.PumpFor(300 + 400 * Round);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    S.reset();
    Gone = true;
    Main.PumpFor(1000);
    EXPECT_EQ(Late, 0);
  }
  EXPECT_TRUE(platform::TThread::WaitForFreeThreads(30000));
}

} // namespace
