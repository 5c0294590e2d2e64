#include "discovery/wsd_discoverer.h"

namespace sonquarry::discovery {

TWsdDiscoverer::TWsdDiscoverer(TProbe Probe)
    : Probe_(Probe ? std::move(Probe) : [] { return wsd::DiscoverComputers(); }) {}

std::vector<FoundComputer> TWsdDiscoverer::Discover() {
  std::vector<FoundComputer> Out;
  for (auto &C : Probe_()) Out.push_back({std::move(C.Name), std::move(C.Workgroup), C.Address});
  return Out;
}

} // namespace sonquarry::discovery
