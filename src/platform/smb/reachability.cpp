#include "platform/smb/reachability.h"

#include <arpa/inet.h>
#include <fstream>
#include <sstream>

#include "platform/net/tcp_probe.h"
#include "platform/smb/wire/smb_error.h"
#include "text/text.h"

namespace sonquarry::smb {

namespace {

// The IPv4 address that a static name table (lmhosts, or /etc/hosts) gives Name, if any.
// Lines: "ADDRESS NAME[#TYPE] ..."; "#" starts a comment unless it follows a name.
std::optional<uint32_t> StaticAddress(const std::string &Path, const std::string &Name) {
  std::ifstream In(Path);
  std::string Line;
  const std::string Want = text::AsciiLower(Name);
  while (std::getline(In, Line)) {
    std::istringstream S(Line);
    std::string Address, Word;
    if (!(S >> Address) || Address[0] == '#') continue;
    in_addr A{};
    if (::inet_pton(AF_INET, Address.c_str(), &A) != 1) continue;
    while (S >> Word) {
      if (Word[0] == '#') break;
      const auto Hash = Word.find('#');
      std::string N = text::AsciiLower(Word.substr(0, Hash));
      if (N.size() >= 2 && N.front() == '"' && N.back() == '"') N = N.substr(1, N.size() - 2);
      const std::string Type = Hash == std::string::npos ? "" : Word.substr(Hash + 1);
      if (N == Want && (Type.empty() || Type == "20")) return ntohl(A.s_addr);
      // /etc/hosts names may carry a domain: "pc1.lan" stands for "PC1" too.
      if (N.rfind(Want + ".", 0) == 0) return ntohl(A.s_addr);
    }
  }
  return std::nullopt;
}

} // namespace

std::optional<uint32_t> TReachability::AddressOf(const std::string &Server) {
  in_addr A{};
  if (::inet_pton(AF_INET, Server.c_str(), &A) == 1) return ntohl(A.s_addr);
  const std::string Key = text::AsciiLower(Server);
  {
    std::lock_guard<std::mutex> L(ProbeLock);
    if (auto It = Addresses.find(Key); It != Addresses.end()) return It->second;
  }
  auto Known = StaticAddress(Options_.LmhostsFile, Server);
  if (!Known) Known = StaticAddress(Options_.HostsFile, Server);
  std::lock_guard<std::mutex> L(ProbeLock);
  Addresses[Key] = Known;
  return Known;
}

void TReachability::MarkReachable(const std::string &Server) {
  if (Options_.ProbeTimeOutMs <= 0) return;
  if (const auto A = AddressOf(Server)) {
    std::lock_guard<std::mutex> L(ProbeLock);
    Probes[*A] = {true, Clock::now()};
  }
}

bool TReachability::Reachable(const std::string &Server, net::NetError *Error) {
  if (Options_.ProbeTimeOutMs <= 0) return true;
  // A name that a static table maps to an address may point at a computer that is gone; names
  // found only by broadcast are left to libsmbclient, which fails those quickly.
  const auto Address = AddressOf(Server);
  if (!Address) return true;
  {
    std::lock_guard<std::mutex> L(ProbeLock);
    auto It = Probes.find(*Address);
    if (It != Probes.end()) {
      const int Keep = It->second.Reachable ? Options_.ProbeKeepMs : Options_.ProbeKeepFailedMs;
      if (Clock::now() - It->second.At < std::chrono::milliseconds(Keep)) {
        if (!It->second.Reachable && Error) *Error = wire::SmbError(EHOSTDOWN, "\\\\" + Server);
        return It->second.Reachable;
      }
    }
  }
  const bool Ok = net::ProbeTcp(*Address, 445, Options_.ProbeTimeOutMs) ||
                  net::ProbeTcp(*Address, 139, Options_.ProbeTimeOutMs);
  {
    std::lock_guard<std::mutex> L(ProbeLock);
    Probes[*Address] = {Ok, Clock::now()};
  }
  if (!Ok && Error) *Error = wire::SmbError(EHOSTDOWN, "\\\\" + Server);
  return Ok;
}

} // namespace sonquarry::smb
