// ctest-labels: threads
// The SMB provider and EnumNetResources against the real servers of the test network.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "engine/net_enum.h"
#include "platform/smb/smb_provider.h"
#include "support/latency_relay.h"
#include "support/smb_testnet.h"
#include "support/test_support.h"

using namespace sonquarry;
using namespace sonquarry::platform;
using sonquarry::testing::TestNet;
using Clock = std::chrono::steady_clock;

using sonquarry::testing::MsSince;

namespace {

// A failing computer costs at most the default probe (500 ms per port, two ports), well below
// the 5000 ms time-out of libsmbclient it saves; the bound leaves room for a busy machine.
constexpr int FailBoundMs = 4000;
// A second call answers from what the first learnt, without the 1000 ms of probing again.
constexpr int AgainBoundMs = 900;

class SmbProviderNet : public ::testing::Test {
protected:
  static void SetUpTestSuite() {
    Net = new TestNet;
    if (Net->Ok()) {
      smb::SmbProviderOptions O;
      O.ConfigFile = Net->Get("SQ_CLIENT_CONF");
      O.CredentialsFile = "-";
      Provider = new smb::TSmbProvider(O);
    }
  }
  static void TearDownTestSuite() {
    delete Provider;
    delete Net;
  }
  void SetUp() override {
    if (!Net->Ok()) GTEST_SKIP() << "not inside the test network (SQ_TESTNET_ENV unset)";
  }

  static TNetRes Res(int32_t DisplayType, const std::string &RemoteName) {
    TNetRes R;
    R.Scope = 2;
    R.ResourceType = 1;
    R.DisplayType = DisplayType;
    R.Usage = 2;
    R.RemoteName = RemoteName;
    R.Provider = "SMB Network";
    return R;
  }
  static std::set<std::string> Names(const TNetResStrings &L) {
    std::set<std::string> Out;
    for (auto &I : L) Out.insert(I.Name);
    return Out;
  }
  // Every file and directory below Unc, relative, with backslashes; "." and ".." left out.
  static void Walk(const std::string &Unc, const std::string &Rel, std::set<std::string> &Files,
                   std::set<std::string> &Dirs, std::vector<std::string> &Failures) {
    std::vector<net::DirEntry> Entries;
    net::NetError E;
    if (!Provider->FindFiles(Unc, Entries, &E)) {
      Failures.push_back(E.Message);
      return;
    }
    for (auto &En : Entries) {
      if (En.Name == "." || En.Name == "..") continue;
      const std::string R = Rel.empty() ? En.Name : Rel + "\\" + En.Name;
      if (En.Directory) {
        Dirs.insert(R);
        Walk(Unc + "\\" + En.Name, R, Files, Dirs, Failures);
      } else {
        Files.insert(R);
      }
    }
  }

  static TestNet *Net;
  static smb::TSmbProvider *Provider;
};

TestNet *SmbProviderNet::Net = nullptr;
smb::TSmbProvider *SmbProviderNet::Provider = nullptr;

TEST_F(SmbProviderNet, TopListsTheOneProvider) {
  TNetResStrings L;
  ASSERT_EQ(EnumNetResources(*Provider, nullptr, &L), EnumDone);
  ASSERT_EQ(L.size(), 1u);
  EXPECT_EQ(L[0].Name, "SMB Network");
  EXPECT_EQ(L[0].Res->DisplayType, RESOURCEDISPLAYTYPE_NETWORK);
  EXPECT_EQ(L[0].Res->Usage, RESOURCEUSAGE_CONTAINER);
}

TEST_F(SmbProviderNet, ProviderListsBothWorkgroups) {
  TNetResStrings Top, L;
  ASSERT_EQ(EnumNetResources(*Provider, nullptr, &Top), EnumDone);
  net::NetError E;
  ASSERT_EQ(EnumNetResources(*Provider, Top[0].Res.get(), &L, &E), EnumDone) << E.Message;
  const auto Want = Net->List("SQ_WORKGROUPS");
  EXPECT_EQ(Names(L), std::set<std::string>(Want.begin(), Want.end()));
  for (auto &I : L) {
    EXPECT_TRUE(IsDomain(*I.Res)) << I.Name;
    EXPECT_EQ(I.Res->Scope, 2);
    EXPECT_EQ(I.Res->ResourceType, 1);
    EXPECT_EQ(I.Res->Usage, RESOURCEUSAGE_CONTAINER);
    EXPECT_EQ(I.Res->Provider, "SMB Network");
  }
}

TEST_F(SmbProviderNet, EachWorkgroupListsItsServers) {
  for (const auto &Wg : Net->List("SQ_WORKGROUPS")) {
    std::set<std::string> Want;
    for (auto &H : Net->HostsWithRole("samba"))
      if (Net->Get("SQ_" + H + "_WORKGROUP") == Wg) Want.insert("\\\\" + Net->Name(H));
    const TNetRes W = Res(RESOURCEDISPLAYTYPE_DOMAIN, Wg);
    TNetResStrings L;
    net::NetError E;
    ASSERT_EQ(EnumNetResources(*Provider, &W, &L, &E), EnumDone) << Wg << ": " << E.Message;
    EXPECT_EQ(Names(L), Want) << Wg;
    for (auto &I : L) {
      EXPECT_TRUE(IsServer(*I.Res)) << I.Name;
      EXPECT_EQ(I.Res->Usage, RESOURCEUSAGE_CONTAINER);
    }
  }
}

TEST_F(SmbProviderNet, ServerListsItsDiskSharesOnly) {
  auto Hosts = Net->HostsWithRole("samba");
  Hosts.push_back("IMPACKET");
  for (const auto &H : Hosts) {
    // Samba hosts by name and by address; impacket has no NetBIOS name service: by address.
    std::vector<std::string> Servers{Net->Ip(H)};
    if (H != "IMPACKET") Servers.push_back(Net->Name(H));
    for (const auto &Server : Servers) {
      std::set<std::string> Want;
      for (auto &S : Net->List("SQ_" + H + "_SHARES")) Want.insert("\\\\" + Server + "\\" + S);
      const TNetRes C = Res(RESOURCEDISPLAYTYPE_SERVER, "\\\\" + Server);
      TNetResStrings L;
      net::NetError E;
      ASSERT_EQ(EnumNetResources(*Provider, &C, &L, &E), EnumDone) << Server << ": " << E.Message;
      EXPECT_EQ(Names(L), Want) << Server;
      for (auto &I : L) {
        EXPECT_EQ(I.Res->DisplayType, RESOURCEDISPLAYTYPE_SHARE);
        EXPECT_EQ(I.Res->Usage, RESOURCEUSAGE_CONNECTABLE);
        EXPECT_EQ(I.Res->ResourceType, 1);
      }
    }
  }
}

TEST_F(SmbProviderNet, DirectorySearchReturnsEveryEntryOfEveryShare) {
  const auto Files = Net->Files(), Dirs = Net->Dirs();
  auto Hosts = Net->HostsWithRole("samba");
  Hosts.push_back("IMPACKET");
  int Shares = 0;
  for (const auto &H : Hosts) {
    const std::string Server = H == "IMPACKET" ? Net->Ip(H) : Net->Name(H);
    for (const auto &S : Net->List("SQ_" + H + "_SHARES")) {
      std::set<std::string> GotFiles, GotDirs;
      std::vector<std::string> Failures;
      Walk("\\\\" + Server + "\\" + S, "", GotFiles, GotDirs, Failures);
      EXPECT_TRUE(Failures.empty()) << Failures.front();
      const TestNet::TShareKey Key{Net->Name(H), S};
      const auto WF = Files.count(Key) ? Files.at(Key) : std::set<std::string>{};
      const auto WD = Dirs.count(Key) ? Dirs.at(Key) : std::set<std::string>{};
      EXPECT_EQ(GotFiles, WF) << Server << "\\" << S;
      EXPECT_EQ(GotDirs, WD) << Server << "\\" << S;
      ++Shares;
    }
  }
  EXPECT_GE(Shares, 5);
}

TEST_F(SmbProviderNet, SpecialNamesAndTheirAttributes) {
  const std::string Music = "\\\\" + Net->Name("ALPHA") + "\\music";
  std::vector<net::DirEntry> Top;
  net::NetError E;
  ASSERT_TRUE(Provider->FindFiles(Music, Top, &E)) << E.Message;
  auto Find = [](const std::vector<net::DirEntry> &V,
                 const std::string &N) -> const net::DirEntry * {
    for (auto &D : V)
      if (D.Name == N) return &D;
    return nullptr;
  };
  for (const char *N : {".", ".."}) ASSERT_TRUE(Find(Top, N)) << N;
  const net::DirEntry *Album = Find(Top, "album.mp3");
  ASSERT_TRUE(Album);
  EXPECT_TRUE(Album->Directory); // a directory with a music extension
  const net::DirEntry *Song = Find(Top, "top level.mp3");
  ASSERT_TRUE(Song);
  EXPECT_FALSE(Song->Directory);
  // Names that URLs reserve, and non-ASCII ones, inside the path that is listed.
  for (const std::string Sub : {"Hash #1", "Percent 100%", "Rock & Roll", "Café"}) {
    std::vector<net::DirEntry> In;
    EXPECT_TRUE(Provider->FindFiles(Music + "\\" + Sub, In, &E)) << Sub << ": " << E.Message;
    EXPECT_GT(In.size(), 2u) << Sub;
  }
}

TEST_F(SmbProviderNet, MissingShareOrDirectoryFails) {
  std::vector<net::DirEntry> Out;
  net::NetError E;
  EXPECT_FALSE(Provider->FindFiles("\\\\" + Net->Name("ALPHA") + "\\music\\no such dir", Out, &E));
  EXPECT_EQ(E.Code, ENOENT) << E.Message;
  EXPECT_FALSE(Provider->FindFiles("\\\\" + Net->Name("ALPHA") + "\\nosuchshare", Out, &E));
  EXPECT_NE(E.Code, 0);
  EXPECT_TRUE(Out.empty());
}

// A computer that refuses, one that drops SMB packets and an address nobody has: each fails with
// a code at once instead of holding the thread in libsmbclient's time-outs (5-10 s), by address
// and by a name that lmhosts maps to the address.
TEST_F(SmbProviderNet, RefusedSilentAndMissingHostsFailFast) {
  struct Case {
    const char *Host;
    int BoundMs;
  };
  for (const Case &C :
       {Case{"REFUSED", FailBoundMs}, Case{"SILENT", FailBoundMs}, Case{"MISSING", FailBoundMs}}) {
    for (const std::string &Computer : {Net->Ip(C.Host), Net->Name(C.Host)}) {
      // A fresh provider: nothing known about the computer yet.
      smb::SmbProviderOptions O;
      O.ConfigFile = Net->Get("SQ_CLIENT_CONF");
      O.CredentialsFile = "-";
      smb::TSmbProvider P(O);
      const std::string Server = "\\\\" + Computer;
      const TNetRes R = Res(RESOURCEDISPLAYTYPE_SERVER, Server);
      TNetResStrings L;
      net::NetError E;
      auto T = Clock::now();
      EXPECT_EQ(EnumNetResources(P, &R, &L, &E), EnumOpenFailed) << Computer;
      const int First = MsSince(T);
      EXPECT_EQ(E.Code, EHOSTDOWN) << E.Message;
      EXPECT_LE(First, C.BoundMs) << Computer;
      // The next call, a directory of that computer, knows the answer already.
      std::vector<net::DirEntry> Out;
      T = Clock::now();
      EXPECT_FALSE(P.FindFiles(Server + "\\share", Out, &E));
      const int Again = MsSince(T);
      EXPECT_EQ(E.Code, EHOSTDOWN);
      if (std::string(C.Host) != "REFUSED") {
        EXPECT_LE(Again, AgainBoundMs);
      }
      std::printf("%s (%s): first failure %d ms, again %d ms\n", C.Host, Computer.c_str(), First,
                  Again);
    }
  }
}

// A name nobody answers for is libsmbclient's to resolve (its broadcast timing is its own, not
// bounded here); the failure comes back as an error.
TEST_F(SmbProviderNet, UnknownNameFailsQuickly) {
  const TNetRes R = Res(RESOURCEDISPLAYTYPE_SERVER, "\\\\SQNOBODYHERE");
  TNetResStrings L;
  net::NetError E;
  const auto T = Clock::now();
  EXPECT_EQ(EnumNetResources(*Provider, &R, &L, &E), EnumOpenFailed);
  const int Ms = MsSince(T);
  EXPECT_NE(E.Code, 0);
  EXPECT_TRUE(L.empty());
  std::printf("unknown name: %d ms, %s\n", Ms, E.Message.c_str());
}

TEST_F(SmbProviderNet, ThreadsListingAtOnceEachGetTheirOwnContext) {
  const std::string Music = "\\\\" + Net->Name("ALPHA") + "\\music";
  const std::string Media = "\\\\" + Net->Name("BRAVO") + "\\media";
  std::set<std::string> Want[2];
  std::vector<std::string> F;
  std::set<std::string> D;
  Walk(Music, "", Want[0], D, F);
  Walk(Media, "", Want[1], D, F);
  ASSERT_TRUE(F.empty());
  std::vector<std::thread> Ts;
  std::vector<std::set<std::string>> Got(4);
  std::vector<std::string> Failures[4];
  std::vector<std::set<std::string>> Workgroups(4);
  for (int i = 0; i < 4; ++i)
    Ts.emplace_back([&, i] {
      std::set<std::string> Dirs;
      for (int k = 0; k < 3; ++k) {
        Got[i].clear();
        Walk(i % 2 ? Media : Music, "", Got[i], Dirs, Failures[i]);
        // Browse listings (NT1) in between: they must not disturb the others' SMB2 listings.
        TNetResStrings L;
        const TNetRes W = Res(RESOURCEDISPLAYTYPE_DOMAIN, Net->Get("SQ_WORKGROUP1"));
        EnumNetResources(*Provider, &W, &L);
        for (auto &I : L) Workgroups[i].insert(I.Name);
      }
    });
  for (auto &T : Ts) T.join();
  for (int i = 0; i < 4; ++i) {
    EXPECT_TRUE(Failures[i].empty()) << Failures[i].front();
    EXPECT_EQ(Got[i], Want[i % 2]) << i;
    EXPECT_TRUE(Workgroups[i].count("\\\\" + Net->Name("BRAVO"))) << i;
  }
}

} // namespace

// A listing longer than a call's deadline over a slow link, while its server keeps sending: it
// arrives whole. The relay to ALPHA, held to 160 KB/s toward the client, lists 1,200 long names
// (about 600 KB) in about 4 s against a 1.5 s deadline.
TEST_F(SmbProviderNet, AListingThatKeepsReceivingDataOutlivesTheCallDeadline) {
  namespace fs = std::filesystem;
  const fs::path Dir = fs::path(Net->Get("SQ_HOSTILE_DIR")) / "slow listing";
  fs::create_directories(Dir);
  fs::permissions(Dir, fs::perms::others_read | fs::perms::others_exec, fs::perm_options::add);
  std::set<std::string> Want;
  for (int I = 0; I < 1200; ++I) {
    std::string Name = std::to_string(I) + std::string(200, 'n') + ".mp3";
    std::ofstream(Dir / Name).put('x');
    Want.insert(std::move(Name));
  }
  const sonquarry::testing::TRelayHost Up(Net->Get("SQ_TESTNET_DIR"), 0);
  ASSERT_TRUE(Up.Up);
  const std::string Ns = "ip netns exec " + Net->Get("SQ_PREFIX") + "-relay ";
  ASSERT_EQ(std::system((Ns + "tc qdisc replace dev eth0 root tbf rate 1280kbit burst 16kb "
                              "latency 2s")
                            .c_str()),
            0);
  smb::SmbProviderOptions O;
  O.ConfigFile = Net->Get("SQ_CLIENT_CONF");
  O.CredentialsFile = "-";
  O.CallTimeOutMs = 1500;
  smb::TSmbProvider P(O);
  const std::string Relay = Net->Get("SQ_RELAY_IPS").substr(0, Net->Get("SQ_RELAY_IPS").find(','));
  const std::string Share = Net->Get("SQ_HOSTILE_SHARE");
  const std::string Unc = "\\\\" + Relay + Share.substr(Share.find('\\', 2)) + "\\slow listing";
  std::vector<net::DirEntry> Entries;
  net::NetError E;
  const auto T0 = Clock::now();
  const bool Listed = P.FindFiles(Unc, Entries, &E);
  const int Took = MsSince(T0);
  std::system((Ns + "tc qdisc del dev eth0 root").c_str());
  fs::remove_all(Dir);
  ASSERT_TRUE(Listed) << Unc << ": " << E.Message;
  std::set<std::string> Got;
  for (const auto &En : Entries)
    if (En.Name != "." && En.Name != "..") Got.insert(En.Name);
  EXPECT_EQ(Got, Want);
  std::cout << "listed " << Got.size() << " names in " << Took << " ms\n";
  // Else the link was not slow enough to show anything.
  EXPECT_GT(Took, 2 * O.CallTimeOutMs);
}
