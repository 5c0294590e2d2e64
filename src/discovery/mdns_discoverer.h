#pragma once
// The computers that announce SMB by multicast DNS (Macs, NAS boxes, Linux with Samba), through
// the system's avahi-daemon. A computer that only mDNS finds has no workgroup of its own: it is
// listed under LocalWorkgroup unless another method lists the same name.

#include <functional>

#include "discovery/discoverer.h"
#include "platform/mdns/dns_sd.h"

namespace sonquarry::discovery {

// The mDNS domain, as the neighbourhood shows it.
inline constexpr const char *LocalWorkgroup = "LOCAL";

class TMdnsDiscoverer final : public IDiscoverer {
public:
  using TBrowse = std::function<mdns::BrowseResult()>;
  // Browse: the browse to run (none: mdns::BrowseSmb with its default options).
  explicit TMdnsDiscoverer(TBrowse Browse = nullptr);

  TMethod Method() const override { return TMethod::Mdns; }
  std::string Name() const override { return "mDNS"; }
  std::vector<FoundComputer> Discover() override;

private:
  TBrowse Browse_;
};

} // namespace sonquarry::discovery
