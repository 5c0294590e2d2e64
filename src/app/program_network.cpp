#include "app/program_network.h"

#include "discovery/mdns_discoverer.h"
#include "discovery/wsd_discoverer.h"
#include "platform/smb/smb_provider.h"

namespace sonquarry {

std::shared_ptr<TNetwork> MakeProgramNetwork() {
  return std::make_shared<TNetwork>(std::make_shared<smb::TSmbProvider>(),
                                    std::vector<std::shared_ptr<discovery::IDiscoverer>>{
                                        std::make_shared<discovery::TWsdDiscoverer>(),
                                        std::make_shared<discovery::TMdnsDiscoverer>()});
}

} // namespace sonquarry
