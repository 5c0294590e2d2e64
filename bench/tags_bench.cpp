// Music tags over the network, on the test network: a share of tagged files (every third with a
// 200 KiB picture) scanned by sonquarry-scan without and with --tags, side by side.
//
//   build-rel/bench/tags_bench [--dir DIR] [--keep]      (SQ_BENCH_FILES: files, default 2000)
//
// Starts a test network of its own in DIR (default /tmp/sonquarry-bench-tags, namespaces sqtg-*)
// unless one is up there, gives SQALPHA the share "tagged", and prints, best of three runs each:
// the plain scan, the tagged scan with an empty cache, and the rescan with the cache; for each the
// bytes the server read from its files (Samba's own counters, smbstatus -P) per file. Then the
// cache at a million rows: the time to read them all back and the memory they take.
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "bench_testnet.h"
#include "platform/tags/tag_cache.h"
#include "support/run_program.h"
#include "support/testnet_env.h"

using namespace sonquarry;
using namespace sonquarry::bench;
namespace fs = std::filesystem;

namespace {

constexpr int Runs = 3;

long Files() {
  const char *N = std::getenv("SQ_BENCH_FILES");
  return N && *N ? std::atol(N) : 2000;
}

// What SQALPHA's smbd processes have read from files so far (pread, synchronous or not).
long long ServerReadBytes(const std::string &NetDir) {
  const auto R =
      sonquarry::testing::RunProgram({"smbstatus", "-P", "-s", NetDir + "/hosts/alpha/smb.conf"});
  std::istringstream In(R.Out);
  std::string Line;
  long long Sum = 0;
  while (std::getline(In, Line)) {
    const auto Colon = Line.find(':');
    if (Colon == std::string::npos) continue;
    std::string Key = Line.substr(0, Colon);
    Key.erase(std::remove(Key.begin(), Key.end(), ' '), Key.end());
    if (Key.rfind("syscall_", 0) == 0 && Key.find("read_bytes") != std::string::npos &&
        Key.find("readdir") == std::string::npos)
      Sum += std::atoll(Line.c_str() + Colon + 1);
  }
  return Sum;
}

struct TRunFigures {
  double Seconds = 1e9;
  long long Bytes = 0; // of the fastest run
};

long ResidentKiB() {
  std::FILE *F = std::fopen("/proc/self/statm", "r");
  long Pages = 0, Resident = 0;
  if (F) {
    if (std::fscanf(F, "%ld %ld", &Pages, &Resident) != 2) Resident = 0;
    std::fclose(F);
  }
  return Resident * (sysconf(_SC_PAGESIZE) / 1024);
}

void CacheFigures() {
  const fs::path Dir =
      fs::temp_directory_path() / ("sonquarry-tags-bench-" + std::to_string(getpid()));
  fs::create_directories(Dir);
  const long Rows = 1000000;
  {
    tags::TTagCache Cache((Dir / "tags.sqlite").string());
    const auto T = Clock::now();
    for (long I = 0; I < Rows; ++I)
      Cache.Put("\\\\PC" + std::to_string(I % 200) + "\\music\\artist " + std::to_string(I % 5000) +
                    "\\album " + std::to_string(I % 20000) + "\\" + std::to_string(I) +
                    " track.mp3",
                I, 1700000000 + I,
                {"Artist " + std::to_string(I % 5000), "Track " + std::to_string(I),
                 "Album " + std::to_string(I % 20000), 1990 + int(I % 30), 200});
    Cache.Flush();
    std::printf("cache: writing %ld rows: %.3f s\n", Rows, Since(T));
  }
  const long Before = ResidentKiB();
  std::vector<std::pair<std::string, tags::TTags>> Held;
  Held.reserve(std::size_t(Rows));
  const auto T = Clock::now();
  tags::TTagCache Cache((Dir / "tags.sqlite").string());
  Cache.Scan([&](const tags::TTagCache::TEntry &E) {
    Held.emplace_back(std::string(E.Path), tags::TTags{std::string(E.Artist), std::string(E.Title),
                                                       std::string(E.Album), E.Year, E.Length});
    return true;
  });
  std::printf("cache: reading %zu rows back: %.3f s\n", Held.size(), Since(T));
  std::printf("cache: file size: %.1f MB\n", double(fs::file_size(Dir / "tags.sqlite")) / 1e6);
  std::printf("cache: memory of the rows read back as strings: %.1f bytes/row\n",
              double(ResidentKiB() - Before) * 1024.0 / double(Rows));
  fs::remove_all(Dir);
}

int Body() {
  const sonquarry::testing::Env E = sonquarry::testing::Env::Load();
  const std::string NetDir = E.Get("SQ_TESTNET_DIR");
  const fs::path Work =
      fs::temp_directory_path() / ("sonquarry-tags-bench-" + std::to_string(getpid()));
  fs::create_directories(Work);
  auto Scan = [&](bool Tags, const std::string &CacheHome, TRunFigures &Best) {
    std::vector<std::string> Args = {sonquarry::testing::ScanBinary(),
                                     "--ip",
                                     E.Host("ALPHA", "IP"),
                                     "--allow-share",
                                     "tagged",
                                     "--format",
                                     "none",
                                     "--log",
                                     (Work / "search.log").string()};
    if (Tags) Args.push_back("--tags");
    const long long B0 = ServerReadBytes(NetDir);
    const auto T = Clock::now();
    const int Rc =
        Run(Args, true, {"XDG_CACHE_HOME=" + CacheHome, "XDG_DATA_HOME=" + Work.string()});
    const double S = Since(T);
    if (Rc != 0) std::fprintf(stderr, "sonquarry-scan failed (%d)\n", Rc);
    if (S < Best.Seconds) Best = {S, ServerReadBytes(NetDir) - B0};
  };
  // Warm the server's caches and the programs once.
  TRunFigures Warmup;
  Scan(false, (Work / "warm").string(), Warmup);
  TRunFigures Plain, Cold, Warm;
  for (int R = 0; R < Runs; ++R) {
    const std::string Fresh = (Work / ("cache" + std::to_string(R))).string();
    Scan(false, Fresh, Plain);
    Scan(true, Fresh, Cold);
    Scan(true, Fresh, Warm);
  }
  const double N = double(Files());
  std::printf("share files: %ld files (a third with a 200 KiB picture)\n", Files());
  std::printf("plain scan: %.3f s\n", Plain.Seconds);
  std::printf("tagged scan, empty cache: %.3f s\n", Cold.Seconds);
  std::printf("tagged / plain: %.2f x (target 3)\n", Cold.Seconds / Plain.Seconds);
  std::printf("tagged rescan with the cache: %.3f s\n", Warm.Seconds);
  std::printf("server reads, plain scan: %.0f bytes/file\n", double(Plain.Bytes) / N);
  std::printf("server reads, tagged scan: %.0f bytes/file (target 32768)\n",
              double(Cold.Bytes) / N);
  std::printf("server reads, rescan with the cache: %.0f bytes/file (target 4096)\n",
              double(Warm.Bytes) / N);
  fs::remove_all(Work);
  CacheFigures();
  return 0;
}

} // namespace

int main(int argc, char **argv) {
  return Main(
      argc, argv, "/tmp/sonquarry-bench-tags", "sqtg",
      [] {
        return Run({Testnet(), "bigshare", "--dir", std::getenv("SQ_BENCH_DIR"), "--tagged",
                    "--files", std::to_string(Files()), "--dirs", "100", "ALPHA"},
                   false);
      },
      Body);
}
