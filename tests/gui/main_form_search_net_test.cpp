// Searching the test network from the window: the list holds exactly the files on the servers,
// closing in the middle of a search over a host that never answers ends the process at once
// with the rows found so far in the list file, and a window killed after a search loses no row
// and no state.

#include "app/program_network.h"
#include "discovery/ip_range.h"
#include "platform/files/folders.h"
#include "platform/os/thread.h"
#include "settings/settings.h"
#include "support/gui_child.h"
#include "support/gui_spin.h"
#include "support/main_form_seam.h"
#include "support/recording_prompts.h"
#include "support/scan_expect.h"
#include "support/xdg_sandbox.h"
#include "ui/main_window/app_run.h"
#include "ui/main_window/main_form.h"
#include "ui/services/qt_dispatcher.h"

#include <QAction>
#include <QApplication>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QPixmap>
#include <QTest>
#include <QTimer>
#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <map>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char **environ;

using namespace sonquarry;
using namespace sonquarry::testing;

namespace {

std::set<TFound> Listed(TWNetTree &T) {
  std::set<TFound> out;
  for (int i = 0; i < T.Count(); ++i) {
    std::string dir = T.GetDirectory(i);
    if (!dir.empty() && dir.back() == '\\') dir.pop_back();
    out.insert({T.GetDomain(i), dir, std::string(T.File(i).Name())});
  }
  return out;
}

uint32_t Ip(const std::string &S) { return StrIP(S); }

} // namespace

TEST(MainFormSearchNet, NeighbourhoodAndIpSearchListExactlyTheServersFiles) {
  TXdgSandbox sandbox;
  TPromptsScope prompts;
  const auto env = Env::Load();
  TScanOptions stored;
  stored.ScanMethod = smOtherOS; // no first-run prompt
  stored.Filter.Extentions = {".mp3"};
  SaveSettings(stored, TMainFormSettings());
  TQtDispatcher dispatcher;
  platform::SetMainThread(&dispatcher);
  {
    TMainForm form(MakeProgramNetwork());
    Seam(form).Scan().ScanMethod = smOtherOS;
    for (const bool ip : {false, true}) {
      SCOPED_TRACE(ip ? "IP" : "neighbourhood");
      Seam(form).Scan().IsClearBefor = true;
      Seam(form).Scan().NetBios = !ip;
      Seam(form).Scan().MaxThreadCount = 64;
      Seam(form).Scan().ClearNetRes();
      const std::string client = env.Get("SQ_CLIENT_IP");
      const std::string net = client.substr(0, client.rfind('.'));
      if (ip) Seam(form).Scan().AddIPRange(Ip(net + ".1"), Ip(net + ".99"));
      prompts->Records.clear();
      Command(form, "actSearch")->trigger();
      EXPECT_EQ(PanelText(form, 2).toStdString(), "Status: searching...");
      bool sawRows = false, sawResources = false;
      ASSERT_TRUE(SpinUntil(
          [&] {
            if (Seam(form).ScanState() == ssSearching && Seam(form).FileTree().Count() > 0)
              sawRows = true;
            if (Seam(form).ScanState() == ssSearching && Seam(form).ResourceCount() > 0)
              sawResources = true;
            return Seam(form).ScanState() == ssIdle;
          },
          120000));
      EXPECT_TRUE(sawRows);      // the list fills while the search runs
      EXPECT_TRUE(sawResources); // and "Resources: " counts
      TScanView view;
      view.Ip = ip;
      view.Wsd = !ip && Seam(form).Scan().WsDiscovery; // the window's default finds SQDELTA too
      view.Mdns = !ip && Seam(form).Scan().Mdns;       // and SQMAC under LOCAL
      view.DirNames = false;                           // a directory is no row of the list
      const auto listed = Listed(Seam(form).FileTree());
      const auto expected = TExpected(env, view).Found;
      for (const auto &f : listed)
        EXPECT_TRUE(expected.count(f)) << "listed, not on the servers: " << f.Dir << "\\" << f.Name;
      for (const auto &f : expected)
        EXPECT_TRUE(listed.count(f)) << "on the servers, not listed: " << f.Dir << "\\" << f.Name;
      EXPECT_EQ(PanelText(form, 0).toStdString(),
                "Files: " + std::to_string(Seam(form).FileTree().Count()));
      ASSERT_EQ(prompts->Messages().size(), 1u);
      EXPECT_EQ(prompts->Messages()[0].rfind("Scan completed\n", 0), 0u);
      // Under Xvfb (QT_QPA_PLATFORM=xcb) the finished search is kept as a picture for the README.
      const char *dir = std::getenv("SQ_SCREENSHOT_DIR");
      if (dir && !ip) {
        form.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
        QTest::qWait(300);
        EXPECT_TRUE(form.grab().save(QString::fromUtf8(dir) + "/search-finished.png"));
        form.hide();
      }
    }
  }
  dispatcher.Close();
  EXPECT_TRUE(platform::TThread::WaitForFreeThreads(60000));
  platform::SetMainThread(nullptr);
}

// Run by the tests below as their own process: searches unless the search mode was never chosen,
// and reports "ready" (with the count of rows) once rows arrived (SQ_CLOSE_CHILD_WAIT=rows), a
// message box is open ("box"), or the search ended and its report box is open ("end").
void CloseChild() {
  const std::string readyFile = std::getenv("SQ_CLOSE_CHILD_READY");
  const std::string wait = std::getenv("SQ_CLOSE_CHILD_WAIT");
  RunMainWindow(MakeProgramNetwork(), [readyFile, wait](TMainForm &Form) {
    if (!Seam(Form).Settings().ScanMethodUnset) Command(Form, "actSearch")->trigger();
    auto *poll = new QTimer(&Form);
    QObject::connect(poll, &QTimer::timeout, [&Form, poll, readyFile, wait] {
      const bool box = QApplication::activeModalWidget() != nullptr;
      if (wait == "rows"
              ? Seam(Form).ScanState() == ssSearching && Seam(Form).FileTree().Count() > 0
          : wait == "end" ? Seam(Form).ScanState() == ssIdle && box
                          : box) {
        // Whole when it appears: a test may kill this process the moment it sees the file.
        std::ofstream(readyFile + ".part") << Seam(Form).FileTree().Count();
        std::filesystem::rename(readyFile + ".part", readyFile);
        poll->stop();
      }
    });
    poll->start(20);
  });
}
const sonquarry::testing::TGuiChild CloseChildEntry("close-child", CloseChild);

// The session ends (SIGTERM) in the middle of a search over a host that never answers, or while
// a message box waits for the user: the process ends at once with the rows found in the list.
TEST(MainFormSearchNet, CloseEndsTheProcessAtOnce) {
  const auto env = Env::Load();
  const std::string alpha = env.Host("ALPHA", "IP");
  // A host that accepts the connection and never says a word: a thread that reaches it stays in
  // its network call.
  const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(listener, 0);
  const int one = 1;
  ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(139);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
  ASSERT_EQ(::listen(listener, 16), 0);

  struct TCase {
    const char *Name;
    std::vector<std::string> Hosts; // empty: the search mode was never chosen
    const char *Wait;
    bool Rows; // the list file holds ALPHA's rows
  } cases[] = {
      {"a search over a silent host", {"127.0.0.1", alpha}, "rows", true},
      {"the first-run box", {}, "box", false},
      {"the scan report", {alpha}, "box", true},
  };
  for (const TCase &c : cases) {
    SCOPED_TRACE(c.Name);
    TXdgSandbox sandbox;
    if (!c.Hosts.empty()) {
      TScanOptions opts;
      TMainFormSettings form;
      opts.NetBios = false;
      opts.ScanMethod = smOtherOS;
      opts.MaxThreadCount = 4;
      opts.Filter.Extentions = {".mp3"};
      for (const auto &h : c.Hosts) form.IPRanges.Add(Ip(h), Ip(h), 1);
      SaveSettings(opts, form);
    }

    const std::string readyFile = files::GetProgramDir() + "ready";
    setenv("SQ_CLOSE_CHILD_READY", readyFile.c_str(), 1);
    setenv("SQ_CLOSE_CHILD_WAIT", c.Wait, 1);
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
    setenv("SQ_GUI_CHILD", "close-child", 1);
    char *argv[] = {self.data(), nullptr};
    pid_t pid = 0;
    ASSERT_EQ(posix_spawn(&pid, self.c_str(), nullptr, nullptr, argv, environ), 0);
    unsetenv("SQ_CLOSE_CHILD_READY");
    unsetenv("SQ_GUI_CHILD");
    const auto start = std::chrono::steady_clock::now();
    while (!std::filesystem::exists(readyFile) &&
           std::chrono::steady_clock::now() - start < std::chrono::seconds(120))
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_TRUE(std::filesystem::exists(readyFile));

    const auto closed = std::chrono::steady_clock::now();
    ::kill(pid, SIGTERM); // the session ends: the window closes as by its close box
    int status = 0;
    pid_t ended = 0;
    while ((ended = ::waitpid(pid, &status, WNOHANG)) == 0 &&
           std::chrono::steady_clock::now() - closed < std::chrono::seconds(30))
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    const double took =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - closed).count();
    std::printf("%s: process ended %.3f s after the close\n", c.Name, took);
    if (ended != pid) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &status, 0);
    }
    ASSERT_EQ(ended, pid) << "the process did not end";
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    // The silent host or the open box would hold the process far longer than this.
    EXPECT_LT(took, 10.0);
    TWNetTree list;
    ASSERT_EQ(LoadListFile(files::GetProgramDir() + "Sonquarry.lst", list), 0);
    EXPECT_EQ(list.Count() > 0, c.Rows);
    for (int i = 0; i < list.Count(); ++i)
      EXPECT_EQ(list.GetDirectory(i).rfind("\\\\" + alpha + "\\", 0), 0u);
  }
  ::close(listener);
}

// Killed (SIGKILL, nothing of the window runs after it) right after a search ended, its report
// box just open, or 10 s later: a new window finds every row with its state. The search is the
// test network's IP range; before it the list held a file of the servers that is still there
// (known), one that is gone (removed) and one of a computer not searched (unreached); the others
// are new. The oracle is the servers' manifest.
TEST(MainFormSearchNet, KilledAfterASearchEveryRowAndItsStateComeBack) {
  const auto env = Env::Load();
  const std::string client = env.Get("SQ_CLIENT_IP");
  const std::string net = client.substr(0, client.rfind('.'));
  TScanView view;
  view.Ip = true;
  view.DirNames = false;
  const auto found = TExpected(env, view).Found;
  ASSERT_GT(found.size(), 1u);
  std::map<TFound, TNodeState> expected;
  for (const auto &f : found) expected[f] = nsNew;
  const TFound kept = *found.begin();
  const TFound gone{kept.Domain, kept.Dir, "gone since.mp3"};
  const TFound elsewhere{kept.Domain, "\\\\192.0.2.1\\music", "elsewhere.mp3"};
  expected[kept] = nsKnown;
  expected[gone] = nsInaccessible;
  expected[elsewhere] = nsUnreached;

  for (const int after : {0, 10}) {
    SCOPED_TRACE(std::to_string(after) + " s after the search");
    TXdgSandbox sandbox;
    TPromptsScope prompts;
    {
      TScanOptions opts;
      TMainFormSettings form;
      opts.NetBios = false;
      opts.IsClearBefor = false;
      opts.ScanMethod = smOtherOS;
      opts.MaxThreadCount = 64;
      opts.Filter.Extentions = {".mp3"};
      form.IPRanges.Add(Ip(net + ".1"), Ip(net + ".99"), 1);
      SaveSettings(opts, form);
      TWNetTree before;
      for (const TFound &f : {kept, gone, elsewhere}) before.AddFile(f.Domain, f.Dir, f.Name);
      ASSERT_EQ(SaveListFile(files::GetProgramDir() + "Sonquarry.lst", before), lfOk);
    }
    const std::string readyFile = files::GetProgramDir() + "ready";
    sandbox.Set("SQ_CLOSE_CHILD_READY", readyFile);
    sandbox.Set("SQ_CLOSE_CHILD_WAIT", "end");
    sandbox.Set("QT_QPA_PLATFORM", "offscreen");
    sandbox.Set("SQ_GUI_CHILD", "close-child");
    std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
    char *argv[] = {self.data(), nullptr};
    pid_t pid = 0;
    ASSERT_EQ(posix_spawn(&pid, self.c_str(), nullptr, nullptr, argv, environ), 0);
    sandbox.Set("SQ_GUI_CHILD", std::nullopt);
    const auto start = std::chrono::steady_clock::now();
    while (!std::filesystem::exists(readyFile) &&
           std::chrono::steady_clock::now() - start < std::chrono::seconds(300))
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    if (std::filesystem::exists(readyFile))
      std::this_thread::sleep_for(std::chrono::seconds(after));
    ::kill(pid, SIGKILL);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(std::filesystem::exists(readyFile)) << "the search did not end";
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
    int shown = -1;
    std::ifstream(readyFile) >> shown;
    std::printf("killed %d s after the search with %d rows listed\n", after, shown);

    TMainForm restarted(MakeProgramNetwork());
    TWNetTree &t = Seam(restarted).FileTree();
    EXPECT_EQ(t.Count(), shown); // as many rows as the killed window showed
    std::map<TFound, TNodeState> listed;
    for (int i = 0; i < t.Count(); ++i) {
      std::string dir = t.GetDirectory(i);
      if (!dir.empty() && dir.back() == '\\') dir.pop_back();
      listed[{t.GetDomain(i), dir, std::string(t.File(i).Name())}] = t.File(i).State();
    }
    for (const auto &[f, state] : expected) {
      const auto it = listed.find(f);
      if (it == listed.end())
        ADD_FAILURE() << "lost: " << f.Dir << "\\" << f.Name;
      else
        EXPECT_EQ(int(it->second), int(state)) << f.Dir << "\\" << f.Name;
    }
    for (const auto &[f, state] : listed)
      EXPECT_TRUE(expected.count(f)) << "not on the servers: " << f.Dir << "\\" << f.Name;
    restarted.Shutdown();
  }
}
