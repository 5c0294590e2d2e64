// A real player plays from a playlist Sonquarry wrote: VLC (with its Samba plugin) opens the
// smb:// entries, whose names hold spaces, "#", "%", "&" and non-ASCII letters, and decodes them.

#include "paths/wnet_tree.h"
#include "support/recording_prompts.h"
#include "support/run_program.h"
#include "support/testnet_env.h"
#include "ui/export/playlist.h"

#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <unistd.h>

using namespace sonquarry;
using sonquarry::testing::RunProgram;
using sonquarry::testing::TRun;
namespace fs = std::filesystem;

namespace {

// Two seconds of silent MPEG-1 layer III (128 kbit/s, 44.1 kHz, mono): frames whose side
// information is all zero decode to silence in every decoder.
std::string SilentMp3() {
  std::string frame(417, '\0');
  frame[0] = char(0xFF);
  frame[1] = char(0xFB);
  frame[2] = char(0x90);
  frame[3] = char(0xC0);
  std::string out;
  for (int i = 0; i < 77; ++i) out += frame;
  return out;
}

size_t Count(const std::string &Text, const std::string &What) {
  size_t n = 0;
  for (auto p = Text.find(What); p != std::string::npos; p = Text.find(What, p + 1)) ++n;
  return n;
}

} // namespace

TEST(PlaylistVlcNet, VlcDecodesEveryEntryOfOurPlaylist) {
  if (::access("/usr/bin/cvlc", X_OK) != 0) GTEST_SKIP() << "VLC is not installed";
  const sonquarry::testing::Env e = sonquarry::testing::Env::Load();
  const std::string alpha = e.Host("ALPHA", "NAME");
  const std::string dirName = "vlc #1 50% Größe";
  const fs::path shareDir = fs::path(e.Get("SQ_TESTNET_DIR")) / "shares/alpha/music" / dirName;
  const std::vector<std::string> names = {"Ärger & Öl #2 100%.mp3", "plain name.mp3",
                                          "ünï 5% #3.mp3"};
  struct TCleanup {
    fs::path A, B;
    ~TCleanup() {
      fs::remove_all(A);
      fs::remove_all(B);
    }
  } cleanup{shareDir, fs::temp_directory_path() / ("sqvlc-" + std::to_string(::getpid()))};
  const fs::path home = cleanup.B;
  fs::create_directories(shareDir);
  fs::create_directories(home / ".smb");
  for (const auto &n : names) std::ofstream(shareDir / n, std::ios::binary) << SilentMp3();
  const auto everyone = fs::perms::owner_all | fs::perms::group_all | fs::perms::others_all;
  for (const auto &p : fs::recursive_directory_iterator(shareDir))
    fs::permissions(p.path(), fs::perms::others_read, fs::perm_options::add);
  fs::permissions(shareDir, everyone);
  fs::copy_file(e.Get("SQ_CLIENT_CONF"), home / ".smb/smb.conf");
  for (const auto &p : fs::recursive_directory_iterator(home)) fs::permissions(p.path(), everyone);
  fs::permissions(home, everyone);

  sonquarry::testing::TPromptsScope prompts;
  TWNetTree tree;
  for (const auto &n : names) tree.AddFile("SQGROUP1", "\\\\" + alpha + "\\music\\" + dirName, n);
  const std::string playlist = (home / "sonquarry.m3u").string();
  ASSERT_TRUE(WritePlayList(playlist, tree, {{0, tree.Count() - 1}}));

  // VLC refuses to run as root: it runs as nobody, with the client's smb.conf.
  const std::string out = (home / "decoded.raw").string();
  const TRun r = RunProgram({"setpriv",
                             "--reuid",
                             "nobody",
                             "--regid",
                             "nogroup",
                             "--clear-groups",
                             "env",
                             "HOME=" + home.string(),
                             "cvlc",
                             "-I",
                             "dummy",
                             "--no-video",
                             "--aout",
                             "afile",
                             "--audiofile-file",
                             out,
                             "--no-metadata-network-access",
                             "--play-and-exit",
                             "-vv",
                             playlist},
                            {}, nullptr, 120000);
  const std::string &log = r.Err;
  // Every entry was opened through VLC's smb access and handed to the mp3 decoder.
  for (int i = 0; i < tree.Count(); ++i) {
    const std::string url = PlayListLine(tree, i);
    EXPECT_NE(log.find("`" + url + "' successfully opened"), std::string::npos) << url << "\n"
                                                                                << log;
  }
  EXPECT_GE(Count(log, "using access module \"smb\""), names.size()) << log;
  EXPECT_EQ(Count(log, "using audio decoder module \"mpg123\""), names.size()) << log;
  EXPECT_EQ(log.find("smb access error"), std::string::npos) << log;
  EXPECT_GT(fs::exists(out) ? fs::file_size(out) : 0, 100000u); // decoded samples were written
}
