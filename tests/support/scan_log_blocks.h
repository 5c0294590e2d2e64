#pragma once
// Reads a scan log back as blocks: one timestamped line and the indented lines after it.

#include "support/test_support.h"

#include <string>
#include <vector>

namespace sonquarry::testing {

struct TLogBlocks {
  std::vector<std::vector<std::string>> Blocks; // texts without timestamp or indent
  std::vector<std::string> Bad;                 // lines that are neither form, or lack CR LF
};

// "dd.mm.yyyy hh:nn:ss : " at the start of Line (checked by hand: std::regex trips g++ 12's
// uninitialised-use warning in optimised builds).
inline bool Stamped(const std::string &Line) {
  static const char Form[] = "00.00.0000 00:00:00 : ";
  if (Line.size() < sizeof Form - 1) return false;
  for (size_t I = 0; I + 1 < sizeof Form; ++I) {
    const bool Digit = Line[I] >= '0' && Line[I] <= '9';
    if (Form[I] == '0' ? !Digit : Line[I] != Form[I]) return false;
  }
  return true;
}

inline TLogBlocks ReadLogBlocks(const std::string &Path) {
  const std::string Text = ReadAll(Path);
  const std::string Indent(22, ' ');
  TLogBlocks Out;
  std::size_t Pos = 0;
  while (Pos < Text.size()) {
    auto End = Text.find("\r\n", Pos);
    if (End == std::string::npos) {
      Out.Bad.push_back(Text.substr(Pos));
      break;
    }
    const std::string Line = Text.substr(Pos, End - Pos);
    Pos = End + 2;
    if (Stamped(Line))
      Out.Blocks.push_back({Line.substr(22)});
    else if (Line.compare(0, Indent.size(), Indent) == 0 && !Out.Blocks.empty() &&
             (Line.size() == Indent.size() || Line[Indent.size()] != ' '))
      Out.Blocks.back().push_back(Line.substr(Indent.size()));
    else
      Out.Bad.push_back(Line);
  }
  return Out;
}

// The block whose first text is First (nullptr when there is none).
inline const std::vector<std::string> *FindBlock(const TLogBlocks &L, const std::string &First) {
  for (const auto &B : L.Blocks)
    if (!B.empty() && B.front() == First) return &B;
  return nullptr;
}

inline int CountBlocks(const TLogBlocks &L, const std::string &First) {
  int N = 0;
  for (const auto &B : L.Blocks)
    if (!B.empty() && B.front() == First) ++N;
  return N;
}

} // namespace sonquarry::testing
