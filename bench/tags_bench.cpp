// Music tags over the network, on the test network: two shares of tagged files, "tagged" (MP3,
// every third with a 200 KiB picture) and "today" (FLAC, Ogg Vorbis, Opus and M4A in turn, every
// third FLAC and M4A with a 300 KiB picture), scanned by sonquarry-scan without and with --tags,
// side by side, directly and through the relay at 2 ms of round trip.
//
//   build-rel/bench/tags_bench [--dir DIR] [--keep]      (SQ_BENCH_FILES: files a share, default
//                                                         2000; SQ_BENCH_RUNS, default 3)
//
// Starts a test network of its own in DIR (default /tmp/sonquarry-bench-tags, namespaces sqtg-*)
// unless one is up there, gives SQALPHA both shares and starts the relay, and prints, for each
// share and way, best of the runs each:
// the plain scan, the tagged scan with an empty cache, and the rescan with the cache; for each the
// bytes the server read from its files and the SMB2 requests it served beyond those of the plain
// scan (Samba's own counters, smbstatus -P), per file. Then the
// cache at a million rows: the time to read them all back and the memory they take.
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "bench_testnet.h"
#include "services/tags/tag_cache.h"
#include "support/latency_relay.h"
#include "support/run_program.h"
#include "support/server_counters.h"
#include "support/testnet_env.h"

using namespace sonquarry;
using namespace sonquarry::bench;
namespace fs = std::filesystem;

namespace {

int Runs() {
  const char *N = std::getenv("SQ_BENCH_RUNS");
  return std::max(1, N && *N ? std::atoi(N) : 3);
}

long Files() {
  const char *N = std::getenv("SQ_BENCH_FILES");
  return N && *N ? std::atol(N) : 2000;
}

struct TRunFigures {
  double Seconds = 1e9;
  sonquarry::testing::TServerCounters Server; // of the fastest run
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
  auto Scan = [&](const std::string &Ip, const std::string &Share, bool Tags,
                  const std::string &CacheHome, TRunFigures &Best) {
    std::vector<std::string> Args = {sonquarry::testing::ScanBinary(),
                                     "--ip",
                                     Ip,
                                     "--allow-share",
                                     Share,
                                     "--format",
                                     "none",
                                     "--log",
                                     (Work / "search.log").string()};
    for (const char *X : {".mp3", ".flac", ".ogg", ".opus", ".m4a"})
      Args.insert(Args.end(), {"--ext", X});
    if (Tags) Args.push_back("--tags");
    const auto B0 = sonquarry::testing::ServerCounters(NetDir);
    const auto T = Clock::now();
    const int Rc =
        Run(Args, true, {"XDG_CACHE_HOME=" + CacheHome, "XDG_DATA_HOME=" + Work.string()});
    const double S = Since(T);
    if (Rc != 0) std::fprintf(stderr, "sonquarry-scan failed (%d)\n", Rc);
    if (S < Best.Seconds) Best = {S, sonquarry::testing::ServerCounters(NetDir) - B0};
  };
  sonquarry::testing::TRelayControl Relay(E);
  const auto Relayed = E.List("SQ_RELAY_IPS");
  const double N = double(Files());
  std::printf("share files: %ld files a share, best of %d runs\n", Files(), Runs());
  std::printf("%-40s %9s %8s %12s %s\n", "scan", "seconds", "x plain", "bytes/file",
              "SMB2 requests/file beyond the plain scan: create getinfo read close");
  int Case = 0;
  for (const char *Share : {"tagged", "today"}) {
    for (const double Rtt : {0.0, 2.0}) {
      if (Rtt > 0 && (Relayed.empty() || !Relay.Set(Rtt))) {
        std::fprintf(stderr, "no relay at %.0f ms\n", Rtt);
        continue;
      }
      const std::string Ip = Rtt > 0 ? Relayed[0] : E.Host("ALPHA", "IP");
      // Warm the server's caches and the programs once.
      TRunFigures Warmup;
      Scan(Ip, Share, false, (Work / "warm").string(), Warmup);
      TRunFigures Plain, Cold, Warm;
      for (int R = 0; R < Runs(); ++R) {
        const std::string Fresh = (Work / ("cache" + std::to_string(Case++))).string();
        Scan(Ip, Share, false, Fresh, Plain);
        Scan(Ip, Share, true, Fresh, Cold);
        Scan(Ip, Share, true, Fresh, Warm);
      }
      const std::string Where = std::string(Share) + (Rtt > 0 ? ", relay 2 ms" : ", direct") + ": ";
      const auto Row = [&](const char *What, const TRunFigures &F) {
        const auto D = F.Server - Plain.Server;
        std::printf("%-40s %9.3f %8.2f %12.0f %.2f %.2f %.2f %.2f\n", (Where + What).c_str(),
                    F.Seconds, F.Seconds / Plain.Seconds, double(F.Server.ReadBytes) / N,
                    double(D.Creates) / N, double(D.GetInfos) / N, double(D.Reads) / N,
                    double(D.Closes) / N);
      };
      Row("plain", Plain);
      Row("tagged, empty cache", Cold);
      Row("tagged rescan, the cache", Warm);
      std::fflush(stdout);
    }
  }
  Relay.Set(0);
  std::printf("targets: tagged within 3 x plain; 32768 bytes/file read; none on a rescan\n");
  fs::remove_all(Work);
  CacheFigures();
  return 0;
}

} // namespace

int main(int argc, char **argv) {
  return Main(
      argc, argv, "/tmp/sonquarry-bench-tags", "sqtg",
      [] {
        for (const char *Kind : {"--tagged", "--today"})
          if (const int Rc = Run({Testnet(), "bigshare", "--dir", std::getenv("SQ_BENCH_DIR"), Kind,
                                  "--files", std::to_string(Files()), "--dirs", "100", "ALPHA"},
                                 false))
            return Rc;
        return Run({Testnet(), "relay", "--dir", std::getenv("SQ_BENCH_DIR")}, false);
      },
      Body);
}
