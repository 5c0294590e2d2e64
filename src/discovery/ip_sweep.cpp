#include "discovery/ip_sweep.h"

#include <algorithm>

#include "platform/net/tcp_sweep.h"

namespace sonquarry {

namespace {

// Descriptors left to the rest of the process: SMB connections and files of every thread, the
// log, the list file.
int ReserveFor(int Threads) { return 32 + 4 * std::max(1, Threads); }

} // namespace

std::vector<uint16_t> ProbePorts(bool Probe445) {
  if (Probe445) return {NetBiosPort, DirectSmbPort};
  return {NetBiosPort};
}

TIpSweep::TIpSweep(const TIPList &Ranges, TAllowed Allowed, int TimeOut, bool Probe445, int Threads)
    : Ranges_(Ranges), Allowed_(std::move(Allowed)) {
  Ranges_.Reset();
  net::TTcpSweep::TOptions O;
  O.Ports = ProbePorts(Probe445);
  O.TimeOutMs = TimeOut < 0 ? 0 : TimeOut;
  O.Reserve = ReserveFor(Threads);
  // The threads take addresses the filter denies without probing them: so does the sweep.
  Sweep_ = std::make_unique<net::TTcpSweep>(O, [this](uint32_t &Address) {
    // A long run of denied addresses must not hold up Stop.
    while (!Stopping_ && Ranges_.NextAddress(Address))
      if (Allowed_("\\\\" + IPToStr(Address))) return true;
    return false;
  });
}

TIpSweep::~TIpSweep() { Stop(); }

bool TIpSweep::Probe(uint32_t Address) { return Sweep_->Result(Address); }

void TIpSweep::Stop() {
  Stopping_ = true;
  Sweep_->Stop();
}

int TIpSweep::InFlightLimit() const { return Sweep_->InFlightLimit(); }

int TIpSweep::PeakInFlight() const { return Sweep_->PeakInFlight(); }

} // namespace sonquarry
