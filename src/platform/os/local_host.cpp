#include "platform/os/local_host.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <limits.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>

namespace sonquarry::platform {

std::string LocalHostName() {
  long max = ::sysconf(_SC_HOST_NAME_MAX);
  if (max < HOST_NAME_MAX) max = HOST_NAME_MAX;
  std::string buf(static_cast<size_t>(max) + 1, '\0');
  if (::gethostname(buf.data(), buf.size()) != 0) return {};
  buf[buf.size() - 1] = '\0'; // gethostname need not terminate a truncated name
  buf.resize(buf.find('\0'));
  return buf;
}

std::vector<uint32_t> ResolveIPv4(const std::string &Host) {
  std::vector<uint32_t> out;
  if (Host.empty()) return out;
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo *res = nullptr;
  if (::getaddrinfo(Host.c_str(), nullptr, &hints, &res) != 0) return out;
  for (const addrinfo *p = res; p; p = p->ai_next) {
    if (p->ai_family != AF_INET || !p->ai_addr) continue;
    const auto *sin = reinterpret_cast<const sockaddr_in *>(p->ai_addr);
    out.push_back(ntohl(sin->sin_addr.s_addr));
  }
  ::freeaddrinfo(res);
  return out;
}

std::vector<uint32_t> InterfaceIPv4() {
  std::vector<uint32_t> out;
  ifaddrs *list = nullptr;
  if (::getifaddrs(&list) != 0) return out;
  for (const ifaddrs *p = list; p; p = p->ifa_next) {
    if (!p->ifa_addr || p->ifa_addr->sa_family != AF_INET) continue;
    if (!(p->ifa_flags & IFF_UP)) continue;
    const auto *sin = reinterpret_cast<const sockaddr_in *>(p->ifa_addr);
    out.push_back(ntohl(sin->sin_addr.s_addr));
  }
  ::freeifaddrs(list);
  return out;
}

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

bool QueryWindowsVersion(WindowsVersion &Version) {
  Version = WindowsVersion{};
  return false;
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

namespace {

bool ReadCpuTimes(uint64_t &Idle, uint64_t &Total) {
  std::ifstream F("/proc/stat");
  std::string Line;
  return std::getline(F, Line) && ParseCpuTimes(Line, Idle, Total);
}

} // namespace

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
