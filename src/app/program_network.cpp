#include "app/program_network.h"

#include "discovery/mdns_discoverer.h"
#include "discovery/wsd_discoverer.h"

namespace sonquarry {

std::shared_ptr<TNetwork> MakeProgramNetwork(smb::SmbProviderOptions Options) {
  return std::make_shared<TNetwork>(std::make_shared<smb::TSmbProvider>(std::move(Options)),
                                    std::vector<std::shared_ptr<discovery::IDiscoverer>>{
                                        std::make_shared<discovery::TWsdDiscoverer>(),
                                        std::make_shared<discovery::TMdnsDiscoverer>()});
}

} // namespace sonquarry
