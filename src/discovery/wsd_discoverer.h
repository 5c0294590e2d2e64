#pragma once
// The computers that answer a WS-Discovery probe (Windows since Vista, Samba's wsdd, NAS boxes).

#include <functional>

#include "discovery/discoverer.h"
#include "platform/wsd/ws_discovery.h"

namespace sonquarry::discovery {

class TWsdDiscoverer final : public IDiscoverer {
public:
  using TProbe = std::function<std::vector<wsd::WsdComputer>()>;
  // Probe: the probe to send (none: wsd::DiscoverComputers with its default options).
  explicit TWsdDiscoverer(TProbe Probe = nullptr);

  TMethod Method() const override { return TMethod::WsDiscovery; }
  std::string Name() const override { return "WS-Discovery"; }
  std::vector<FoundComputer> Discover() override;

private:
  TProbe Probe_;
};

} // namespace sonquarry::discovery
