#pragma once
// Small text helpers that every room needs: one of each, so that they cannot drift apart.

#include <string>
#include <string_view>

namespace sonquarry::text {

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

} // namespace sonquarry::text
