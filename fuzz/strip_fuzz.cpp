// StrIP against an independent reading of the dotted-address rules.
#include "discovery/ip_range.h"
#include "platform/os/exception.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace {

std::optional<uint32_t> Reference(std::string s) {
  if (s.size() > 16) return std::nullopt;
  if (s.find_first_not_of("0123456789.") != std::string::npos) return std::nullopt;
  if (s.empty()) return 0u;
  if (s.back() == '.') s.pop_back(); // a final dot only ends the group before it
  if (s.empty() || s.back() == '.') return std::nullopt;
  uint32_t result = 0;
  int groups = 0;
  size_t start = 0;
  for (;;) {
    const size_t dot = s.find('.', start);
    const std::string g =
        s.substr(start, dot == std::string::npos ? std::string::npos : dot - start);
    if (g.empty() || groups == 4) return std::nullopt;
    uint32_t v = 0;
    for (char c : g) {
      v = v * 10 + static_cast<uint32_t>(c - '0');
      if (v > 255) return std::nullopt;
    }
    result |= v << (24 - 8 * groups++);
    if (dot == std::string::npos) return result;
    start = dot + 1;
  }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *Data, size_t Size) {
  const std::string text(reinterpret_cast<const char *>(Data), Size);
  const auto want = Reference(text);
  try {
    const uint32_t got = sonquarry::StrIP(text);
    if (!want || *want != got) __builtin_trap();
    if (sonquarry::StrIP(sonquarry::IPToStr(got)) != got) __builtin_trap();
  } catch (const sonquarry::Exception &e) {
    if (want) __builtin_trap();
    // what() ends at the first NUL of the text.
    const std::string message = "StrIP: wrong IP-address '" + text + "'.";
    if (std::string(e.what()) != message.c_str()) __builtin_trap();
  }
  return 0;
}
