// IP-mode scans of the test subnet and of the /20 around it against nmap's connect scan of
// port 139, with the probes made ahead of the threads ("after") and by each thread for its own
// address, as the engine did before ("before").
//
//   build/bench/ip_scan_bench [--dir DIR] [--keep]
//
// Starts a test network of its own in DIR (default /tmp/sonquarry-bench-ip, namespaces sqbi-*)
// unless one is up there, and prints, best of three runs each, for the /24 and for the /20 (of
// which only the test hosts answer; the client has no route beyond its /24, so nothing leaves
// the test network): the engine at 16 threads (the default) and at 64 threads, after and before,
// the /24 with every share denied (probes and share lists only), after and before, and
// `nmap -sT -Pn -p139 --open -n`, with the ratios.
#include <algorithm>
#include <cstdio>
#include <string>

#include "bench_testnet.h"
#include "discovery/ip_range.h"
#include "support/testnet_env.h"

using namespace sonquarry;
using namespace sonquarry::bench;

namespace {

constexpr int Runs = 3;

struct TBlock {
  std::string Cidr;
  uint32_t From, To;
};

TBlock Block(const std::string &Subnet, int Bits) {
  const uint32_t Net = StrIP(Subnet.substr(0, Subnet.find('/')));
  const uint32_t Mask = ~0u << (32 - Bits);
  return {IPToStr(Net & Mask) + "/" + std::to_string(Bits), Net & Mask, (Net & Mask) | ~Mask};
}

TScanResult Engine(const TBlock &B, int Threads, bool Before, bool Walk = true) {
  return EngineScan([&](TNetScan &S) {
    S.NetBios = false;
    S.MaxThreadCount = Threads;
    S.AddIPRange(B.From, B.To);
    if (!Walk) S.Filter.DeniedRes = {"*"};
    // Each thread probes the address it took and waits out its time-out.
    if (Before) S.Probe = [](const std::string &H, int P, int T) { return ProbeHost(H, P, T); };
  });
}

double Nmap(const TBlock &B) {
  int Status = 0;
  const double S = Timed({"nmap", "-sT", "-Pn", "-p139", "--open", "-n", B.Cidr}, &Status);
  if (Status != 0) std::fprintf(stderr, "nmap failed (%d)\n", Status);
  return S;
}

void Measure(const TBlock &B, bool ProbeOnly) {
  double After16 = 1e9, After64 = 1e9, Before16 = 1e9, Before64 = 1e9, Probe = 1e9,
         ProbeBefore = 1e9, N = 1e9;
  TScanResult Last;
  for (int R = 0; R < Runs; ++R) {
    Last = Engine(B, 16, false);
    After16 = std::min(After16, Last.Seconds);
    After64 = std::min(After64, Engine(B, 64, false).Seconds);
    Before16 = std::min(Before16, Engine(B, 16, true).Seconds);
    Before64 = std::min(Before64, Engine(B, 64, true).Seconds);
    if (ProbeOnly) {
      Probe = std::min(Probe, Engine(B, 16, false, false).Seconds);
      ProbeBefore = std::min(ProbeBefore, Engine(B, 16, true, false).Seconds);
    }
    N = std::min(N, Nmap(B));
  }
  const char *C = B.Cidr.c_str();
  std::printf("%s: %u addresses, %d computers, %ld music files found\n", C, B.To - B.From + 1,
              Last.ScannedComps, Last.Files);
  std::printf("%s engine after, 16 threads (default settings): %.3f s\n", C, After16);
  std::printf("%s engine after, 64 threads: %.3f s\n", C, After64);
  std::printf("%s engine before, 16 threads: %.3f s\n", C, Before16);
  std::printf("%s engine before, 64 threads: %.3f s\n", C, Before64);
  if (ProbeOnly) {
    std::printf("%s engine after, 16 threads, every share denied: %.3f s\n", C, Probe);
    std::printf("%s engine before, 16 threads, every share denied: %.3f s\n", C, ProbeBefore);
  }
  std::printf("%s nmap -sT -Pn -p139 --open: %.3f s\n", C, N);
  std::printf("%s engine after (16 threads) / nmap: %.2f x\n", C, After16 / N);
  std::printf("%s engine after (64 threads) / nmap: %.2f x\n", C, After64 / N);
  std::printf("%s engine before (16 threads) / nmap: %.2f x\n", C, Before16 / N);
  std::fflush(stdout);
}

int Body() {
  const sonquarry::testing::Env E = sonquarry::testing::Env::Load();
  const std::string Subnet = E.Get("SQ_SUBNET");
  // The /20 must stay inside the test network: refuse when the client has a default route.
  if (Run({"sh", "-c", "ip -4 route show default | grep -q ."}) == 0) {
    std::fprintf(stderr, "the client namespace has a default route: no /20 sweep\n");
    return 1;
  }
  Measure(Block(Subnet, 24), true);
  Measure(Block(Subnet, 20), false);
  return 0;
}

} // namespace

int main(int argc, char **argv) {
  return Main(argc, argv, "/tmp/sonquarry-bench-ip", "sqbi", nullptr, Body);
}
