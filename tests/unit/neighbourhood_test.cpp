// ctest-labels: threads
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "discovery/mdns_discoverer.h"
#include "discovery/neighbourhood.h"
#include "discovery/wsd_discoverer.h"
#include "engine/network.h"
#include "platform/os/diag.h"
#include "support/fake_net_provider.h"

using namespace sonquarry;
using sonquarry::testing::FakeNetProvider;

namespace {

net::NetResource Res(int32_t Display, const std::string &Name) {
  net::NetResource R;
  R.Scope = net::NetScopeGlobal;
  R.Type = net::NetTypeDisk;
  R.DisplayType = Display;
  R.Usage = Display == net::NetDisplayShare ? net::NetUsageConnectable : net::NetUsageContainer;
  R.RemoteName = Name;
  R.Provider = "SMB Network";
  return R;
}

std::vector<std::string> Names(const std::vector<net::NetResource> &L) {
  std::vector<std::string> N;
  for (auto &R : L) N.push_back(R.RemoteName);
  return N;
}

class NeighbourhoodTest : public ::testing::Test {
protected:
  void SetUp() override {
    Inner->Set("", {Res(net::NetDisplayNetwork, "SMB Network")});
    Inner->Set("SMB Network",
               {Res(net::NetDisplayDomain, "SQGROUP1"), Res(net::NetDisplayDomain, "SQGROUP2")});
    Inner->Set("SQGROUP1", {Res(net::NetDisplayServer, "\\\\SQALPHA"),
                            Res(net::NetDisplayServer, "\\\\SQBRAVO")});
    Inner->Set("SQGROUP2", {Res(net::NetDisplayServer, "\\\\SQCHARLIE")});
    Inner->Set("\\\\SQALPHA", {Res(net::NetDisplayShare, "\\\\SQALPHA\\music")});
    Inner->Set("\\\\10.0.0.14", {Res(net::NetDisplayShare, "\\\\10.0.0.14\\tunes")});
    Inner->SetDir("\\\\10.0.0.14\\tunes\\rock", {{"a.mp3", false}, {"live", true}});
    Inner->SetFile("\\\\10.0.0.14\\tunes\\rock\\a.mp3", "ID3 a");
  }
  std::vector<std::string> List(const std::string &Name, int32_t Display,
                                net::NetEnumStatus Want = net::NetEnumStatus::Ok) {
    std::vector<net::NetResource> Out;
    const net::NetResource C = Res(Display, Name);
    EXPECT_EQ(P.EnumResources(&C, Out), Want) << Name;
    for (auto &R : Out) {
      EXPECT_EQ(R.Scope, net::NetScopeGlobal);
      EXPECT_EQ(R.Provider, "SMB Network");
    }
    return Names(Out);
  }

  std::shared_ptr<FakeNetProvider> Inner = std::make_shared<FakeNetProvider>();
  std::vector<wsd::WsdComputer> Found = {{"sqalpha", "sqgroup1", 0x0A00000B},
                                         {"SQDELTA", "SQGROUP3", 0x0A00000E},
                                         {"SQECHO", "SQGROUP1", 0x0A00000F}};
  int Discoveries = 0;
  discovery::TNeighbourhood P{Inner, {std::make_shared<discovery::TWsdDiscoverer>([this] {
                                ++Discoveries;
                                return Found;
                              })}};
};

TEST_F(NeighbourhoodTest, OneTreeEachWorkgroupAndComputerOnce) {
  EXPECT_EQ(List("SMB Network", net::NetDisplayNetwork),
            (std::vector<std::string>{"SQGROUP1", "SQGROUP2", "SQGROUP3"}));
  EXPECT_EQ(List("SQGROUP1", net::NetDisplayDomain),
            (std::vector<std::string>{"\\\\SQALPHA", "\\\\SQBRAVO", "\\\\SQECHO"}));
  EXPECT_EQ(List("SQGROUP2", net::NetDisplayDomain), (std::vector<std::string>{"\\\\SQCHARLIE"}));
  EXPECT_EQ(List("sqgroup3", net::NetDisplayDomain), (std::vector<std::string>{"\\\\SQDELTA"}));
  // One discovery for the whole tree; no browse master is asked for a workgroup only it named.
  EXPECT_EQ(Discoveries, 1);
  const auto Calls = Inner->Calls();
  EXPECT_EQ(std::count(Calls.begin(), Calls.end(), "sqgroup3"), 0);
  // Each listing of the workgroups (a new scan) discovers again.
  List("SMB Network", net::NetDisplayNetwork);
  EXPECT_EQ(Discoveries, 2);
}

TEST_F(NeighbourhoodTest, AComputerOnlyDiscoveryKnowsIsReachedByItsAddress) {
  List("SMB Network", net::NetDisplayNetwork);
  List("SQGROUP3", net::NetDisplayDomain);
  List("SQGROUP1", net::NetDisplayDomain);
  EXPECT_EQ(List("\\\\SQDELTA", net::NetDisplayServer),
            (std::vector<std::string>{"\\\\SQDELTA\\tunes"}));
  std::vector<net::DirEntry> Entries;
  ASSERT_TRUE(P.FindFiles("\\\\SQDELTA\\tunes\\rock", Entries));
  ASSERT_EQ(Entries.size(), 2u);
  EXPECT_EQ(Entries[0].Name, "a.mp3");
  // Its files are read the same way, so copying from it works too.
  auto F = P.OpenFile("\\\\SQDELTA\\tunes\\rock\\a.mp3");
  ASSERT_TRUE(F);
  char Buf[16];
  EXPECT_EQ(std::string(Buf, std::size_t(F->Read(Buf, sizeof Buf))), "ID3 a");
  // Found both ways: by name, as the browse list has it.
  EXPECT_EQ(List("\\\\SQALPHA", net::NetDisplayServer),
            (std::vector<std::string>{"\\\\SQALPHA\\music"}));
  const auto Calls = Inner->Calls();
  EXPECT_EQ(std::count(Calls.begin(), Calls.end(), "\\\\SQDELTA"), 0);
  EXPECT_EQ(std::count(Calls.begin(), Calls.end(), "\\\\10.0.0.11"), 0);
}

TEST_F(NeighbourhoodTest, ADeviceCannotTakeOverANameAlreadyTied) {
  // SQBRAVO is in SQGROUP1's browse list; SQDELTA answered first from .14.
  Found = {{"SQBRAVO", "SQGROUP3", 0x0A000063},
           {"SQDELTA", "SQGROUP3", 0x0A00000E},
           {"sqdelta", "SQGROUP3", 0x0A000064},
           {"SQDELTA", "SQGROUP4", 0x0A000065}};
  Inner->SetDir("\\\\SQBRAVO\\music", {{"real.mp3", false}});
  Inner->SetDir("\\\\10.0.0.99\\music", {{"fake.mp3", false}});
  std::vector<std::string> Log;
  const auto Previous = platform::SetDiagnosticSink(
      [&](platform::TDiagLevel, const std::string &L) { Log.push_back(L); });
  List("SMB Network", net::NetDisplayNetwork);
  // The impostor's workgroup first: SQGROUP1's browse list is asked all the same.
  EXPECT_EQ(List("SQGROUP3", net::NetDisplayDomain), (std::vector<std::string>{"\\\\SQDELTA"}));
  List("SQGROUP4", net::NetDisplayDomain, net::NetEnumStatus::NoMoreItems);
  EXPECT_EQ(List("SQGROUP1", net::NetDisplayDomain),
            (std::vector<std::string>{"\\\\SQALPHA", "\\\\SQBRAVO"}));
  platform::SetDiagnosticSink(Previous);
  const std::string Tail = "; it is not walked under that name.";
  EXPECT_EQ(Log, (std::vector<std::string>{
                     "WS-Discovery: the device at 10.0.0.99 answers as SQBRAVO, which the browse "
                     "list of SQGROUP1 names" +
                         Tail,
                     "WS-Discovery: the device at 10.0.0.100 answers as sqdelta, which is at "
                     "10.0.0.14" +
                         Tail,
                     "WS-Discovery: the device at 10.0.0.101 answers as SQDELTA, which is at "
                     "10.0.0.14" +
                         Tail}));
  // The real computer's files come from it, by its name; SQDELTA stays at its first address.
  std::vector<net::DirEntry> Entries;
  ASSERT_TRUE(P.FindFiles("\\\\SQBRAVO\\music", Entries));
  ASSERT_EQ(Entries.size(), 1u);
  EXPECT_EQ(Entries[0].Name, "real.mp3");
  EXPECT_EQ(List("\\\\SQDELTA", net::NetDisplayServer),
            (std::vector<std::string>{"\\\\SQDELTA\\tunes"}));
}

// A device that took a name while its owner was off keeps it no longer than that search: the
// next search ties the name to whoever answers first then.
TEST_F(NeighbourhoodTest, EachSearchProvesANamesAddressAgain) {
  Inner->Set("\\\\10.0.0.99", {Res(net::NetDisplayShare, "\\\\10.0.0.99\\tunes")});
  Found = {{"SQDELTA", "SQGROUP3", 0x0A000063}};
  List("SMB Network", net::NetDisplayNetwork);
  List("SQGROUP3", net::NetDisplayDomain);
  EXPECT_EQ(List("\\\\SQDELTA", net::NetDisplayServer),
            (std::vector<std::string>{"\\\\SQDELTA\\tunes"}));
  // The owner is back and answers first; the impostor still answers.
  Found = {{"SQDELTA", "SQGROUP3", 0x0A00000E}, {"SQDELTA", "SQGROUP3", 0x0A000063}};
  List("SMB Network", net::NetDisplayNetwork);
  List("SQGROUP3", net::NetDisplayDomain);
  std::vector<net::DirEntry> Entries;
  ASSERT_TRUE(P.FindFiles("\\\\SQDELTA\\tunes\\rock", Entries));
  ASSERT_EQ(Entries.size(), 2u);
  EXPECT_EQ(Entries[0].Name, "a.mp3");
}

TEST_F(NeighbourhoodTest, FailuresKeepTheirCodesWhenDiscoveryAddsNothing) {
  Found.clear();
  Inner->Set("SMB Network", {}, net::NetEnumStatus::OpenFailed);
  List("SMB Network", net::NetDisplayNetwork, net::NetEnumStatus::OpenFailed);
  Inner->Set("SQGROUP2", {}, net::NetEnumStatus::ReadFailed);
  List("SQGROUP2", net::NetDisplayDomain, net::NetEnumStatus::ReadFailed);
  // Without browse lists at all, what discovery finds is the whole tree.
  Found = {{"SQDELTA", "SQGROUP3", 0x0A00000E}};
  EXPECT_EQ(List("SMB Network", net::NetDisplayNetwork), (std::vector<std::string>{"SQGROUP3"}));
  EXPECT_EQ(List("SQGROUP3", net::NetDisplayDomain), (std::vector<std::string>{"\\\\SQDELTA"}));
}

TEST(NetworkChoice, EachChoiceHasOneNeighbourhoodAndFilesFollowTheLastSearch) {
  auto Plain = std::make_shared<FakeNetProvider>();
  TNetwork Net(Plain, {std::make_shared<discovery::TWsdDiscoverer>(
                          [] { return std::vector<wsd::WsdComputer>{}; })});
  EXPECT_EQ(Net.Neighbourhood({false}), Plain);
  const auto On = Net.Neighbourhood({true});
  EXPECT_NE(On, Plain);
  EXPECT_EQ(Net.Neighbourhood({true}), On);
  // The dialog asking leaves what the list's files go through alone; a search changes it.
  EXPECT_EQ(Net.Files(), Plain);
  EXPECT_EQ(Net.StartSearch({true}), On);
  EXPECT_EQ(Net.Files(), On);
  Net.StartSearch({false});
  EXPECT_EQ(Net.Files(), Plain);
}

} // namespace

// mDNS beside the browse lists and WS-Discovery: a computer is listed once, under the workgroup
// that another method gives it, else under LOCAL by its instance name, reached by its address.
class MdnsNeighbourhoodTest : public NeighbourhoodTest {
protected:
  mdns::BrowseResult Browsed;
  std::vector<std::string> Log;
  platform::TDiagnosticSink Previous;
  void SetUp() override {
    NeighbourhoodTest::SetUp();
    Inner->Set("\\\\10.0.0.16", {Res(net::NetDisplayShare, "\\\\10.0.0.16\\Audio")});
    Previous = platform::SetDiagnosticSink(
        [this](platform::TDiagLevel, const std::string &L) { Log.push_back(L); });
  }
  void TearDown() override { platform::SetDiagnosticSink(Previous); }
  // mDNS asked first: the order of the discoverers must not matter.
  discovery::TNeighbourhood Both{
      Inner,
      {std::make_shared<discovery::TMdnsDiscoverer>([this] { return Browsed; }),
       std::make_shared<discovery::TWsdDiscoverer>([this] { return Found; })}};
  std::vector<std::string> ListBoth(const std::string &Name, int32_t Display) {
    std::vector<net::NetResource> Out;
    const net::NetResource C = Res(Display, Name);
    Both.EnumResources(&C, Out);
    return Names(Out);
  }
};

TEST_F(MdnsNeighbourhoodTest, EachComputerOnceUnderTheWorkgroupAnotherMethodGivesElseLocal) {
  Found = {{"SQDELTA", "SQGROUP3", 0x0A00000E}};
  Browsed.Services = {
      {"SQMAC", "sqmac.local", 0x0A000010, 445},     // mDNS only
      {"sqalpha", "sqalpha.local", 0x0A00000B, 445}, // in SQGROUP1's browse list
      {"delta-nas", "delta.local", 0x0A00000E, 445}, // WS-Discovery's SQDELTA, by address
      {"SQDELTA", "other.local", 0x0A000063, 445},   // WS-Discovery's name, elsewhere
      {"WEBDAV", "web.local", 0x0A000020, 8445},     // SMB on a port not searched
      {"LOOPBACK", "evil.local", 0x7F000001, 445},   // this machine's own shares
  };
  EXPECT_EQ(ListBoth("SMB Network", net::NetDisplayNetwork),
            (std::vector<std::string>{"SQGROUP1", "SQGROUP2", "SQGROUP3", "LOCAL"}));
  EXPECT_EQ(ListBoth("SQGROUP1", net::NetDisplayDomain),
            (std::vector<std::string>{"\\\\SQALPHA", "\\\\SQBRAVO"}));
  EXPECT_EQ(ListBoth("SQGROUP3", net::NetDisplayDomain), (std::vector<std::string>{"\\\\SQDELTA"}));
  EXPECT_EQ(ListBoth("LOCAL", net::NetDisplayDomain), (std::vector<std::string>{"\\\\SQMAC"}));
  // Its shares over SMB at the address it resolved to, under its name.
  EXPECT_EQ(ListBoth("\\\\SQMAC", net::NetDisplayServer),
            (std::vector<std::string>{"\\\\SQMAC\\Audio"}));
  EXPECT_EQ(Log, (std::vector<std::string>{
                     "mDNS: WEBDAV serves SMB on port 8445, which is not searched; it is left out.",
                     "mDNS: LOOPBACK resolves to an address that is not a computer's (127.0.0.1); "
                     "it is left out."}));
}

TEST_F(MdnsNeighbourhoodTest, NoLocalWorkgroupWhenEveryAnnouncedComputerIsListedElsewhere) {
  Found.clear();
  Browsed.Services = {{"SQALPHA", "sqalpha.local", 0x0A00000B, 445},
                      {"sqcharlie", "sqcharlie.local", 0x0A00000D, 139}};
  EXPECT_EQ(ListBoth("SMB Network", net::NetDisplayNetwork),
            (std::vector<std::string>{"SQGROUP1", "SQGROUP2"}));
  EXPECT_EQ(ListBoth("SQGROUP2", net::NetDisplayDomain),
            (std::vector<std::string>{"\\\\SQCHARLIE"}));
  EXPECT_TRUE(Log.empty());
}

TEST_F(MdnsNeighbourhoodTest, WithoutAvahiDaemonTheSearchGoesOnAndSaysWhatToInstall) {
  Browsed.Daemon = false;
  Browsed.Why = "Daemon not running";
  EXPECT_EQ(ListBoth("SMB Network", net::NetDisplayNetwork),
            (std::vector<std::string>{"SQGROUP1", "SQGROUP2", "SQGROUP3"}));
  ASSERT_EQ(Log.size(), 1u);
  EXPECT_NE(Log[0].find("avahi-daemon does not answer (Daemon not running)"), std::string::npos);
  EXPECT_NE(Log[0].find("apt install avahi-daemon"), std::string::npos);
}

TEST(MdnsServiceName, OnlyWhatCanNameAComputerInAPath) {
  const std::vector<std::pair<std::string, bool>> Cases = {
      {"SQMAC", true},      {"Anna's MacBook Pro", true},
      {"Müller-NAS", true}, {"nas.home", true},
      {"", false},          {std::string(64, 'a'), false},
      {" padded", false},   {"back\\slash", false},
      {"sl/ash", false},    {"per%cent", false},
      {"new\nline", false}, {"\xff\xfe", false},
      {"...", false},       {"10.0.0.1", false},
      {"0x7f.1", false},
  };
  for (const auto &[Name, Usable] : Cases) {
    std::string Why;
    EXPECT_EQ(mdns::UsableServiceName(Name, Why), Usable) << Name;
    EXPECT_EQ(Why.empty(), Usable) << Name;
  }
}
