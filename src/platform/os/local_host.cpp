// The local computer's address and idle time, the same on every system; the system calls are in
// local_host_os.cpp and local_host_os_win32.cpp.
#include "platform/os/local_host.h"

#include <algorithm>

#include "platform/os/local_host_os.h"

namespace sonquarry::platform {

uint32_t LocalIPv4() {
  const auto named = ResolveIPv4(LocalHostName());
  if (!named.empty() && !IsLoopbackIPv4(named.front())) return named.front();
  const auto ifs = InterfaceIPv4();
  for (uint32_t a : ifs)
    if (!IsLoopbackIPv4(a)) return a;
  // A name that does not resolve still leaves the loopback interface.
  if (!named.empty()) return named.front();
  return ifs.empty() ? 0 : ifs.front();
}

bool ParseCpuTimes(std::string_view Line, uint64_t &Idle, uint64_t &Total) {
  if (Line.substr(0, 4) != "cpu ") return false;
  // user nice system idle iowait irq softirq steal: idle and iowait are time no core was busy.
  uint64_t V[8] = {};
  std::size_t Pos = 4, N = 0;
  for (; N < 8; ++N) {
    while (Pos < Line.size() && Line[Pos] == ' ') ++Pos;
    const std::size_t Start = Pos;
    uint64_t X = 0;
    for (; Pos < Line.size() && Line[Pos] >= '0' && Line[Pos] <= '9'; ++Pos)
      X = X * 10 + uint64_t(Line[Pos] - '0');
    if (Pos == Start) break;
    V[N] = X;
  }
  if (N < 4) return false;
  Idle = V[3] + V[4];
  Total = 0;
  for (uint64_t X : V) Total += X;
  return true;
}

TIdleCores::TIdleCores() { ReadCpuTimes(Idle_, Total_); }

double TIdleCores::Since() {
  uint64_t Idle = 0, Total = 0;
  if (!ReadCpuTimes(Idle, Total)) return 1;
  const uint64_t DI = Idle - Idle_, DT = Total - Total_;
  if (Total < Total_ || Idle < Idle_ || DT == 0) return 1;
  Idle_ = Idle;
  Total_ = Total;
  return std::min(1.0, double(DI) / double(DT));
}

} // namespace sonquarry::platform
