// The local computer on Windows: its DNS host name, its adapters' IPv4 addresses (IP Helper), and
// the version from RtlGetVersion, which no compatibility shim bends as it does GetVersionEx.
#include "platform/os/local_host.h"

// Winsock before the IP Helper, which needs its types.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <iphlpapi.h>

#include <algorithm>
#include <vector>

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

uint32_t LocalIPv4() {
  const auto named = ResolveIPv4(LocalHostName());
  if (!named.empty() && !IsLoopbackIPv4(named.front())) return named.front();
  const auto ifs = InterfaceIPv4();
  for (uint32_t a : ifs)
    if (!IsLoopbackIPv4(a)) return a;
  if (!named.empty()) return named.front();
  return ifs.empty() ? 0 : ifs.front();
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

bool ParseCpuTimes(std::string_view Line, uint64_t &Idle, uint64_t &Total) {
  if (Line.substr(0, 4) != "cpu ") return false;
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

uint64_t Ticks(const FILETIME &F) { return (uint64_t(F.dwHighDateTime) << 32) | F.dwLowDateTime; }

// GetSystemTimes' kernel time includes the idle time.
bool ReadCpuTimes(uint64_t &Idle, uint64_t &Total) {
  FILETIME I{}, K{}, U{};
  if (!::GetSystemTimes(&I, &K, &U)) return false;
  Idle = Ticks(I);
  Total = Ticks(K) + Ticks(U);
  return true;
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
