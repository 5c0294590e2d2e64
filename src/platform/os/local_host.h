#pragma once
// The local computer: its name and addresses, host-name resolution (IPv4 only), and its Windows
// version (none on other systems).

#include <cstdint>
#include <string>
#include <string_view>
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

// How much of the local computer's core time went idle: a wait that the cores were busy for is no
// link's latency.
class TIdleCores {
public:
  TIdleCores();
  // The idle share of the cores' time since the last call (or the start), 0 to 1; 1 where the
  // system does not tell or no time has been counted yet.
  double Since();

private:
  uint64_t Idle_ = 0, Total_ = 0;
};

// The idle and the total times of the "cpu" line of /proc/stat; false for any other line.
bool ParseCpuTimes(std::string_view Line, uint64_t &Idle, uint64_t &Total);

} // namespace sonquarry::platform
