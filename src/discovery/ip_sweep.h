#pragma once
// The address probes of an IP scan, made ahead of the scanning threads: the addresses of the
// scan's ranges that its filter allows are probed many at a time, in the order the threads take
// them, so a thread finds the result of its address ready or waits for that one probe.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include <string>

#include "discovery/ip_range.h"

namespace sonquarry {

namespace net {
class TTcpSweep;
}

// The port tried beside the NetBIOS port when hosts without NetBIOS count (SMB over TCP).
constexpr int DirectSmbPort = 445;

// The ports of an address probe: NetBIOS alone, or with the direct SMB port.
std::vector<uint16_t> ProbePorts(bool Probe445);

class TIpSweep {
public:
  // A computer name (\\a.b.c.d) is tried only when Allowed says so; the sweep's thread calls
  // it. Ranges are copied; the iteration starts from the lowest address. Threads is the scan's
  // thread count: descriptors are left for their network calls.
  using TAllowed = std::function<bool(const std::string &Comp)>;
  TIpSweep(const TIPList &Ranges, TAllowed Allowed, int TimeOut, bool Probe445, int Threads);
  ~TIpSweep();
  TIpSweep(const TIpSweep &) = delete;
  TIpSweep &operator=(const TIpSweep &) = delete;

  // True when Address accepted a connection within the time-out; false after Stop.
  bool Probe(uint32_t Address);
  // Ends every attempt at once.
  void Stop();

  int InFlightLimit() const;
  int PeakInFlight() const;

private:
  TIPList Ranges_;
  TAllowed Allowed_;
  std::atomic<bool> Stopping_{false};
  std::unique_ptr<net::TTcpSweep> Sweep_;
};

} // namespace sonquarry
