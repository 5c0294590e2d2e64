#include "platform/mdns/dns_sd.h"

// Windows has no avahi-daemon; its own DNS-SD (DnsServiceBrowse) is not wired in yet.

namespace sonquarry::mdns {

BrowseResult BrowseSmb(const BrowseOptions &) {
  BrowseResult R;
  R.Daemon = false;
  R.Why = "mDNS is not available in the Windows build";
  return R;
}

bool UsableServiceName(std::string_view Name, std::string &Why) {
  if (!Name.empty()) return true;
  Why = "not a usable computer name";
  return false;
}

} // namespace sonquarry::mdns
