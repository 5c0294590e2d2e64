// ctest-labels: threads
// The SMB workers against the hosts real networks have: one that hangs, one that speaks SMB1
// only, a share whose links loop, a worker killed in the middle of a walk.
#include <signal.h>
#include <unistd.h>

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

#include "engine/ip_range.h"
#include "engine/net_scan.h"
#include "engine/scan_log.h"
#include "platform/main_thread.h"
#include "platform/smb/smb_provider.h"
#include "support/extra_share_provider.h"
#include "support/hung_host.h"
#include "support/run_program.h"
#include "support/scan_expect.h"
#include "support/scan_fixture.h"
#include "support/scan_log_blocks.h"
#include "support/test_support.h"
#include "support/testnet_env.h"

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

TEST_F(SmbWorkerNet, AWorkerKilledInAWalkCostsOneListing) {
  const std::string Ip = E.Host("ALPHA", "IP");
  const std::string Root = "\\\\" + Ip + "\\music";
  Scan->NetBios = false;
  Scan->MaxThreadCount = 1;
  Scan->AddIP(StrIP(Ip));
  Scan->Filter.AllowedRes = {"music"};
  int Killed = 0;
  // At the first directory reported, deep in the walk: the thread waits in its hand-over
  // meanwhile, so the kill lands before its next call.
  OnReport = [&](const std::string &) {
    if (Killed) return;
    for (pid_t P : Provider->WorkerPids()) Killed += ::kill(P, SIGKILL) == 0;
  };
  ASSERT_TRUE(RunToEnd());
  ASSERT_EQ(Killed, 1);
  const auto Lines = LogLinesWith(" was not listed completely: SMB worker ");
  ASSERT_EQ(Lines.size(), 1u) << [&] {
    std::string All;
    for (auto &L : LogLinesWith("")) All += L + "\n";
    return All;
  }();
  EXPECT_NE(Lines[0].find("ended (signal 9)"), std::string::npos) << Lines[0];
  // "Directory X was not listed completely: ..." - everything outside X is found.
  const std::string Lost = Lines[0].substr(10, Lines[0].find(" was not") - 10);
  std::multiset<std::string> Rest;
  for (auto &F : Want("ALPHA", "music", Root))
    if (F.rfind(Lost + "\\", 0) != 0) Rest.insert(F);
  auto Got = Found();
  for (auto It = Got.begin(); It != Got.end();)
    It = It->rfind(Lost + "\\", 0) == 0 ? Got.erase(It) : std::next(It);
  EXPECT_EQ(Got, Rest);
  EXPECT_GT(Rest.size(), 10u);
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
    Provider = std::make_shared<smb::TSmbProvider>(O);
    Scan->Provider = Provider;
    Reports.clear();
    Finished = 0;
    Scan->NetBios = false;
    Scan->MaxThreadCount = 1;
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
    EXPECT_TRUE(LogLinesWith(" was not listed completely").empty());
  }

  // A walk slower than the second worker's start (a busy program) takes its listings, and
  // finds the same files.
  smb::SmbProviderOptions O = Provider->Options();
  O.SecondWorkerAfterDirs = 2;
  O.Cores = 64;
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
  EXPECT_LT(C.AfterInterrupt, 1.0);

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
