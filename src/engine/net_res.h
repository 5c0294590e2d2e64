#pragma once
// One network resource as the network provider describes it, and the queued item that carries it.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace sonquarry {

// Display types of the network provider that the engine tells apart.
constexpr int32_t RESOURCEDISPLAYTYPE_GENERIC = 0;
constexpr int32_t RESOURCEDISPLAYTYPE_DOMAIN = 1;
constexpr int32_t RESOURCEDISPLAYTYPE_SERVER = 2;
constexpr int32_t RESOURCEDISPLAYTYPE_SHARE = 3;
constexpr int32_t RESOURCEDISPLAYTYPE_NETWORK = 6;
constexpr int32_t RESOURCE_GLOBALNET = 2;
constexpr int32_t RESOURCETYPE_DISK = 1;
constexpr int32_t RESOURCEUSAGE_CONNECTABLE = 1;
constexpr int32_t RESOURCEUSAGE_CONTAINER = 2;

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
