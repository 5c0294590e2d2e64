#pragma once
// The local computer: its name and addresses, host-name resolution (IPv4 only), and its Windows
// version (none on other systems).

#include <cstdint>
#include <string>
#include <vector>

namespace sonquarry::platform {

// The host name of this computer, of any length; empty on failure.
std::string LocalHostName();

// The IPv4 addresses that Host (a dotted address or a name) resolves to, in resolver order, host
// order (first dotted group most significant). Empty on any failure.
std::vector<uint32_t> ResolveIPv4(const std::string &Host);

// IPv4 addresses of the interfaces that are up, in the system's order, loopback included.
std::vector<uint32_t> InterfaceIPv4();

// True for 127.0.0.0/8.
constexpr bool IsLoopbackIPv4(uint32_t Address) { return (Address >> 24) == 127; }

// The local computer's address: the first answer for the host name unless that is loopback or
// missing, then the first non-loopback interface address; a loopback address only when nothing
// else exists; 0 when there is no address at all.
uint32_t LocalIPv4();

struct WindowsVersion {
  int Major = 0;
  int Minor = 0;
  std::string ServicePack; // e.g. "Service Pack 2"
};

// False where the system is not Windows or the query fails.
bool QueryWindowsVersion(WindowsVersion &Version);

} // namespace sonquarry::platform
