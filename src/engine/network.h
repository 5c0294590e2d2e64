#pragma once
// The network a program searches: its provider and the discoverers that may join computers to
// the provider's neighbourhood. The program puts it together (src/app); searches, the "Select
// computers" dialog, copies and tags take it from there.

#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "discovery/discoverer.h"
#include "platform/net/net_provider.h"

namespace sonquarry {

// Which discoverers a search lets join its neighbourhood.
struct DiscoveryChoice {
  bool WsDiscovery = false;
  bool Mdns = false;
};

class TNetwork {
public:
  explicit TNetwork(std::shared_ptr<net::INetProvider> Provider,
                    std::vector<std::shared_ptr<discovery::IDiscoverer>> Discoverers = {});

  // The provider as a search with Choice sees it: the chosen discoverers merged into its
  // neighbourhood; the plain provider when none is chosen. The same object for the same choice,
  // so that what a round learnt (a name's address) stays known to the files found by it.
  std::shared_ptr<net::INetProvider> Neighbourhood(const DiscoveryChoice &Choice);
  // Neighbourhood(Choice) for a search that starts now: the files that it finds are read through
  // it (Files) from now on.
  std::shared_ptr<net::INetProvider> StartSearch(const DiscoveryChoice &Choice);
  // What the list's files are read through (copies, tags): the last search's neighbourhood, the
  // plain provider before the first search.
  std::shared_ptr<net::INetProvider> Files() const;
  const std::shared_ptr<net::INetProvider> &Provider() const { return Provider_; }

private:
  const std::shared_ptr<net::INetProvider> Provider_;
  const std::vector<std::shared_ptr<discovery::IDiscoverer>> Discoverers_;
  mutable std::mutex Lock_;
  std::map<std::vector<discovery::TMethod>, std::shared_ptr<net::INetProvider>> Made_;
  std::shared_ptr<net::INetProvider> Files_;
};

} // namespace sonquarry
