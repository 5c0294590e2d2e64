// ctest-labels: threads
// sonquarry-scan against the test network: what it prints, the list it keeps between scans,
// filters, stored settings, Ctrl+C and the progress line.
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "discovery/ip_range.h"
#include "engine/scan_options.h"
#include "settings/settings.h"
#include "support/run_program.h"
#include "support/scan_expect.h"
#include "support/scan_log_blocks.h"
#include "support/test_support.h"
#include "support/testnet_env.h"

namespace fs = std::filesystem;
using namespace sonquarry;
using sonquarry::testing::Cat;
using sonquarry::testing::FindBlock;
using sonquarry::testing::ReadAll;
using sonquarry::testing::ReadLogBlocks;
using sonquarry::testing::RunProgram;
using sonquarry::testing::ScanBinary;
using sonquarry::testing::SplitLines;
using sonquarry::testing::TExpected;
using sonquarry::testing::TRun;
using sonquarry::testing::TScanView;
using Strings = std::vector<std::string>;

namespace {

// name, domain, directory, state
struct Row {
  std::string Name, Domain, Dir;
  int State = -1;
  bool operator<(const Row &O) const {
    return std::tie(Name, Domain, Dir, State) < std::tie(O.Name, O.Domain, O.Dir, O.State);
  }
  bool operator==(const Row &O) const = default;
};

void PrintTo(const Row &R, std::ostream *O) {
  *O << R.Dir << R.Name << " [" << R.Domain << "] " << R.State;
}

// Set equality with the first differences named, not every row.
::testing::AssertionResult SameRows(const std::set<Row> &Got, const std::set<Row> &Want) {
  std::vector<Row> Extra, Missing;
  std::set_difference(Got.begin(), Got.end(), Want.begin(), Want.end(), std::back_inserter(Extra));
  std::set_difference(Want.begin(), Want.end(), Got.begin(), Got.end(),
                      std::back_inserter(Missing));
  if (Extra.empty() && Missing.empty()) return ::testing::AssertionSuccess();
  auto R = ::testing::AssertionFailure();
  R << Extra.size() << " rows too many, " << Missing.size() << " missing";
  for (size_t I = 0; I < Extra.size() && I < 5; ++I)
    R << "\n  extra: " << ::testing::PrintToString(Extra[I]);
  for (size_t I = 0; I < Missing.size() && I < 5; ++I)
    R << "\n  missing: " << ::testing::PrintToString(Missing[I]);
  return R;
}

std::vector<Row> ParseTsv(const std::string &Out) {
  std::vector<Row> Rows;
  for (const auto &L : SplitLines(Out)) {
    const auto F = sonquarry::testing::SplitList(L, '\t');
    EXPECT_EQ(F.size(), 4u) << L;
    if (F.size() == 4) Rows.push_back({F[0], F[1], F[2], std::stoi(F[3])});
  }
  return Rows;
}

std::set<Row> Rows(const TExpected &W, int State) {
  std::set<Row> Out;
  for (auto &F : W.Found) Out.insert({F.Name, F.Domain, F.Dir + "\\", State});
  return Out;
}

// The list file: three CR LF lines per row (name, domain, directory).
std::set<Row> ReadList(const std::string &P) {
  std::set<Row> Out;
  const std::string T = ReadAll(P);
  std::vector<std::string> L;
  for (size_t Pos = 0; Pos < T.size();) {
    const auto E = T.find("\r\n", Pos);
    if (E == std::string::npos) break;
    L.push_back(T.substr(Pos, E - Pos));
    Pos = E + 2;
  }
  EXPECT_EQ(L.size() % 3, 0u);
  for (size_t I = 0; I + 2 < L.size(); I += 3) Out.insert({L[I], L[I + 1], L[I + 2], -1});
  return Out;
}

std::set<Row> WithoutState(const std::set<Row> &In) {
  std::set<Row> Out;
  for (auto R : In) {
    R.State = -1;
    Out.insert(R);
  }
  return Out;
}

// "hh:mm:ss" (checked by hand: std::regex trips g++ 12's uninitialised-use warning at -O1)
bool IsHMS(const std::string &T) {
  if (T.size() != 8 || T[2] != ':' || T[5] != ':') return false;
  for (size_t I : {0, 1, 3, 4, 6, 7})
    if (T[I] < '0' || T[I] > '9') return false;
  return true;
}

// "N" followed by End at Pos of S; moves Pos past it.
bool NumberThen(const std::string &S, size_t &Pos, const std::string &End) {
  const size_t From = Pos;
  while (Pos < S.size() && S[Pos] >= '0' && S[Pos] <= '9') ++Pos;
  if (Pos == From || S.compare(Pos, End.size(), End) != 0) return false;
  Pos += End.size();
  return true;
}

// The report lines on stderr for the given counts.
void ExpectReport(const std::string &Err, int Found, int Scanned, int All, int New, int Removed,
                  int Unknown) {
  const Strings L = SplitLines(Err);
  const auto At = std::find(L.begin(), L.end(), "Scan completed");
  ASSERT_NE(At, L.end()) << Err;
  ASSERT_GE(L.end() - At, 9);
  EXPECT_TRUE(At[1].size() == 22 && At[1].rfind("Search Time : ", 0) == 0 &&
              IsHMS(At[1].substr(14)))
      << At[1];
  EXPECT_EQ(At[2], "Computers with audio files / All Computers : " + std::to_string(Found) + "/" +
                       std::to_string(Scanned));
  EXPECT_EQ(At[3], "");
  EXPECT_EQ(At[4], "All files : " + std::to_string(All));
  EXPECT_EQ(At[5], std::string(62, '-'));
  EXPECT_EQ(At[6], "New : " + std::to_string(New));
  EXPECT_EQ(At[7], "Removed (or inaccessible) : " + std::to_string(Removed));
  EXPECT_EQ(At[8], "Unknown (computer not found) : " + std::to_string(Unknown));
}

// The row order of the list's sort: keys compared with only a-z folded, bytes unsigned.
int CompareKeys(const std::string &A, const std::string &B) {
  const size_t N = std::min(A.size(), B.size());
  for (size_t I = 0; I < N; ++I) {
    auto F = [](char C) {
      unsigned char U = static_cast<unsigned char>(C);
      return U >= 'a' && U <= 'z' ? U - 32 : U;
    };
    if (F(A[I]) != F(B[I])) return F(A[I]) < F(B[I]) ? -1 : 1;
  }
  return A.size() == B.size() ? 0 : (A.size() < B.size() ? -1 : 1);
}

class ScanCliNet : public ::testing::Test {
protected:
  void SetUp() override {
    Dir = fs::temp_directory_path() /
          ("sonquarry-cli-" + std::to_string(::getpid()) + "-" +
           ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(Dir);
    fs::create_directories(Dir);
    LogFile = (Dir / "search.log").string();
    // Stored settings and the default log in the test's own folders; HOME stays the client's.
    Env = {"XDG_CONFIG_HOME=" + (Dir / "config").string(),
           "XDG_DATA_HOME=" + (Dir / "data").string()};
  }
  void TearDown() override { fs::remove_all(Dir); }

  TRun Scan(Strings Args, const std::function<bool(const TRun &)> &Interrupt = nullptr) {
    Args.insert(Args.begin(), ScanBinary());
    return RunProgram(Args, Env, Interrupt);
  }

  sonquarry::testing::Env E = sonquarry::testing::Env::Load();
  fs::path Dir;
  std::string LogFile;
  Strings Env;
};

TEST_F(ScanCliNet, NeighbourhoodRowsAreEveryMusicFileOfEveryWorkgroup) {
  TRun R = Scan({"--log", LogFile, "--format", "tsv"});
  ASSERT_EQ(R.Status, 0) << R.Err;
  TScanView V;
  V.DirNames = false; // a directory is no row of the list
  V.Wsd = true;
  V.Mdns = true;
  const TExpected W(E, V);
  const auto Got = ParseTsv(R.Out);
  EXPECT_TRUE(SameRows(std::set<Row>(Got.begin(), Got.end()), Rows(W, 1)));
  // The host announced three ways once; the one only WS-Discovery knows under its workgroup.
  EXPECT_EQ(Got.size(), W.Found.size());
  EXPECT_TRUE(
      std::set<Row>(Got.begin(), Got.end())
          .count({"02 - Loud.MP3", "SQGROUP3", "\\\\SQDELTA\\tunes\\Rock\\Artist One\\", 1}));
  ExpectReport(R.Err, int(W.HostsWithFiles.size()), int(W.Hosts().size()), int(W.Found.size()),
               int(W.Found.size()), 0, 0);

  // Without WS-Discovery and mDNS the browse lists alone, as before.
  R = Scan({"--no-wsd", "--no-mdns", "--log", LogFile, "--format", "tsv"});
  ASSERT_EQ(R.Status, 0) << R.Err;
  V.Wsd = false;
  V.Mdns = false;
  const TExpected Browse(E, V);
  const auto Listed = ParseTsv(R.Out);
  EXPECT_TRUE(SameRows(std::set<Row>(Listed.begin(), Listed.end()), Rows(Browse, 1)));
  EXPECT_EQ(Listed.size(), Browse.Found.size());
  ExpectReport(R.Err, int(Browse.HostsWithFiles.size()), int(Browse.Hosts().size()),
               int(Browse.Found.size()), int(Browse.Found.size()), 0, 0);
  V.Wsd = true;
  V.Mdns = true;

  // The default format: the full path of every row.
  R = Scan({"--log", LogFile});
  ASSERT_EQ(R.Status, 0);
  std::set<std::string> Paths;
  for (auto &F : W.Found) Paths.insert(F.Dir + "\\" + F.Name);
  const Strings Lines = SplitLines(R.Out);
  EXPECT_EQ(std::set<std::string>(Lines.begin(), Lines.end()), Paths);
  EXPECT_TRUE(Paths.count("\\\\SQALPHA\\music\\Rock\\Artist One\\02 - Loud.MP3"));
  const auto L = ReadLogBlocks(LogFile);
  EXPECT_TRUE(L.Bad.empty());
  EXPECT_TRUE(FindBlock(L, "Processing root resource."));
  // No terminal: no progress line.
  EXPECT_EQ(R.Err.find('\r'), std::string::npos);
}

// A computer that only mDNS announces (a Mac, a NAS) comes under LOCAL by its name with every
// music file of its disk; the one that a browse list and mDNS both name comes once. Without
// avahi-daemon the search goes on without it, and the log says what to install.
TEST_F(ScanCliNet, MdnsFindsTheMacUnderLocalAndTheDoubleAnnouncedHostOnce) {
  TScanView V;
  V.DirNames = false;
  V.Mdns = true;
  const TExpected W(E, V);
  const std::string Mac = "\\\\" + E.Host("MAC", "NAME") + "\\";
  const auto MacRows = [&](const auto &Rows) {
    return std::count_if(Rows.begin(), Rows.end(), [&](const auto &R) {
      return R.Dir.rfind(Mac, 0) == 0 && R.Domain == "LOCAL";
    });
  };
  ASSERT_GT(MacRows(Rows(W, 1)), 0);
  TRun R = Scan({"--no-wsd", "--log", LogFile, "--format", "tsv"});
  ASSERT_EQ(R.Status, 0) << R.Err;
  const auto Got = ParseTsv(R.Out);
  EXPECT_TRUE(SameRows(std::set<Row>(Got.begin(), Got.end()), Rows(W, 1)));
  EXPECT_EQ(Got.size(), W.Found.size()); // no row twice: SQALPHA's only under its workgroup
  EXPECT_EQ(MacRows(Got), MacRows(Rows(W, 1)));

  Env.push_back("DBUS_SYSTEM_BUS_ADDRESS=unix:path=" + (Dir / "no-bus").string());
  R = Scan({"--no-wsd", "--log", LogFile, "--format", "tsv"});
  ASSERT_EQ(R.Status, 0) << R.Err;
  V.Mdns = false;
  const TExpected Without(E, V);
  const auto Browsed = ParseTsv(R.Out);
  EXPECT_TRUE(SameRows(std::set<Row>(Browsed.begin(), Browsed.end()), Rows(Without, 1)));
  const std::string Log = ReadAll(LogFile);
  const std::string Says = "mDNS: avahi-daemon does not answer";
  const auto At = Log.find(Says);
  ASSERT_NE(At, std::string::npos) << Log;
  EXPECT_EQ(Log.find(Says, At + 1), std::string::npos);
  EXPECT_NE(Log.find("apt install avahi-daemon", At), std::string::npos);
  EXPECT_EQ(R.Err.find("avahi"), std::string::npos) << R.Err;
}

TEST_F(ScanCliNet, IPScanOfTheSubnetListsTheSameFilesUnderUnknown) {
  const TRun R = Scan({"--ip", E.Get("SQ_SUBNET"), "--threads", "64", "--timeout", "500",
                       "--format", "tsv", "--log", LogFile});
  ASSERT_EQ(R.Status, 0) << R.Err;
  TScanView V;
  V.Ip = true;
  V.DirNames = false;
  const TExpected W(E, V);
  const auto Got = ParseTsv(R.Out);
  EXPECT_TRUE(SameRows(std::set<Row>(Got.begin(), Got.end()), Rows(W, 1)));
  ExpectReport(R.Err, int(W.HostsWithFiles.size()), int(W.Hosts().size()), int(W.Found.size()),
               int(W.Found.size()), 0, 0);
  const auto L = ReadLogBlocks(LogFile);
  for (const char *Host : {"REFUSED", "SILENT", "MISSING"}) {
    const auto *B = FindBlock(L, "Processing resource \\\\" + E.Host(Host, "IP") + ".");
    ASSERT_TRUE(B) << Host;
    EXPECT_EQ(*B, (Strings{B->front(), "Not respond"}));
  }
  // The whole block: the network and the broadcast address are probed as well.
  EXPECT_TRUE(FindBlock(L, "Processing resource \\\\" + E.Get("SQ_BROADCAST") + "."));
}

TEST_F(ScanCliNet, FiltersAndExtensionsFromTheCommandLine) {
  const TRun R = Scan({"--deny-computer", "SQBRAVO", "--deny-share", "Shared Music", "--ext",
                       ".wma", "--ext", "mp2", "--format", "tsv", "--log", LogFile});
  ASSERT_EQ(R.Status, 0) << R.Err;
  TScanView V;
  V.DirNames = false;
  V.Exts = {".wma", ".mp2"};
  V.Wsd = true;
  V.Mdns = true;
  V.DeniedHosts = {"SQBRAVO"};
  V.DeniedShares = {"Shared Music"};
  const TExpected W(E, V);
  const auto Got = ParseTsv(R.Out);
  EXPECT_TRUE(SameRows(std::set<Row>(Got.begin(), Got.end()), Rows(W, 1)));
  EXPECT_TRUE(std::set<Row>(Got.begin(), Got.end())
                  .count({"PODCAST2.WMA", "SQGROUP1", "\\\\SQALPHA\\music\\Windows Media\\", 1}));
  // An allowed mask keeps only the computers that fit it.
  const TRun A = Scan({"--allow-computer", "sqch*", "--format", "tsv", "--log", LogFile});
  ASSERT_EQ(A.Status, 0);
  for (auto &Row : ParseTsv(A.Out)) EXPECT_EQ(Row.Dir.rfind("\\\\SQCHARLIE\\", 0), 0u) << Row.Dir;
  EXPECT_FALSE(A.Out.empty());
}

TEST_F(ScanCliNet, SortedRowsFollowTheListsOrder) {
  const TRun R = Scan({"--sort", "directory:desc", "--format", "tsv", "--log", LogFile});
  ASSERT_EQ(R.Status, 0);
  const auto Got = ParseTsv(R.Out);
  ASSERT_GT(Got.size(), 10u);
  for (size_t I = 1; I < Got.size(); ++I)
    EXPECT_GE(CompareKeys(Got[I - 1].Dir + Got[I - 1].Name + Got[I - 1].Domain,
                          Got[I].Dir + Got[I].Name + Got[I].Domain),
              0)
        << Got[I - 1].Dir << Got[I - 1].Name << " / " << Got[I].Dir << Got[I].Name;
}

// The network stays as it is (a test killed half-way leaves nothing changed for the next): the
// list stands for what an earlier scan saw. It lacks one file the share holds, holds one the share
// no longer has, and rows of SQREFUSED, a computer that is up but serves nothing.
TEST_F(ScanCliNet, ARescanWithTheListMarksKnownNewRemovedAndUnreachedRows) {
  const std::string List = (Dir / "scan.lst").string();
  TScanView V;
  V.DirNames = false;
  const TExpected W(E, V);
  std::set<Row> Want = Rows(W, 0);
  const auto Fresh = std::find_if(Want.begin(), Want.end(), [](const Row &R) {
    return R.Dir.rfind("\\\\SQALPHA\\music\\", 0) == 0;
  });
  ASSERT_NE(Fresh, Want.end());
  Row NewRow = *Fresh;
  Want.erase(Fresh);
  const Row Gone{"gone song.mp3", "SQGROUP1", "\\\\SQALPHA\\music\\", 2};
  const std::set<Row> Unreached = {{"a.mp3", "SQGROUP1", "\\\\SQREFUSED\\music\\", 3},
                                   {"b.mp3", "SQGROUP1", "\\\\SQREFUSED\\music\\Rock\\", 3}};
  {
    std::ofstream Out(List, std::ios::binary);
    auto Put = [&](const Row &R) {
      Out << R.Name << "\r\n" << R.Domain << "\r\n" << R.Dir << "\r\n";
    };
    for (const auto &R : Want) Put(R);
    Put(Gone);
    for (const auto &R : Unreached) Put(R);
  }
  NewRow.State = 1;
  Want.insert(NewRow);
  Want.insert(Gone);
  Want.insert(Unreached.begin(), Unreached.end());

  TRun R = Scan({"--no-wsd", "--no-mdns", "--list", List, "--format", "tsv", "--log", LogFile});
  ASSERT_EQ(R.Status, 0) << R.Err;
  const auto Got = ParseTsv(R.Out);
  EXPECT_TRUE(SameRows(std::set<Row>(Got.begin(), Got.end()), Want));
  ExpectReport(R.Err, int(W.HostsWithFiles.size()), int(W.Hosts().size()), int(Want.size()), 1, 1,
               int(Unreached.size()));
  // The list holds every row, the unreached and removed ones too.
  EXPECT_TRUE(SameRows(ReadList(List), WithoutState(Want)));

  // --clear starts from an empty list: the rows of the unreached computer are gone.
  R = Scan(
      {"--no-wsd", "--no-mdns", "--list", List, "--clear", "--format", "tsv", "--log", LogFile});
  ASSERT_EQ(R.Status, 0) << R.Err;
  const auto Cleared = ParseTsv(R.Out);
  EXPECT_TRUE(SameRows(std::set<Row>(Cleared.begin(), Cleared.end()), Rows(W, 1)));
}

TEST_F(ScanCliNet, StoredSettingsAreUsedAndTheCommandLineOverridesThem) {
  {
    // Written as the window would, into the test's configuration folder.
    const char *Old = std::getenv("XDG_CONFIG_HOME");
    const std::string Saved = Old ? Old : "";
    ::setenv("XDG_CONFIG_HOME", (Dir / "config").c_str(), 1);
    TScanOptions S;
    TMainFormSettings Form;
    S.Filter.DeniedRes = {"music"};
    S.Filter.Extentions = {".wma"};
    S.MaxThreadCount = 3;
    SaveSettings(S, Form);
    if (Old)
      ::setenv("XDG_CONFIG_HOME", Saved.c_str(), 1);
    else
      ::unsetenv("XDG_CONFIG_HOME");
  }
  ASSERT_TRUE(fs::exists(Dir / "config/sonquarry/registry.reg"));
  TRun R = Scan({"--settings", "--format", "tsv"});
  ASSERT_EQ(R.Status, 0) << R.Err;
  TScanView V;
  V.DirNames = false;
  V.Exts = {".wma"};
  V.DeniedShares = {"music"};
  V.Wsd = true; // the stored defaults
  V.Mdns = true;
  EXPECT_EQ(ParseTsv(R.Out).size(), TExpected(E, V).Found.size());
  {
    const auto Got = ParseTsv(R.Out);
    EXPECT_TRUE(SameRows(std::set<Row>(Got.begin(), Got.end()), Rows(TExpected(E, V), 1)));
  }
  // Without --log the log is the per-user one, beside the window's; three threads end on an
  // exhausted list.
  const auto L = ReadLogBlocks((Dir / "data/sonquarry/scan.log").string());
  EXPECT_EQ(sonquarry::testing::CountBlocks(L, "There is no more resources."), 3);

  R = Scan({"--settings", "--ext", ".mp3", "--format", "tsv", "--log", LogFile});
  ASSERT_EQ(R.Status, 0) << R.Err;
  V.Exts = {".mp3"};
  const auto Got = ParseTsv(R.Out);
  EXPECT_TRUE(SameRows(std::set<Row>(Got.begin(), Got.end()), Rows(TExpected(E, V), 1)));
}

TEST_F(ScanCliNet, TheLimitedConnectionMethodTakesAsManyAddressesAsThreadsAtOnce) {
  // Eight addresses of every kind for nine threads: none may be left for after a thread's 30 s
  // pause. Shares are denied, so no walk's length counts.
  Strings Args = {"--scan-method", "xp", "--deny-share", "*", "--format", "none", "--log", LogFile};
  std::map<std::string, double> Seen; // processing block of each address: seconds after start
  for (const char *H :
       {"ALPHA", "BRAVO", "CHARLIE", "DELTA", "IMPACKET", "REFUSED", "SILENT", "MISSING"}) {
    Args.insert(Args.end(), {"--ip", E.Host(H, "IP")});
    Seen["Processing resource \\\\" + E.Host(H, "IP") + "."] = -1;
  }
  const auto T0 = std::chrono::steady_clock::now();
  const TRun R = Scan(Args, [&](const TRun &) {
    const double Now = std::chrono::duration<double>(std::chrono::steady_clock::now() - T0).count();
    for (const auto &B : ReadLogBlocks(LogFile).Blocks)
      if (auto It = Seen.find(B.front()); It != Seen.end() && It->second < 0) It->second = Now;
    return false;
  });
  ASSERT_EQ(R.Status, 0) << R.Err;
  double First = 1e9, Last = 0;
  for (const auto &[Block, At] : Seen) {
    EXPECT_GE(At, 0) << Block;
    First = std::min(First, At);
    Last = std::max(Last, At);
  }
  // A thread that had to wait for an address would take it after its 30 s pause; a loaded machine
  // may be slow, but not that slow.
  EXPECT_LT(Last - First, 20.0);
}

TEST_F(ScanCliNet, CtrlCDuringTheLimitedConnectionPauseStopsAtOnceAndStillWritesTheList) {
  const std::string List = (Dir / "scan.lst").string();
  const std::string From = E.Host("ALPHA", "IP"), To = E.Host("IMPACKET", "IP");
  TScanView V;
  V.Ip = true;
  V.DirNames = false;
  const TExpected W(E, V);
  // Nine threads take the first nine addresses at once (the Samba hosts among them), then pause
  // 30 s before each further one.
  std::set<std::string> Early, EarlyWithFiles;
  for (const auto &H : E.Hosts()) {
    const std::string Name = E.Host(H, "NAME");
    const uint32_t Ip = StrIP(E.Host(H, "IP"));
    if (Ip < StrIP(From) || Ip > StrIP(From) + 8 || !W.Hosts().count(Name)) continue;
    Early.insert(E.Host(H, "IP"));
    if (W.HostsWithFiles.count(Name)) EarlyWithFiles.insert(Name);
  }
  const TRun R = Scan({"--ip", From + "-" + To, "--scan-method", "xp", "--list", List, "--format",
                       "tsv", "--log", LogFile},
                      [&](const TRun &) {
                        size_t Computers = 0;
                        for (auto &B : ReadLogBlocks(LogFile).Blocks)
                          if (B.size() > 1 && B[1] == "This resource is computer.") ++Computers;
                        return Computers == Early.size();
                      });
  EXPECT_EQ(R.Status, 130) << R.Err;
  EXPECT_GE(R.AfterInterrupt, 0);
  // The first wave needs no pause; Ctrl+C comes in the first one and cuts it short.
  EXPECT_LT(R.Seconds - R.AfterInterrupt, 15.0);
  EXPECT_LT(R.AfterInterrupt, 15.0);
  std::set<Row> Want;
  for (auto &Row : Rows(W, 1))
    for (const auto &Ip : Early)
      if (Row.Dir.rfind("\\\\" + Ip + "\\", 0) == 0) Want.insert(Row);
  const auto Got = ParseTsv(R.Out);
  EXPECT_TRUE(SameRows(std::set<Row>(Got.begin(), Got.end()), Want));
  EXPECT_TRUE(SameRows(ReadList(List), WithoutState(Want)));
  ExpectReport(R.Err, int(EarlyWithFiles.size()), int(Early.size()), int(Want.size()),
               int(Want.size()), 0, 0);
}

TEST_F(ScanCliNet, ATerminalGetsAProgressLine) {
  // script(1) gives the scanner a terminal for stdout and stderr.
  const std::string Cmd = Cat("'", ScanBinary(), "' --format none --log '", LogFile, "'");
  const TRun R = RunProgram({"script", "-qefc", Cmd, "/dev/null"}, Env);
  ASSERT_EQ(R.Status, 0) << R.Out << R.Err;
  // "\rhh:mm:ss  searching...  resources N  computers N  files N"
  bool Seen = false;
  for (size_t At = R.Out.find('\r'); At != std::string::npos && !Seen;
       At = R.Out.find('\r', At + 1)) {
    const std::string L = R.Out.substr(At + 1);
    size_t P = 8 + 14;
    Seen = L.size() > P && IsHMS(L.substr(0, 8)) && L.compare(8, 14, "  searching...") == 0 &&
           L.compare(P, 12, "  resources ") == 0 && NumberThen(L, P += 12, "  computers ") &&
           NumberThen(L, P, "  files ") && NumberThen(L, P, "\033[K");
  }
  EXPECT_TRUE(Seen) << R.Out;
  EXPECT_NE(R.Out.find("Scan completed"), std::string::npos);
}

// A rescan stopped early: what it did not reach is "not checked", never "removed", and the list
// keeps every row.
TEST_F(ScanCliNet, ARescanStoppedAfterASecondRemovesNothing) {
  const std::string List = (Dir / "scan.lst").string();
  TScanView V;
  V.DirNames = false;
  const std::set<Row> Want = Rows(TExpected(E, V), 0);
  {
    std::ofstream Out(List, std::ios::binary);
    for (const auto &R : Want) Out << R.Name << "\r\n" << R.Domain << "\r\n" << R.Dir << "\r\n";
  }
  // A second after the search has begun (its first log block), not after the program's start: a
  // loaded machine may take that long to reach the point where Ctrl+C means Stop.
  std::optional<std::chrono::steady_clock::time_point> Began;
  const TRun R = Scan({"--no-wsd", "--no-mdns", "--threads", "1", "--list", List, "--format", "tsv",
                       "--log", LogFile},
                      [&](const TRun &) {
                        const auto Now = std::chrono::steady_clock::now();
                        if (!Began && !ReadLogBlocks(LogFile).Blocks.empty()) Began = Now;
                        return Began && Now - *Began > std::chrono::seconds(1);
                      });
  ASSERT_EQ(R.Status, 130) << R.Err;
  const auto Got = ParseTsv(R.Out);
  EXPECT_EQ(Got.size(), Want.size());
  for (const auto &Row : Got) EXPECT_NE(Row.State, 2) << Row.Dir << Row.Name;
  EXPECT_TRUE(std::any_of(Got.begin(), Got.end(), [](const auto &Row) { return Row.State == 3; }));
  EXPECT_TRUE(SameRows(ReadList(List), WithoutState(Want)));
}

// Failures are not reported as success: an output that cannot be written, workers that cannot run.
TEST_F(ScanCliNet, AnOutputErrorOrNoUsableWorkerEndsWithStatusOne) {
  const std::string Args =
      Cat("'", ScanBinary(), "' --no-wsd --no-mdns --format tsv --log '", LogFile, "'");
  struct {
    const char *What, *Command, *Worker, *Says;
  } Cases[] = {
      {"a full disk", " >/dev/full", "", "the rows could not be written"},
      {"a worker that does not start", " >/dev/null", "/bin/true", "no SMB worker could run"},
  };
  for (const auto &C : Cases) {
    Strings With = Env;
    if (*C.Worker) With.push_back(std::string("SONQUARRY_SMB_WORKER=") + C.Worker);
    const TRun R = RunProgram({"/bin/sh", "-c", Args + C.Command}, With);
    EXPECT_EQ(R.Status, 1) << C.What << "\n" << R.Err;
    EXPECT_NE(R.Err.find(C.Says), std::string::npos) << C.What << "\n" << R.Err;
  }
}

} // namespace
