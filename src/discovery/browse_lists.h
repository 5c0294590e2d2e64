#pragma once
// The NetBIOS browse lists as the provider's levels give them: the workgroups, and each
// workgroup's servers, remembered for one round (one listing of the workgroups, once per search)
// so that a name another method announces can be checked against every list.

#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "platform/net/net_provider.h"

namespace sonquarry::discovery {

class TBrowseLists {
public:
  explicit TBrowseLists(std::shared_ptr<net::INetProvider> Provider);

  // Lists the workgroups under Network into Out and starts a new round: the servers' lists are
  // asked again when next needed.
  net::NetEnumStatus Workgroups(const net::NetResource &Network, std::vector<net::NetResource> &Out,
                                net::NetError *Error);
  // Lists the servers of Group into Out and remembers their names for the round.
  net::NetEnumStatus Servers(const net::NetResource &Group, std::vector<net::NetResource> &Out,
                             net::NetError *Error);
  // Whether Group (folded) may have a browse master to ask: the round's workgroups name it, or
  // they could not be listed.
  bool MayList(const std::string &Group) const;
  // The spelling of another workgroup than Group whose browse list names Name (both folded);
  // "" when none does.
  std::string OtherListing(const std::string &Name, const std::string &Group);

  // Folded: ASCII case ignored, as NetBIOS names are compared.
  static std::string Fold(const std::string &S);
  // The folded server name of "\\NAME" (or "\\NAME\...").
  static std::string ServerOf(const std::string &RemoteName);

private:
  // Folded names of Group's servers, asked once a round.
  std::set<std::string> Names(const std::string &Group);

  std::shared_ptr<net::INetProvider> Provider_;
  mutable std::mutex Lock_;
  std::map<std::string, std::string> Groups_; // folded -> as listed, of the last good listing
  bool Known_ = false;                        // a listing of the workgroups succeeded
  std::map<std::string, std::set<std::string>> Servers_; // folded group -> folded names
};

} // namespace sonquarry::discovery
