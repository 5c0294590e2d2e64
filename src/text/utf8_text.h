#pragma once
// Code-point view of UTF-8 text and the one Unicode-aware lower-casing.

#include <string>
#include <string_view>

namespace sonquarry::text {

// Cp as UTF-8 at the end of Out. Inline: the path tree's lower-casing calls it per character.
inline void AppendUtf8(std::string &Out, char32_t Cp) {
  if (Cp < 0x80) {
    Out += static_cast<char>(Cp);
  } else if (Cp < 0x800) {
    Out += static_cast<char>(0xC0 | (Cp >> 6));
    Out += static_cast<char>(0x80 | (Cp & 0x3F));
  } else if (Cp < 0x10000) {
    Out += static_cast<char>(0xE0 | (Cp >> 12));
    Out += static_cast<char>(0x80 | ((Cp >> 6) & 0x3F));
    Out += static_cast<char>(0x80 | (Cp & 0x3F));
  } else {
    Out += static_cast<char>(0xF0 | (Cp >> 18));
    Out += static_cast<char>(0x80 | ((Cp >> 12) & 0x3F));
    Out += static_cast<char>(0x80 | ((Cp >> 6) & 0x3F));
    Out += static_cast<char>(0x80 | (Cp & 0x3F));
  }
}

// Bytes that are not well-formed UTF-8 become U+DC80..U+DCFF, one per byte, so every input has
// a decoding and EncodeUtf8 gives the original bytes back.
std::u32string DecodeUtf8(std::string_view Text);
std::string EncodeUtf8(std::u32string_view Text);

// True when Text is well-formed UTF-8 (no overlong forms, surrogates or values past U+10FFFF).
bool IsValidUtf8(std::string_view Text);
// Text in the Windows 8-bit code page of Western Europe (Windows-1252) as UTF-8; the five bytes
// that code page leaves unassigned become the C1 controls of the same value, as Windows maps them.
std::string Windows1252ToUtf8(std::string_view Text);

// The lower-case form of one code point (simple case mapping); others are returned unchanged.
char32_t LowerCaseChar(char32_t C);
// Text lower-cased (simple case mapping) into Out, reusing its buffer; plain ASCII is not decoded
// and bytes that are not well-formed UTF-8 pass unchanged.
void LowerUtf8(std::string_view Text, std::string &Out);
std::string LowerUtf8(std::string_view Text);

// The built-in mapping used where no UTF-8 locale is installed (Latin-1, Latin Extended-A,
// Greek, Cyrillic).
char32_t TableLowerCase(char32_t C);

// Equal without regard to case.
bool SameText(std::string_view A, std::string_view B);

} // namespace sonquarry::text
