// An IP-mode scan of the whole test subnet against nmap's connect scan of port 139.
//
//   build/bench/ip_scan_bench [--dir DIR] [--keep]
//
// Starts a test network of its own in DIR (default /tmp/sonquarry-bench-ip, namespaces sqbi-*)
// unless one is up there, and prints, best of three runs each: the engine's scan of the /24
// (default settings: 16 threads, 500 ms probe time-out; the shares of the four servers walked),
// the same with every share denied (probing and share lists only), the full scan with 64
// threads, and
// `nmap -sT -Pn -p139 --open` on the subnet, with the ratios.
#include <algorithm>
#include <cstdio>
#include <string>

#include "bench_testnet.h"
#include "integration/testnet_env.h"

using namespace sonquarry;
using namespace sonquarry::bench;

namespace {

constexpr int Runs = 3;

TScanResult EngineSubnet(const std::string &Subnet, bool Walk, int Threads = 16) {
  const uint32_t Net = StrIP(Subnet.substr(0, Subnet.find('/')));
  return EngineScan([&](TNetScan &S) {
    S.NetBios = false;
    S.MaxThreadCount = Threads;
    S.AddIPRange(Net, Net + 255);
    if (!Walk) S.Filter.DeniedRes = {"*"};
  });
}

int Body() {
  const testnet::Env E = testnet::Env::Load();
  const std::string Subnet = E.Get("SQ_SUBNET");
  double Full = 1e9, Probe = 1e9, Wide = 1e9, Nmap = 1e9;
  TScanResult Last;
  for (int R = 0; R < Runs; ++R) {
    Last = EngineSubnet(Subnet, true);
    Full = std::min(Full, Last.Seconds);
    Probe = std::min(Probe, EngineSubnet(Subnet, false).Seconds);
    Wide = std::min(Wide, EngineSubnet(Subnet, true, 64).Seconds);
    int Status = 0;
    Nmap = std::min(Nmap, Timed({"nmap", "-sT", "-Pn", "-p139", "--open", "-n", Subnet}, &Status));
    if (Status != 0) std::fprintf(stderr, "nmap failed (%d)\n", Status);
  }
  std::printf("addresses: 256 addresses\n");
  std::printf("engine computers found: %d computers\n", Last.ScannedComps);
  std::printf("engine music files found: %ld files\n", Last.Files);
  std::printf("engine subnet scan with shares walked: %.3f s\n", Full);
  std::printf("engine subnet probe and share lists only: %.3f s\n", Probe);
  std::printf("engine subnet scan with 64 threads: %.3f s\n", Wide);
  std::printf("nmap -sT -Pn -p139 --open: %.3f s\n", Nmap);
  std::printf("engine full scan / nmap: %.2f x\n", Full / Nmap);
  std::printf("engine probe only / nmap: %.2f x\n", Probe / Nmap);
  std::printf("engine 64 threads / nmap: %.2f x\n", Wide / Nmap);
  return 0;
}

} // namespace

int main(int argc, char **argv) {
  return Main(argc, argv, "/tmp/sonquarry-bench-ip", "sqbi", nullptr, Body);
}
