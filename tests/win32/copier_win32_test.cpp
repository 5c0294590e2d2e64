// The copier on Windows (Wine here): the system's copy (CopyFileExW) from a local folder and from a
// UNC path, its progress and its cancel; the files checked through the C++ library's own reads.
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <thread>

#include "platform/net/wnet_provider.h"
#include "services/copier/copy_dest.h"
#include "services/copier/file_copier.h"
#include "services/copier/net_copy_source.h"

namespace {

using namespace sonquarry;
namespace fs = std::filesystem;

fs::path TempDir(const char *Name) {
  wchar_t Buf[MAX_PATH + 1];
  const DWORD N = ::GetTempPathW(MAX_PATH + 1, Buf);
  fs::path P = fs::path(std::wstring(Buf, N)) /
               (std::string(Name) + std::to_string(::GetCurrentProcessId()));
  fs::remove_all(P);
  fs::create_directories(P);
  return P;
}

std::string Slurp(const fs::path &P) {
  std::ifstream In(P, std::ios::binary);
  return {std::istreambuf_iterator<char>(In), {}};
}

void Spill(const fs::path &P, const std::string &Data) {
  fs::create_directories(P.parent_path());
  std::ofstream(P, std::ios::binary) << Data;
}

std::set<std::string> Names(const fs::path &Dir) {
  std::set<std::string> Out;
  for (const auto &E : fs::directory_iterator(Dir)) Out.insert(E.path().filename().string());
  return Out;
}

std::string Pattern(size_t Size) {
  std::string S(Size, '\0');
  for (size_t I = 0; I < Size; ++I) S[I] = char(I * 7 + I / 4096);
  return S;
}

TEST(Win32Copier, LocalFileIsCopiedBySystemBesideATakenName) {
  ASSERT_TRUE(copier::TCopyDest::SystemCopies());
  const fs::path Net = TempDir("sq-net-"), Dest = TempDir("sq-dest-");
  const std::string Data = Pattern((3 << 20) + 11);
  Spill(Net / "PC" / "s" / "a.mp3", Data);
  Spill(Dest / "a.mp3", "old");
  copier::TLocalCopySource Source(Net.generic_string());
  copier::TFileCopier Copier(Source);
  Copier.MeasureFirst = true;
  ASSERT_EQ(Copier.Copy({"\\\\PC\\s\\a.mp3", "\\\\PC\\s\\missing.mp3"}, Dest.string()), 1);
  EXPECT_EQ(Slurp(Dest / "a (2).mp3"), Data);
  EXPECT_EQ(Slurp(Dest / "a.mp3"), "old");
  EXPECT_EQ(Names(Dest), (std::set<std::string>{"a.mp3", "a (2).mp3"}));
  ASSERT_EQ(Copier.Copied.size(), 1u);
  EXPECT_EQ(fs::path(Copier.Copied[0]), Dest / "a (2).mp3");
  EXPECT_NE(Copier.Error.find("missing.mp3"), std::string::npos) << Copier.Error;
  const copier::TCopyProgress P = Copier.Progress();
  EXPECT_EQ(P.FileIndex, 1);
  EXPECT_EQ(P.TotalSize, int64_t(Data.size())); // the missing file left the whole
  EXPECT_EQ(P.TotalDone, int64_t(Data.size()));
  EXPECT_EQ(P.FilesDone, 1);
  fs::remove_all(Net);
  fs::remove_all(Dest);
}

// Whether this system's CopyFileExW calls its progress routine (Wine 8's calls it never, nor reads
// the cancel flag).
bool SystemTellsProgress(const fs::path &From, const fs::path &To) {
  int Calls = 0;
  auto Count = [](LARGE_INTEGER, LARGE_INTEGER, LARGE_INTEGER, LARGE_INTEGER, DWORD, DWORD, HANDLE,
                  HANDLE, LPVOID Data) -> DWORD {
    ++*static_cast<int *>(Data);
    return PROGRESS_CONTINUE;
  };
  ::CopyFileExW(From.c_str(), To.c_str(), Count, &Calls, nullptr, 0);
  fs::remove(To);
  return Calls > 0;
}

TEST(Win32Copier, CancelDuringTheSystemCopyLeavesNothing) {
  const fs::path Net = TempDir("sq-net-"), Dest = TempDir("sq-dest-");
  const int64_t Size = int64_t(192) << 20;
  const fs::path Big = Net / "PC" / "s" / "big.flac";
  {
    fs::create_directories(Big.parent_path());
    std::ofstream Out(Big, std::ios::binary);
    const std::string Chunk = Pattern(1 << 20);
    for (int64_t I = 0; I < Size; I += Chunk.size()) Out << Chunk;
  }
  const bool Told = SystemTellsProgress(Big, Net / "probe");
  copier::TLocalCopySource Source(Net.generic_string());
  copier::TFileCopier Copier(Source);
  std::atomic<int> Result{-1};
  std::thread T([&] { Result = Copier.Copy({"\\\\PC\\s\\big.flac"}, Dest.string()); });
  // Where the system tells progress, the cancel comes in the middle of the file; elsewhere while
  // the file is being copied.
  int64_t Seen = 0;
  while (Result == -1 && Copier.Progress().FileName.empty()) std::this_thread::yield();
  while (Told && Result == -1 && (Seen = Copier.Progress().FileDone) == 0)
    std::this_thread::yield();
  Copier.Cancel();
  T.join();
  EXPECT_EQ(Result, 2);
  EXPECT_TRUE(Names(Dest).empty());
  if (Told) {
    EXPECT_GT(Seen, 0);
    EXPECT_LT(Seen, Size);
  } else {
    std::printf("this system's CopyFileExW tells no progress: cancelled after the copy\n");
  }
  fs::remove_all(Net);
  fs::remove_all(Dest);
}

// Wine reaches \\HOST\SHARE through the folder dosdevices/unc/HOST/SHARE of its prefix.
TEST(Win32Copier, UncFileIsCopiedThroughTheRedirector) {
  const char *Prefix = std::getenv("WINEPREFIX");
  if (!Prefix) GTEST_SKIP() << "not under Wine with WINEPREFIX set";
  const fs::path Share = fs::path(L"Z:") / Prefix / "dosdevices" / "unc" / "sqcopytest" / "music";
  const std::string Name = "Gr\xc3\xbc\xc3\x9f dir";
  const std::string Data = Pattern((1 << 20) + 3);
  Spill(Share / L"Gr\u00fc\u00df dir" / "t.mp3", Data);
  const fs::path Dest = TempDir("sq-dest-");
  const struct {
    const char *Unc, *Long;
  } Cases[] = {{"\\\\PC\\s\\a.mp3", "\\\\?\\UNC\\PC\\s\\a.mp3"}, {"C:\\a.mp3", ""}};
  for (const auto &C : Cases) EXPECT_EQ(copier::SystemPathOfUnc(C.Unc), C.Long);

  auto Source = copier::MakeNetCopySource(std::make_shared<net::TWNetProvider>());
  copier::TFileCopier Copier(*Source);
  Copier.MeasureFirst = true;
  ASSERT_EQ(Copier.Copy({"\\\\sqcopytest\\music\\" + Name + "\\t.mp3"}, Dest.string()), 0)
      << Copier.Error;
  EXPECT_EQ(Slurp(Dest / "t.mp3"), Data);
  EXPECT_EQ(Copier.Progress().TotalSize, int64_t(Data.size()));
  fs::remove_all(Share.parent_path());
  fs::remove_all(Dest);
}

} // namespace
