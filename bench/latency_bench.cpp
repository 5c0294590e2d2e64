// The walk of a large share over a link with round-trip time: the engine against smbclient's
// recursive listing, through the test network's relay hosts.
//
//   build/bench/latency_bench [--dir DIR] [--keep]
//
// Starts a test network of its own in DIR (default /tmp/sonquarry-bench-latency, namespaces
// sqbl-*) unless one is up there, gives three Samba hosts the large share "big" (20,000 files in
// 1,000 directories each) and starts the relay (testnet.sh relay). Then, for the servers reached
// directly and for each added round-trip time of SQ_BENCH_RTTS (ms, default "0,2,10") through
// the relay, best of SQ_BENCH_RUNS runs (default 3; one at 10 ms and more):
// - one share: the engine (16 threads) and `smbclient -c 'recurse; ls'`, and their ratio;
// - three relayed hosts (SQALPHA, SQBRAVO, SQCHARLIE) with one large share each: the engine at
// once, smbclient share after
//   share;
// - the most connections that one server had at once from the engine (counted by the relay).
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "bench_testnet.h"
#include "support/latency_relay.h"
#include "support/scan_expect.h"
#include "support/testnet_env.h"

using namespace sonquarry;
using namespace sonquarry::bench;
using sonquarry::testing::TRelayControl;

namespace {

struct TFigures {
  double Engine1 = 1e9, Smb1 = 1e9, Engine3 = 1e9, Smb3 = 1e9;
  long Found1 = 0, Found3 = 0;
  int Most1 = 0, Most3 = 0;
  long Requests1 = 0; // of the best one-share run
  double HeldMs = 0;  // the relay's real hold of a chunk, one way
};

TFigures Measure(const std::vector<std::string> &Ips, const std::string &Share, int Runs,
                 TRelayControl *Relay, double Rtt) {
  TFigures F;
  // Each engine run's connections counted apart.
  auto Fresh = [&] { return !Relay || Relay->Set(Rtt); };
  for (int R = 0; R < Runs && Fresh(); ++R) {
    TScanResult One = EngineShares({Ips[0]}, Share);
    if (Relay) {
      const auto C = Relay->Counts();
      F.Most1 = std::max(F.Most1, C.Most);
      F.HeldMs = C.HeldMs;
      if (One.Seconds < F.Engine1) F.Requests1 = C.Requests;
    }
    F.Engine1 = std::min(F.Engine1, One.Seconds);
    F.Found1 = One.Files;
    F.Smb1 = std::min(F.Smb1, SmbclientList(Ips[0], Share));
    if (Ips.size() > 1 && Fresh()) {
      TScanResult Three = EngineShares(Ips, Share);
      F.Engine3 = std::min(F.Engine3, Three.Seconds);
      F.Found3 = Three.Files;
      if (Relay) F.Most3 = std::max(F.Most3, Relay->Counts().Most);
      double Sum = 0;
      for (auto &Ip : Ips) Sum += SmbclientList(Ip, Share);
      F.Smb3 = std::min(F.Smb3, Sum);
    }
  }
  return F;
}

void PrintLoad() {
  double L[3] = {0, 0, 0};
  if (::getloadavg(L, 3) == 3) std::printf("load average: %.2f %.2f %.2f\n", L[0], L[1], L[2]);
}

// With libsmbclient a directory costs four round trips one after another (create, query, the
// query that says no more, close); the walk spreads them over the server's connections.
constexpr int RoundTripsPerDir = 4, Connections = 8;

void Print(const std::string &Where, const TFigures &F, long Want, long Dirs, bool Three,
           bool Relayed) {
  const char *W = Where.c_str();
  std::printf("%s, engine one share: %.3f s\n", W, F.Engine1);
  std::printf("%s, smbclient one share: %.3f s\n", W, F.Smb1);
  std::printf("%s, one share smbclient/engine: %.2f x\n", W, F.Smb1 / F.Engine1);
  std::printf("%s, engine one share music files found: %ld of %ld\n", W, F.Found1, Want);
  if (Relayed) {
    std::printf("%s, round trip added as measured by the relay: %.2f ms\n", W, 2 * F.HeldMs);
    const double Floor = double(Dirs) * RoundTripsPerDir * 2 * F.HeldMs / 1000 / Connections;
    std::printf("%s, floor one share (%ld directories x %d round trips / %d connections): %.3f s; "
                "engine/floor: %.2f\n",
                W, Dirs, RoundTripsPerDir, Connections, Floor, Floor > 0 ? F.Engine1 / Floor : 0);
    std::printf("%s, engine one share, most connections to the server: %d\n", W, F.Most1);
    std::printf("%s, engine one share, requests to the server: %ld (%.0f per second)\n", W,
                F.Requests1, double(F.Requests1) / F.Engine1);
  }
  if (!Three) return;
  std::printf("%s, engine three hosts: %.3f s\n", W, F.Engine3);
  std::printf("%s, smbclient three hosts one after another: %.3f s\n", W, F.Smb3);
  std::printf("%s, three hosts engine/smbclient: %.2f (of smbclient's time)\n", W,
              F.Engine3 / F.Smb3);
  std::printf("%s, engine three hosts music files found: %ld of %ld\n", W, F.Found3, 3 * Want);
  if (Relayed)
    std::printf("%s, engine three hosts, most connections to one server: %d\n", W, F.Most3);
}

int Body() {
  const sonquarry::testing::Env E = sonquarry::testing::Env::Load();
  const std::string Share = E.Get("SQ_BIG_SHARE");
  long Want = 0, Dirs = 1; // and the share's top
  for (auto &D : E.Dirs())
    if (D.host == E.Host("ALPHA", "NAME") && D.share == Share) ++Dirs;
  for (auto &F : E.Files())
    if (F.host == E.Host("ALPHA", "NAME") && F.share == Share &&
        sonquarry::testing::ExtOf(F.path) == ".mp3")
      ++Want;
  // The relay's first three hosts are those with the large share.
  std::vector<std::string> Relayed = E.List("SQ_RELAY_IPS");
  Relayed.resize(std::min<std::size_t>(Relayed.size(), BigHosts.size()));
  if (Want == 0 || Relayed.empty()) {
    std::fprintf(stderr, "no large share or no relay in this network\n");
    return 1;
  }
  const char *RunsText = std::getenv("SQ_BENCH_RUNS");
  const int Runs = std::max(1, RunsText ? std::atoi(RunsText) : 3);
  const char *RttText = std::getenv("SQ_BENCH_RTTS");
  std::vector<double> Rtts;
  {
    std::istringstream L(RttText ? RttText : "0,2,10");
    std::string T;
    while (std::getline(L, T, ',')) Rtts.push_back(std::atof(T.c_str()));
  }
  TRelayControl Relay(E);
  std::printf("runs: best of %d (one at 10 ms and more)\n", Runs);
  // Warm both sides once: library, configuration, the servers' caches.
  EngineShares({E.Host("ALPHA", "IP")}, Share);
  SmbclientList(E.Host("ALPHA", "IP"), Share);
  PrintLoad();
  Print("direct", Measure({E.Host("ALPHA", "IP")}, Share, Runs, nullptr, 0), Want, Dirs, false,
        false);
  for (const double Rtt : Rtts) {
    if (!Relay.Set(Rtt)) {
      std::fprintf(stderr, "the relay does not take %.1f ms\n", Rtt);
      return 1;
    }
    char Where[64];
    std::snprintf(Where, sizeof Where, "relay %g ms", Rtt);
    const TFigures F = Measure(Relayed, Share, Rtt >= 10 ? 1 : Runs, &Relay, Rtt);
    Print(Where, F, Want, Dirs, true, true);
    PrintLoad();
    std::fflush(stdout);
  }
  Relay.Set(0);
  return 0;
}

int Prepare() {
  if (const int Rc = PrepareBigShares()) return Rc;
  return Run({Testnet(), "relay", "--dir", std::getenv("SQ_BENCH_DIR")}, false);
}

} // namespace

int main(int argc, char **argv) {
  return Main(argc, argv, "/tmp/sonquarry-bench-latency", "sqbl", Prepare, Body);
}
