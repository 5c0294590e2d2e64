// The copier against smbclient: 200 MB (four files of 50 MB) from a server of the test network,
// read over SMB by Sonquarry's copier and by `smbclient -c 'get ...'`, best of three rounds each.

#include "bench_testnet.h"
#include "platform/smb/smb_provider.h"
#include "services/copier/file_copier.h"
#include "services/copier/net_copy_source.h"
#include "support/test_support.h"
#include "support/testnet_env.h"

#include <fstream>

using namespace sonquarry;
using namespace sonquarry::bench;
using sonquarry::testing::ReadAll;
namespace fs = std::filesystem;

namespace {

constexpr int Files = 4;
constexpr size_t FileSize = size_t(50) << 20;

int Body() {
  const sonquarry::testing::Env e = sonquarry::testing::Env::Load();
  const std::string alpha = e.Host("ALPHA", "NAME");
  const fs::path shareDir = fs::path(e.Get("SQ_TESTNET_DIR")) / "shares/alpha/music/copy bench";
  const fs::path dest =
      fs::temp_directory_path() / ("sonquarry-copy-bench-" + std::to_string(getpid()));
  struct TCleanup {
    fs::path A, B;
    ~TCleanup() {
      fs::remove_all(A);
      fs::remove_all(B);
    }
  } cleanup{shareDir, dest};
  fs::create_directories(shareDir);
  fs::permissions(shareDir, fs::perms::others_read | fs::perms::others_exec, fs::perm_options::add);
  std::vector<std::string> sources;
  std::string gets = "cd \"copy bench\"";
  std::string block(1 << 20, '\0');
  for (int i = 0; i < Files; ++i) {
    const std::string name = "part " + std::to_string(i) + ".mp3";
    std::ofstream out(shareDir / name, std::ios::binary);
    for (size_t done = 0; done < FileSize; done += block.size()) {
      for (size_t k = 0; k < block.size(); k += 4096) block[k] = char(done + k + i);
      out.write(block.data(), std::streamsize(block.size()));
    }
    out.close();
    fs::permissions(shareDir / name, fs::perms::others_read, fs::perm_options::add);
    sources.push_back("\\\\" + alpha + "\\music\\copy bench\\" + name);
    gets += "; get \"" + name + "\" \"" + (dest / "smbclient" / name).string() + "\"";
  }
  const double mb = double(Files) * double(FileSize) / 1e6;
  double ours = 1e9, theirs = 1e9;
  for (int round = 0; round < 3; ++round) {
    fs::remove_all(dest);
    fs::create_directories(dest / "ours");
    fs::create_directories(dest / "smbclient");
    auto source = copier::MakeNetCopySource(std::make_shared<smb::TSmbProvider>());
    copier::TFileCopier copier(*source);
    auto t = Clock::now();
    const int r = copier.Copy(sources, (dest / "ours").string());
    const double s = Since(t);
    if (r != 0) {
      std::fprintf(stderr, "copy failed: %s\n", copier.Error.c_str());
      return 1;
    }
    ours = std::min(ours, s);
    int status = 0;
    const double c = Timed({"smbclient", "//" + alpha + "/music", "-N", "-c", gets}, &status);
    if (status != 0 || !fs::exists(dest / "smbclient" / "part 3.mp3")) {
      std::fprintf(stderr, "smbclient failed (%d)\n", status);
      return 1;
    }
    theirs = std::min(theirs, c);
    // A fast copy of the wrong bytes is no copy.
    for (int i = 0; i < Files; ++i) {
      const std::string name = "part " + std::to_string(i) + ".mp3";
      if (ReadAll(dest / "ours" / name) != ReadAll(dest / "smbclient" / name)) {
        std::fprintf(stderr, "copy of %s differs from smbclient's\n", name.c_str());
        return 1;
      }
    }
  }
  std::printf("copier, %.0f MB in %d files: %.2f s, %.0f MB/s\n", mb, Files, ours, mb / ours);
  std::printf("smbclient get, the same files: %.2f s, %.0f MB/s\n", theirs, mb / theirs);
  std::printf("copier / smbclient throughput: %.2fx\n", theirs / ours);
  return 0;
}

} // namespace

int main(int argc, char **argv) {
  return Main(argc, argv, "/tmp/sonquarry-bench-copy", "sqbc", nullptr, Body);
}
