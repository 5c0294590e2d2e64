#include "platform/local_host.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <limits.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

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

} // namespace sonquarry::platform
