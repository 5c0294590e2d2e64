#pragma once
// What a scan of the test network must find, worked out from testnet.env and its manifests.

#include <algorithm>
#include <cctype>
#include <map>
#include <ostream>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "support/testnet_env.h"

namespace sonquarry::testing {

// One found name as the engine reports it: domain, directory without trailing backslash, name.
struct TFound {
  std::string Domain, Dir, Name;
  bool operator<(const TFound &O) const {
    return std::tie(Domain, Dir, Name) < std::tie(O.Domain, O.Dir, O.Name);
  }
  bool operator==(const TFound &O) const = default;
};

// A failed comparison shows the row, not its bytes.
inline void PrintTo(const TFound &F, std::ostream *Os) {
  *Os << F.Dir << '\\' << F.Name << " [" << F.Domain << ']';
}

inline std::string LowerAscii(std::string S) {
  for (auto &C : S) C = char(std::tolower(static_cast<unsigned char>(C)));
  return S;
}

inline std::string ExtOf(const std::string &Name) {
  const auto Dot = Name.find_last_of(".\\");
  return Dot == std::string::npos || Name[Dot] != '.' ? "" : LowerAscii(Name.substr(Dot));
}

// Which hosts and shares a scan reaches, and how it names them.
struct TScanView {
  bool Ip = false;                       // IP mode: computers by address, domain "<<unknown>>"
  std::set<std::string> Exts = {".mp3"}; // lower case
  std::set<std::string> DeniedHosts;     // host names
  std::set<std::string> DeniedShares;    // share names
  bool DirNames = true;                  // directories with a matching extension are names too
  bool Wsd = false;                      // the neighbourhood includes WS-Discovery's computers
  bool Mdns = false;                     // and those that mDNS announces (under "LOCAL" alone)
  bool Port445 = false;                  // IP mode: hosts on port 445 only are found too
};

class TExpected {
public:
  TExpected(const Env &E, const TScanView &V) {
    for (const auto &Key : E.Hosts()) {
      const std::string Name = E.Host(Key, "NAME");
      const auto Ports = SplitList(E.Host(Key, "PORTS"));
      const bool Serves = !Ports.empty();
      // IP mode probes port 139 (and 445 with Port445); the neighbourhood knows the hosts of a
      // workgroup's browse list, and with WS-Discovery or mDNS those that announce themselves
      // that way. A host that mDNS alone finds is listed under "LOCAL".
      const bool Grouped = E.Host(Key, "BROWSE") == "1" || (V.Wsd && E.Host(Key, "WSD") == "1");
      const bool MdnsOnly = !V.Ip && !Grouped && V.Mdns && E.Host(Key, "MDNS") == "1";
      const std::string Wg = MdnsOnly ? "LOCAL" : E.Host(Key, "WORKGROUP");
      const bool Listed = Grouped || MdnsOnly;
      const bool Probed = std::count(Ports.begin(), Ports.end(), "139") != 0 ||
                          (V.Port445 && std::count(Ports.begin(), Ports.end(), "445") != 0);
      if (!Serves || (V.Ip && !Probed) || (!V.Ip && (Wg.empty() || !Listed)) ||
          V.DeniedHosts.count(Name))
        continue;
      Hosts_.insert(Name);
      const std::string Domain = V.Ip ? "<<unknown>>" : Wg;
      const std::string Comp = V.Ip ? E.Host(Key, "IP") : Name;
      for (const auto &Share : SplitList(E.Host(Key, "SHARES"))) {
        if (V.DeniedShares.count(Share)) continue;
        const std::string Root = "\\\\" + Comp + "\\" + Share;
        Shares_[{Name, Share}] = {Domain, Root};
        Dirs.insert(Root);
      }
    }
    for (const auto &D : E.Dirs()) {
      auto It = Shares_.find({D.host, D.share});
      if (It == Shares_.end()) continue;
      const auto &[Domain, Root] = It->second;
      Dirs.insert(Root + "\\" + D.path);
      const auto Slash = D.path.find_last_of('\\');
      const std::string Leaf = Slash == std::string::npos ? D.path : D.path.substr(Slash + 1);
      if (V.DirNames && V.Exts.count(ExtOf(Leaf)))
        Found.insert({Domain,
                      Slash == std::string::npos ? Root : Root + "\\" + D.path.substr(0, Slash),
                      Leaf});
    }
    for (const auto &F : E.Files()) {
      auto It = Shares_.find({F.host, F.share});
      if (It == Shares_.end()) continue;
      const auto &[Domain, Root] = It->second;
      const auto Slash = F.path.find_last_of('\\');
      const std::string Leaf = Slash == std::string::npos ? F.path : F.path.substr(Slash + 1);
      if (!V.Exts.count(ExtOf(Leaf))) continue;
      Found.insert({Domain,
                    Slash == std::string::npos ? Root : Root + "\\" + F.path.substr(0, Slash),
                    Leaf});
      HostsWithFiles.insert(F.host);
    }
  }

  std::set<TFound> Found;               // every name a scan must report
  std::set<std::string> Dirs;           // every directory it must walk, share roots included
  std::set<std::string> HostsWithFiles; // host names
  const std::set<std::string> &Hosts() const { return Hosts_; }

private:
  std::set<std::string> Hosts_;
  std::map<std::pair<std::string, std::string>, std::pair<std::string, std::string>> Shares_;
};

} // namespace sonquarry::testing
