#include "text/text.h"

namespace sonquarry::text {

std::string AsciiLower(std::string_view S) {
  std::string Out(S);
  for (char &C : Out) C = AsciiLower(C);
  return Out;
}

std::string_view TrimLeft(std::string_view S, std::string_view Chars) {
  const auto B = S.find_first_not_of(Chars);
  return B == std::string_view::npos ? std::string_view() : S.substr(B);
}

std::string_view TrimRight(std::string_view S, std::string_view Chars) {
  const auto E = S.find_last_not_of(Chars);
  return E == std::string_view::npos ? std::string_view() : S.substr(0, E + 1);
}

std::string_view Trim(std::string_view S, std::string_view Chars) {
  return TrimRight(TrimLeft(S, Chars), Chars);
}

std::string Printable(std::string_view S) {
  std::string Out;
  Out.reserve(S.size());
  for (size_t I = 0; I < S.size(); ++I) {
    const auto C = static_cast<unsigned char>(S[I]);
    const auto Next = I + 1 < S.size() ? static_cast<unsigned char>(S[I + 1]) : 0;
    if (C == 0xC2 && Next >= 0x80 && Next <= 0x9F) { // U+0080..U+009F
      Out += '?';
      ++I;
    } else {
      Out += C < 0x20 || C == 0x7F ? '?' : S[I];
    }
  }
  return Out;
}

} // namespace sonquarry::text
