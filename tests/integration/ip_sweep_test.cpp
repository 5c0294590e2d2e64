// ctest-labels: threads
// IP scans with the probes made ahead of the threads: hosts on port 445 only, Stop in the middle
// of a /20, and a process with few descriptors.
#include <sys/resource.h>

#include <chrono>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "app/program_network.h"
#include "engine/net_scan.h"
#include "support/run_program.h"
#include "support/scan_expect.h"
#include "support/scan_fixture.h"
#include "support/test_support.h"
#include "support/testnet_env.h"

using namespace sonquarry;
using sonquarry::testing::MsSince;
using sonquarry::testing::TExpected;
using sonquarry::testing::TFound;
using sonquarry::testing::TScanView;
using Clock = std::chrono::steady_clock;
using Strings = std::vector<std::string>;

namespace {

// The names one set lacks and the other has, for the failure message.
std::string Diff(const std::set<TFound> &Got, const std::set<TFound> &Want) {
  std::string Out;
  for (const auto &F : Want)
    if (!Got.count(F)) Out += "\n  missing " + F.Dir + "\\" + F.Name;
  for (const auto &F : Got)
    if (!Want.count(F)) Out += "\n  extra " + F.Dir + "\\" + F.Name;
  return Out;
}

class IpSweepNet : public sonquarry::testing::TScanFixture {
protected:
  IpSweepNet() : TScanFixture("sonquarry-ipsweep-", 30000) {}
  void SetUp() override {
    TScanFixture::SetUp();
    Wire();
  }
  void Wire() {
    Scan->Filter.Extentions = {".mp3"};
    Scan->OnFilesFound = [this](TScanResThread *, const std::string &D, const Strings &Files,
                                const std::string &) {
      for (const auto &F : Files) Found.insert({"<<unknown>>", D, F});
    };
    Scan->OnFinish = [this](TNetScan *) { ++Finished; };
    Scan->NetBios = false;
  }
  uint32_t Net() const {
    const std::string Subnet = E.Get("SQ_SUBNET");
    return StrIP(Subnet.substr(0, Subnet.find('/')));
  }
  bool RunToEnd() {
    Scan->Start();
    return Main.PumpUntil([&] { return Finished > 0; }, 120000);
  }

  sonquarry::testing::Env E = sonquarry::testing::Env::Load();
  std::set<TFound> Found;
};

TEST_F(IpSweepNet, AHostOnPort445OnlyIsFoundOnlyWithTheSetting) {
  for (const bool On : {false, true}) {
    Found.clear();
    Finished = 0;
    Scan = std::make_unique<TNetScan>();
    Scan->Network = MakeProgramNetwork();
    Wire();
    Scan->Probe445 = On;
    Scan->AddIPRange(Net() + 1, Net() + 63);
    ASSERT_TRUE(RunToEnd()) << On;
    TScanView V;
    V.Ip = true;
    V.Port445 = On;
    const TExpected Want(E, V);
    // SQDELTA serves SMB on 445 without NetBIOS, as current Windows PCs and many NAS boxes do.
    EXPECT_EQ(E.Get("SQ_DELTA_PORTS"), "445");
    EXPECT_EQ(Want.Hosts().count(E.Host("DELTA", "NAME")), On ? 1u : 0u);
    EXPECT_EQ(Diff(Found, Want.Found), "") << On;
    EXPECT_EQ(Scan->ScannedComps, int(Want.Hosts().size())) << On;
  }
}

TEST_F(IpSweepNet, StopDuringTheSweepOfA20ReturnsWithinHalfASecond) {
  // The client reaches its own /24 only: every other address of the /20 fails at once, without
  // a packet leaving the namespace.
  const auto Routes = sonquarry::testing::RunProgram({"ip", "-4", "route", "show"});
  ASSERT_EQ(Routes.Status, 0);
  ASSERT_EQ(Routes.Out.find("default"), std::string::npos) << Routes.Out;
  const uint32_t Block = Net() & 0xFFFFF000u;
  ASSERT_NE(sonquarry::testing::RunProgram({"ip", "-4", "route", "get", IPToStr(Block + 1)}).Status,
            0);
  // The servers are denied: what Stop meets is the sweep alone, not a share listing in progress.
  for (const auto &Key : E.Hosts()) Scan->Filter.DeniedComps.push_back("\\\\" + E.Host(Key, "IP"));
  Scan->TimeOut = 5000; // the silent addresses of the test subnet stay in flight
  Scan->AddIPRange(Block, Block + 4095);
  Scan->Start();
  Main.PumpFor(1000);
  ASSERT_EQ(Finished, 0);
  const auto T0 = Clock::now();
  Scan->Stop();
  ASSERT_TRUE(Main.PumpUntil([&] { return Finished > 0; }, 5000));
  EXPECT_LE(MsSince(T0), 500);
}

TEST_F(IpSweepNet, ALowDescriptorLimitStillCompletesTheScan) {
  rlimit Old{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &Old), 0);
  rlimit Low = Old;
  Low.rlim_cur = 64;
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &Low), 0);
  Scan->Probe445 = true;
  Scan->AddIPRange(Net() + 1, Net() + 63);
  const bool Done = RunToEnd();
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &Old), 0);
  ASSERT_TRUE(Done);
  TScanView V;
  V.Ip = true;
  V.Port445 = true;
  const TExpected Want(E, V);
  EXPECT_EQ(Diff(Found, Want.Found), "");
  EXPECT_EQ(Scan->ScannedComps, int(Want.Hosts().size()));
}

} // namespace
