// The local computer on Linux: gethostname, the resolver, getifaddrs and /proc/stat.
#include "platform/os/local_host.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <limits.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fstream>

#include "platform/os/local_host_os.h"

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

bool QueryWindowsVersion(WindowsVersion &Version) {
  Version = WindowsVersion{};
  return false;
}

bool ReadCpuTimes(uint64_t &Idle, uint64_t &Total) {
  std::ifstream F("/proc/stat");
  std::string Line;
  return std::getline(F, Line) && ParseCpuTimes(Line, Idle, Total);
}

} // namespace sonquarry::platform
