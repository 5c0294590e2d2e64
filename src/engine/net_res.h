#pragma once
// One network resource as the network provider describes it, and the queued item that carries it.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/net/net_provider.h"

namespace sonquarry {

// The provider's numbers under the names the engine uses; the platform layer defines them once.
constexpr int32_t RESOURCEDISPLAYTYPE_GENERIC = net::NetDisplayGeneric;
constexpr int32_t RESOURCEDISPLAYTYPE_DOMAIN = net::NetDisplayDomain;
constexpr int32_t RESOURCEDISPLAYTYPE_SERVER = net::NetDisplayServer;
constexpr int32_t RESOURCEDISPLAYTYPE_SHARE = net::NetDisplayShare;
constexpr int32_t RESOURCEDISPLAYTYPE_NETWORK = net::NetDisplayNetwork;
constexpr int32_t RESOURCE_GLOBALNET = net::NetScopeGlobal;
constexpr int32_t RESOURCETYPE_DISK = net::NetTypeDisk;
constexpr int32_t RESOURCEUSAGE_CONNECTABLE = net::NetUsageConnectable;
constexpr int32_t RESOURCEUSAGE_CONTAINER = net::NetUsageContainer;

struct TNetRes {
  int32_t Scope = 0;
  int32_t ResourceType = 0;
  int32_t DisplayType = 0;
  int32_t Usage = 0;
  std::string RemoteName;
  std::string Provider;
};

// Domain name plus resource; a null NetRes stands for the root of the whole network.
struct TDomNetRes {
  std::string Domain;
  std::unique_ptr<TNetRes> NetRes;
};

// A "string list with objects" of resources: each name (the RemoteName) with its owned record.
// Whoever holds the list last releases the records, by construction.
struct TNetResItem {
  std::string Name;
  std::unique_ptr<TNetRes> Res;
};
using TNetResStrings = std::vector<TNetResItem>;

} // namespace sonquarry
