#include "paths/wnet_tree.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <sched.h>
#include <sstream>
#include <string>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace sonquarry;
using namespace sonquarry::testing;
namespace fs = std::filesystem;

namespace {

std::string Record(const Row &R) {
  return R.Name + "\r\n" + R.Domain + "\r\n" + R.Directory + "\r\n";
}

class TempDir {
public:
  TempDir() {
    std::string tmpl = (fs::temp_directory_path() / "list_file_test.XXXXXX").string();
    if (!mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp");
    Path = tmpl;
  }
  ~TempDir() {
    std::error_code ec;
    fs::remove_all(Path, ec);
  }
  std::string operator/(const std::string &Name) const { return (Path / Name).string(); }
  std::vector<std::string> Entries() const {
    std::vector<std::string> out;
    for (const auto &e : fs::directory_iterator(Path)) out.push_back(e.path().filename().string());
    std::sort(out.begin(), out.end());
    return out;
  }
  fs::path Path;
};

void WriteAll(const std::string &File, const std::string &Data) {
  std::ofstream(File, std::ios::binary | std::ios::trunc) << Data;
}

int Load(const std::string &File, TWNetTree &T) {
  T.SetLoading(true);
  const int code = LoadListFile(File, T);
  T.SetLoading(false);
  return code;
}

void FillBig(TWNetTree &T, int Files, const std::string &Tag) {
  for (int i = 0; i < Files; ++i)
    T.AddFile(Cat("Domain", std::to_string(i % 7)),
              Cat("\\\\Computer", std::to_string(i % 97), "\\Music\\Album ", std::to_string(i / 13),
                  "\\"),
              Cat(Tag, " Artist - A fairly long title number ", std::to_string(i), ".mp3"));
}

// Every node below the root with its marks, depth first, for comparing two trees.
std::string Dump(TWNetTree &T) {
  std::string out;
  std::function<void(TWNetNode, int)> walk = [&](TWNetNode n, int depth) {
    for (const TNodeId c : n.Children()) {
      TWNetNode child = T.Node(c);
      out += std::string(static_cast<size_t>(depth), ' ') + std::string(child.Name()) + " v" +
             std::to_string(child.Visited()) + " s" + std::to_string(child.State()) +
             (child.IsFile() ? " file" : "") + "\n";
      walk(child, depth + 1);
    }
  };
  walk(T.Root(), 0);
  return out;
}

// Runs Body in a child process and returns its exit status (-1 when it did not exit).
int InChild(const std::function<int()> &Body) {
  const pid_t pid = fork();
  if (pid == 0) _exit(Body());
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

} // namespace

TEST(ListFileFormat, ThreeCrLfLinesPerRowInRowOrder) {
  TempDir dir;
  TWNetTree t;
  t.AddFile("Domain1", "\\\\Computer1\\Music\\Trance\\", "Track1.mp3");
  t.AddFile("Domain1", "\\\\Computer1\\Music\\Trance\\", "Track2.mp3");
  t.AddFile("D\xc3\xb6m", "\\\\", "Gr\xc3\xbc\xc3\x9f.mp3");
  ASSERT_EQ(SaveListFile(dir / "a.lst", t), 0);
  EXPECT_EQ(ReadAll(dir / "a.lst"), "Track1.mp3\r\nDomain1\r\n\\\\Computer1\\Music\\Trance\\\r\n"
                                    "Track2.mp3\r\nDomain1\r\n\\\\Computer1\\Music\\Trance\\\r\n"
                                    "Gr\xc3\xbc\xc3\x9f.mp3\r\nD\xc3\xb6m\r\n\\\\\r\n");
  EXPECT_EQ(dir.Entries(), std::vector<std::string>{"a.lst"});

  TWNetTree empty;
  ASSERT_EQ(SaveListFile(dir / "a.lst", empty), 0);
  EXPECT_EQ(ReadAll(dir / "a.lst"), "");
  EXPECT_EQ(Load(dir / "a.lst", empty), 0);
  EXPECT_EQ(empty.Count(), 0);
}

TEST(ListFileFormat, LoadGivesKnownVisitedRowsThatSaveBackUnchanged) {
  TempDir dir;
  TWNetTree t;
  FillBig(t, 5000, "x");
  t.AddFile("", "\\\\PC\\S\\", "");
  ASSERT_EQ(SaveListFile(dir / "a.lst", t), 0);
  TWNetTree back;
  ASSERT_EQ(Load(dir / "a.lst", back), 0);
  EXPECT_EQ(Rows(back), Rows(t));
  EXPECT_EQ(back.CountByState(nsKnown), back.Count());
  for (int i = 0; i < back.Count(); ++i) ASSERT_TRUE(back.File(i).Visited());
  ASSERT_EQ(SaveListFile(dir / "b.lst", back), 0);
  EXPECT_EQ(ReadAll(dir / "b.lst"), ReadAll(dir / "a.lst"));
}

TEST(ListFileFormat, LoneCrAndLfInNamesRoundTripAndCrLfNeverMisalignsTheFile) {
  TempDir dir;
  TWNetTree t;
  const std::vector<std::string> kept = {"a\rb.mp3", "a\nb.mp3", "ends\r",
                                         "\nstarts", "\r",       "\n\r"};
  for (const auto &n : kept) t.AddFile("D", "\\\\PC\\S\\", n);
  t.AddFile("D", "\\\\PC\\S\\", "split\r\nname.mp3");
  t.AddFile("D", "\\\\PC\\S\\", "runs\r\r\r\nof.mp3");
  t.AddFile("Dom\r\nain", "\\\\PC\r\n\\S\\", "last.mp3");
  ASSERT_EQ(SaveListFile(dir / "a.lst", t), 0);
  TWNetTree back;
  ASSERT_EQ(Load(dir / "a.lst", back), 0);
  std::vector<Row> want;
  for (const auto &n : kept) want.push_back({n, "D", "\\\\PC\\S\\"});
  want.push_back({"split\nname.mp3", "D", "\\\\PC\\S\\"});
  want.push_back({"runs\nof.mp3", "D", "\\\\PC\\S\\"});
  want.push_back({"last.mp3", "Dom\nain", "\\\\PC\n\\S\\"});
  EXPECT_EQ(Rows(back), want);
}

TEST(ListFileLoad, MissingFileGivesZeroAndChangesNothing) {
  TempDir dir;
  TWNetTree t;
  t.AddFile("D", "\\\\PC\\S\\", "kept");
  EXPECT_EQ(Load(dir / "none.lst", t), 0);
  EXPECT_EQ(Load(dir / "no/such/dir.lst", t), 0);
  EXPECT_EQ(t.Count(), 1);
  fs::create_directory(dir / "adir");
  EXPECT_EQ(Load(dir / "adir", t), 1);
}

TEST(ListFileLoad, TrailingPartialRecordStopsWithTheRecordsBeforeKept) {
  TempDir dir;
  const std::string two = Record({"a", "D", "\\\\PC\\S\\"}) + Record({"b", "D", "\\\\PC\\T\\"});
  // A CR LF list cut inside its last line, even right before its line end, is damaged too.
  for (const std::string tail : {"c\r\n", "c\r\nD\r\n", "c\r\nD", "c", "\r\n",
                                 "c\r\nD\r\n\\\\PC\\Mu", "c\r\nD\r\n\\\\PC\\U\\\r"}) {
    WriteAll(dir / "p.lst", two + tail);
    TWNetTree t;
    EXPECT_EQ(Load(dir / "p.lst", t), 2) << tail;
    EXPECT_EQ(Rows(t), (std::vector<Row>{{"a", "D", "\\\\PC\\S\\"}, {"b", "D", "\\\\PC\\T\\"}}));
  }
}

TEST(ListFileLoad, EveryKindOfLineEndAndABomLoadEveryRecord) {
  TempDir dir;
  const std::string bom = "\xEF\xBB\xBF";
  const std::vector<Row> ab = {{"a", "D", "\\\\PC\\S\\"}, {"b", "D", "\\\\PC\\T\\"}};
  const struct {
    std::string Text;
    std::vector<Row> Want;
  } cases[] = {
      {"a\nD\n\\\\PC\\S\\\nb\nD\n\\\\PC\\T\\\n", ab},                   // LF only
      {"a\nD\n\\\\PC\\S\\\nb\nD\n\\\\PC\\T\\", ab},                     // LF only, no final LF
      {bom + "a\r\nD\r\n\\\\PC\\S\\\r\nb\r\nD\r\n\\\\PC\\T\\\r\n", ab}, // BOM
      {bom + "a\nD\n\\\\PC\\S\\\nb\nD\n\\\\PC\\T\\\n", ab},
      // One CR LF makes the file a CR LF file: the LF inside the name stays.
      {"x\ny.mp3\r\nD\r\n\\\\PC\\S\\\r\n", {{"x\ny.mp3", "D", "\\\\PC\\S\\"}}},
  };
  for (const auto &c : cases) {
    WriteAll(dir / "e.lst", c.Text);
    TWNetTree t;
    EXPECT_EQ(Load(dir / "e.lst", t), 0) << c.Text;
    EXPECT_EQ(Rows(t), c.Want) << c.Text;
  }
}

TEST(ListFileLoad, AWindows1252ListLoadsAndARescanFindsItsFilesKnown) {
  TempDir dir;
  // "Café – François €.mp3" in Munich's workgroup, as the Windows program wrote it; the second
  // record is UTF-8 already and stays as it is.
  WriteAll(dir / "w.lst",
           "Caf\xE9 \x96 Fran\xE7ois \x80.mp3\r\nM\xFCnchen\r\n\\\\PC\\M\xFCsik\\\r\n"
           "Gr\xC3\xBC\xC3\x9F.mp3\r\nD\r\n\\\\PC\\S\\\r\n");
  const Row cafe = {"Caf\xC3\xA9 \xE2\x80\x93 Fran\xC3\xA7ois \xE2\x82\xAC.mp3", "M\xC3\xBCnchen",
                    "\\\\PC\\M\xC3\xBCsik\\"};
  const Row gruss = {"Gr\xC3\xBC\xC3\x9F.mp3", "D", "\\\\PC\\S\\"};
  TWNetTree t;
  ASSERT_EQ(Load(dir / "w.lst", t), 0);
  EXPECT_EQ(Rows(t), (std::vector<Row>{cafe, gruss}));
  // What the scan reports (UTF-8 from the share) is the same row.
  t.ResetMarks();
  t.AddFile(cafe.Domain, cafe.Directory, cafe.Name);
  t.AddFile(gruss.Domain, gruss.Directory, gruss.Name);
  t.FinishMarks();
  EXPECT_EQ(t.Count(), 2);
  EXPECT_EQ(t.CountByState(nsKnown), 2);
}

// Names a server gave that are not UTF-8 (a lone Latin-1 byte, a surrogate half, a cut
// sequence) come back from the list byte for byte, so a rescan finds them known; a list of UTF-8
// names alone is written as before, without a mark.
TEST(ListFileLoad, NamesThatAreNotUtf8SurviveSaveAndLoad) {
  TempDir dir;
  const std::vector<Row> odd = {{"Caf\xE9.mp3", "D", "\\\\PC\\S\\"},
                                {"x\xED\xA0\x80y.mp3", "D", "\\\\PC\\Gr\xFC\\"},
                                {"Gr\xC3\xBC\xC3\x9F.mp3", "W\xE4", "\\\\PC\\S\\"},
                                {"cut\xC3.mp3", "D", "\\\\PC\\S\\"}};
  TWNetTree t;
  for (const auto &r : odd) t.AddFile(r.Domain, r.Directory, r.Name);
  ASSERT_EQ(SaveListFile(dir / "o.lst", t), 0);
  TWNetTree back;
  ASSERT_EQ(Load(dir / "o.lst", back), 0);
  EXPECT_EQ(Rows(back), odd);
  back.ResetMarks();
  for (const auto &r : odd) back.AddFile(r.Domain, r.Directory, r.Name);
  back.FinishMarks();
  EXPECT_EQ(back.CountByState(nsKnown), int(odd.size()));

  TWNetTree plain;
  plain.AddFile("D", "\\\\PC\\S\\", "Gr\xC3\xBC\xC3\x9F.mp3");
  ASSERT_EQ(SaveListFile(dir / "p.lst", plain), 0);
  EXPECT_EQ(ReadAll(dir / "p.lst"), "Gr\xC3\xBC\xC3\x9F.mp3\r\nD\r\n\\\\PC\\S\\\r\n");
}

TEST(ListFileLoad, DirectoryWithoutTwoBackslashesGivesCodeThree) {
  TempDir dir;
  WriteAll(dir / "bad.lst", Record({"a", "D", "\\\\PC\\S\\"}) +
                                Record({"b", "Other", "Computer1\\Music\\"}) +
                                Record({"c", "D", "\\\\PC\\S\\"}));
  TWNetTree t;
  EXPECT_EQ(Load(dir / "bad.lst", t), 3);
  EXPECT_EQ(Rows(t), (std::vector<Row>{{"a", "D", "\\\\PC\\S\\"}}));
  // As with AddFile, the domain node made before the failure stays.
  EXPECT_TRUE(t.FindNode({}, "Other"));
}

TEST(ListFileLoad, RecordLargerThanTheReadBufferLoads) {
  TempDir dir;
  const std::string huge(3 << 20, 'n');
  WriteAll(dir / "big.lst", Record({"a", "D", "\\\\PC\\S\\"}) + Record({huge, "D", "\\\\PC\\S\\"}) +
                                Record({"z", "D", "\\\\PC\\S\\"}));
  TWNetTree t;
  ASSERT_EQ(Load(dir / "big.lst", t), 0);
  ASSERT_EQ(t.Count(), 3);
  EXPECT_EQ(t.File(1).Name(), huge);
  EXPECT_EQ(t.File(2).Name(), "z");
}

TEST(ListFileLoad, SharedPathsGiveTheSameTreeAsAddingEachRecord) {
  // Consecutive records share whole directories or only their first components; the loaded tree,
  // marks included, must be the one that AddFile record by record gives.
  const std::vector<Row> recs = {
      {"1", "D", "\\\\PC\\S\\A\\"},    {"2", "D", "\\\\PC\\S\\A\\"},  {"3", "D", "\\\\PC\\S\\B\\"},
      {"4", "D", "\\\\PC\\S\\B\\C\\"}, {"5", "D", "\\\\PC\\S\\"},     {"6", "D", "\\\\PC\\\\S\\"},
      {"7", "E", "\\\\PC\\S\\A\\"},    {"8", "D", "\\\\PC\\S\\A\\"},  {"1", "D", "\\\\PC\\S\\A\\"},
      {"A", "D", "\\\\PC\\S\\"},       {"x", "D", "\\\\PC\\S\\A\\"},  {"9", "D", "\\\\"},
      {"y", "D", "\\\\PC\\S\\A"},      {"z", "D", "\\\\PC\\S\\A\\B"}, {"w", "D", "\\\\PC\\S\\A\\"},
      {"S", "D", "\\\\PC\\"},          {"v", "D", "\\\\PC\\S\\"}};
  TempDir dir;
  std::string data;
  for (const auto &r : recs) data += Record(r);
  WriteAll(dir / "r.lst", data);
  for (const bool loading : {true, false}) {
    TWNetTree loaded, added;
    for (TWNetTree *t : {&loaded, &added}) {
      t->AddFile("D", "\\\\PC\\S\\A\\", "old");
      t->AddFile("D", "\\\\PC\\Gone\\", "older");
      t->ResetMarks();
      t->SetLoading(loading);
    }
    ASSERT_EQ(LoadListFile(dir / "r.lst", loaded), 0);
    for (const auto &r : recs) added.AddFile(r.Domain, r.Directory, r.Name);
    EXPECT_EQ(Rows(loaded), Rows(added));
    EXPECT_EQ(Dump(loaded), Dump(added));
  }
}

TEST(ListFileSave, MissingDirectoryRaisesAndADirectoryAsTargetGivesOne) {
  TempDir dir;
  TWNetTree t;
  t.AddFile("D", "\\\\PC\\S\\", "a");
  const std::string missing = dir / "no/such";
  EXPECT_EQ(ErrorOf([&] { SaveListFile(missing + "/x.lst", t); }),
            "The path " + missing + "/ doesn't exist.");
  fs::create_directory(dir / "adir");
  EXPECT_EQ(SaveListFile(dir / "adir", t), 1);
  EXPECT_TRUE(fs::is_directory(dir / "adir"));
}

TEST(ListFileSave, KeepsTheModeOfTheFileAndFollowsASymbolicLink) {
  TempDir dir;
  TWNetTree t;
  t.AddFile("D", "\\\\PC\\S\\", "a");
  WriteAll(dir / "real.lst", "old");
  chmod((dir / "real.lst").c_str(), 0640);
  fs::create_symlink(dir / "real.lst", dir / "link.lst");
  ASSERT_EQ(SaveListFile(dir / "link.lst", t), 0);
  EXPECT_TRUE(fs::is_symlink(dir / "link.lst"));
  EXPECT_EQ(ReadAll(dir / "real.lst"), Record({"a", "D", "\\\\PC\\S\\"}));
  struct stat st;
  ASSERT_EQ(stat((dir / "real.lst").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  EXPECT_EQ(dir.Entries(), (std::vector<std::string>{"link.lst", "real.lst"}));
}

TEST(ListFileSave, AFailedLoadKeepsTheOldFileAsABackupAtTheNextSave) {
  TempDir dir;
  const std::string file = dir / "Sonquarry.lst";
  // A cut-off record (code 2), then a directory that is no path (code 3), then a last line cut
  // short: a later backup never replaces an earlier one.
  const struct {
    std::string Text, Backup;
  } cases[] = {
      {Record({"a", "D", "\\\\PC\\S\\"}) + "b\r\nD\r\n", "Sonquarry.lst.bak"},
      {Record({"a", "D", "\\\\PC\\S\\"}) + Record({"b", "D", "no path\\"}), "Sonquarry.lst.bak.2"},
      {Record({"a", "D", "\\\\PC\\S\\"}) + "b\r\nD\r\n\\\\PC\\Mus", "Sonquarry.lst.bak.3"}, // cut
  };
  std::vector<std::string> want = {"Sonquarry.lst"};
  for (const auto &c : cases) {
    WriteAll(file, c.Text);
    TWNetTree t;
    EXPECT_NE(Load(file, t), 0);
    t.AddFile("D", "\\\\PC\\S\\", "new.mp3");
    ASSERT_EQ(SaveListFile(file, t), 0);
    want.push_back(c.Backup);
    EXPECT_EQ(dir.Entries(), want);
    EXPECT_EQ(ReadAll(dir / c.Backup), c.Text);
    EXPECT_EQ(ReadAll(file),
              Record({"a", "D", "\\\\PC\\S\\"}) + Record({"new.mp3", "D", "\\\\PC\\S\\"}));
    // Only the first save keeps a backup.
    ASSERT_EQ(SaveListFile(file, t), 0);
    EXPECT_EQ(dir.Entries(), want);
  }
  EXPECT_EQ(ReadAll(dir / "Sonquarry.lst.bak"), cases[0].Text);
}

TEST(ListFileSave, AReadOnlyListIsNotReplaced) {
  TempDir dir;
  const std::string file = dir / "ro.lst";
  const std::string text = Record({"a", "D", "\\\\PC\\S\\"});
  WriteAll(file, text);
  ASSERT_EQ(chmod(file.c_str(), 0444), 0);
  TWNetTree t;
  t.AddFile("D", "\\\\PC\\S\\", "b");
  EXPECT_EQ(SaveListFile(file, t), 1);
  EXPECT_EQ(ReadAll(file), text);
  EXPECT_EQ(dir.Entries(), std::vector<std::string>{"ro.lst"});
}

TEST(ListFileSave, RemovesTheTemporaryFilesOfKilledSavesOnly) {
  TempDir dir;
  const pid_t gone = fork();
  if (gone == 0) _exit(0);
  waitpid(gone, nullptr, 0);
  const std::string stale = Cat(".a.lst.", std::to_string(gone), ".1f2e.tmp");
  const std::vector<std::string> kept = {
      Cat(".a.lst.", std::to_string(getppid()), ".1f2e.tmp"), // its save still runs
      Cat(".b.lst.", std::to_string(gone), ".1f2e.tmp"),      // another file's
      ".a.lst.notes", "a.lst"};
  for (const auto &n : kept) WriteAll(dir / n, "x");
  WriteAll(dir / stale, "x");
  TWNetTree t;
  ASSERT_EQ(SaveListFile(dir / "a.lst", t), 0);
  auto want = kept;
  std::sort(want.begin(), want.end());
  EXPECT_EQ(dir.Entries(), want);
}

TEST(ListFileSave, FileSizeLimitMidSaveKeepsTheOldList) {
  TempDir dir;
  TWNetTree small, big;
  small.AddFile("D", "\\\\PC\\S\\", "old.mp3");
  FillBig(big, 40000, "new");
  ASSERT_EQ(SaveListFile(dir / "Sonquarry.lst", small), 0);
  const std::string old = ReadAll(dir / "Sonquarry.lst");
  const int code = InChild([&] {
    signal(SIGXFSZ, SIG_IGN); // the write then fails with EFBIG instead of killing
    const rlimit lim{1 << 20, 1 << 20};
    setrlimit(RLIMIT_FSIZE, &lim);
    return SaveListFile(dir / "Sonquarry.lst", big);
  });
  EXPECT_EQ(code, 3);
  EXPECT_EQ(ReadAll(dir / "Sonquarry.lst"), old);
  EXPECT_EQ(dir.Entries(), std::vector<std::string>{"Sonquarry.lst"});
}

TEST(ListFileSave, FullDiskMidSaveKeepsTheOldList) {
  // A small tmpfs in a private mount namespace of a child process; needs the right to mount.
  TempDir dir;
  TWNetTree small, big;
  small.AddFile("D", "\\\\PC\\S\\", "old.mp3");
  FillBig(big, 40000, "new");
  const std::string mnt = dir / "mnt";
  fs::create_directory(mnt);
  const int code = InChild([&] {
    if (unshare(CLONE_NEWNS) != 0 ||
        mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount("tmpfs", mnt.c_str(), "tmpfs", 0, "size=512k") != 0)
      return 77;
    const std::string file = mnt + "/Sonquarry.lst";
    if (SaveListFile(file, small) != 0) return 10;
    const std::string old = ReadAll(file);
    const int saved = SaveListFile(file, big);
    if (ReadAll(file) != old) return 11;
    if (std::distance(fs::directory_iterator(mnt), fs::directory_iterator()) != 1) return 12;
    return saved;
  });
  if (code == 77) GTEST_SKIP() << "cannot mount a tmpfs here";
  EXPECT_EQ(code, 3); // 11: the old list was lost, 12: the temporary file was left behind
}

TEST(ListFileSave, KilledMidSaveLeavesTheOldOrTheNewListWhole) {
  TempDir dir;
  TWNetTree oldTree, newTree;
  FillBig(oldTree, 2000, "old");
  FillBig(newTree, 150000, "new");
  const std::string target = dir / "Sonquarry.lst";
  ASSERT_EQ(SaveListFile(dir / "new.lst", newTree), 0);
  const std::string newBytes = ReadAll(dir / "new.lst");
  fs::remove(dir / "new.lst");
  ASSERT_EQ(SaveListFile(target, oldTree), 0);
  const std::string oldBytes = ReadAll(target);

  const auto t0 = std::chrono::steady_clock::now();
  ASSERT_EQ(SaveListFile(target, newTree), 0);
  const auto saveTime = std::chrono::steady_clock::now() - t0;

  int midSave = 0, sawOld = 0, sawNew = 0;
  constexpr int trials = 10;
  for (int k = 0; k < trials; ++k) {
    ASSERT_EQ(SaveListFile(target, oldTree), 0);
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const pid_t pid = fork();
    if (pid == 0) {
      close(ready[0]);
      const char c = 1;
      if (write(ready[1], &c, 1) != 1) _exit(2);
      _exit(SaveListFile(target, newTree));
    }
    close(ready[1]);
    char c;
    ASSERT_EQ(read(ready[0], &c, 1), 1);
    close(ready[0]);
    // Kill moments spread from the start to a little past the usual end of a save.
    std::this_thread::sleep_for(saveTime * k / (trials - 1) * 6 / 5);
    kill(pid, SIGKILL);
    int status;
    waitpid(pid, &status, 0);

    const std::string now = ReadAll(target);
    ASSERT_TRUE(now == oldBytes || now == newBytes)
        << "trial " << k << ": " << now.size() << " bytes";
    sawOld += now == oldBytes;
    sawNew += now == newBytes;
    for (const auto &name : dir.Entries()) {
      if (name == "Sonquarry.lst") continue;
      ++midSave; // a temporary file left by a save that was cut off
      fs::remove(dir / name);
    }
  }
  EXPECT_GT(midSave, 0) << "no kill landed during a save";
  RecordProperty("killed_mid_save", midSave);
  std::cout << "kills mid-save " << midSave << ", old list " << sawOld << ", new list " << sawNew
            << " of " << trials << "\n";
}
