#include "text/utf8_text.h"

#include <cstdint>

namespace sonquarry::text {

namespace {

// Decodes one well-formed UTF-8 sequence at P (Size > 0 bytes left); 0 when it is not one.
size_t DecodeOne(const unsigned char *P, size_t Size, uint32_t &Cp) {
  const unsigned char b = P[0];
  size_t len;
  uint32_t min;
  if (b < 0x80) {
    Cp = b;
    return 1;
  } else if (b >= 0xC2 && b <= 0xDF) {
    len = 2, min = 0x80, Cp = b & 0x1Fu;
  } else if (b >= 0xE0 && b <= 0xEF) {
    len = 3, min = 0x800, Cp = b & 0x0Fu;
  } else if (b >= 0xF0 && b <= 0xF4) {
    len = 4, min = 0x10000, Cp = b & 0x07u;
  } else {
    return 0;
  }
  if (Size < len) return 0;
  for (size_t i = 1; i < len; ++i) {
    if ((P[i] & 0xC0u) != 0x80u) return 0;
    Cp = (Cp << 6) | (P[i] & 0x3Fu);
  }
  if (Cp < min || Cp > 0x10FFFF || (Cp >= 0xD800 && Cp <= 0xDFFF)) return 0;
  return len;
}

} // namespace

void LowerUtf8(std::string_view Text, std::string &Out) {
  Out.clear();
  Out.reserve(Text.size());
  const auto *p = reinterpret_cast<const unsigned char *>(Text.data());
  size_t left = Text.size();
  while (left > 0) {
    const unsigned char b = *p;
    if (b < 0x80) {
      Out.push_back(static_cast<char>(b >= 'A' && b <= 'Z' ? b + 32 : b));
      ++p, --left;
      continue;
    }
    uint32_t cp;
    const size_t len = DecodeOne(p, left, cp);
    if (len == 0) {
      Out.push_back(static_cast<char>(b));
      ++p, --left;
      continue;
    }
    AppendUtf8(Out, LowerCaseChar(cp));
    p += len, left -= len;
  }
}

std::string LowerUtf8(std::string_view Text) {
  std::string out;
  LowerUtf8(Text, out);
  return out;
}

} // namespace sonquarry::text
