// What WS-Discovery adds to a neighbourhood scan of the test network.
//
//   build/bench/wsd_bench [--dir DIR] [--keep]
//
// Starts a test network of its own in DIR (default /tmp/sonquarry-bench-wsd, namespaces sqbw-*)
// unless one is up there, and prints, best of five runs each: the discovery alone, the listing of
// the provider's workgroups from the browse list alone and with the discovery beside it, and a
// whole neighbourhood scan through the engine without and with WS-Discovery.
#include <algorithm>
#include <cstdio>
#include <memory>
#include <vector>

#include "bench_testnet.h"
#include "engine/network.h"
#include "platform/smb/smb_provider.h"
#include "support/wsd_neighbourhood.h"

using namespace sonquarry;
using namespace sonquarry::bench;

namespace {

constexpr int Runs = 5;

double Workgroups(net::INetProvider &P, std::size_t &Count) {
  return Best(Runs, [&] {
    net::NetResource Top;
    Top.DisplayType = net::NetDisplayNetwork;
    Top.RemoteName = smb::TSmbProvider::ProviderName;
    std::vector<net::NetResource> Out;
    P.EnumResources(&Top, Out);
    Count = Out.size();
  });
}

int Body() {
  std::size_t Found = 0;
  const double Discovery = Best(Runs, [&] { Found = wsd::DiscoverComputers().size(); });
  std::printf("discovery alone: %.3f s (%zu computers)\n", Discovery, Found);

  auto Smb = std::make_shared<smb::TSmbProvider>();
  std::size_t Plain = 0, Merged = 0;
  const double Browse = Workgroups(*Smb, Plain);
  const double Both = Workgroups(*sonquarry::testing::WithWsDiscovery(Smb), Merged);
  std::printf("workgroups, browse list: %.3f s (%zu)\n", Browse, Plain);
  std::printf("workgroups, browse list with WS-Discovery beside it: %.3f s (%zu)\n", Both, Merged);
  std::printf("added to the workgroup listing: %.3f s\n", std::max(0.0, Both - Browse));

  double Scan[2] = {1e9, 1e9};
  int32_t Comps[2] = {0, 0};
  for (int I = 0; I < 2 * Runs; ++I) {
    const bool On = I % 2 == 1;
    const TScanResult R = EngineScan([&](TNetScan &S) {
      S.NetBios = true;
      S.Provider = On ? sonquarry::testing::WithWsDiscovery(Smb) : Smb;
    });
    Scan[On] = std::min(Scan[On], R.Seconds);
    Comps[On] = R.ScannedComps;
  }
  std::printf("neighbourhood scan without WS-Discovery: %.3f s (%d computers)\n", Scan[0],
              int(Comps[0]));
  std::printf("neighbourhood scan with WS-Discovery: %.3f s (%d computers)\n", Scan[1],
              int(Comps[1]));
  return 0;
}

} // namespace

int main(int argc, char **argv) {
  return Main(argc, argv, "/tmp/sonquarry-bench-wsd", "sqbw", nullptr, Body);
}
