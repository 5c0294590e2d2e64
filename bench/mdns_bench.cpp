// What mDNS (through the client's avahi-daemon) adds to a neighbourhood scan of the test network.
//
//   build/bench/mdns_bench [--dir DIR] [--keep]
//
// Starts a test network of its own in DIR (default /tmp/sonquarry-bench-mdns, namespaces sqbm-*)
// unless one is up there, and prints, best of five runs each: the browse alone (with and without
// avahi-daemon), and a whole neighbourhood scan through the engine with no discoverer, with
// WS-Discovery, with mDNS, with both, and with mDNS while no avahi-daemon answers.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
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

template <class F> double Best(F &&Body) {
  double B = 1e9;
  for (int I = 0; I < Runs; ++I) {
    const auto T = Clock::now();
    Body();
    B = std::min(B, Since(T));
  }
  return B;
}

// Runs Body with no avahi-daemon to be found.
template <class F> auto WithoutDaemon(F &&Body) {
  const char *Was = std::getenv("DBUS_SYSTEM_BUS_ADDRESS");
  const std::string Saved = Was ? Was : "";
  ::setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/sonquarry-bench-bus", 1);
  auto R = Body();
  if (Was)
    ::setenv("DBUS_SYSTEM_BUS_ADDRESS", Saved.c_str(), 1);
  else
    ::unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
  return R;
}

int Body() {
  platform::SetDiagnosticSink([](platform::TDiagLevel, const std::string &) {});
  std::size_t Found = 0;
  auto T = Clock::now();
  Found = mdns::BrowseSmb().Services.size();
  std::printf("browse, first: %.3f s (%zu services)\n", Since(T), Found);
  const double Browse = Best([&] { Found = mdns::BrowseSmb().Services.size(); });
  std::printf("browse, best of %d: %.3f s (%zu services)\n", Runs, Browse, Found);
  const double NoDaemon =
      WithoutDaemon([&] { return Best([&] { Found = mdns::BrowseSmb().Services.size(); }); });
  std::printf("browse without avahi-daemon: %.3f s (%zu services)\n", NoDaemon, Found);

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
    bool Wsd, Mdns, NoDaemon;
    double Best = 1e9;
    int Comps = 0;
  } Cases[] = {{"browse lists alone", false, false, false},
               {"with mDNS", false, true, false},
               {"with WS-Discovery", true, false, false},
               {"with WS-Discovery and mDNS", true, true, false},
               {"with mDNS, no avahi-daemon", false, true, true}};
  // Interleaved, so that the machine's load falls on every case alike.
  for (int I = 0; I < Runs; ++I)
    for (auto &C : Cases) {
      const auto Run = [&] {
        return EngineScan([&](TNetScan &S) {
          S.NetBios = true;
          S.Provider = With(C.Wsd, C.Mdns);
        });
      };
      const TScanResult R = C.NoDaemon ? WithoutDaemon(Run) : Run();
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
