#pragma once
// Unicode-aware lower-casing of UTF-8 text (the simple, one code point to one code point case
// mapping), used for case-insensitive searching. Bytes that are not valid UTF-8 pass unchanged.

#include <cstdint>
#include <string>
#include <string_view>

namespace sonquarry {

// The lower-case form of one code point; code points without one map to themselves.
uint32_t LowerCodePoint(uint32_t Cp);

// Replaces Out with the lower-cased Text.
void LowerUtf8(std::string_view Text, std::string &Out);
std::string LowerUtf8(std::string_view Text);

} // namespace sonquarry
