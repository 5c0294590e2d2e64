// Playlists and reports as the user gets them: lines, line ends, questions and messages.

#include "support/gui_spin.h"
#include "support/list_actions_fixture.h"
#include "support/test_support.h"
#include "ui/export/playlist.h"
#include "ui/export/report.h"
#include "ui/services/message_box.h"

#include <csignal>
#include <filesystem>
#include <functional>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

using namespace sonquarry;
using sonquarry::testing::ReadAll;

namespace {

struct Fixture : sonquarry::testing::TListActionsFixture {
  std::vector<std::pair<std::string, std::string>> Opened;
  TPlayListOpener PreviousOpener;
  bool OpenResult = true;

  Fixture() {
    SetApplicationTitle("Vantrell Sonquarry");
    PreviousOpener = SetPlayListOpener(
        [this](const std::string &F, const std::string &C, const TPlayFailed &Failed) {
          Opened.emplace_back(F, C);
          if (!OpenResult) Failed("no player");
        });
    for (int i = 0; i < 7; ++i)
      List.Add("SQGROUP1", "\\\\PC\\Music\\", "track " + std::to_string(i) + ".mp3");
  }
  ~Fixture() override { SetPlayListOpener(PreviousOpener); }
  std::string Path(const std::string &Name) const { return Home.Root() + "/" + Name; }
};

} // namespace

TEST_F(Fixture, PlaylistHoldsTheSelectedRowsInRowOrderAsUrls) {
  List.Add("SQGROUP1", "\\\\PC\\Shared Music\\Größe #1\\", "50% & more\r.mp3");
  List.Select({8 - 1, 5, 2}); // selected out of order
  ASSERT_TRUE(WritePlayList(Path("a.m3u"), List.Tree, List.Selected()));
  EXPECT_EQ(ReadAll(Path("a.m3u")), "smb://PC/Music/track%202.mp3\r\n"
                                    "smb://PC/Music/track%205.mp3\r\n"
                                    "smb://PC/Shared%20Music/Gr%C3%B6%C3%9Fe%20%231/"
                                    "50%25%20%26%20more%0D.mp3\r\n");
}

TEST_F(Fixture, NothingSelectedWritesNothingAndSaysNothing) {
  EXPECT_FALSE(WritePlayList(Path("none.m3u"), List.Tree, List.Selected()));
  Actions.Play();
  EXPECT_FALSE(std::filesystem::exists(Path("none.m3u")));
  EXPECT_FALSE(std::filesystem::exists(TemporaryPlayListName()));
  EXPECT_TRUE(Opened.empty());
  EXPECT_TRUE(Prompts->Records.empty());
}

TEST_F(Fixture, PlayHandsTheCachePlaylistToTheUsersPlayerOrTheDesktop) {
  List.Select({1});
  for (const std::string command : {"", "vlc --one-instance %f"}) {
    Settings.PlayerCommand = command;
    Actions.Play();
    ASSERT_FALSE(Opened.empty());
    EXPECT_EQ(Opened.back(),
              std::make_pair(Home.Root() + "/cache/sonquarry/playlist.m3u", command));
    EXPECT_EQ(ReadAll(Opened.back().first), "smb://PC/Music/track%201.mp3\r\n");
  }
  EXPECT_TRUE(Prompts->Records.empty());

  OpenResult = false;
  Actions.Play();
  ASSERT_EQ(Prompts->Messages().size(), 1u);
  EXPECT_EQ(Prompts->Messages()[0].rfind("Can not play files.\n\nno player\n", 0), 0u);
  EXPECT_NE(Prompts->Messages()[0].find("vlc-plugin-samba"), std::string::npos);
}

// The player runs as a process of its own: what it does with the playlist, and how it ends, is
// seen, and an end in failure (or none at all) is said with the fix.
TEST_F(Fixture, PlayerThatFailsOrIsMissingIsReportedWithTheFix) {
  SetPlayListOpener({}); // the real one; the fixture puts the recorder back
  List.Select({1});
  const std::string bin = Home.Root() + "/bin";
  std::filesystem::create_directories(bin);
  // xdg-open as it ends on a desktop where nothing opens playlists.
  sonquarry::testing::WriteFile(bin + "/xdg-open", "#!/bin/sh\nexit 4\n");
  std::filesystem::permissions(bin + "/xdg-open", std::filesystem::perms::owner_all);
  Home.Set("PATH", bin + ":" + std::getenv("PATH"));
  const std::string played = Home.Root() + "/played.m3u";
  struct {
    std::string Command, Said; // Said: "" for no message
  } cases[] = {
      {"sh -c \"cp $0 " + played + "\" %f", ""}, // the command's words as QProcess splits them
      {"", "\"xdg-open\" ended with exit status 4."},
      {"sh -c \"exit 3\"", "\"sh\" ended with exit status 3.\n\nThe playlist"},
      // The player's own reason, from its error output: the last five lines.
      {"sh -c \"for i in 1 2 3 4 5 6 7; do echo line $i >&2; done; exit 2\"",
       "\"sh\" ended with exit status 2.\nIt wrote:\nline 3\nline 4\nline 5\nline 6\nline 7\n\n"},
      {"sh -c \"kill -SEGV $$\"", "\"sh\" crashed."},
      {"no-such-player-sq %f", "\"no-such-player-sq\" could not be started"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.Command);
    Prompts->Records.clear();
    Settings.PlayerCommand = c.Command;
    Actions.Play();
    if (c.Said.empty()) {
      // Until cp has written it: it creates the file before it writes.
      ASSERT_TRUE(sonquarry::testing::SpinUntil(
          [&] { return ReadAll(played) == "smb://PC/Music/track%201.mp3\r\n"; }));
      EXPECT_EQ(ReadAll(played), "smb://PC/Music/track%201.mp3\r\n");
      sonquarry::testing::SpinUntil([] { return false; }, 300); // its exit, too
      EXPECT_TRUE(Prompts->Messages().empty());
      continue;
    }
    ASSERT_TRUE(sonquarry::testing::SpinUntil([&] { return !Prompts->Messages().empty(); }));
    const std::string m = Prompts->Messages()[0];
    EXPECT_EQ(m.rfind("Can not play files.\n\n" + c.Said, 0), 0u) << m;
    EXPECT_NE(m.find("vlc-plugin-samba"), std::string::npos) << m;
    EXPECT_NE(m.find("Options"), std::string::npos) << m;
  }
}

TEST_F(Fixture, PlaylistThatCannotBeWrittenIsNotPlayed) {
  List.Select({1});
  Home.Set("XDG_CACHE_HOME", "/proc/no/such");
  const std::string before = std::filesystem::current_path();
  std::filesystem::current_path("/proc"); // never a fall-back for the cache folder
  Actions.Play();
  std::filesystem::current_path(before);
  EXPECT_TRUE(Opened.empty());
  ASSERT_EQ(Prompts->Messages().size(), 1u);
  EXPECT_NE(Prompts->Messages()[0].find(
                "The cache folder, where the playlist for the player goes, could not be made."),
            std::string::npos)
      << Prompts->Messages()[0];
}

TEST_F(Fixture, PlaylistThatCannotBeWrittenWholeKeepsTheOldOneAndSaysWhy) {
  // A disk that fills up mid-save (a file size limit stands in for it) and a link that another
  // user planted where the playlist goes.
  struct Case {
    const char *Name;
    std::function<void()> Arrange;
    std::string Reason;
  } cases[] = {
      {"full.m3u",
       [] {
         const rlimit lim{40, RLIM_INFINITY}; // room for the first row only
         setrlimit(RLIMIT_FSIZE, &lim);
       },
       "File too large"},
      {"planted.m3u",
       [this] {
         if (::geteuid() != 0) return;
         std::filesystem::rename(Path("planted.m3u"), Path("target.m3u"));
         std::filesystem::create_symlink(Path("target.m3u"), Path("planted.m3u"));
         lchown(Path("planted.m3u").c_str(), 65534, 65534);
       },
       "a symbolic link on the way to it is owned by another user"},
  };
  const auto oldHandler = signal(SIGXFSZ, SIG_IGN); // the write fails with EFBIG instead
  rlimit before;
  getrlimit(RLIMIT_FSIZE, &before);
  List.Select({1, 2, 3});
  for (const auto &c : cases) {
    if (std::string(c.Name) == "planted.m3u" && ::geteuid() != 0) continue; // needs lchown
    Prompts->Records.clear();
    sonquarry::testing::WriteFile(Path(c.Name), "old list\r\n");
    c.Arrange();
    EXPECT_FALSE(WritePlayList(Path(c.Name), List.Tree, List.Selected()));
    setrlimit(RLIMIT_FSIZE, &before);
    EXPECT_EQ(ReadAll(Path(c.Name)), "old list\r\n");
    EXPECT_EQ(Prompts->Messages(), std::vector<std::string>{"Can not write to file " +
                                                            Path(c.Name) + ": " + c.Reason + "."});
  }
  signal(SIGXFSZ, oldHandler);
}

TEST_F(Fixture, SaveAfterSaveAsRewritesTheSameFileWithoutAsking) {
  sonquarry::testing::WriteFile(Path("old.m3u"), "someone else's list\r\n");
  List.Select({3});
  Actions.Save(); // no file yet: the dialog
  ASSERT_EQ(Prompts->Records.size(), 1u);
  EXPECT_EQ(Prompts->LastFileRequest.DefaultExt, "m3u");
  EXPECT_FALSE(Prompts->LastFileRequest.OverwritePrompt);
  EXPECT_EQ(ReadAll(Path("old.m3u")), "someone else's list\r\n"); // cancelled: untouched

  Prompts->Files = {Path("old.m3u")};
  Actions.SaveAs(); // an existing file is replaced without a question
  EXPECT_EQ(ReadAll(Path("old.m3u")), "smb://PC/Music/track%203.mp3\r\n");
  List.Select({4, 6});
  Actions.Save();
  EXPECT_EQ(ReadAll(Path("old.m3u")),
            "smb://PC/Music/track%204.mp3\r\nsmb://PC/Music/track%206.mp3\r\n");
  EXPECT_EQ(Prompts->Records.size(), 2u); // two dialogs, no message
}

TEST_F(Fixture, TextReportIsEveryRowInRowOrder) {
  List.Tree.Clear();
  List.Add("W", "\\\\PC\\B\\", "z.mp3");
  List.Add("W", "\\\\PC\\A\\", "y & z.mp3");
  List.Tree.Sort(scDirectory, true);
  Prompts->Files = {Path("r.txt")};
  Actions.ExportText();
  EXPECT_EQ(ReadAll(Path("r.txt")), "\\\\PC\\A\\y & z.mp3\r\n\\\\PC\\B\\z.mp3\r\n");
  // A name's control characters never split a row nor reach a terminal.
  List.Add("W", "\\\\PC\\C\\", "nl\nline \x1b[31mred\r.mp3");
  Prompts->Files = {Path("r.txt")};
  Prompts->MessageAnswers = {IDYES};
  Actions.ExportText();
  EXPECT_EQ(ReadAll(Path("r.txt")),
            "\\\\PC\\A\\y & z.mp3\r\n\\\\PC\\B\\z.mp3\r\n\\\\PC\\C\\nl?line ?[31mred?.mp3\r\n");
  EXPECT_EQ(Prompts->LastFileRequest.DefaultExt, "txt");
}

// Links a Linux browser opens: the playlists' smb:// URLs; the text escaped; CR LF line ends.
TEST_F(Fixture, HtmlReportLinksSmbUrlsWithEscapedText) {
  List.Tree.Clear();
  List.Add("W", "\\\\PC\\A&B\\", "<b>\"x\" #1 100%.mp3");
  List.Add("W", "\\\\PC\\Müsik\\", "a.mp3");
  Prompts->Files = {Path("r.html")};
  Actions.ExportHtml();
  EXPECT_EQ(ReadAll(Path("r.html")),
            "<HTML><HEAD><META HTTP-EQUIV=\"Content-Type\" CONTENT=\"text/html; charset=utf-8\">"
            "<TITLE>Vantrell Sonquarry report</TITLE></HEAD>\r\n"
            "<BODY><center><font size=\"+1\" color=\"#000000\"><b><a "
            "href=\"https://sonquarry.example.org/\">Vantrell Sonquarry</a></b> 2.0 "
            "report</font></center><br><br>\r\n"
            "<a href=\"smb://PC/A%26B/%3Cb%3E%22x%22%20%231%20100%25.mp3\">"
            "\\\\PC\\A&amp;B\\&lt;b&gt;&quot;x&quot; #1 100%.mp3</a><br>\r\n"
            "<a href=\"smb://PC/M%C3%BCsik/a.mp3\">\\\\PC\\Müsik\\a.mp3</a><br>\r\n"
            "</BODY></HTML>\r\n");
  EXPECT_EQ(Prompts->LastFileRequest.DefaultExt, "html");
}

TEST_F(Fixture, ExistingReportIsRewrittenOnlyAfterYes) {
  const std::string file = Path("r.txt");
  struct Case {
    std::optional<int> Answer; // nothing: the dialog is cancelled
    bool Rewritten;
  } cases[] = {{std::nullopt, false}, {IDNO, false}, {IDYES, true}};
  for (const auto &c : cases) {
    sonquarry::testing::WriteFile(file, "keep me");
    Prompts->Records.clear();
    if (c.Answer) {
      Prompts->Files = {file};
      Prompts->MessageAnswers = {*c.Answer};
    }
    Actions.ExportText();
    EXPECT_EQ(ReadAll(file) != "keep me", c.Rewritten);
    if (c.Answer) {
      ASSERT_EQ(Prompts->Messages().size(), 1u);
      EXPECT_EQ(Prompts->Messages()[0], "File " + file + " exists. Rewrite?");
      EXPECT_EQ(Prompts->Records.back().Style, unsigned(MB_YESNO | MB_ICONQUESTION | MB_TOPMOST));
    } else {
      EXPECT_TRUE(Prompts->Messages().empty());
    }
  }
}

TEST_F(Fixture, ReportFailuresAreReported) {
  Prompts->Files = {Path("no/such/dir/r.html")};
  Actions.ExportHtml();
  EXPECT_EQ(Prompts->Messages(),
            std::vector<std::string>{"Can not create file " + Path("no/such/dir/r.html") +
                                     ": No such file or directory."});

  Prompts->Records.clear();
  Prompts->Files = {"/dev/full"};
  Prompts->MessageAnswers = {IDYES};
  Actions.ExportText();
  EXPECT_EQ(Prompts->Messages(), (std::vector<std::string>{"File /dev/full exists. Rewrite?",
                                                           "Can not write to file /dev/full: No "
                                                           "space left on device."}));

  std::unique_ptr<TReportFile> out;
  EXPECT_EQ(sonquarry::testing::ErrorOf([&] { CreateFile(nullptr, out); }),
            "CreateFile: SaveDialog = nil.");
}
