// ctest-labels: threads
// Music tags over the network: sonquarry-scan --tags against the generated files of a share,
// compared with what mutagen reads from the server's disk; the cache on a rescan (the server
// reads nothing of the files and is asked nothing about them, by its own counters), a damaged
// cache, hostile files, and a parse that a slow server holds past its budget.
#include <unistd.h>

#include <csignal>
#include <functional>
#include <iostream>
#include <mutex>

#include <algorithm>
#include <atomic>
#include <thread>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/os/diag.h"
#include "platform/smb/smb_provider.h"
#include "services/tags/tag_pass.h"
#include "support/latency_relay.h"
#include "support/mutagen_oracle.h"
#include "support/server_counters.h"
#include "support/xdg_sandbox.h"

namespace fs = std::filesystem;
using sonquarry::testing::BelowShare;
using sonquarry::testing::MutagenTags;
using sonquarry::testing::RunProgram;
using sonquarry::testing::ScanBinary;
using sonquarry::testing::SplitLines;
using sonquarry::testing::SplitList;
using sonquarry::testing::TRun;
using sonquarry::testing::TTagTable;
using Strings = std::vector<std::string>;

namespace {

// The rows of --format tsv --tags, by the path below the share.
TTagTable CliTags(const std::string &Out) {
  TTagTable T;
  for (const auto &L : SplitLines(Out)) {
    const Strings F = SplitList(L, '\t');
    EXPECT_EQ(F.size(), 9u) << L;
    if (F.size() == 9) T[BelowShare(F[2] + F[0])] = Strings(F.begin() + 4, F.end());
  }
  return T;
}

struct TagsNet : ::testing::Test {
  sonquarry::testing::Env E = sonquarry::testing::Env::Load();
  fs::path Dir = fs::temp_directory_path() / ("sonquarry-tags-" + std::to_string(::getpid()));
  fs::path Share = fs::path(E.Get("SQ_TESTNET_DIR")) / "shares/alpha/music";
  fs::path Cache = Dir / "cache/sonquarry/tags.sqlite";

  TagsNet() { fs::create_directories(Dir); }
  ~TagsNet() override { fs::remove_all(Dir); }

  TRun Scan(Strings More = {"--tags"}) {
    Strings Args = {ScanBinary(),    "--ip",  E.Host("ALPHA", "IP"),
                    "--allow-share", "music", "--ext",
                    ".mp3",          "--ext", ".mp2",
                    "--ext",         ".wma",  "--format",
                    "tsv",           "--log", (Dir / "search.log").string()};
    for (const char *X : {".flac", ".ogg", ".opus", ".m4a"}) Args.insert(Args.end(), {"--ext", X});
    Args.insert(Args.end(), More.begin(), More.end());
    return RunProgram(Args, {"XDG_CACHE_HOME=" + (Dir / "cache").string(),
                             "XDG_DATA_HOME=" + (Dir / "data").string()});
  }
};

void ExpectSameTags(const TTagTable &Got, const TTagTable &Want) {
  ASSERT_EQ(Got.size(), Want.size());
  for (const auto &[Path, W] : Want) {
    const auto It = Got.find(Path);
    ASSERT_NE(It, Got.end()) << Path;
    const Strings &G = It->second;
    for (int I = 0; I < 4; ++I)
      EXPECT_EQ(G[std::size_t(I)], W[std::size_t(I)]) << Path << " field " << I;
    ASSERT_FALSE(G[4].empty()) << Path;
    EXPECT_LE(std::abs(std::stoi(G[4]) - std::stoi(W[4])), 1) << Path;
  }
}

TEST_F(TagsNet, CliTagsAreMutagensAndACacheServesTheRescanEvenAfterDamage) {
  const TTagTable Want = MutagenTags(Share);
  // Every kind the generator makes is there: tags in several encodings, none, and pictures, in
  // MPEG, ASF, FLAC, Ogg Vorbis, Opus and M4A (its moov at the front and at the end).
  ASSERT_GE(Want.size(), 26u);

  TRun R = Scan();
  ASSERT_EQ(R.Status, 0) << R.Err;
  ExpectSameTags(CliTags(R.Out), Want);
  const std::string Read = "tags of " + std::to_string(Want.size()) + " files read (";
  const auto At = R.Err.find(Read);
  ASSERT_NE(At, std::string::npos) << R.Err;
  // Pictures and audio are not fetched: on average at most 32 KiB of a file.
  EXPECT_LE(std::stoll(R.Err.substr(At + Read.size())), int64_t(Want.size()) * (32 << 10)) << R.Err;

  // Nothing changed: every tag comes from the cache, and the server reads no byte of the files.
  const std::string NetDir = E.Get("SQ_TESTNET_DIR");
  const auto Before = sonquarry::testing::ServerCounters(NetDir);
  R = Scan();
  EXPECT_EQ((sonquarry::testing::ServerCounters(NetDir) - Before).ReadBytes, 0);
  ASSERT_EQ(R.Status, 0) << R.Err;
  ExpectSameTags(CliTags(R.Out), Want);
  EXPECT_NE(R.Err.find("tags of 0 files read (0 bytes), " + std::to_string(Want.size()) +
                       " from the cache"),
            std::string::npos)
      << R.Err;
  // Nor is it asked anything about them: on one connection, the rescan costs the server what a
  // scan without tags costs.
  const auto Requests = [&](Strings More) {
    const auto At = sonquarry::testing::ServerCounters(NetDir);
    More.insert(More.end(), {"--connections", "1"});
    EXPECT_EQ(Scan(More).Status, 0);
    return sonquarry::testing::ServerCounters(NetDir) - At;
  };
  const auto Plain = Requests({}), Rescan = Requests({"--tags"});
  EXPECT_GT(Plain.Creates, 0);
  EXPECT_EQ(Rescan.Creates, Plain.Creates);
  EXPECT_EQ(Rescan.GetInfos, Plain.GetInfos);

  // A damaged cache is replaced: the files are read again.
  {
    std::ofstream Out(Cache, std::ios::binary | std::ios::trunc);
    Out << std::string(8192, '\x5a');
  }
  R = Scan();
  ASSERT_EQ(R.Status, 0) << R.Err;
  ExpectSameTags(CliTags(R.Out), Want);
  EXPECT_NE(R.Err.find("tags of " + std::to_string(Want.size()) + " files read"), std::string::npos)
      << R.Err;
}

// The largest peak resident size (VmHWM, KiB) of this process's worker children, sampled from
// /proc until Done; Limit: a worker's address-space limit ("Max address space", soft) as seen.
long SampleWorkerPeaks(const std::atomic<bool> &Done, std::string &Limit) {
  long Peak = 0;
  const std::string Me = std::to_string(::getpid());
  while (!Done) {
    for (const auto &P : fs::directory_iterator("/proc")) {
      std::ifstream In(P.path() / "status");
      std::string Line, Name;
      bool Child = false;
      long Hwm = 0;
      while (std::getline(In, Line)) {
        if (Line.rfind("Name:", 0) == 0) Name = Line;
        if (Line.rfind("PPid:", 0) == 0) Child = Line.substr(Line.find_last_of(" \t") + 1) == Me;
        if (Line.rfind("VmHWM:", 0) == 0) Hwm = std::atol(Line.c_str() + 6);
      }
      if (!Child || Name.find("sonquarry-smb") == std::string::npos) continue;
      Peak = std::max(Peak, Hwm);
      std::ifstream Limits(P.path() / "limits");
      while (std::getline(Limits, Line))
        if (Line.rfind("Max address space", 0) == 0) {
          std::istringstream Fields(Line.substr(17));
          Fields >> Limit;
        }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return Peak;
}

// A compressed title that inflates to 240 MB and a 70,000-character one, beside ordinary files:
// every file ends with its tags or without, no worker grows past 256 MiB, and the rescan reads
// none of them again.
TEST_F(TagsNet, HostileFilesCostTheirTagsAtMostAndNoWorkerGrows) {
  namespace tags = sonquarry::tags;
  sonquarry::testing::TXdgSandbox Home;
  const fs::path Disk = E.Get("SQ_HOSTILE_DIR");
  const std::string Unc = E.Get("SQ_HOSTILE_SHARE") + "\\";
  TTagTable Want = MutagenTags(Disk / "plain");
  ASSERT_EQ(Want.size(), 2u);
  const TTagTable Long = MutagenTags(Disk / "long");
  ASSERT_EQ(Long.size(), 1u);
  sonquarry::smb::SmbProviderOptions O;
  O.ConfigFile = E.Get("SQ_CLIENT_CONF");
  O.CredentialsFile = "-";
  sonquarry::smb::TSmbProvider P(O);
  tags::TTagCache Cache;
  const Strings Files = {"bomb.mp3", "long\\long title.mp3", "plain\\one.mp3", "plain\\two.mp3"};
  for (int Pass = 0; Pass < 2; ++Pass) {
    std::map<std::string, tags::TTags> Got;
    std::atomic<bool> Done{false};
    long Peak = 0;
    std::string Limit;
    std::thread Sampler([&] { Peak = SampleWorkerPeaks(Done, Limit); });
    {
      tags::TTagPass T(P, &Cache, 2,
                       [&](const tags::TTagOutcome &R) { Got[BelowShare(R.Unc)] = R.Tags; });
      std::vector<tags::TTagJob> Jobs;
      for (const auto &F : Files) Jobs.push_back({Unc + F, Jobs.size(), -1, 0});
      T.Add(std::move(Jobs));
      EXPECT_TRUE(T.Wait(300000));
      std::cout << "pass " << Pass << ": " << T.FilesRead() << " files read, " << T.FilesFromCache()
                << " from the cache\n";
      if (Pass == 1) {
        EXPECT_EQ(T.FilesRead(), 0u);
      }
    }
    Done = true;
    Sampler.join();
    std::cout << "pass " << Pass << ": worker peak " << Peak / 1024 << " MiB (VmHWM)" << std::endl;
    EXPECT_LT(Peak, 256L << 10);
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
    if (Pass == 0) {
      EXPECT_EQ(Limit, std::to_string(512L << 20)); // the worker's own, whatever the file
    }
#endif
    ASSERT_EQ(Got.size(), Files.size());
    for (const auto &[Path, W] : Want) {
      const tags::TTags &G = Got["plain/" + Path];
      EXPECT_EQ(Strings({G.Artist, G.Title, G.Album, std::to_string(G.Year)}),
                Strings(W.begin(), W.begin() + 4))
          << Path;
    }
    const std::string &Title = Long.begin()->second[1];
    EXPECT_EQ(Got["long/long title.mp3"].Title.size(), 4096u);
    EXPECT_EQ(Title.rfind(Got["long/long title.mp3"].Title, 0), 0u);
    EXPECT_EQ(Got["bomb.mp3"].Artist, "Bomb Artist");
    EXPECT_EQ(Got["bomb.mp3"].Title, "");
  }
}

// The provider, with the tag reads of one file counted and the last one timed.
class TTimedTags final : public sonquarry::net::INetProvider {
public:
  TTimedTags(sonquarry::net::INetProvider &P, std::string Unc) : P_(P), Unc_(std::move(Unc)) {}
  sonquarry::net::NetEnumStatus EnumResources(const sonquarry::net::NetResource *C,
                                              std::vector<sonquarry::net::NetResource> &Out,
                                              sonquarry::net::NetError *E) override {
    return P_.EnumResources(C, Out, E);
  }
  bool FindFiles(const std::string &Dir, std::vector<sonquarry::net::DirEntry> &Out,
                 sonquarry::net::NetError *E) override {
    return P_.FindFiles(Dir, Out, E);
  }
  bool StatFile(const std::string &Unc, sonquarry::net::FileStat &Out,
                sonquarry::net::NetError *E) override {
    return P_.StatFile(Unc, Out, E);
  }
  bool ReadTags(const std::string &Unc, int64_t Size, const sonquarry::net::TagBudget &B,
                sonquarry::net::TagReading &Out, sonquarry::net::NetError *E) override {
    const auto T0 = std::chrono::steady_clock::now();
    const bool R = P_.ReadTags(Unc, Size, B, Out, E);
    if (Unc != Unc_) return R;
    ++Reads;
    Ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - T0)
            .count();
    return R;
  }
  std::atomic<int> Reads{0};
  std::atomic<long> Ms{-1};

private:
  sonquarry::net::INetProvider &P_;
  const std::string Unc_;
};

// A parse held past its time budget: the server sends the file's bytes at 1 KB/s (the relay to
// ALPHA, throttled) and libsmbclient may wait a minute, so only the watchdog ends the read of its
// first 16 KiB. The worker ends by SIGALRM, the other files are read meanwhile, and the file is
// kept as unreadable: not read again until it changes, then read whole.
TEST_F(TagsNet, AParseHeldPastItsBudgetEndsItsWorkerAndIsNotReadAgainUntilItChanges) {
  namespace tags = sonquarry::tags;
  sonquarry::testing::TXdgSandbox Home;
  const fs::path Disk = E.Get("SQ_HOSTILE_DIR");
  const fs::path Slow = Disk / "watchdog/held.mp3";
  fs::create_directories(Slow.parent_path());
  fs::permissions(Slow.parent_path(), fs::perms::others_read | fs::perms::others_exec,
                  fs::perm_options::add);
  fs::copy_file(Disk / "plain/one.mp3", Slow, fs::copy_options::overwrite_existing);
  fs::permissions(Slow, fs::perms::others_read, fs::perm_options::add);
  const TTagTable Want = MutagenTags(Disk / "plain");
  ASSERT_EQ(Want.size(), 2u);
  const sonquarry::testing::TRelayHost Up(E.Get("SQ_TESTNET_DIR"), 0);
  ASSERT_TRUE(Up.Up);
  const std::string Ns = "ip netns exec " + E.Get("SQ_PREFIX") + "-relay ";
  const auto Throttle = [&](bool On) {
    return std::system((Ns + (On ? "tc qdisc replace dev eth0 root tbf rate 8kbit burst 1600 "
                                   "latency 60s"
                                 : "tc qdisc del dev eth0 root 2>/dev/null"))
                           .c_str());
  };
  std::mutex Lock;
  std::vector<std::string> Ended; // the diagnostic lines of workers that ended
  sonquarry::platform::TDiagnosticSink Old;
  struct TCleanUp {
    std::function<void()> F;
    ~TCleanUp() { F(); }
  } CleanUp{[&] {
    sonquarry::platform::SetDiagnosticSink(Old);
    Throttle(false);
    fs::remove_all(Slow.parent_path());
  }};
  Old = sonquarry::platform::SetDiagnosticSink(
      [&](sonquarry::platform::TDiagLevel, const std::string &L) {
        std::lock_guard<std::mutex> G(Lock);
        if (L.find("SMB worker") != std::string::npos) Ended.push_back(L);
      });
  sonquarry::smb::SmbProviderOptions O;
  O.ConfigFile = E.Get("SQ_CLIENT_CONF");
  O.CredentialsFile = "-";
  O.TimeOutMs = 60000;
  sonquarry::smb::TSmbProvider Smb(O);
  tags::TTagCache Cache;
  tags::TTagLimits Budget;
  Budget.MaxTime = std::chrono::milliseconds(1000); // the watchdog at 1 + 5 s
  const std::string Relay = E.Get("SQ_RELAY_IPS").substr(0, E.Get("SQ_RELAY_IPS").find(','));
  const std::string Share = E.Get("SQ_HOSTILE_SHARE");
  const std::string SlowUnc =
      "\\\\" + Relay + Share.substr(Share.find('\\', 2)) + "\\watchdog\\held.mp3";
  const Strings Uncs = {SlowUnc, Share + "\\plain\\one.mp3", Share + "\\plain\\two.mp3"};
  TTimedTags P(Smb, SlowUnc);
  const auto Pass = [&](std::size_t WantRead) {
    std::map<std::string, tags::TTagOutcome> Got;
    P.Ms = -1;
    {
      tags::TTagPass T(
          P, &Cache, 2,
          [&](const tags::TTagOutcome &R) {
            std::lock_guard<std::mutex> G(Lock);
            Got[BelowShare(R.Unc)] = R;
          },
          Budget);
      std::vector<tags::TTagJob> Jobs;
      for (const auto &U : Uncs) Jobs.push_back({U, Jobs.size(), -1, 0});
      T.Add(std::move(Jobs));
      EXPECT_TRUE(T.Wait(300000));
      EXPECT_EQ(T.FilesRead(), WantRead);
    }
    if (P.Ms >= 0)
      std::cout << "the tag read of held.mp3 took " << P.Ms
                << " ms, its open included (budget 1000 ms, watchdog at 6 s)" << std::endl;
    EXPECT_EQ(Got.size(), Uncs.size());
    for (const auto &[Path, W] : Want) {
      const tags::TTags &G = Got["plain/" + Path].Tags;
      EXPECT_EQ(Strings({G.Artist, G.Title, G.Album, std::to_string(G.Year)}),
                Strings(W.begin(), W.begin() + 4))
          << Path;
    }
    return Got["watchdog/held.mp3"];
  };

  ASSERT_EQ(Throttle(true), 0);
  const tags::TTagOutcome Held = Pass(2);
  EXPECT_FALSE(Held.Ok);
  EXPECT_EQ(Held.Tags, tags::TTags{});
  {
    std::lock_guard<std::mutex> G(Lock);
    ASSERT_EQ(Ended.size(), 1u);
    // SIGALRM: the watchdog, not the link, the memory limit or the program's own bound.
    EXPECT_NE(Ended[0].find("signal " + std::to_string(SIGALRM)), std::string::npos) << Ended[0];
    EXPECT_NE(Ended[0].find(SlowUnc), std::string::npos) << Ended[0];
  }
  EXPECT_EQ(P.Reads, 1);

  // As it was, on a link at full speed now: kept without tags, not read, no byte of it fetched.
  ASSERT_EQ(Throttle(false), 0);
  const std::string NetDir = E.Get("SQ_TESTNET_DIR");
  const auto Before = sonquarry::testing::ServerCounters(NetDir);
  const tags::TTagOutcome Kept = Pass(0);
  EXPECT_TRUE(Kept.Ok);
  EXPECT_EQ(Kept.Tags, tags::TTags{});
  EXPECT_EQ(P.Reads, 1);
  EXPECT_EQ((sonquarry::testing::ServerCounters(NetDir) - Before).ReadBytes, 0);

  // Changed, by its size (a new time alone was now and then not seen yet by the rescan's look at
  // it): read again, whole.
  std::ofstream(Slow, std::ios::app).put('\0');
  const tags::TTagOutcome Again = Pass(1);
  EXPECT_EQ(P.Reads, 2);
  const TTagTable Changed = MutagenTags(Slow.parent_path());
  ASSERT_EQ(Changed.size(), 1u);
  const auto &W = Changed.begin()->second;
  EXPECT_TRUE(Again.Ok);
  EXPECT_EQ(Strings({Again.Tags.Artist, Again.Tags.Title, Again.Tags.Album,
                     std::to_string(Again.Tags.Year)}),
            Strings(W.begin(), W.begin() + 4));
  std::lock_guard<std::mutex> G(Lock);
  EXPECT_EQ(Ended.size(), 1u);
}

} // namespace
