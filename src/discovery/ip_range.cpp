#include "discovery/ip_range.h"

#include "platform/net/tcp_probe.h"
#include "platform/os/exception.h"
#include "platform/os/local_host.h"

#include <algorithm>
#include <cstdio>

namespace sonquarry {

std::string IPToStr(uint32_t Address) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%u.%u.%u.%u", (Address >> 24) & 0xFFu, (Address >> 16) & 0xFFu,
                (Address >> 8) & 0xFFu, Address & 0xFFu);
  return buf;
}

uint32_t StrIP(const std::string &Text) {
  const auto fail = [&Text]() -> uint32_t {
    throw Exception(FormatMessage("StrIP: wrong IP-address '%s'.", Text));
  };
  if (Text.size() > 16) return fail();
  uint32_t result = 0;
  int groups = 0; // groups already ended
  uint32_t value = 0;
  bool digits = false;
  const auto endGroup = [&]() -> bool {
    if (groups == 4) return false;
    result |= value << (24 - 8 * groups);
    ++groups;
    value = 0;
    digits = false;
    return true;
  };
  for (size_t i = 0; i < Text.size(); ++i) {
    const char c = Text[i];
    if (c >= '0' && c <= '9') {
      value = value * 10 + static_cast<uint32_t>(c - '0');
      if (value > 255) return fail();
      digits = true;
      if (i + 1 == Text.size() && !endGroup()) return fail();
    } else if (c == '.') {
      if (!digits || !endGroup()) return fail();
    } else {
      return fail();
    }
  }
  return result;
}

int IPPrefixLength(const std::string &Text) {
  if (Text.empty() || Text.size() > 2 || Text.find_first_not_of("0123456789") != std::string::npos)
    return -1;
  const int Bits = std::stoi(Text);
  return Bits <= 32 ? Bits : -1;
}

TIPRange IPBlock(uint32_t Address, int Bits) {
  const uint32_t Mask = Bits <= 0 ? 0u : ~0u << (32 - std::min(Bits, 32));
  return TIPRange(Address & Mask, (Address & Mask) | ~Mask);
}

std::string TIPRange::DisplayText() const {
  if (From_ == To_) return IPToStr(From_);
  return IPToStr(From_) + " - " + IPToStr(To_);
}

TIPRange &TIPList::Add(uint32_t From, uint32_t To, int32_t Tag) {
  Ranges_.emplace_back(From, To, Tag);
  return Ranges_.back();
}

void TIPList::Delete(size_t Index) {
  if (Index < Ranges_.size()) Ranges_.erase(Ranges_.begin() + static_cast<std::ptrdiff_t>(Index));
}

void TIPList::Clear() { Ranges_.clear(); }

bool TIPList::NextAddress(uint32_t &Address) {
  if (Restart_) {
    Restart_ = false;
    if (Ranges_.empty()) return false;
    Current_ = std::min_element(Ranges_.begin(), Ranges_.end(), [](const auto &a, const auto &b) {
                 return a.From() < b.From();
               })->From();
    Address = Current_;
    return true;
  }
  bool found = false;
  uint32_t best = 0;
  for (const auto &r : Ranges_) {
    // Nothing left above Current: this also ends the iteration at 255.255.255.255 unwrapped.
    if (Current_ >= r.To()) continue;
    const uint32_t candidate = Current_ < r.From() ? r.From() : Current_ + 1;
    if (!found || candidate < best) best = candidate;
    found = true;
  }
  if (!found) return false;
  Current_ = best;
  Address = best;
  return true;
}

namespace {

// Dotted text is read as decimal the way StrIP reads it (the resolver would take 010 as octal).
bool HostAddress(const std::string &Host, uint32_t &Address) {
  if (!Host.empty() && Host.find_first_not_of("0123456789.") == std::string::npos) {
    try {
      Address = StrIP(Host);
      return true;
    } catch (const Exception &) {
      return false;
    }
  }
  const auto found = platform::ResolveIPv4(Host);
  if (found.empty()) return false;
  Address = found.front();
  return true;
}

} // namespace

bool ProbeHost(const std::string &Host, int Port, int TimeOut) {
  if (Port < 0 || Port > 65535) return false;
  uint32_t address = 0;
  if (!HostAddress(Host, address)) return false;
  return net::ProbeTcp(address, static_cast<uint16_t>(Port), TimeOut < 0 ? 0 : TimeOut);
}

uint32_t GetLocalIP() { return platform::LocalIPv4(); }

std::string GetLocalSubnet() {
  const uint32_t a = GetLocalIP();
  char buf[16];
  std::snprintf(buf, sizeof buf, "%u.%u.%u.", (a >> 24) & 0xFFu, (a >> 16) & 0xFFu,
                (a >> 8) & 0xFFu);
  return buf;
}

bool IsXPSP2Version(int Major, int Minor, const std::string &ServicePack) {
  return Major == 5 && Minor == 1 && ServicePack == "Service Pack 2";
}

bool IsXPSP2() {
  platform::WindowsVersion v;
  return platform::QueryWindowsVersion(v) && IsXPSP2Version(v.Major, v.Minor, v.ServicePack);
}

} // namespace sonquarry
