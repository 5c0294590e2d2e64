// "Copy selected files to directory...": the folder asked for and remembered, the progress window
// with Cancel, a file that cannot be copied skipped or cancelling the copy.

#include "app/program_network.h"
#include "platform/os/exception.h"
#include "services/copier/file_copier.h"
#include "settings/settings.h"
#include "support/list_actions_fixture.h"
#include "support/main_form_seam.h"
#include "ui/main_window/main_form.h"
#include "ui/services/copy_files.h"

#include <QApplication>
#include <QLabel>
#include <QPushButton>
#include <QTimer>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <functional>
#include <gtest/gtest.h>
#include <iterator>
#include <set>
#include <thread>

using namespace sonquarry;
namespace fs = std::filesystem;

namespace {

// Local files, or an endless file that only Cancel ends; while Hold is set, Open waits (a slow
// network's first answers).
class TTestSource final : public copier::ICopySource {
public:
  TTestSource(std::string Root, std::atomic<int> &AReads, std::atomic<bool> &AHold)
      : Local(std::move(Root)), Reads(AReads), Hold(AHold) {}
  bool Open(const std::string &P, int64_t &S, std::string &E) override {
    while (Hold && !Cancelled) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    Endless = P.find("Endless") != std::string::npos;
    if (Endless) {
      S = int64_t(400) << 20;
      return true;
    }
    return Local.Open(P, S, E);
  }
  long Read(char *B, size_t C, std::string &E) override {
    ++Reads;
    if (!Endless) return Local.Read(B, C, E);
    if (Cancelled) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    std::memset(B, 'x', std::min<size_t>(C, 65536));
    return long(std::min<size_t>(C, 65536));
  }
  void Close() override { Local.Close(); }
  void Cancel() override { Cancelled = true; }

private:
  copier::TLocalCopySource Local;
  std::atomic<int> &Reads;
  std::atomic<bool> &Hold;
  bool Endless = false;
  std::atomic<bool> Cancelled{false};
};

struct Fixture : sonquarry::testing::TListActionsFixture {
  std::atomic<int> Reads{0};
  std::atomic<bool> Hold{false};
  TCopySourceFactory Previous;
  std::string Dest = Home.Root() + "/dest";

  Fixture() {
    Previous = SetCopySourceFactory(
        [this] { return std::make_unique<TTestSource>(Home.Root() + "/net", Reads, Hold); });
    fs::create_directories(Dest);
    fs::create_directories(Home.Root() + "/home/Music");
    sonquarry::testing::WriteFile(Home.Root() + "/config/user-dirs.dirs",
                                  "XDG_DOCUMENTS_DIR=\"$HOME/Music\"\n");
    for (const char *name : {"a.mp3", "b.mp3", "c.mp3"}) {
      sonquarry::testing::WriteFile(Home.Root() + "/net/PC/s/" + name, name);
      List.Add("W", "\\\\PC\\s\\", name);
    }
  }
  ~Fixture() override { SetCopySourceFactory(Previous); }
};

} // namespace

TEST_F(Fixture, CopiesTheSelectedFilesAndRemembersTheFolder) {
  List.Select({0, 2});
  Actions.CopySelected(); // the browser is cancelled: nothing changes
  ASSERT_EQ(Prompts->Records.size(), 1u);
  EXPECT_EQ(Prompts->Records[0].Caption, "Select directory");
  EXPECT_EQ(Prompts->Records[0].Text, Home.Root() + "/home/Music"); // the documents folder
  EXPECT_EQ(Settings.PathForCopy, Home.Root() + "/home/Music");

  Prompts->Directories = {Dest};
  Actions.CopySelected();
  EXPECT_EQ(Settings.PathForCopy, Dest);
  EXPECT_EQ(sonquarry::testing::ReadAll(Dest + "/a.mp3"), "a.mp3");
  EXPECT_EQ(sonquarry::testing::ReadAll(Dest + "/c.mp3"), "c.mp3");
  EXPECT_FALSE(fs::exists(Dest + "/b.mp3"));
  EXPECT_TRUE(Prompts->Messages().empty());

  Actions.CopySelected(); // starts where the last one went; cancelled
  EXPECT_EQ(Prompts->Records.back().Text, Dest);
  EXPECT_EQ(Settings.PathForCopy, Dest);
}

// Two missing files among five: each is named with the reason; the answer decides the rest.
TEST_F(Fixture, FileThatCannotBeCopiedIsSkippedOrCancelsTheCopy) {
  List.Add("W", "\\\\PC\\s\\", "d.mp3"); // missing, like b.mp3
  List.Add("W", "\\\\PC\\s\\", "e.mp3");
  sonquarry::testing::WriteFile(Home.Root() + "/net/PC/s/e.mp3", "e.mp3");
  fs::remove(Home.Root() + "/net/PC/s/b.mp3");
  const std::string notCopied = "3 of 5 files copied. Not copied:\n\\\\PC\\s\\b.mp3: ";
  struct Case {
    std::deque<int> Answers;
    size_t Questions;
    std::set<std::string> Copied;
    std::string Said; // the start of the last message
  } cases[] = {
      {{IDSKIP, IDSKIP}, 2, {"a.mp3", "c.mp3", "e.mp3"}, notCopied},
      {{IDSKIPALL}, 1, {"a.mp3", "c.mp3", "e.mp3"}, notCopied},
      {{IDCANCEL}, 1, {"a.mp3"}, "Copying cancelled: 1 of 5 files copied."},
  };
  List.Select({0, 1, 2, 3, 4});
  for (const auto &c : cases) {
    SCOPED_TRACE(c.Answers.front());
    fs::remove_all(Dest);
    fs::create_directories(Dest);
    Prompts->Records.clear();
    Prompts->Directories = {Dest};
    Prompts->MessageAnswers = c.Answers;
    Actions.CopySelected();
    std::vector<sonquarry::testing::TPromptRecord> questions;
    for (const auto &r : Prompts->Records)
      if ((r.Style & 0xF) == MB_SKIPSKIPALLCANCEL) questions.push_back(r);
    ASSERT_EQ(questions.size(), c.Questions);
    EXPECT_EQ(questions[0].Text.rfind("Can not copy \\\\PC\\s\\b.mp3:\n", 0), 0u);
    EXPECT_NE(questions[0].Text.find("No such file or directory"), std::string::npos);
    std::set<std::string> left;
    for (const auto &e : fs::directory_iterator(Dest)) left.insert(e.path().filename().string());
    EXPECT_EQ(left, c.Copied);
    const std::string said = Prompts->Messages().back();
    EXPECT_EQ(said.rfind(c.Said, 0), 0u) << said;
    if (c.Questions == 1 && c.Copied.size() == 3) {
      EXPECT_NE(said.find("\\\\PC\\s\\d.mp3: "), std::string::npos) << said; // skipped unasked
    }
  }
}

// Cancel, or the session ending (which ends every event loop) while the window is open: the copy
// ends at once, the partial file is removed, and the window kept answering until then.
TEST_F(Fixture, CancelOrTheSessionsEndStopsTheCopy) {
  List.Add("W", "\\\\PC\\s\\", "Endless Highway (live).mp3");
  List.Select({0, 3});
  for (const bool sessionEnds : {false, true}) {
    SCOPED_TRACE(sessionEnds ? "the session ends" : "Cancel");
    Prompts->Records.clear();
    fs::remove_all(Dest);
    fs::create_directories(Dest);
    Prompts->Directories = {Dest};
    Reads = 0;
    int ticks = 0;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
      ++ticks; // the event loop runs while the copy thread works
      // A picture is taken once the time left is known.
      if (Reads < (std::getenv("SQ_SCREENSHOT_DIR") ? 800 : 40)) return;
      for (QWidget *w : QApplication::topLevelWidgets())
        if (auto *b = w->findChild<QPushButton *>();
            w->objectName() == "CopyProgress" && w->isVisible() && b && b->isEnabled()) {
          // The picture of the help pages, when asked for (under a real display).
          if (const char *dir = std::getenv("SQ_SCREENSHOT_DIR"))
            w->grab().save(QString(dir) + "/copy-progress.png");
          if (sessionEnds) {
            poll.stop();
            QCoreApplication::exit(0);
          } else {
            b->click();
          }
        }
    });
    poll.start(5);
    Actions.CopySelected();
    if (sessionEnds) {
      // Event loops run again after a turn of the application's own.
      QTimer::singleShot(0, [] { QCoreApplication::exit(0); });
      QCoreApplication::exec();
    }
    EXPECT_GE(ticks, 2);
    EXPECT_EQ(Prompts->Messages(),
              std::vector<std::string>{"Copying cancelled: 1 of 2 files copied."});
    std::set<std::string> left;
    for (const auto &e : fs::directory_iterator(Dest)) left.insert(e.path().filename().string());
    EXPECT_EQ(left, std::set<std::string>{"a.mp3"});
  }
}

// Calls Call with each copy window as it is shown, before it is first painted.
struct TOnShow final : QObject {
  std::function<void(QWidget *)> Call;
  bool eventFilter(QObject *O, QEvent *E) override {
    if (E->type() == QEvent::Show && O->objectName() == "CopyProgress")
      Call(static_cast<QWidget *>(O));
    return false;
  }
};

// The sizes come slowly (Open waits): the window says what it does from the moment it shows, and
// still says it a while later, before any size has come.
TEST_F(Fixture, CopyWindowSaysReadingSizesFromItsFirstMoment) {
  const std::string reading = "Reading sizes\u2026";
  std::vector<std::string> said;
  TOnShow watch;
  watch.Call = [&](QWidget *W) {
    const QLabel *line = W->findChild<QLabel *>("CopyFile");
    said.push_back(line ? line->text().toStdString() : "no line");
    QTimer::singleShot(300, W, [&, line] {
      said.push_back(line->text().toStdString());
      Hold = false;
    });
  };
  qApp->installEventFilter(&watch);
  Hold = true;
  List.Select({0, 1, 2});
  Prompts->Directories = {Dest};
  Actions.CopySelected();
  qApp->removeEventFilter(&watch);
  ASSERT_EQ(said.size(), 2u);
  EXPECT_EQ(said[0].rfind(reading, 0), 0u) << said[0];
  EXPECT_EQ(said[1].rfind(reading, 0), 0u) << said[1];
  EXPECT_EQ(std::distance(fs::directory_iterator(Dest), fs::directory_iterator()), 3);
}

// A copy from the window ends with a word in its status bar: how many files it copied (the files
// that reached the folder) and where.
TEST_F(Fixture, FinishedCopySaysInTheStatusBarWhatItDid) {
  TMainForm form(MakeProgramNetwork());
  sonquarry::testing::Seam(form).Settings().ScanMethodUnset = false; // no first-run box
  for (const char *name : {"a.mp3", "b.mp3", "c.mp3"})
    sonquarry::testing::Seam(form).FileTree().AddFile("W", "\\\\PC\\s\\", name);
  sonquarry::testing::Seam(form).ShowFileCount(3);
  struct TCase {
    const char *Name;
    const char *Missing; // a file gone from the share, skipped
  } cases[] = {{"every file", nullptr}, {"one skipped", "b.mp3"}};
  for (const TCase &c : cases) {
    SCOPED_TRACE(c.Name);
    fs::remove_all(Dest);
    fs::create_directories(Dest);
    if (c.Missing) fs::remove(Home.Root() + "/net/PC/s/" + c.Missing);
    Prompts->Directories = {Dest};
    Prompts->MessageAnswers = {IDSKIP};
    sonquarry::testing::Command(form, "actSelectAll")->trigger();
    QCoreApplication::processEvents();
    ASSERT_TRUE(sonquarry::testing::Command(form, "actCopy")->isEnabled());
    sonquarry::testing::Command(form, "actCopy")->trigger();
    const auto copied = std::distance(fs::directory_iterator(Dest), fs::directory_iterator());
    EXPECT_EQ(copied, c.Missing ? 2 : 3);
    EXPECT_EQ(sonquarry::testing::PanelText(form, 2).toStdString(),
              "Status: " + std::to_string(copied) + " files copied to " + Dest);
  }
  form.Shutdown();
}

TEST_F(Fixture, FileListFollowsTheSelection) {
  List.Select({2, 0});
  std::vector<std::string> files(2);
  Actions.GetFileListForCopy2(files);
  EXPECT_EQ(files, (std::vector<std::string>{"\\\\PC\\s\\a.mp3", "\\\\PC\\s\\c.mp3"}));
  std::vector<std::string> wrong(3);
  try {
    Actions.GetFileListForCopy2(wrong);
    ADD_FAILURE() << "no error";
  } catch (const Exception &e) {
    EXPECT_STREQ(e.what(), "GetFileListForCopy2");
  }
}
