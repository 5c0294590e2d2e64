#pragma once
// Finding SMB servers by DNS-SD over multicast DNS, as Linux file managers and macOS do: the
// system's avahi-daemon is asked over D-Bus (Avahi's client library) to browse "_smb._tcp" in
// the local domain and to resolve each service to its host name, IPv4 address and port.
//
// Nothing is sent by this process: the daemon asks the network and keeps its cache. Without a
// daemon (a server, a minimal system) the browse ends at once and says so.

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace sonquarry::mdns {

// One SMB service as the daemon resolved it.
struct SmbService {
  std::string Name;     // the service's instance name ("SQMAC", "Anna's MacBook")
  std::string Host;     // the host name it resolved to ("sqmac.local")
  uint32_t Address = 0; // IPv4, host order
  uint16_t Port = 0;
};

struct BrowseOptions {
  // The whole browse and its resolutions; it ends sooner once the daemon has told everything it
  // knows and every service is resolved.
  int WaitMs = 1000;
  // Services beyond this many are left out (with one log line).
  std::size_t MaxServices = 256;
  // Where refusals and failures are told; empty: platform::Diagnostic().
  std::function<void(const std::string &)> Log;
};

struct BrowseResult {
  bool Daemon = true; // false: no avahi-daemon answered; Why says what the client library said
  std::string Why;
  std::vector<SmbService> Services; // each name once, in the order they resolved
};

// Browses and resolves for at most about Options.WaitMs. Never throws.
BrowseResult BrowseSmb(const BrowseOptions &Options = {});

// Whether Name may stand as a computer's name in a UNC path ("\\Name\share"); Why says why not.
bool UsableServiceName(std::string_view Name, std::string &Why);

} // namespace sonquarry::mdns
