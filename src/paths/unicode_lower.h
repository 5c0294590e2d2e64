#pragma once
// Lower-casing of UTF-8 text for searching: the case mapping of LowerCaseUtf8, made into a buffer
// that is reused and without decoding plain ASCII. Bytes that are not valid UTF-8 pass unchanged.

#include <string>
#include <string_view>

namespace sonquarry {

// Replaces Out with the lower-cased Text.
void LowerUtf8(std::string_view Text, std::string &Out);
std::string LowerUtf8(std::string_view Text);

} // namespace sonquarry
