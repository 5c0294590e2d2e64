#include "app/program_network.h"

#include "platform/net/wnet_provider.h"

namespace sonquarry {

// Windows: the system is the SMB client (the SMB provider's options have nothing to set there);
// WS-Discovery is not built there.
std::shared_ptr<TNetwork> MakeProgramNetwork(smb::SmbProviderOptions) {
  return std::make_shared<TNetwork>(std::make_shared<net::TWNetProvider>());
}

} // namespace sonquarry
