#pragma once
// Small text helpers that every room needs: one of each, so that they cannot drift apart.

#include <string>
#include <string_view>

namespace sonquarry::platform {

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

// "A".."Z" to "a".."z", every other byte as it is: whatever the process locale, so UTF-8 text
// keeps its multi-byte characters whole.
inline char AsciiLower(char C) { return (C >= 'A' && C <= 'Z') ? char(C - 'A' + 'a') : C; }
std::string AsciiLower(std::string_view S);

// S without the characters of Chars at its start, its end, or both.
std::string_view TrimLeft(std::string_view S, std::string_view Chars = " \t\r\n");
std::string_view TrimRight(std::string_view S, std::string_view Chars = " \t\r\n");
std::string_view Trim(std::string_view S, std::string_view Chars = " \t\r\n");

// S with each control character (C0, DEL, and C1 as UTF-8) as one '?', a character that no Windows
// file name holds: a remote name written into a line-based file or onto a terminal stays one line
// and sends no control sequence.
std::string Printable(std::string_view S);

// An errno value of our own, not the system's: a write refused because a symbolic link on the way
// to the file is owned by another user.
inline constexpr int ForeignLinkErr = 0x5351;

// The system's text for an errno value (and ours for ForeignLinkErr).
std::string ErrnoText(int Err);

// The directory of a file path: "." when it names none, "/" for a file at the root.
std::string DirOf(const std::string &Path);

} // namespace sonquarry::platform
