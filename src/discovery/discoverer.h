#pragma once
// One way of finding computers beside the browse lists. A discoverer asks the network who is
// there and answers with names and addresses; TNeighbourhood (neighbourhood.h) merges every
// answer into the provider's levels. The IP sweep (ip_sweep.h) answers per address instead, in
// the order an IP scan's threads take them.

#include <cstdint>
#include <string>
#include <vector>

namespace sonquarry::discovery {

// A computer as a discoverer found it.
struct FoundComputer {
  std::string Name;      // as it announces itself
  std::string Workgroup; // its workgroup or domain; "" when it names none (it is not listed)
  uint32_t Address = 0;  // the IPv4 address that answered, host order
  // Workgroup is the discoverer's own ("LOCAL" of mDNS), not one the computer joined: a browse
  // list or an earlier discoverer that names the computer lists it in theirs instead.
  bool OwnGroup = false;
};

// The methods a program may let join the neighbourhood.
enum class TMethod { WsDiscovery, Mdns };

class IDiscoverer {
public:
  virtual ~IDiscoverer() = default;
  virtual TMethod Method() const = 0;
  // For the log: "WS-Discovery", "mDNS".
  virtual std::string Name() const = 0;
  // Asks the network once, within a bounded time of its own; called on a search's thread.
  virtual std::vector<FoundComputer> Discover() = 0;
};

} // namespace sonquarry::discovery
