#include "platform/net/smb_url.h"

namespace sonquarry::net {

std::string SmbUrlEncode(const std::string &Text) {
  static const char Hex[] = "0123456789ABCDEF";
  std::string Out;
  Out.reserve(Text.size());
  for (const unsigned char C : Text) {
    const bool Unreserved = (C >= 'A' && C <= 'Z') || (C >= 'a' && C <= 'z') ||
                            (C >= '0' && C <= '9') || C == '-' || C == '.' || C == '_' || C == '~';
    if (Unreserved) {
      Out += char(C);
    } else {
      Out += '%';
      Out += Hex[C >> 4];
      Out += Hex[C & 15];
    }
  }
  return Out;
}

std::string UncToSmbUrl(const std::string &Unc) {
  std::string Url = "smb://";
  bool First = true;
  std::size_t Pos = 0;
  while (Pos <= Unc.size()) {
    const std::size_t End = Unc.find('\\', Pos);
    const std::size_t Stop = End == std::string::npos ? Unc.size() : End;
    if (Stop > Pos) {
      if (!First) Url += '/';
      Url += SmbUrlEncode(Unc.substr(Pos, Stop - Pos));
      First = false;
    }
    if (End == std::string::npos) break;
    Pos = End + 1;
  }
  return Url;
}

} // namespace sonquarry::net
