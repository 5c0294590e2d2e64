#pragma once
// The tags of a share's music files on the server's disk as mutagen reads them
// (tests/testnet/mutagen_tags.py): the independent reader the tag tests compare with.

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "support/run_program.h"
#include "support/testnet_env.h"

namespace sonquarry::testing {

// artist, title, album, year, length in seconds; by the path below the share ("Rock/x.mp3").
using TTagTable = std::map<std::string, std::vector<std::string>>;

inline bool IsTaggedFormat(const std::string &P) {
  const auto Dot = P.find_last_of("./");
  std::string E = Dot == std::string::npos || P[Dot] != '.' ? "" : P.substr(Dot);
  for (auto &C : E) C = char(std::tolower(static_cast<unsigned char>(C)));
  for (const char *T : {".mp3", ".mp2", ".wma", ".flac", ".ogg", ".opus", ".m4a"})
    if (E == T) return true;
  return false;
}

inline TTagTable MutagenTags(const std::filesystem::path &Share) {
  std::vector<std::string> Args = {"/usr/bin/python3",
                                   SourceDir() + "/tests/testnet/mutagen_tags.py"};
  for (const auto &F : std::filesystem::recursive_directory_iterator(Share))
    if (F.is_regular_file() && IsTaggedFormat(F.path().string())) Args.push_back(F.path().string());
  const TRun R = RunProgram(Args);
  TTagTable T;
  for (const auto &L : SplitLines(R.Out)) {
    const auto F = SplitList(L, '\t');
    if (F.size() == 6)
      T[std::filesystem::relative(F[0], Share).string()] = {F.begin() + 1, F.end()};
  }
  return T;
}

// "\\host\share\dir\name" -> "dir/name"
inline std::string BelowShare(const std::string &Unc) {
  std::size_t Pos = 2;
  for (int I = 0; I < 2 && Pos != std::string::npos; ++I) Pos = Unc.find('\\', Pos) + 1;
  std::string Out = Unc.substr(Pos);
  for (auto &C : Out)
    if (C == '\\') C = '/';
  return Out;
}

} // namespace sonquarry::testing
