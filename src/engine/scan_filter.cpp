#include "engine/scan_filter.h"

#include "platform/net/unc_path.h"
#include "platform/os/exception.h"
#include "text/utf8_text.h"

namespace sonquarry {

int IndexOfText(const TNameList &List, std::string_view S) {
  const std::string key = text::LowerUtf8(S);
  for (size_t i = 0; i < List.size(); ++i)
    if (List[i] == S || text::LowerUtf8(List[i]) == key) return static_cast<int>(i);
  return -1;
}

namespace {

// Greedy match with one back-up point, the most recent star: at most name length times mask
// length steps, however many stars the mask holds.
bool MatchCodePoints(const std::u32string &Name, const std::u32string &Mask) {
  const size_t n = Name.size(), m = Mask.size();
  size_t i = 0, j = 0;
  bool haveBackup = false;
  size_t backStar = 0, backName = 0;

  // The star at Mask[j]: returns 1 for a match, 0 for none, -1 to go on matching.
  const auto starStep = [&]() -> int {
    if (j + 1 == m) return 1;
    while (j < m && Mask[j] == U'*') ++j;
    if (j == m) return 1;
    const char32_t want = Mask[j];
    if (want != U'?')
      while (i < n && Name[i] != want) ++i;
    if (i == n) return 0;
    haveBackup = true;
    backStar = j - 1;
    backName = i + 1;
    ++i;
    ++j;
    return -1;
  };
  const auto backUp = [&]() -> int {
    if (!haveBackup) return 0;
    j = backStar;
    i = backName;
    return starStep();
  };

  for (;;) {
    int r = -1;
    if (j == m) {
      if (i == n) return true;
      r = backUp();
    } else if (i == n) {
      for (size_t k = j; k < m; ++k)
        if (Mask[k] != U'*' && Mask[k] != U'?') return false;
      return true;
    } else if (Mask[j] == U'*') {
      r = starStep();
    } else if (Mask[j] == U'?' || Mask[j] == Name[i]) {
      ++i;
      ++j;
    } else {
      r = backUp();
    }
    if (r >= 0) return r == 1;
  }
}

} // namespace

bool NameFitsMask(std::string_view Name, std::string_view Mask) {
  if (Name.empty()) return false;
  if (Name == Mask) return true;
  std::u32string name = text::DecodeUtf8(Name);
  for (auto &c : name) c = text::LowerCaseChar(c);
  const std::u32string mask = text::DecodeUtf8(Mask);
  if (mask.find(U'.') != std::u32string::npos) {
    const size_t last = name.find_last_of(U".\\:");
    if (last == std::u32string::npos || name[last] != U'.') name += U'.';
  }
  return MatchCodePoints(name, mask);
}

bool MatchesAny(const TNameList &List, std::string_view Name) {
  for (const auto &mask : List)
    if (NameFitsMask(Name, mask)) return true;
  return false;
}

bool IsAllowed(const TNameList &Allowed, const TNameList &Denied, std::string_view Name) {
  return (Allowed.empty() || MatchesAny(Allowed, Name)) && !MatchesAny(Denied, Name);
}

bool ListsUsable(const TNameList &Allowed, const TNameList &Denied) {
  if (Allowed.empty()) return true;
  for (const auto &a : Allowed)
    if (IndexOfText(Denied, a) < 0) return true;
  return false;
}

bool TScanFilter::ExtAllowed(std::string_view Ext) const {
  return !Ext.empty() && IndexOfText(Extentions, Ext) >= 0;
}

void TScanFilter::AssignTo(TScanFilter &Other) const {
  if (&Other == this) return;
  Other.AllowedComps = AllowedComps;
  Other.DeniedComps = DeniedComps;
  Other.AllowedRes = AllowedRes;
  Other.DeniedRes = DeniedRes;
  Other.Extentions = Extentions;
}

std::string AddNetPrefix(std::string_view S) {
  if (S.empty() || S == "\\") return "\\\\";
  size_t missing = 0;
  if (S[0] != '\\')
    missing = 2;
  else if (S.size() < 2 || S[1] != '\\')
    missing = 1;
  // Built by append: g++ 12 -O2 warns falsely (-Wrestrict) on "literal" + std::string.
  std::string out(missing, '\\');
  out.append(S);
  return out;
}

std::string RemoveNetPrefix(std::string_view S) {
  if (S.size() >= 2 && S[0] == '\\' && S[1] == '\\') return std::string(S.substr(2));
  if (!S.empty() && S[0] == '\\') return std::string(S.substr(1));
  return std::string(S);
}

std::string ExtractCompName(std::string_view S) {
  return net::UncPath::Parse(AddNetPrefix(S)).Server;
}

std::string GetNetResName(std::string_view S) {
  if (net::UncPath P = net::UncPath::Parse(S); !P.Share.empty()) return std::move(P.Share);
  throw Exception(
      FormatMessage("GetNetResName: %s is not a NetBIOS resource name.", std::string(S)));
}

} // namespace sonquarry
