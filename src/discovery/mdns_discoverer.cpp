#include "discovery/mdns_discoverer.h"

#include "platform/os/diag.h"

namespace sonquarry::discovery {

TMdnsDiscoverer::TMdnsDiscoverer(TBrowse Browse)
    : Browse_(Browse ? std::move(Browse) : [] { return mdns::BrowseSmb(); }) {}

std::vector<FoundComputer> TMdnsDiscoverer::Discover() {
  mdns::BrowseResult R = Browse_();
  std::vector<FoundComputer> Out;
  if (!R.Daemon) {
    // A server or a minimal system: the search goes on with the other methods.
    platform::Diagnostic("mDNS: avahi-daemon does not answer (" + R.Why +
                         "); computers announced by mDNS (Macs, NAS) are not found. Install and "
                         "start avahi-daemon (Debian: apt install avahi-daemon) to find them.");
    return Out;
  }
  for (auto &S : R.Services) {
    // The SMB provider reaches a computer by address on SMB's own ports only.
    if (S.Port != 445 && S.Port != 139) {
      platform::Diagnostic("mDNS: " + S.Name + " serves SMB on port " + std::to_string(S.Port) +
                           ", which is not searched; it is left out.");
      continue;
    }
    // Multicast DNS is link-local: an answer that points elsewhere (this machine, nowhere) would
    // walk that address's shares under the announced name.
    const uint32_t A = S.Address;
    if (A == 0 || (A >> 24) == 127 || (A >> 28) >= 14 || A == 0xffffffffu) {
      platform::Diagnostic(
          "mDNS: " + S.Name + " resolves to an address that is not a computer's (" +
          std::to_string(A >> 24) + "." + std::to_string((A >> 16) & 255) + "." +
          std::to_string((A >> 8) & 255) + "." + std::to_string(A & 255) + "); it is left out.");
      continue;
    }
    FoundComputer C;
    C.Name = std::move(S.Name);
    C.Workgroup = LocalWorkgroup;
    C.Address = S.Address;
    C.OwnGroup = true;
    Out.push_back(std::move(C));
  }
  return Out;
}

} // namespace sonquarry::discovery
