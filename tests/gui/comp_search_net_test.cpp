// "Select computers" over the test network, opened from the Options dialog: it lists the
// workgroups and the computers of each (WS-Discovery's and mDNS's among them), and its selection
// lands in
// the Options list. With SQ_SCREENSHOT_DIR set (and a real display) it also saves pictures of
// both dialogs.
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QLineEdit>
#include <QListWidget>
#include <QPixmap>
#include <QPushButton>
#include <QRadioButton>
#include <QTabWidget>
#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <gtest/gtest.h>
#include <set>
#include <thread>

#include "discovery/mdns_discoverer.h"
#include "discovery/wsd_discoverer.h"
#include "engine/net_scan.h"
#include "engine/network.h"
#include "platform/os/main_thread.h"
#include "platform/os/thread.h"
#include "platform/smb/smb_provider.h"
#include "settings/settings.h"
#include "support/gui_spin.h"
#include "support/recording_prompts.h"
#include "support/smb_testnet.h"
#include "support/xdg_sandbox.h"
#include "ui/dialogs/comp_search_form.h"
#include "ui/dialogs/options_form.h"

namespace sonquarry {
namespace {

using Clock = std::chrono::steady_clock;
using Strings = std::vector<std::string>;

// Saves a picture of a shown window when screenshots are asked for.
void Shot(QWidget &W, const char *Name) {
  const char *Dir = std::getenv("SQ_SCREENSHOT_DIR");
  if (!Dir) return;
  W.show();
  W.raise();
  testing::SpinUntil([] { return false; }, 300);
  QDir().mkpath(Dir);
  EXPECT_TRUE(W.grab().save(QString(Dir) + "/" + Name + ".png")) << Name;
}

TEST(CompSearchNet, WorkgroupsAndComputersReachTheOptionsLists) {
  sonquarry::testing::TestNet Net;
  if (!Net.Ok()) GTEST_SKIP() << "not inside the test network (SQ_TESTNET_ENV unset)";
  smb::SmbProviderOptions O;
  O.ConfigFile = Net.Get("SQ_CLIENT_CONF");
  O.CredentialsFile = "-";
  sonquarry::testing::TXdgSandbox Sandbox;
  sonquarry::testing::TPromptsScope prompts;

  TNetScan Scan;
  TMainFormSettings Settings;
  ApplyMainFormDefaults(Scan, Settings);
  Settings.IPRanges.Add(StrIP(Net.Ip("ALPHA")), StrIP(Net.Ip("CHARLIE")), 1);
  Settings.IPRanges.Add(StrIP(Net.Ip("SILENT")), StrIP(Net.Ip("SILENT")), 0);
  Scan.Filter.DeniedRes = {"secret$", "private$"};
  auto Form = std::make_unique<TfmOptions>();
  Form->CompSearchPauseMs = 0;
  // The dialog's network is the search's: WS-Discovery and mDNS around the SMB provider (the
  // settings' defaults).
  Form->Network = std::make_shared<TNetwork>(std::make_shared<smb::TSmbProvider>(O),
                                             std::vector<std::shared_ptr<discovery::IDiscoverer>>{
                                                 std::make_shared<discovery::TWsdDiscoverer>(),
                                                 std::make_shared<discovery::TMdnsDiscoverer>()});

  // Every workgroup and each computer of each, as the network describes them: the browse lists'
  // the one only WS-Discovery knows and, under LOCAL, the one only mDNS knows (SQALPHA, which
  // mDNS announces too, stays in its workgroup alone).
  Strings Groups = Net.List("SQ_WORKGROUPS");
  Groups.push_back(Net.Get("SQ_WORKGROUP3"));
  Groups.push_back("LOCAL");
  std::map<std::string, std::set<std::string>> Want;
  for (const char *Role : {"samba", "wsd"})
    for (auto &H : Net.HostsWithRole(Role))
      Want[Net.Get("SQ_" + H + "_WORKGROUP")].insert("\\\\" + Net.Name(H));
  for (auto &H : Net.HostsWithRole("mdns")) Want["LOCAL"].insert("\\\\" + Net.Name(H));
  ASSERT_FALSE(Want["LOCAL"].empty());
  std::set<std::string> All;
  for (auto &[G, Names] : Want) All.insert(Names.begin(), Names.end());

  const auto SelectComputers = [&](QDialog &D) {
    auto &S = static_cast<TCompSearchForm &>(D);
    S.show();
    EXPECT_TRUE(S.Busy());
    EXPECT_TRUE(testing::SpinUntil([&] { return !S.Busy(); }, 60000));
    Strings Domains;
    for (int i = 0; i < S.cmbDomain->count(); ++i)
      Domains.push_back(S.cmbDomain->itemText(i).toStdString());
    EXPECT_EQ(std::set<std::string>(Domains.begin(), Domains.end()),
              std::set<std::string>(Groups.begin(), Groups.end()));
    for (int i = 0; i < S.cmbDomain->count(); ++i) {
      S.cmbDomain->setCurrentIndex(i);
      EXPECT_TRUE(testing::SpinUntil([&] { return !S.Busy(); }, 60000));
      std::set<std::string> Got;
      for (int r = 0; r < S.lbComputers->count(); ++r)
        Got.insert(S.lbComputers->item(r)->text().toStdString());
      EXPECT_EQ(Got, Want[Domains[static_cast<size_t>(i)]]) << Domains[static_cast<size_t>(i)];
      S.btnAddAll->click();
    }
    // The picture shows LOCAL with the computer that only mDNS announces.
    const auto Local = std::find(Domains.begin(), Domains.end(), "LOCAL");
    EXPECT_NE(Local, Domains.end());
    S.cmbDomain->setCurrentIndex(int(Local - Domains.begin()));
    EXPECT_TRUE(testing::SpinUntil([&] { return !S.Busy(); }, 60000));
    S.lbComputers->setCurrentRow(0);
    S.lbSelComputers->setCurrentRow(0);
    Shot(S, "select-computers");
    S.hide();
    return int(QDialog::Accepted);
  };

  prompts->Dialogs.push_back([&](QDialog &) {
    TfmOptions &F = *Form;
    prompts->Dialogs.push_back(SelectComputers);
    F.btnFindDeniedComp->click();
    const Strings Denied = TfmOptions::Entries(F.lbDeniedComp);
    EXPECT_EQ(std::set<std::string>(Denied.begin(), Denied.end()), All);
    EXPECT_EQ(Denied.size(), All.size());
    F.chkMP2->setChecked(true);
    F.chkFLAC->setChecked(true);
    F.chkM4A->setChecked(true);
    F.edtPlayerCommand->setText("vlc");
    const char *Pages[] = {"options-search", "options-network", "options-computers",
                           "options-resources"};
    for (int p = 0; p < 4; ++p) {
      F.Pages->setCurrentIndex(p);
      Shot(F, Pages[p]);
    }
    F.hide();
    F.btnOK->click();
    return F.result();
  });
  ASSERT_EQ(ShowOptions(*Form, nullptr, Scan, Settings), QDialog::Accepted);
  EXPECT_EQ(std::set<std::string>(Scan.Filter.DeniedComps.begin(), Scan.Filter.DeniedComps.end()),
            All);

  // The import reached the hive as well.
  TNetScan Loaded;
  TMainFormSettings LoadedForm;
  LoadSettings(Loaded, LoadedForm, Loaded);
  EXPECT_EQ(Loaded.Filter.DeniedComps, Scan.Filter.DeniedComps);

  Form.reset();
  EXPECT_TRUE(testing::SpinUntil([] { return platform::TThread::FreeThreadCount() == 0; }, 10000));
}

} // namespace
} // namespace sonquarry
