#pragma once
// Whether a computer answers at all, asked before a worker connects to it: a TCP probe of 445,
// then 139, kept for a while per address. Only a computer whose address is known is probed: one
// named by IPv4 address, or by a name that lmhosts or the hosts file maps to one. Internal to the
// SMB room.

#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>

#include "platform/net/net_provider.h"
#include "platform/smb/smb_provider.h"

namespace sonquarry::smb {

class TReachability {
public:
  // Reads its settings from Options, which must outlive it.
  explicit TReachability(const SmbProviderOptions &Options) : Options_(Options) {}

  // The IPv4 address (host order) of Server, a dotted address or a name in the static tables.
  std::optional<uint32_t> AddressOf(const std::string &Server);
  // Server answered: no probe for a while.
  void MarkReachable(const std::string &Server);
  // False, with EHOSTDOWN in Error, when Server's address answers on neither port.
  bool Reachable(const std::string &Server, net::NetError *Error);

private:
  using Clock = std::chrono::steady_clock;
  struct TProbe {
    bool Reachable;
    Clock::time_point At;
  };
  const SmbProviderOptions &Options_;
  std::mutex ProbeLock;
  std::map<uint32_t, TProbe> Probes;
  std::map<std::string, std::optional<uint32_t>> Addresses; // by lower-case name
};

} // namespace sonquarry::smb
