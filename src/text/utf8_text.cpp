#include "text/utf8_text.h"

#include "text/text.h"

#include <climits>
#include <cstdint>
#include <cstring>
#include <cwchar>
#include <locale>
#include <stdexcept>

namespace sonquarry::text {

namespace {

constexpr char32_t EscapeBase = 0xDC00;

bool IsEscape(char32_t C) { return C >= EscapeBase + 0x80 && C <= EscapeBase + 0xFF; }

// Length of the well-formed sequence at Text[Pos], 0 when the byte starts none.
size_t SequenceAt(std::string_view Text, size_t Pos, char32_t &Out) {
  const auto byte = [&](size_t i) { return static_cast<unsigned char>(Text[i]); };
  const unsigned char b0 = byte(Pos);
  if (b0 < 0x80) {
    Out = b0;
    return 1;
  }
  size_t len;
  char32_t cp, min;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    len = 2, cp = b0 & 0x1Fu, min = 0x80;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    len = 3, cp = b0 & 0x0Fu, min = 0x800;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    len = 4, cp = b0 & 0x07u, min = 0x10000;
  } else {
    return 0;
  }
  if (Pos + len > Text.size()) return 0;
  for (size_t i = 1; i < len; ++i) {
    const unsigned char b = byte(Pos + i);
    if ((b & 0xC0u) != 0x80u) return 0;
    cp = (cp << 6) | (b & 0x3Fu);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  Out = cp;
  return len;
}

void Append(std::string &Out, char32_t C) {
  if (IsEscape(C)) {
    Out += static_cast<char>(C - EscapeBase);
  } else {
    AppendUtf8(Out, C);
  }
}

// The wide-character classification of a UTF-8 locale, whatever the process locale is.
const std::ctype<wchar_t> *UnicodeCType() {
  static const std::locale *loc = []() -> const std::locale * {
    for (const char *name : {"C.UTF-8", "C.utf8", "en_US.UTF-8", "en_US.utf8"}) {
      try {
        return new std::locale(name); // kept for the process lifetime
      } catch (const std::runtime_error &) {
      }
    }
    return nullptr;
  }();
  return loc ? &std::use_facet<std::ctype<wchar_t>>(*loc) : nullptr;
}

} // namespace

bool IsValidUtf8(std::string_view Text) {
  // Runs of ASCII eight bytes at a time: a list file is mostly ASCII.
  size_t Pos = 0;
  for (uint64_t Word; Pos + 8 <= Text.size(); Pos += 8) {
    std::memcpy(&Word, Text.data() + Pos, 8);
    if (Word & 0x8080808080808080ULL) break;
  }
  while (Pos < Text.size()) {
    if (static_cast<unsigned char>(Text[Pos]) < 0x80) {
      ++Pos;
      continue;
    }
    char32_t C;
    const size_t Len = SequenceAt(Text, Pos, C);
    if (Len == 0) return false;
    Pos += Len;
  }
  return true;
}

std::string Windows1252ToUtf8(std::string_view Text) {
  static constexpr char16_t High[32] = {
      0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
      0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
      0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};
  std::string Out;
  Out.reserve(Text.size() + Text.size() / 2);
  for (const char Ch : Text) {
    const auto B = static_cast<unsigned char>(Ch);
    Append(Out, B >= 0x80 && B < 0xA0 ? char32_t{High[B - 0x80]} : char32_t{B});
  }
  return Out;
}

char32_t TableLowerCase(char32_t C) {
  if (C >= 'A' && C <= 'Z') return C + 32;
  if ((C >= 0xC0 && C <= 0xDE && C != 0xD7) || (C >= 0x391 && C <= 0x3AB && C != 0x3A2) ||
      (C >= 0x410 && C <= 0x42F))
    return C + 32;
  if (C >= 0x400 && C <= 0x40F) return C + 80;
  if (C == 0x130) return 'i';
  if (C == 0x178) return 0xFF;
  if (((C >= 0x100 && C <= 0x12F) || (C >= 0x132 && C <= 0x137) || (C >= 0x14A && C <= 0x177)) &&
      C % 2 == 0)
    return C + 1;
  if (((C >= 0x139 && C <= 0x148) || (C >= 0x179 && C <= 0x17E)) && C % 2 == 1) return C + 1;
  if ((C >= 0x460 && C <= 0x481) || (C >= 0x48A && C <= 0x4BF) || (C >= 0x4D0 && C <= 0x52F) ||
      (C >= 0x3D8 && C <= 0x3EF) || C == 0x370 || C == 0x372 || C == 0x376)
    return C % 2 == 0 ? C + 1 : C;
  if (C >= 0x4C1 && C <= 0x4CE) return C % 2 == 1 ? C + 1 : C;
  if (C >= 0x388 && C <= 0x38A) return C + 37;
  if (C == 0x38E || C == 0x38F) return C + 63;
  if (C >= 0x3FD && C <= 0x3FF) return C - 130;
  switch (C) {
  case 0x37F:
    return 0x3F3;
  case 0x386:
    return 0x3AC;
  case 0x38C:
    return 0x3CC;
  case 0x3CF:
    return 0x3D7;
  case 0x3F4:
    return 0x3B8;
  case 0x3F7:
    return 0x3F8;
  case 0x3F9:
    return 0x3F2;
  case 0x3FA:
    return 0x3FB;
  case 0x4C0:
    return 0x4CF;
  }
  return C;
}

std::u32string DecodeUtf8(std::string_view Text) {
  std::u32string out;
  out.reserve(Text.size());
  for (size_t i = 0; i < Text.size();) {
    char32_t cp;
    const size_t len = SequenceAt(Text, i, cp);
    if (len == 0) {
      out += EscapeBase + static_cast<unsigned char>(Text[i]);
      ++i;
    } else {
      out += cp;
      i += len;
    }
  }
  return out;
}

std::string EncodeUtf8(std::u32string_view Text) {
  std::string out;
  out.reserve(Text.size());
  for (char32_t c : Text) Append(out, c);
  return out;
}

char32_t LowerCaseChar(char32_t C) {
  if (C < 0x80) return C >= 'A' && C <= 'Z' ? C + 32 : C;
  if (IsEscape(C)) return C;
  const auto *ct = UnicodeCType();
  if (!ct || static_cast<unsigned long>(C) > static_cast<unsigned long>(WCHAR_MAX))
    return TableLowerCase(C);
  return static_cast<char32_t>(ct->tolower(static_cast<wchar_t>(C)));
}

bool SameText(std::string_view A, std::string_view B) {
  if (A == B) return true;
  return LowerUtf8(A) == LowerUtf8(B);
}

} // namespace sonquarry::text
