// TSearchThread over the SMB provider: what the "Select computers" dialog gets from the network.
#include <set>
#include <string>

#include <gtest/gtest.h>

#include "engine/search_thread.h"
#include "platform/os/main_thread.h"
#include "platform/smb/smb_provider.h"
#include "support/smb_testnet.h"
#include "support/wsd_neighbourhood.h"

using namespace sonquarry;
using sonquarry::testing::TestNet;

namespace {

// With WsDiscovery, the workgroups and computers that WS-Discovery finds join the browse lists'.
void DomainsThenComputersOfEachDomain(bool WsDiscovery) {
  TestNet Net;
  if (!Net.Ok()) GTEST_SKIP() << "not inside the test network (SQ_TESTNET_ENV unset)";
  platform::TQueueDispatcher D;
  platform::SetMainThread(&D);
  smb::SmbProviderOptions O;
  O.ConfigFile = Net.Get("SQ_CLIENT_CONF");
  O.CredentialsFile = "-";
  std::shared_ptr<net::INetProvider> P = std::make_shared<smb::TSmbProvider>(O);
  if (WsDiscovery) P = sonquarry::testing::WithWsDiscovery(P);
  auto T = TSearchThread::Create(100, P);
  bool Ended = false;
  T->SetOnTerminate([&](platform::TThread *) { Ended = true; });

  TNetResStrings Domains;
  T->SetOnDomains([&](TSearchThread *, TNetResStrings &L) { Domains = std::move(L); });
  T->SearchDomains();
  ASSERT_TRUE(D.PumpUntil([&] { return !Domains.empty(); }, 30000));
  std::set<std::string> Names;
  for (auto &I : Domains) Names.insert(I.Name);
  auto Want = Net.List("SQ_WORKGROUPS");
  if (WsDiscovery)
    for (auto &H : Net.List("SQ_WSD_HOSTS")) Want.push_back(Net.Get("SQ_" + H + "_WORKGROUP"));
  EXPECT_EQ(Names, std::set<std::string>(Want.begin(), Want.end()));
  EXPECT_EQ(Names.size(), Domains.size());

  for (auto &Dom : Domains) {
    std::set<std::string> Got;
    std::size_t Count = 0;
    bool Done = false;
    T->SetOnComputers([&](TSearchThread *, TNetResStrings &L) {
      for (auto &I : L) Got.insert(I.Name);
      Count = L.size();
      Done = true;
    });
    T->SearchComputers(Dom.Res.get()); // the record lives until the answer is in
    ASSERT_TRUE(D.PumpUntil([&] { return Done; }, 30000)) << Dom.Name;
    std::set<std::string> WantComputers;
    for (auto &H : Net.HostsWithRole("samba"))
      if (Net.Get("SQ_" + H + "_WORKGROUP") == Dom.Name) WantComputers.insert("\\\\" + Net.Name(H));
    if (WsDiscovery)
      for (auto &H : Net.List("SQ_WSD_HOSTS"))
        if (Net.Get("SQ_" + H + "_WORKGROUP") == Dom.Name)
          WantComputers.insert("\\\\" + Net.Name(H));
    EXPECT_EQ(Got, WantComputers) << Dom.Name;
    EXPECT_EQ(Count, Got.size()) << Dom.Name; // each computer once
  }
  T->SetOnComputers(nullptr);
  T->Terminate();
  EXPECT_TRUE(D.PumpUntil([&] { return Ended; }, 5000));
  D.Close();
  EXPECT_TRUE(platform::TThread::WaitForFreeThreads(5000));
  platform::SetMainThread(nullptr);
}

TEST(SearchThreadNet, DomainsThenComputersOfEachDomain) { DomainsThenComputersOfEachDomain(false); }

TEST(SearchThreadNet, WithWsDiscoveryTheDialogSeesOneTree) {
  DomainsThenComputersOfEachDomain(true);
}

} // namespace
