#pragma once
// P with the computers that WS-Discovery finds merged in, as a search with the setting on sees it.

#include <memory>

#include "discovery/neighbourhood.h"
#include "discovery/wsd_discoverer.h"

namespace sonquarry::testing {

inline std::shared_ptr<net::INetProvider> WithWsDiscovery(std::shared_ptr<net::INetProvider> P) {
  return std::make_shared<discovery::TNeighbourhood>(
      std::move(P), std::vector<std::shared_ptr<discovery::IDiscoverer>>{
                        std::make_shared<discovery::TWsdDiscoverer>()});
}

} // namespace sonquarry::testing
