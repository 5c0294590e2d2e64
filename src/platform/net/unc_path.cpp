#include "platform/net/unc_path.h"

#include <algorithm>

namespace sonquarry::net {

UncPath UncPath::Parse(std::string_view Text) {
  UncPath P;
  if (Text.size() < 3 || Text[0] != '\\' || Text[1] != '\\' || Text[2] == '\\') return P;
  Text.remove_prefix(2);
  auto Cut = Text.find('\\');
  P.Server = Text.substr(0, Cut);
  if (Cut == std::string_view::npos) return P;
  Text.remove_prefix(Cut);
  Text.remove_prefix(std::min(Text.find_first_not_of('\\'), Text.size()));
  Cut = Text.find('\\');
  P.Share = Text.substr(0, Cut);
  if (Cut == std::string_view::npos) return P;
  const auto B = Text.find_first_not_of('\\', Cut);
  if (B == std::string_view::npos) return P;
  P.Rest = Text.substr(B, Text.find_last_not_of('\\') + 1 - B);
  return P;
}

std::string UncPath::Str() const {
  if (Server.empty()) return "";
  std::string S = "\\\\" + Server;
  if (Share.empty()) return S;
  S += '\\';
  S += Share;
  if (!Rest.empty()) {
    S += '\\';
    S += Rest;
  }
  return S;
}

} // namespace sonquarry::net
