// Searching from the window over a scripted network: the status bar while it runs, Stop, the
// report, the four states of a rescan, the first run, and what comes back after a restart.

#include "app/program_network.h"
#include "platform/files/folders.h"
#include "platform/os/thread.h"
#include "platform/registry/registry.h"
#include "platform/smb/smb_provider.h"
#include "settings/settings.h"
#include "support/fake_net_provider.h"
#include "support/fake_notifications.h"
#include "support/gui_spin.h"
#include "support/main_form_seam.h"
#include "support/recording_prompts.h"
#include "support/xdg_sandbox.h"
#include "ui/list/file_list_model.h"
#include "ui/main_window/main_form.h"
#include "ui/services/qt_dispatcher.h"

#include <QAction>
#include <QApplication>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTableView>
#include <QTest>
#include <filesystem>
#include <gtest/gtest.h>
#include <sys/stat.h>

using namespace sonquarry;
using sonquarry::testing::Command;
using sonquarry::testing::FakeNetProvider;
using sonquarry::testing::ListModel;
using sonquarry::testing::ListView;
using sonquarry::testing::PanelText;
using sonquarry::testing::Seam;

using sonquarry::testing::SpinUntil;

namespace {

net::DirEntry F(const std::string &N) { return {N, false}; }
net::DirEntry D(const std::string &N) { return {N, true}; }

class MainFormSearchTest : public ::testing::Test {
protected:
  sonquarry::testing::TXdgSandbox Sandbox;
  sonquarry::testing::TPromptsScope Prompts;
  TQtDispatcher Dispatcher;
  std::shared_ptr<FakeNetProvider> Net = std::make_shared<FakeNetProvider>();
  std::unique_ptr<TMainForm> Form;
  std::vector<int> OptionsPages;

  void SetUp() override {
    platform::SetMainThread(&Dispatcher);
    using R = FakeNetProvider;
    Net->Set(R::Top, {R::Res(net::NetDisplayNetwork, "SMB Network")});
    Net->Set("SMB Network", {R::Res(net::NetDisplayDomain, "WG1")});
    Net->Set("WG1",
             {R::Res(net::NetDisplayServer, "\\\\PC1"), R::Res(net::NetDisplayServer, "\\\\PC2")});
    Net->Set("\\\\PC1", {R::Res(net::NetDisplayShare, "\\\\PC1\\music", net::NetUsageConnectable)});
    Net->Set("\\\\PC2", {R::Res(net::NetDisplayShare, "\\\\PC2\\songs", net::NetUsageConnectable)});
    Net->SetDir("\\\\PC1\\music", {D("."), D(".."), D("Rock"), F("a.mp3"), F("b.mp3")});
    Net->SetDir("\\\\PC1\\music\\Rock", {F("c.mp3"), F("notes.txt")});
    Net->SetDir("\\\\PC2\\songs", {F("x.mp3")});
  }
  void TearDown() override {
    Form.reset();
    Dispatcher.Close();
    EXPECT_TRUE(platform::TThread::WaitForFreeThreads(20000));
    platform::SetMainThread(nullptr);
  }
  void Open() {
    Form = std::make_unique<TMainForm>(MakeProgramNetwork());
    Seam(*Form).Scan().Provider = Net;
    Seam(*Form).Scan().NetBios = true;
    Seam(*Form).Scan().MaxThreadCount = 4;
    Seam(*Form).Scan().ScanMethod = smOtherOS;
    Form->SetOptionsHandler([this](int Page) {
      OptionsPages.push_back(Page);
      return false;
    });
  }
  std::string Panel(int I) { return PanelText(*Form, I).toStdString(); }
};

} // namespace

TEST_F(MainFormSearchTest, StatusBarFollowsASearchAndStop) {
  Open();
  Net->Close("\\\\PC2");
  Command(*Form, "actSearch")->trigger();
  EXPECT_EQ(Panel(2), "Status: searching...");
  EXPECT_FALSE(Command(*Form, "actSearch")->isEnabled());
  EXPECT_TRUE(Command(*Form, "actStop")->isEnabled());
  ASSERT_TRUE(SpinUntil([&] { return Net->WaitBlocked(0); }));
  ASSERT_TRUE(SpinUntil([&] { return Seam(*Form).FileTree().Count() == 3; }));
  EXPECT_EQ(Panel(0), "Files: 3");
  EXPECT_NE(Panel(3), "Resources: 0");
  Command(*Form, "actStop")->trigger();
  EXPECT_EQ(Panel(2), "Status: stopping...");
  QCoreApplication::processEvents();
  EXPECT_EQ(Panel(2), "Status: stopping..."); // until the last thread has ended
  Net->Open();
  ASSERT_TRUE(SpinUntil([&] { return Seam(*Form).ScanState() == ssIdle; }));
  EXPECT_EQ(Panel(2), "Status: ");
  EXPECT_TRUE(Command(*Form, "actSearch")->isEnabled());
  EXPECT_FALSE(Command(*Form, "actStop")->isEnabled());
  ASSERT_FALSE(Prompts->Messages().empty());
  EXPECT_EQ(Prompts->Messages().back().rfind("Scan completed\nSearch Time : ", 0), 0u);
  EXPECT_EQ(Prompts->Records.back().Style, MB_ICONINFORMATION | MB_TOPMOST);
}

TEST_F(MainFormSearchTest, ACredentialsFileOthersMayReadIsLoggedAndShownInOneBox) {
  const std::string credentials = Sandbox.Root() + "/config/sonquarry/credentials";
  sonquarry::testing::WriteFile(credentials, "username=alice\npassword=secret\n");
  ASSERT_EQ(::chmod(credentials.c_str(), 0644), 0);
  Open();
  // The real provider: it is the one that knows its credentials file.
  Seam(*Form).Scan().Provider = std::make_shared<smb::TSmbProvider>();
  Seam(*Form).Scan().NetBios = false;
  Seam(*Form).Scan().AddIP(0x7F000001); // 127.0.0.1
  Seam(*Form).Scan().TimeOut = 200;
  const std::string refused = "SMB credentials file " + credentials + " is open to group or others";
  for (int search = 0; search < 2; ++search) { // each search's log tells it again
    Prompts->Records.clear();
    Command(*Form, "actSearch")->trigger();
    ASSERT_TRUE(SpinUntil([&] { return Seam(*Form).ScanState() == ssIdle; }));
    const std::string log = sonquarry::testing::ReadAll(files::GetProgramDir() + "search.log");
    EXPECT_NE(log.find(refused), std::string::npos) << log;
    ASSERT_TRUE(SpinUntil([&] {
      for (const auto &r : Prompts->Records)
        if (r.Text.find(refused) != std::string::npos) return true;
      return false;
    }));
    int boxes = 0;
    for (const auto &r : Prompts->Records)
      if (r.Text.find(refused) != std::string::npos) {
        ++boxes;
        EXPECT_EQ(r.Style, MB_ICONWARNING | MB_TOPMOST);
      }
    EXPECT_EQ(boxes, 1);
  }
}

TEST_F(MainFormSearchTest, RowsReachTheListWhileTheSearchRuns) {
  Open();
  Net->Close("\\\\PC2"); // the search cannot end before the rows of PC1 are listed
  Command(*Form, "actSearch")->trigger();
  ASSERT_TRUE(SpinUntil([&] { return ListModel(*Form)->RowCount() == 3; }));
  EXPECT_EQ(Seam(*Form).ScanState(), ssSearching);
  EXPECT_TRUE(Command(*Form, "actSelectAll")->isEnabled());
  Net->Open();
  ASSERT_TRUE(SpinUntil([&] { return Seam(*Form).ScanState() == ssIdle; }));
  EXPECT_EQ(ListModel(*Form)->RowCount(), 4);
}

TEST_F(MainFormSearchTest, RescanShowsEveryStateAndTheReportCountsThem) {
  Open();
  Command(*Form, "actSearch")->trigger();
  ASSERT_TRUE(SpinUntil([&] { return Seam(*Form).ScanState() == ssIdle; }));
  ASSERT_EQ(Seam(*Form).FileTree().Count(), 4);
  EXPECT_EQ(Seam(*Form).FileTree().CountByState(nsNew), 4);
  EXPECT_EQ(Panel(2), "Status: ");
  // b.mp3 goes, d.mp3 arrives, PC2 stops answering, a new directory cannot be listed.
  Net->SetDir("\\\\PC1\\music", {D("Rock"), D("Locked"), F("a.mp3"), F("d.mp3")});
  Net->Set("\\\\PC2", {}, net::NetEnumStatus::OpenFailed);
  Command(*Form, "actSearch")->trigger();
  ASSERT_TRUE(SpinUntil([&] { return Seam(*Form).ScanState() == ssIdle; }));
  auto state = [&](const std::string &Name) {
    for (int i = 0; i < Seam(*Form).FileTree().Count(); ++i)
      if (Seam(*Form).FileTree().File(i).Name() == Name)
        return int(Seam(*Form).FileTree().File(i).State());
    return -1;
  };
  EXPECT_EQ(state("a.mp3"), nsKnown);
  EXPECT_EQ(state("d.mp3"), nsNew);
  EXPECT_EQ(state("b.mp3"), nsInaccessible);
  EXPECT_EQ(state("x.mp3"), nsUnreached);
  const std::string report = Prompts->Messages().back();
  EXPECT_NE(report.find("All files : 5\n"), std::string::npos) << report;
  EXPECT_NE(report.find("\nNew : 1\nRemoved (or inaccessible) : 1\n"
                        "Unknown (computer not found) : 1"),
            std::string::npos)
      << report;
  EXPECT_NE(report.find(std::string(62, '-')), std::string::npos);
  EXPECT_TRUE(Command(*Form, "actRemoveInaccessible")->isEnabled());
  EXPECT_EQ(Panel(2), "Status: 1 directory was not read: see the scan log");
}

// A search that ends while the user works in another program: the desktop's notification
// service hears how many files the network holds, and the report box comes all the same. With the
// window active, or without a session bus, only the box.
TEST_F(MainFormSearchTest, SearchEndTellsTheDesktopWhenTheWindowIsNotActive) {
  sonquarry::testing::TFakeNotifications service(Sandbox.Root() + "/bus");
  ASSERT_TRUE(service.Ready());
  struct TCase {
    const char *Name;
    bool Bus, Active;
  } cases[] = {
      {"no session bus", false, false},
      {"the window active", true, true},
      {"in another program", true, false}, // last: its notice is the first and only one
  };
  for (const TCase &c : cases) {
    SCOPED_TRACE(c.Name);
    Sandbox.Set("DBUS_SESSION_BUS_ADDRESS",
                c.Bus ? std::optional<std::string>(service.Address()) : std::nullopt);
    Open();
    Seam(*Form).Settings().ScanMethodUnset = false; // no first-run box
    if (c.Active) {
      Form->show();
      Form->activateWindow();
      ASSERT_TRUE(QTest::qWaitForWindowActive(Form.get()));
    }
    ASSERT_EQ(QApplication::activeWindow() != nullptr, c.Active);
    Prompts->Records.clear();
    Command(*Form, "actSearch")->trigger();
    ASSERT_TRUE(SpinUntil([&] { return Seam(*Form).ScanState() == ssIdle; }));
    ASSERT_EQ(Prompts->Messages().size(), 1u);
    EXPECT_EQ(Prompts->Messages()[0].rfind("Scan completed\n", 0), 0u);
    Form.reset();
  }
  // a.mp3, b.mp3, Rock\c.mp3 on PC1 and x.mp3 on PC2; notes.txt is no music.
  ASSERT_TRUE(SpinUntil([&] { return !service.Notices().empty(); }, 10000));
  const auto notices = service.Notices();
  ASSERT_EQ(notices.size(), 1u);
  EXPECT_EQ(notices[0].App, "Sonquarry");
  EXPECT_EQ(notices[0].Summary, "Search finished");
  EXPECT_EQ(notices[0].Body.rfind("4 music files found", 0), 0u) << notices[0].Body;
}

// A window that never closes (killed, or its session ended) after a search: a new window finds
// every row with its state, the list file keeping its format.
TEST_F(MainFormSearchTest, RowsAndTheirStatesOutliveAWindowThatIsNeverClosed) {
  Open();
  Command(*Form, "actSearch")->trigger();
  ASSERT_TRUE(SpinUntil([&] { return Seam(*Form).ScanState() == ssIdle; }));
  Net->SetDir("\\\\PC1\\music", {D("Rock"), F("a.mp3"), F("d.mp3")});
  Net->Set("\\\\PC2", {}, net::NetEnumStatus::OpenFailed);
  Command(*Form, "actSearch")->trigger();
  ASSERT_TRUE(SpinUntil([&] { return Seam(*Form).ScanState() == ssIdle; }));
  const auto rows = [](TMainForm &F) {
    std::vector<std::string> out;
    for (int i = 0; i < Seam(F).FileTree().Count(); ++i)
      out.push_back(Seam(F).FileTree().GetDirectory(i) +
                    std::string(Seam(F).FileTree().File(i).Name()) + " " +
                    std::to_string(Seam(F).FileTree().File(i).State()));
    return out;
  };
  const auto before = rows(*Form);
  ASSERT_EQ(before.size(), 5u);
  // The list file as another program reads it: three lines a row, nothing added.
  Seam(*Form).WaitForSaves();
  TWNetTree plain;
  ASSERT_EQ(LoadListFile(Seam(*Form).ListFileName(), plain), lfOk);
  EXPECT_EQ(plain.Count(), 5);
  TMainForm restarted(MakeProgramNetwork()); // the first window is still open, never saved
  EXPECT_EQ(rows(restarted), before);
  for (int s = nsKnown; s <= nsUnreached; ++s)
    EXPECT_EQ(Seam(restarted).FileTree().CountByState(TNodeState(s)), 1 + (s == nsKnown)) << s;
  // States of another list are not applied to this one.
  restarted.Shutdown();
  sonquarry::testing::WriteFile(Seam(*Form).ListFileName(), "z.mp3\r\nWG\r\n\\\\PC\\s\\\r\n");
  TMainForm other(MakeProgramNetwork());
  ASSERT_EQ(Seam(other).FileTree().Count(), 1);
  EXPECT_EQ(Seam(other).FileTree().File(0).State(), nsKnown);
}

TEST_F(MainFormSearchTest, MessagesBeforeASearchStartsAndTheElapsedTime) {
  Open();
  Prompts->Records.clear();
  Seam(*Form).Scan().Filter.AllowedComps = {"\\\\PC1"};
  Seam(*Form).Scan().Filter.DeniedComps = {"\\\\PC1"};
  Command(*Form, "actSearch")->trigger();
  Seam(*Form).Scan().Filter.AllowedComps.clear();
  Seam(*Form).Scan().Filter.AllowedRes = {"music"};
  Seam(*Form).Scan().Filter.DeniedRes = {"music"};
  Command(*Form, "actSearch")->trigger();
  Seam(*Form).Scan().Filter.AllowedRes.clear();
  Seam(*Form).Scan().NetBios = false; // IP mode without a range
  Command(*Form, "actSearch")->trigger();
  EXPECT_EQ(Prompts->Messages(),
            (std::vector<std::string>{
                "Allowed and denied lists of computers are the same. No computers to search.",
                "Allowed and denied lists of resources are the same. No resources to search.",
                "No IP addresses for scanning."}));
  EXPECT_EQ(OptionsPages, (std::vector<int>{1}));
  EXPECT_EQ(Seam(*Form).ScanState(), ssIdle);
  EXPECT_EQ(Panel(2), "Status:"); // as at start-up: nothing began
  Seam(*Form).ShowElapsed(3723);
  EXPECT_EQ(Panel(4), "Time: 01:02:03");
}

TEST_F(MainFormSearchTest, FirstRunAsksForTheModeOnceAndWidthsAndPositionComeBack) {
  Open();
  Form->show();
  ASSERT_TRUE(SpinUntil([&] { return !OptionsPages.empty(); }));
  EXPECT_EQ(Prompts->Messages(), (std::vector<std::string>{"Please select network search mode."}));
  EXPECT_EQ(OptionsPages, (std::vector<int>{1}));
  Seam(*Form).Scan().ScanMethod = smOtherOS;
  SaveSettings(Seam(*Form).Scan(), Seam(*Form).Settings());
  ListView(*Form)->setColumnWidth(0, 222);
  ListView(*Form)->setColumnWidth(2, 333);
  Form->move(17, 23);
  Seam(*Form).FileTree().AddFile("WG", "\\\\PC\\s", "kept.mp3");
  QTest::keyClick(Form.get(), Qt::Key_Escape); // Esc closes and writes the list file
  EXPECT_FALSE(Form->isVisible());
  EXPECT_TRUE(std::filesystem::exists(files::GetProgramDir() + "Sonquarry.lst"));
  {
    registry::TRegistry reg;
    ASSERT_TRUE(reg.OpenKey(SettingsKey, false));
    reg.DeleteValue("Col2Width");
  }
  Prompts->Records.clear();
  OptionsPages.clear();
  Open();
  Form->show();
  QTest::qWait(50);
  EXPECT_TRUE(Prompts->Records.empty());
  EXPECT_TRUE(OptionsPages.empty());
  EXPECT_EQ(ListView(*Form)->columnWidth(0), 222);
  EXPECT_GE(ListView(*Form)->columnWidth(1), 100); // the default: "<<unknown>>" fits
  EXPECT_EQ(ListView(*Form)->columnWidth(2), 333);
  EXPECT_EQ(Form->pos(), QPoint(17, 23));
  EXPECT_EQ(Panel(0), "Files: 1");
}

// A search in the other mode than the last one asks whether to clear the list, so that a file
// does not show under two names; a search in the same mode asks nothing.
TEST_F(MainFormSearchTest, ChangedModeAsksWhetherToClearTheList) {
  const std::string question =
      "The search mode changed since the last search. Clear the list first?";
  for (const int answer : {IDYES, IDNO}) {
    SCOPED_TRACE(answer);
    Prompts->Records.clear();
    Open();
    Command(*Form, "actSearch")->trigger(); // neighbourhood
    ASSERT_TRUE(SpinUntil([&] { return Seam(*Form).ScanState() == ssIdle; }));
    ASSERT_EQ(Seam(*Form).FileTree().Count(), 4);
    Seam(*Form).Scan().NetBios = false;
    Seam(*Form).Scan().AddIP(0x7F000001); // nothing there for the scripted network
    Seam(*Form).Scan().TimeOut = 200;
    for (int search = 0; search < 2; ++search) {
      Prompts->MessageAnswers = {answer, IDOK};
      Command(*Form, "actSearch")->trigger();
      ASSERT_TRUE(SpinUntil([&] { return Seam(*Form).ScanState() == ssIdle; }));
    }
    int asked = 0;
    for (const auto &r : Prompts->Records)
      if (r.Text == question) {
        ++asked;
        EXPECT_EQ(r.Style, MB_YESNO | MB_ICONQUESTION | MB_TOPMOST);
      }
    EXPECT_EQ(asked, 1);
    EXPECT_EQ(Seam(*Form).FileTree().Count(), answer == IDYES ? 0 : 4);
    Form.reset();
  }
}
