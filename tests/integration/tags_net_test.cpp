// ctest-labels: threads
// Music tags over the network: sonquarry-scan --tags against the generated files of a share,
// compared with what mutagen reads from the server's disk; the cache on a rescan (the server
// reads nothing of the files and is asked nothing about them, by its own counters), and a damaged
// cache.
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/mutagen_oracle.h"
#include "support/server_counters.h"

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

} // namespace
