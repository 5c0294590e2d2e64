// The copier: free names, nothing half-written, never outside the folder, the result code.
// ctest-labels: threads

#include "platform/os/diag.h"
#include "services/copier/file_copier.h"
#include "support/xdg_sandbox.h"

#include <cstring>
#include <filesystem>
#include <functional>
#include <gtest/gtest.h>
#include <set>
#include <thread>
#include <vector>

using namespace sonquarry;
namespace fs = std::filesystem;
using sonquarry::testing::ReadAll;
using sonquarry::testing::WriteFile;

namespace {

// Local shares under Root/net, the destination Root/dest.
struct Fixture : ::testing::Test {
  sonquarry::testing::TXdgSandbox Home;
  std::string Net = Home.Root() + "/net";
  std::string Dest = Home.Root() + "/dest";
  copier::TLocalCopySource Local{Net};
  Fixture() { fs::create_directories(Dest); }

  std::set<std::string> DestFiles() const {
    std::set<std::string> out;
    for (const auto &e : fs::directory_iterator(Dest)) out.insert(e.path().filename().string());
    return out;
  }
};

// Endless or failing data: the file "\\PC\s\big.mp3" of Size bytes whose reads fail after
// FailAfter bytes (-1: never); Cancel is noted.
class TStreamSource final : public copier::ICopySource {
public:
  int64_t Size = 8 << 20, FailAfter = -1, Done = 0, Announced = -1; // -1: Size
  std::function<void()> OnRead;
  bool Open(const std::string &, int64_t &S, std::string &) override {
    S = Announced >= 0 ? Announced : Size;
    Done = 0;
    return true;
  }
  long Read(char *B, size_t C, std::string &E) override {
    if (OnRead) OnRead();
    if (FailAfter >= 0 && Done >= FailAfter) {
      E = "connection lost";
      return -1;
    }
    const long n = long(std::min<int64_t>(int64_t(C), Size - Done));
    std::memset(B, 'x', size_t(n));
    Done += n;
    return n;
  }
  void Close() override {}
  void Cancel() override {}
};

} // namespace

TEST(FileCopierNames, RemoteNamesBecomeOneSafeComponent) {
  const std::string longStem(300, 'a');
  struct Case {
    std::string Unc, Local;
  } cases[] = {
      {"\\\\PC\\s\\dir\\Track 1.mp3", "Track 1.mp3"},
      {"\\\\PC\\s\\..", "_.."},
      {"\\\\PC\\s\\.", "_."},
      {"\\\\PC\\s\\", "_"},
      {"\\\\PC\\s\\..\\..\\x.mp3", "x.mp3"},
      {"\\\\PC\\s\\a/../../etc/x.mp3", "a_.._.._etc_x.mp3"},
      {"\\\\PC\\s\\/etc/passwd", "_etc_passwd"},
      {std::string("\\\\PC\\s\\a\0b.mp3", 14), "a_b.mp3"},
      {"\\\\PC\\s\\" + longStem + ".mp3", std::string(242, 'a') + ".mp3"},
  };
  for (const auto &c : cases) EXPECT_EQ(copier::SafeLocalName(c.Unc), c.Local) << c.Unc;
  // A cut never splits a UTF-8 letter.
  std::string umlauts;
  for (int i = 0; i < 200; ++i) umlauts += "\xc3\xbc";
  const std::string cut = copier::SafeLocalName("\\\\PC\\s\\" + umlauts + ".mp3");
  EXPECT_LE(cut.size(), 246u);
  EXPECT_EQ(cut.substr(cut.size() - 4), ".mp3");
  EXPECT_EQ((cut.size() - 4) % 2, 0u);

  EXPECT_EQ(copier::NumberedName("a.mp3", 1), "a.mp3");
  EXPECT_EQ(copier::NumberedName("a.b.mp3", 2), "a.b (2).mp3");
  EXPECT_EQ(copier::NumberedName("noext", 3), "noext (3)");
  EXPECT_EQ(copier::NumberedName(".hidden", 2), ".hidden (2)");

  // Names Windows would refuse, or take as a stream or a device.
  const struct {
    const char *Name, *Windows;
  } windows[] = {
      {"a:b.mp3", "a_b.mp3"},
      {"x<>\"|?*.mp3", "x______.mp3"},
      {"a\x01.mp3", "a_.mp3"},
      {"end. .", "end___"},
      {"CON", "_CON"},
      {"nul.mp3", "_nul.mp3"},
      {"Com1 .tar.mp3", "_Com1 .tar.mp3"},
      {"lpt9", "_lpt9"},
      {"console.mp3", "console.mp3"},
      {"COM10.mp3", "COM10.mp3"},
      {"\xc3\xbc.mp3", "\xc3\xbc.mp3"},
  };
  for (const auto &c : windows) EXPECT_EQ(copier::SafeWindowsName(c.Name), c.Windows) << c.Name;
}

TEST_F(Fixture, CollisionsKeepBothFiles) {
  WriteFile(Net + "/PC/s/a.mp3", "new");
  WriteFile(Dest + "/a.mp3", "old");
  fs::create_symlink(Home.Root() + "/outside.mp3", Dest + "/a (2).mp3"); // dangling, pointing out
  copier::TFileCopier copier(Local);
  EXPECT_EQ(copier.Copy({"\\\\PC\\s\\a.mp3", "\\\\PC\\s\\a.mp3"}, Dest), 0);
  EXPECT_EQ(copier.Copied, (std::vector<std::string>{Dest + "/a (3).mp3", Dest + "/a (4).mp3"}));
  EXPECT_EQ(ReadAll(Dest + "/a.mp3"), "old");
  EXPECT_EQ(ReadAll(Dest + "/a (3).mp3"), "new");
  EXPECT_FALSE(fs::exists(Home.Root() + "/outside.mp3"));
  EXPECT_EQ(DestFiles(), (std::set<std::string>{"a.mp3", "a (2).mp3", "a (3).mp3", "a (4).mp3"}));
}

TEST_F(Fixture, FailureStopsOrIsSkippedAndKeepsWhatWasCopiedBefore) {
  WriteFile(Net + "/PC/s/1.mp3", "one");
  WriteFile(Net + "/PC/s/3.mp3", "three");
  copier::TFileCopier copier(Local);
  EXPECT_EQ(copier.Copy({"\\\\PC\\s\\1.mp3", "\\\\PC\\s\\2.mp3", "\\\\PC\\s\\3.mp3"}, Dest), 1);
  EXPECT_NE(copier.Error.find("2.mp3"), std::string::npos);
  EXPECT_EQ(DestFiles(), std::set<std::string>{"1.mp3"});
  EXPECT_EQ(ReadAll(Dest + "/1.mp3"), "one");

  EXPECT_EQ(copier.Copy({"\\\\PC\\s\\1.mp3"}, Home.Root() + "/no/such/dir"), 1);

  // Skipped when asked: the rest is copied, and the whole copy's size leaves the missing file out.
  fs::remove(Dest + "/1.mp3");
  copier.MeasureFirst = true;
  std::vector<std::string> asked;
  copier.OnFailure = [&](const std::string &Path, const std::string &) {
    asked.push_back(Path);
    return copier::TFailureAnswer::Skip;
  };
  EXPECT_EQ(copier.Copy({"\\\\PC\\s\\1.mp3", "\\\\PC\\s\\2.mp3", "\\\\PC\\s\\3.mp3"}, Dest), 1);
  EXPECT_EQ(asked, std::vector<std::string>{"\\\\PC\\s\\2.mp3"});
  EXPECT_EQ(DestFiles(), (std::set<std::string>{"1.mp3", "3.mp3"}));
  const copier::TCopyProgress p = copier.Progress();
  EXPECT_EQ(p.TotalSize, 8);
  EXPECT_EQ(p.TotalDone, 8);
  EXPECT_EQ(p.FilesDone, 3);
}

TEST_F(Fixture, BrokenOrCancelledFileLeavesNothing) {
  struct Case {
    const char *What;
    int64_t FailAfter; // the source fails after this many bytes
    int64_t Size;      // the size it announces
    int CancelAtRead;  // Cancel during this read (0: never)
    int Result;
  } cases[] = {
      {"read fails mid file", 3 << 20, 8 << 20, 0, 1},
      {"file shorter than announced", -1, 8 << 20, 0, 1},
      {"cancel mid file", -1, 8 << 20, 3, 2},
      {"cancel at the last read", -1, 1 << 20, 2, 2},
  };
  for (const auto &c : cases) {
    TStreamSource source;
    source.FailAfter = c.FailAfter;
    source.Size = c.Size;
    copier::TFileCopier copier(source);
    int reads = 0;
    source.OnRead = [&] {
      if (++reads == c.CancelAtRead) copier.Cancel();
    };
    if (std::string(c.What) == "file shorter than announced") {
      source.OnRead = [&] {
        if (source.Done >= (4 << 20)) source.Size = source.Done; // ends early
      };
    }
    EXPECT_EQ(copier.Copy({"\\\\PC\\s\\big.mp3"}, Dest), c.Result) << c.What;
    EXPECT_TRUE(DestFiles().empty()) << c.What;
  }
}

TEST_F(Fixture, AFileThatGrowsIsCopiedToTheSizeItHadWhenOpenedAndSaidSo) {
  std::vector<std::string> Said;
  const auto Old = platform::SetDiagnosticSink(
      [&](platform::TDiagLevel, const std::string &L) { Said.push_back(L); });
  TStreamSource source; // 8 MiB come, whatever it said
  source.Announced = (1 << 20) + 5;
  copier::TFileCopier copier(source);
  EXPECT_EQ(copier.Copy({"\\\\PC\\s\\big.mp3"}, Dest), 0);
  platform::SetDiagnosticSink(Old);
  EXPECT_EQ(ReadAll(Dest + "/big.mp3"), std::string((1 << 20) + 5, 'x'));
  EXPECT_LT(source.Done, 8 << 20); // not read to its end either
  ASSERT_EQ(Said.size(), 1u);
  EXPECT_NE(Said[0].find("grew while it was copied"), std::string::npos) << Said[0];
}

TEST_F(Fixture, ProgressCountsTheBytes) {
  TStreamSource source;
  source.Size = (5 << 20) + 7;
  copier::TFileCopier copier(source);
  ASSERT_EQ(copier.Copy({"\\\\PC\\s\\big.mp3", "\\\\PC\\s\\big.mp3"}, Dest), 0);
  const copier::TCopyProgress p = copier.Progress();
  EXPECT_EQ(p.FileIndex, 1);
  EXPECT_EQ(p.FileCount, 2);
  EXPECT_EQ(p.FileName, "big.mp3");
  EXPECT_EQ(p.FileDone, source.Size);
  EXPECT_EQ(p.FileSize, source.Size);
  EXPECT_EQ(p.TotalDone, 2 * source.Size);
  EXPECT_EQ(fs::file_size(Dest + "/big (2).mp3"), uint64_t(source.Size));
}

TEST_F(Fixture, CancelFromAnotherThreadWhileReading) {
  TStreamSource source;
  source.Size = int64_t(1) << 40; // would take hours
  copier::TFileCopier copier(source);
  int result = -1;
  std::thread t([&] { result = copier.Copy({"\\\\PC\\s\\big.mp3"}, Dest); });
  while (copier.Progress().FileDone < (4 << 20)) std::this_thread::yield();
  copier.Cancel();
  t.join();
  EXPECT_EQ(result, 2);
  EXPECT_TRUE(DestFiles().empty());
}
