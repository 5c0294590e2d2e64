// The local computer on Windows: its DNS host name, its adapters' IPv4 addresses (IP Helper), and
// the version from RtlGetVersion, which no compatibility shim bends as it does GetVersionEx.
#include "platform/os/local_host.h"

// Winsock before the IP Helper, which needs its types.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <iphlpapi.h>

#include <vector>

#include "platform/os/local_host_os.h"
#include "platform/os/win32_api.h"

extern "C" NTSYSAPI LONG NTAPI RtlGetVersion(PRTL_OSVERSIONINFOW VersionInformation);

namespace sonquarry::platform {

std::string LocalHostName() {
  DWORD Size = 0;
  ::GetComputerNameExW(ComputerNameDnsHostname, nullptr, &Size);
  if (Size == 0) return {};
  std::wstring Buf(Size, L'\0');
  if (!::GetComputerNameExW(ComputerNameDnsHostname, Buf.data(), &Size)) return {};
  Buf.resize(Size);
  return Narrow(Buf);
}

std::vector<uint32_t> ResolveIPv4(const std::string &Host) {
  std::vector<uint32_t> out;
  if (Host.empty() || !EnsureWinsock()) return out;
  ADDRINFOW hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  ADDRINFOW *res = nullptr;
  if (::GetAddrInfoW(Widen(Host).c_str(), nullptr, &hints, &res) != 0) return out;
  for (const ADDRINFOW *p = res; p; p = p->ai_next) {
    if (p->ai_family != AF_INET || !p->ai_addr) continue;
    const auto *sin = reinterpret_cast<const sockaddr_in *>(p->ai_addr);
    out.push_back(ntohl(sin->sin_addr.s_addr));
  }
  ::FreeAddrInfoW(res);
  return out;
}

std::vector<uint32_t> InterfaceIPv4() {
  std::vector<uint32_t> out;
  ULONG Size = 16384;
  std::vector<unsigned char> Buf;
  ULONG Rc = ERROR_BUFFER_OVERFLOW;
  for (int Try = 0; Try < 4 && Rc == ERROR_BUFFER_OVERFLOW; ++Try) {
    Buf.resize(Size);
    Rc = ::GetAdaptersAddresses(
        AF_INET, GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST | GAA_FLAG_SKIP_DNS_SERVER,
        nullptr, reinterpret_cast<IP_ADAPTER_ADDRESSES *>(Buf.data()), &Size);
  }
  if (Rc != NO_ERROR) return out;
  for (auto *A = reinterpret_cast<IP_ADAPTER_ADDRESSES *>(Buf.data()); A; A = A->Next) {
    if (A->OperStatus != IfOperStatusUp) continue;
    for (auto *U = A->FirstUnicastAddress; U; U = U->Next) {
      const sockaddr *Sa = U->Address.lpSockaddr;
      if (!Sa || Sa->sa_family != AF_INET) continue;
      out.push_back(ntohl(reinterpret_cast<const sockaddr_in *>(Sa)->sin_addr.s_addr));
    }
  }
  return out;
}

bool QueryWindowsVersion(WindowsVersion &Version) {
  Version = WindowsVersion{};
  RTL_OSVERSIONINFOW Info{};
  Info.dwOSVersionInfoSize = sizeof Info;
  if (::RtlGetVersion(&Info) != 0) return false;
  Version.Major = int(Info.dwMajorVersion);
  Version.Minor = int(Info.dwMinorVersion);
  Version.ServicePack = Narrow(std::wstring(Info.szCSDVersion));
  return true;
}

namespace {

uint64_t Ticks(const FILETIME &F) { return (uint64_t(F.dwHighDateTime) << 32) | F.dwLowDateTime; }

} // namespace

// GetSystemTimes' kernel time includes the idle time.
bool ReadCpuTimes(uint64_t &Idle, uint64_t &Total) {
  FILETIME I{}, K{}, U{};
  if (!::GetSystemTimes(&I, &K, &U)) return false;
  Idle = Ticks(I);
  Total = Ticks(K) + Ticks(U);
  return true;
}

} // namespace sonquarry::platform
