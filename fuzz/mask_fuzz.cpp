// NameFitsMask against a plain dynamic-programming reading of the mask syntax. Input: the name,
// a NUL byte, the mask.
#include "engine/scan_filter.h"
#include "text/utf8_text.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace {

bool Reference(std::string_view Name, std::string_view Mask) {
  if (Name.empty()) return false;
  if (Name == Mask) return true;
  std::u32string n = sonquarry::text::DecodeUtf8(Name);
  for (auto &c : n) c = sonquarry::text::LowerCaseChar(c);
  const std::u32string m = sonquarry::text::DecodeUtf8(Mask);
  if (m.find(U'.') != std::u32string::npos) {
    const size_t last = n.find_last_of(U".\\:");
    if (last == std::u32string::npos || n[last] != U'.') n += U'.';
  }
  // fit[j]: mask from j fits the name from i (rows i computed from the end).
  const size_t N = n.size(), M = m.size();
  std::vector<char> next(M + 1), cur(M + 1);
  // Name used up: the rest fits when it is only stars and question marks.
  next[M] = 1;
  for (size_t j = M; j-- > 0;) next[j] = next[j + 1] && (m[j] == U'*' || m[j] == U'?');
  for (size_t i = N; i-- > 0;) {
    cur[M] = 0;
    for (size_t j = M; j-- > 0;) {
      if (m[j] == U'*')
        cur[j] = cur[j + 1] || next[j];
      else
        cur[j] = (m[j] == U'?' || m[j] == n[i]) && next[j + 1];
    }
    std::swap(cur, next);
  }
  return next[0];
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *Data, size_t Size) {
  const std::string_view in(reinterpret_cast<const char *>(Data), Size);
  const size_t nul = in.find('\0');
  const std::string_view name = nul == std::string_view::npos ? in : in.substr(0, nul);
  const std::string_view mask = nul == std::string_view::npos ? "*" : in.substr(nul + 1);
  const bool got = sonquarry::NameFitsMask(name, mask);
  if (name.size() * (mask.size() + 1) <= (1u << 22) && got != Reference(name, mask))
    __builtin_trap();
  if (!name.empty() && !sonquarry::NameFitsMask(name, "*")) __builtin_trap();
  return 0;
}
