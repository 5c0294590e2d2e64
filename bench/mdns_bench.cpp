// What mDNS (through the client's avahi-daemon) adds to a neighbourhood scan of the test network.
//
//   build/bench/mdns_bench [--dir DIR] [--keep]
//
// Starts a test network of its own in DIR (default /tmp/sonquarry-bench-mdns, namespaces sqbm-*)
// unless one is up there, and prints: the browse alone (the first, then the best of five), and
// the best of five whole neighbourhood scans through the engine with no discoverer, with mDNS,
// with WS-Discovery and with both. (libdbus reads the bus's address once a process, so the case
// without avahi-daemon is timed with sonquarry-scan instead.)
#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "bench_testnet.h"
#include "discovery/mdns_discoverer.h"
#include "discovery/neighbourhood.h"
#include "discovery/wsd_discoverer.h"
#include "platform/mdns/dns_sd.h"
#include "platform/os/diag.h"
#include "platform/smb/smb_provider.h"

using namespace sonquarry;
using namespace sonquarry::bench;

namespace {

constexpr int Runs = 5;

int Body() {
  platform::SetDiagnosticSink([](platform::TDiagLevel, const std::string &) {});
  std::size_t Found = 0;
  auto T = Clock::now();
  Found = mdns::BrowseSmb().Services.size();
  std::printf("browse, first: %.3f s (%zu services)\n", Since(T), Found);
  const double Browse = Best(Runs, [&] { Found = mdns::BrowseSmb().Services.size(); });
  std::printf("browse, best of %d: %.3f s (%zu services)\n", Runs, Browse, Found);

  auto Smb = std::make_shared<smb::TSmbProvider>();
  const auto With = [&](bool Wsd, bool Mdns) -> std::shared_ptr<net::INetProvider> {
    std::vector<std::shared_ptr<discovery::IDiscoverer>> D;
    if (Wsd) D.push_back(std::make_shared<discovery::TWsdDiscoverer>());
    if (Mdns) D.push_back(std::make_shared<discovery::TMdnsDiscoverer>());
    if (D.empty()) return Smb;
    return std::make_shared<discovery::TNeighbourhood>(Smb, std::move(D));
  };
  struct {
    const char *What;
    bool Wsd, Mdns;
    double Best = 1e9;
    int Comps = 0;
  } Cases[] = {{"browse lists alone", false, false},
               {"with mDNS", false, true},
               {"with WS-Discovery", true, false},
               {"with WS-Discovery and mDNS", true, true}};
  // Interleaved, so that the machine's load falls on every case alike.
  for (int I = 0; I < Runs; ++I)
    for (auto &C : Cases) {
      const TScanResult R = EngineScan([&](TNetScan &S) {
        S.NetBios = true;
        S.Provider = With(C.Wsd, C.Mdns);
      });
      C.Best = std::min(C.Best, R.Seconds);
      C.Comps = int(R.ScannedComps);
    }
  for (auto &C : Cases)
    std::printf("neighbourhood scan, %s: %.3f s (%d computers)\n", C.What, C.Best, C.Comps);
  return 0;
}

} // namespace

int main(int argc, char **argv) {
  return Main(argc, argv, "/tmp/sonquarry-bench-mdns", "sqbm", nullptr, Body);
}
