// ctest-labels: threads
// The SMB workers against the hosts real networks have: one that hangs, one that speaks SMB1
// only, a share whose links loop, a worker killed in the middle of a walk.
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "discovery/ip_range.h"
#include "engine/net_scan.h"
#include "engine/scan_log.h"
#include "engine/scan_session.h"
#include "paths/wnet_tree.h"
#include "platform/os/main_thread.h"
#include "platform/smb/smb_provider.h"
#include "support/extra_share_provider.h"
#include "support/hung_host.h"
#include "support/latency_relay.h"
#include "support/run_program.h"
#include "support/scan_expect.h"
#include "support/scan_fixture.h"
#include "support/scan_log_blocks.h"
#include "support/test_support.h"
#include "support/testnet_env.h"
#include "support/wsd_neighbourhood.h"

using namespace sonquarry;
using sonquarry::testing::ExtOf;
using sonquarry::testing::ReadLogBlocks;
using sonquarry::testing::RunProgram;
using sonquarry::testing::TRun;
using Clock = std::chrono::steady_clock;
using Strings = std::vector<std::string>;
using sonquarry::testing::MsSince;

namespace {

using sonquarry::testing::ExtraShareProvider;
using sonquarry::testing::THungHost;
using sonquarry::testing::TRelayControl;
using sonquarry::testing::TRelayHost;

class SmbWorkerNet : public sonquarry::testing::TScanFixture {
protected:
  SmbWorkerNet() : TScanFixture("sonquarry-workers-", 30000) {}
  void SetUp() override {
    TScanFixture::SetUp();
    smb::SmbProviderOptions O;
    O.ConfigFile = E.Get("SQ_CLIENT_CONF");
    O.CredentialsFile = "-";
    // Long enough that only a stop ends a call to the stuck host.
    O.TimeOutMs = 60000;
    O.CallTimeOutMs = 120000;
    Provider = std::make_shared<smb::TSmbProvider>(O);
    Scan->Provider = Provider;
    Scan->OnFilesFound = [this](TScanResThread *, const std::string &D, const Strings &Files,
                                const std::string &Domain) {
      Reports.push_back({D, Files, Domain});
      if (OnReport) OnReport(D);
    };
    Scan->OnFinish = [this](TNetScan *) { ++Finished; };
  }
  bool RunToEnd(int Ms = 120000) {
    Scan->Start();
    return Main.PumpUntil([&] { return Finished > 0; }, Ms);
  }
  // "\\ROOT\path\" + name of every file found.
  std::multiset<std::string> Found() const {
    std::multiset<std::string> Out;
    for (auto &R : Reports)
      for (auto &F : R.Files) Out.insert(R.Dir + "\\" + F);
    return Out;
  }
  // The manifest's ".mp3" files of Host's Share, below Root ("\\NAME\share" or "\\IP\share").
  std::multiset<std::string> Want(const std::string &Host, const std::string &Share,
                                  const std::string &Root) const {
    std::multiset<std::string> Out;
    for (auto &F : E.Files()) {
      if (F.host != E.Host(Host, "NAME") || F.share != Share) continue;
      if (ExtOf(F.path) == ".mp3") Out.insert(Root + "\\" + F.path);
    }
    // Directories with a music extension are listed as found names too.
    for (auto &D : E.Dirs())
      if (D.host == E.Host(Host, "NAME") && D.share == Share && D.path.size() > 4 &&
          D.path.compare(D.path.size() - 4, 4, ".mp3") == 0)
        Out.insert(Root + "\\" + D.path);
    return Out;
  }
  std::vector<std::string> LogLinesWith(const std::string &Text) const {
    std::vector<std::string> Out;
    for (auto &B : ReadLogBlocks(LogFile).Blocks)
      for (auto &L : B)
        if (L.find(Text) != std::string::npos) Out.push_back(L);
    return Out;
  }

  sonquarry::testing::Env E = sonquarry::testing::Env::Load();
  std::shared_ptr<smb::TSmbProvider> Provider;
  std::function<void(const std::string &)> OnReport;
};

TEST_F(SmbWorkerNet, AStuckHostHoldsUpNobodyAndStopEndsItsCall) {
  const THungHost Stuck(E.Get("SQ_TESTNET_DIR"));
  ASSERT_TRUE(Stuck.Up);
  Scan->NetBios = false;
  for (const char *H : {"STUCK", "ALPHA", "BRAVO", "ECHO"}) Scan->AddIP(StrIP(E.Host(H, "IP")));
  Scan->Filter.AllowedRes = {"music", "media", "oldies"};
  // The share roots come last in their walks.
  std::set<std::string> Roots{"\\\\" + E.Host("ALPHA", "IP") + "\\music",
                              "\\\\" + E.Host("BRAVO", "IP") + "\\media",
                              "\\\\" + E.Host("ECHO", "IP") + "\\oldies"};
  Scan->Start();
  ASSERT_TRUE(Main.PumpUntil(
      [&] {
        for (auto &R : Reports) Roots.erase(R.Dir);
        return Roots.empty() || Finished > 0;
      },
      120000));
  EXPECT_TRUE(Roots.empty());
  ASSERT_EQ(Finished, 0) << "the stuck host's call ended by itself";
  std::multiset<std::string> All;
  for (const char *H : {"ALPHA", "BRAVO", "ECHO"})
    for (const auto &S : E.List(std::string("SQ_") + H + "_SHARES"))
      if (S == "music" || S == "media" || S == "oldies") {
        auto W = Want(H, S, "\\\\" + E.Host(H, "IP") + "\\" + S);
        All.insert(W.begin(), W.end());
      }
  EXPECT_EQ(Found(), All);
  const auto T0 = Clock::now();
  Scan->Stop();
  ASSERT_TRUE(Main.PumpUntil([&] { return Finished > 0; }, 60000));
  const int Ms = MsSince(T0);
  std::printf("stop with a call to the stuck host in flight: %d ms\n", Ms);
  // Without the worker's end the call would wait for the 60 s time-out.
  EXPECT_LE(Ms, 500);
  EXPECT_TRUE(Provider->WorkerPids().empty() ||
              Main.PumpUntil([&] { return Provider->WorkerPids().empty(); }, 10000));
}

TEST_F(SmbWorkerNet, AnSmb1OnlyServerIsReadInBothModes) {
  const std::string Name = E.Host("ECHO", "NAME"), Ip = E.Host("ECHO", "IP");
  Scan->Filter.AllowedComps = {"\\\\" + Name};
  ASSERT_TRUE(RunToEnd());
  const auto ByName = Want("ECHO", "oldies", "\\\\" + Name + "\\oldies");
  ASSERT_FALSE(ByName.empty());
  EXPECT_EQ(Found(), ByName);
  for (auto &R : Reports) EXPECT_EQ(R.Domain, E.Host("ECHO", "WORKGROUP"));

  Reports.clear();
  Finished = 0;
  Scan->NetBios = false;
  Scan->Filter.AllowedComps = {};
  Scan->AddIP(StrIP(Ip));
  ASSERT_TRUE(RunToEnd());
  EXPECT_EQ(Found(), Want("ECHO", "oldies", "\\\\" + Ip + "\\oldies"));
}

TEST_F(SmbWorkerNet, AShareWithTwoLinksBackToItsTopEndsWithEachFileOnce) {
  const std::string Ip = E.Host("ECHO", "IP");
  const std::string Loops = E.Get("SQ_LOOPS_SHARE");
  const std::string Share = Loops.substr(Loops.rfind('\\') + 1);
  Scan->Provider = std::make_shared<ExtraShareProvider>("\\\\" + Ip, Share, Provider);
  Scan->NetBios = false;
  Scan->AddIP(StrIP(Ip));
  Scan->Filter.AllowedRes = {Share};
  ASSERT_TRUE(RunToEnd());
  const std::string Root = "\\\\" + Ip + "\\" + Share;
  EXPECT_EQ(Found(), Want("ECHO", Share, Root));
  std::set<std::string> Dirs;
  for (auto &R : Reports) EXPECT_TRUE(Dirs.insert(R.Dir).second) << R.Dir << " twice";
  const auto Skipped = LogLinesWith(" was not walked: it is " + Root + " again.");
  EXPECT_EQ(Skipped.size(), 2u);
}

TEST_F(SmbWorkerNet, AWorkerKilledInAListingCostsNothingWhenTheRetrySucceeds) {
  const std::string Ip = E.Host("ALPHA", "IP");
  const std::string Root = "\\\\" + Ip + "\\music";
  Scan->NetBios = false;
  Scan->MaxThreadCount = 1;
  Scan->AddIP(StrIP(Ip));
  Scan->Filter.AllowedRes = {"music"};
  int Killed = 0;
  // At the first directory reported, deep in the walk: its next listing meets a dead worker.
  OnReport = [&](const std::string &) {
    if (Killed) return;
    for (pid_t P : Provider->WorkerPids()) Killed += ::kill(P, SIGKILL) == 0;
  };
  ASSERT_TRUE(RunToEnd());
  ASSERT_EQ(Killed, 1);
  EXPECT_EQ(Found(), Want("ALPHA", "music", Root));
  EXPECT_TRUE(LogLinesWith(" could not be listed: ").empty());
  EXPECT_EQ(Scan->UnreadDirs, 0);
  EXPECT_TRUE(Scan->LostComps.empty());
}

// A walk deep enough gets a second worker while a core is free: it finds the same files, and
// the loss of that worker costs nothing.
TEST_F(SmbWorkerNet, ASecondWorkerSpeedsAWalkAndItsLossCostsNothing) {
  const std::string Ip = E.Host("ALPHA", "IP");
  const std::string Root = "\\\\" + Ip + "\\music";
  for (const bool Kill : {false, true}) {
    SCOPED_TRACE(Kill ? "second worker killed" : "second worker at work");
    smb::SmbProviderOptions O = Provider->Options();
    O.SecondWorkerAfterDirs = 2;
    O.Cores = 64;
    O.LatencyBoundMs = -1; // one second worker, however slow this build lists
    Provider = std::make_shared<smb::TSmbProvider>(O);
    Scan->Provider = Provider;
    Reports.clear();
    Finished = 0;
    Scan->NetBios = false;
    Scan->MaxThreadCount = 2; // the cap of connections per server is the thread count
    Scan->AddIP(StrIP(Ip));
    Scan->Filter.AllowedRes = {"music"};
    std::size_t Most = 0;
    int Killed = 0;
    OnReport = [&](const std::string &) {
      const auto Pids = Provider->WorkerPids();
      Most = std::max(Most, Pids.size());
      // The second worker is the later one.
      if (Kill && !Killed && Pids.size() == 2) Killed += ::kill(Pids.back(), SIGKILL) == 0;
    };
    ASSERT_TRUE(RunToEnd());
    EXPECT_EQ(Most, 2u);
    EXPECT_EQ(Killed, Kill ? 1 : 0);
    EXPECT_EQ(Found(), Want("ALPHA", "music", Root));
    std::set<std::string> Dirs;
    for (auto &R : Reports) EXPECT_TRUE(Dirs.insert(R.Dir).second) << R.Dir << " twice";
    EXPECT_TRUE(LogLinesWith(" could not be listed: ").empty());
  }

  // A walk slower than the second worker's start (a busy program) takes its listings, and
  // finds the same files.
  smb::SmbProviderOptions O = Provider->Options();
  O.SecondWorkerAfterDirs = 2;
  O.Cores = 64;
  O.LatencyBoundMs = -1;
  smb::TSmbProvider P(O);
  std::multiset<std::string> Music;
  bool Paused = false;
  std::function<void(const std::string &)> Walk = [&](const std::string &Dir) {
    const auto L = P.OpenDir(Dir);
    ASSERT_TRUE(L) << Dir;
    if (!Paused && P.WorkerPids().size() == 2) {
      Paused = true;
      std::this_thread::sleep_for(std::chrono::seconds(1));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    net::DirEntry D;
    while (L->Next(D)) {
      if (D.Name == "." || D.Name == "..") continue;
      const std::string Path = Dir + "\\" + D.Name;
      if (ExtOf(D.Name) == ".mp3") Music.insert(Path);
      if (D.Directory) Walk(Path);
    }
  };
  Walk(Root);
  EXPECT_TRUE(Paused);
  EXPECT_GT(P.ListingsFromSecondWorkers(), 0u);
  EXPECT_EQ(Music, Want("ALPHA", "music", Root));
}

// A provider that runs Cut once, before the Nth listing of a directory below Prefix.
class CutProvider : public ExtraShareProvider {
public:
  CutProvider(std::shared_ptr<net::INetProvider> Real, std::string Prefix, int N,
              std::function<void()> Cut)
      : ExtraShareProvider("-", "-", std::move(Real)), Prefix_(std::move(Prefix)), N_(N),
        Cut_(std::move(Cut)) {}
  std::unique_ptr<net::INetDirListing> OpenDir(const std::string &Dir,
                                               net::NetError *Error) override {
    if (Dir.rfind(Prefix_, 0) == 0 && --N_ == 0) Cut_();
    return ExtraShareProvider::OpenDir(Dir, Error);
  }

private:
  std::string Prefix_;
  int N_;
  std::function<void()> Cut_;
};

TEST_F(SmbWorkerNet, AServerLostMidRescanLeavesItsUnconfirmedRowsUnknownAndIsNamed) {
  const std::string Net = E.Get("SQ_TESTNET_DIR"), Tool = sonquarry::testing::TestnetTool();
  const std::string Bravo = E.Host("BRAVO", "NAME"), Wg = E.Host("BRAVO", "WORKGROUP");
  const std::string Root = "\\\\" + Bravo + "\\media";
  // The list of the search before: every music file on the server's disk.
  TWNetTree Tree;
  Tree.SetLoading(true);
  const auto Known = Want("BRAVO", "media", Root);
  for (const auto &P : Known)
    Tree.AddFile(Wg, P.substr(0, P.rfind('\\')), P.substr(P.rfind('\\') + 1));
  Tree.SetLoading(false);
  struct TRestart {
    std::string Tool, Net, Host;
    bool Stopped = false;
    ~TRestart() {
      if (!Stopped) return;
      EXPECT_EQ(RunProgram({Tool, "start-host", "--dir", Net, Host}).Status, 0);
      bool Back = false;
      for (int I = 0; I < 60 && !Back; ++I) {
        Back = RunProgram({"smbclient", "//" + Host + "/media", "-N", "-c", "ls"}).Status == 0;
        if (!Back) ::sleep(2);
      }
      EXPECT_TRUE(Back) << Host << " is not reachable again";
    }
  } Restart{Tool, Net, Bravo};
  // Cut off in the middle of its walk, the host as a whole: smbd and nmbd.
  Scan->Provider = std::make_shared<CutProvider>(Provider, Root + "\\", 4, [&] {
    Restart.Stopped = RunProgram({Tool, "stop-host", "--dir", Net, Bravo}).Status == 0;
  });
  Scan->Filter.AllowedComps = {"\\\\" + Bravo};
  Scan->Filter.AllowedRes = {"media"};
  Scan->OnFilesFound = [&](TScanResThread *, const std::string &D, const Strings &Files,
                           const std::string &Domain) {
    for (const auto &F : Files) Tree.AddFile(Domain, D, F);
  };
  TScanSession Session(*Scan, Tree);
  Session.PrepareList();
  Session.Start();
  ASSERT_TRUE(Main.PumpUntil([&] { return Finished > 0; }, 120000));
  Session.Finish();
  ASSERT_TRUE(Restart.Stopped);

  EXPECT_EQ(Tree.Count(), int(Known.size()));
  EXPECT_EQ(Tree.CountByState(nsInaccessible), 0);
  EXPECT_GT(Tree.CountByState(nsKnown), 0);
  EXPECT_GT(Tree.CountByState(nsUnreached), 0);
  EXPECT_EQ(Tree.CountByState(nsKnown) + Tree.CountByState(nsUnreached), Tree.Count());
  EXPECT_EQ(Session.Summary("").UnknownFiles, Tree.CountByState(nsUnreached));
  EXPECT_FALSE(Session.UnreadNote().empty());
  EXPECT_EQ(Scan->LostComps, (std::vector<std::pair<std::string, std::string>>{{Wg, Bravo}}));
  const auto Lines = LogLinesWith("Computer \\\\" + Bravo + " stopped answering during its walk");
  ASSERT_EQ(Lines.size(), 1u);
  std::printf("%s\n", Lines[0].c_str());
  const auto Blocks = ReadLogBlocks(LogFile);
  const auto *B = sonquarry::testing::FindBlock(Blocks, "Processing resource \\\\" + Bravo + ".");
  ASSERT_TRUE(B);
  EXPECT_NE(std::find(B->begin(), B->end(), Lines[0]), B->end());
}

TEST_F(SmbWorkerNet, AnUnlistableDirectoryIsNamedWithItsReasonAndTheRestIsFound) {
  const std::string Odd = E.Get("SQ_ODD_SHARE");
  const std::string Share = Odd.substr(Odd.rfind('\\') + 1);
  const std::string Alpha = E.Host("ALPHA", "NAME");
  Scan->Provider = std::make_shared<ExtraShareProvider>("\\\\" + Alpha, Share, Provider);
  Scan->Filter.AllowedComps = {"\\\\" + Alpha};
  Scan->Filter.AllowedRes = {Share};
  ASSERT_TRUE(RunToEnd());
  // The server's disk: a directory whose name holds < > or ", or that holds a name with a
  // backslash, cannot be listed; every music file elsewhere is found.
  const std::filesystem::path Disk =
      std::filesystem::path(E.Get("SQ_TESTNET_DIR")) / "shares" / "alpha" / Share;
  auto Unc = [&](const std::filesystem::path &P) {
    std::string Rel = P.lexically_relative(Disk).string();
    std::replace(Rel.begin(), Rel.end(), '/', '\\');
    return Odd + "\\" + Rel;
  };
  std::set<std::string> Unlistable;
  std::multiset<std::string> OnDisk;
  for (const auto &F : std::filesystem::recursive_directory_iterator(Disk)) {
    const std::string Name = F.path().filename().string();
    if (F.is_directory() && Name.find_first_of("<>\"") != std::string::npos)
      Unlistable.insert(Unc(F.path()));
    if (!F.is_directory() && Name.find('\\') != std::string::npos)
      Unlistable.insert(Unc(F.path().parent_path()));
  }
  for (const auto &F : std::filesystem::recursive_directory_iterator(Disk))
    if (ExtOf(F.path().string()) == ".mp3" && !Unlistable.count(Unc(F.path().parent_path())))
      OnDisk.insert(Unc(F.path()));
  ASSERT_EQ(Unlistable.size(), 2u);
  EXPECT_EQ(Found(), OnDisk);
  std::set<std::string> Named;
  for (const auto &L : LogLinesWith(" could not be listed: ")) {
    std::printf("%s\n", L.c_str());
    EXPECT_TRUE(Named.insert(L.substr(10, L.find(" could not be listed: ") - 10)).second) << L;
    EXPECT_NE(L.find("the server"), std::string::npos) << L;
  }
  EXPECT_EQ(Named, Unlistable);
}

// Links back to the top of a share on a host of NT1 to SMB3, reached by name in the neighbourhood
// (through WS-Discovery's provider, as a search has it) and by address, with and without a second
// worker.
TEST_F(SmbWorkerNet, LoopingSharesGiveOneRowPerFileInEveryMode) {
  const std::string Name = E.Host("ALPHA", "NAME"), Ip = E.Host("ALPHA", "IP");
  for (const bool ByIp : {false, true}) {
    if (ByIp) Scan->AddIP(StrIP(Ip));
    for (const char *Key : {"SQ_LOOP_SHARE", "SQ_ALPHA_LOOPS_SHARE"}) {
      for (const bool Second : {false, true}) {
        const std::string Share = E.Get(Key).substr(E.Get(Key).rfind('\\') + 1);
        const std::string Comp = "\\\\" + (ByIp ? Ip : Name);
        SCOPED_TRACE(Comp + "\\" + Share + (Second ? " with a second worker" : ""));
        smb::SmbProviderOptions O = Provider->Options();
        O.SecondWorkerAfterDirs = Second ? 1 : 0;
        O.Cores = 64;
        Provider = std::make_shared<smb::TSmbProvider>(O);
        std::shared_ptr<net::INetProvider> Net = Provider;
        if (!ByIp) Net = sonquarry::testing::WithWsDiscovery(Net);
        Scan->Provider = std::make_shared<ExtraShareProvider>(Comp, Share, Net);
        Scan->NetBios = !ByIp;
        Scan->Filter.AllowedComps = {Comp};
        Scan->Filter.AllowedRes = {Share};
        Reports.clear();
        Finished = 0;
        ASSERT_TRUE(RunToEnd(60000));
        EXPECT_EQ(Found(), Want("ALPHA", Share, Comp + "\\" + Share));
      }
    }
  }
}

// Over a link with round-trip time a walk gets helpers up to the server's cap: each file is
// found once, a share whose links loop ends, and the server (counted by the relay) never has
// more connections at once than the cap.
TEST_F(SmbWorkerNet, AWalkOverASlowLinkFindsEachFileOnceWithinTheServersCap) {
  const TRelayHost Relay(E.Get("SQ_TESTNET_DIR"), 30);
  ASSERT_TRUE(Relay.Up);
  TRelayControl Counts(E);
  const Strings Ips = E.List("SQ_RELAY_IPS"), Hosts = E.List("SQ_RELAY_HOSTS");
  const std::string Loops = E.Get("SQ_LOOPS_SHARE");
  struct TCase {
    std::string Host, Share;
    int Cap;
    std::size_t Skipped; // "was not walked" lines
    double Rtt;          // ms: a small tree needs a slow link to keep helpers busy
    bool Helped;         // too small a tree is read ahead before a helper has started
  };
  for (const TCase &C :
       {TCase{"ALPHA", "music", 2, 0, 30, true}, TCase{"ALPHA", "music", 8, 0, 30, true},
        TCase{"ECHO", Loops.substr(Loops.rfind('\\') + 1), 3, 2, 60, false}}) {
    SCOPED_TRACE(C.Host + " " + C.Share + ", cap " + std::to_string(C.Cap));
    const auto At = std::find(Hosts.begin(), Hosts.end(), C.Host);
    ASSERT_NE(At, Hosts.end());
    const std::string Ip = Ips[std::size_t(At - Hosts.begin())];
    const std::string Root = "\\\\" + Ip + "\\" + C.Share;
    Provider = std::make_shared<smb::TSmbProvider>(Provider->Options());
    Scan->Provider = Provider;
    if (C.Share.back() == '$')
      Scan->Provider = std::make_shared<ExtraShareProvider>("\\\\" + Ip, C.Share, Provider);
    Reports.clear();
    Finished = 0;
    Scan->NetBios = false;
    Scan->ServerConnections = C.Cap;
    Scan->IPResList->ClearList();
    Scan->AddIP(StrIP(Ip));
    Scan->Filter.AllowedRes = {C.Share};
    ASSERT_TRUE(Counts.Set(C.Rtt));
    ASSERT_TRUE(RunToEnd());
    EXPECT_EQ(Found(), Want(C.Host, C.Share, Root));
    std::set<std::string> Dirs;
    for (auto &R : Reports) EXPECT_TRUE(Dirs.insert(R.Dir).second) << R.Dir << " twice";
    EXPECT_EQ(LogLinesWith(" was not walked: it is " + Root + " again.").size(), C.Skipped);
    EXPECT_TRUE(!C.Helped || Provider->ListingsFromSecondWorkers() > 0);
    const auto N = Counts.Counts();
    EXPECT_TRUE(N.Closed);
    EXPECT_GE(N.Most, C.Helped ? 2 : 1);
    EXPECT_LE(N.Most, C.Cap);
  }
}

// Stop during a walk over a slow link ends it at once, helpers and all.
TEST_F(SmbWorkerNet, StopEndsAWalkOverASlowLinkAtOnce) {
  const TRelayHost Relay(E.Get("SQ_TESTNET_DIR"), 40);
  ASSERT_TRUE(Relay.Up);
  const std::string Ip = E.List("SQ_RELAY_IPS").front();
  Scan->NetBios = false;
  Scan->AddIP(StrIP(Ip));
  Scan->Filter.AllowedRes = {"music"};
  Clock::time_point Stopped{};
  std::size_t Before = 0;
  // Once helpers are at work.
  OnReport = [&](const std::string &) {
    if (Stopped != Clock::time_point{} || Provider->WorkerPids().size() < 2) return;
    Before = Reports.size();
    Stopped = Clock::now();
    Scan->Stop();
  };
  ASSERT_TRUE(RunToEnd());
  ASSERT_NE(Stopped, Clock::time_point{}) << "no helper started";
  const int Ms = MsSince(Stopped);
  std::printf("stop in a walk over 40 ms of round-trip time: %d ms\n", Ms);
  EXPECT_LE(Ms, 500);
  EXPECT_EQ(Reports.size(), Before);
  EXPECT_TRUE(Provider->WorkerPids().empty() ||
              Main.PumpUntil([&] { return Provider->WorkerPids().empty(); }, 10000));
}

// Ctrl+C ends sonquarry-scan at once with a call to the stuck host in flight; a killed
// sonquarry-scan leaves no worker behind.
TEST_F(SmbWorkerNet, TheScannerEndsAtOnceAndLeavesNoWorkerBehind) {
  const THungHost Stuck(E.Get("SQ_TESTNET_DIR"));
  ASSERT_TRUE(Stuck.Up);
  const std::string Scanner = sonquarry::testing::ScanBinary();
  const std::vector<std::string> Args{Scanner, "--ip", E.Host("STUCK", "IP"), "--format", "none",
                                      "--log", LogFile};
  // The workers of Parent; with 0, those of any program this test started (other programs on
  // the machine may run workers of their own).
  auto Workers = [](pid_t Parent) {
    int N = 0;
    for (auto &P : std::filesystem::directory_iterator("/proc")) {
      std::ifstream In(P.path() / "cmdline");
      const std::string C((std::istreambuf_iterator<char>(In)), {});
      const auto At = C.find(std::string("--parent") + '\0');
      if (C.find("sonquarry-smb-worker") == std::string::npos || At == std::string::npos) continue;
      const pid_t Of = std::atoi(C.c_str() + At + 9);
      if (Parent) {
        N += Of == Parent;
      } else {
        std::ifstream Stat("/proc/" + std::to_string(Of) + "/stat");
        std::string Pid, Comm, State;
        pid_t PPid = 0;
        Stat >> Pid >> Comm >> State >> PPid;
        N += PPid == ::getpid();
      }
    }
    return N;
  };
  // Interrupted once its thread has a worker for the stuck host's share list.
  const TRun C = RunProgram(Args, {}, [&](const TRun &) { return Workers(0) > 0; });
  EXPECT_EQ(C.Status, 130) << C.Err;
  std::printf("Ctrl+C with the stuck host in flight: %.3f s\n", C.AfterInterrupt);
  EXPECT_GE(C.AfterInterrupt, 0);
  // A stuck call would hold the end for its 20 s deadline: the bound only has to tell the two
  // apart, also in a sanitizer build on a loaded machine.
  EXPECT_LT(C.AfterInterrupt, 5.0);

  // Killed outright: its workers notice and end.
  const pid_t Pid = ::fork();
  if (Pid == 0) {
    ::execv(Scanner.c_str(), const_cast<char **>(std::vector<const char *>{
                                 Args[0].c_str(), Args[1].c_str(), Args[2].c_str(), Args[3].c_str(),
                                 Args[4].c_str(), Args[5].c_str(), Args[6].c_str(), nullptr}
                                                     .data()));
    ::_exit(127);
  }
  ASSERT_TRUE(Main.PumpUntil([&] { return Workers(Pid) > 0; }, 20000));
  ::kill(Pid, SIGKILL);
  int St;
  ::waitpid(Pid, &St, 0);
  EXPECT_TRUE(Main.PumpUntil([&] { return Workers(Pid) == 0; }, 10000));
}

} // namespace
