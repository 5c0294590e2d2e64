#pragma once
// What the test network says about itself: testnet.env (KEY=VALUE, values plain or in single
// quotes, lists comma-separated) and the manifests of files and directories.

#include <cstdlib>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

namespace sonquarry::testing {

class TestNet {
public:
  // Reads the file named by SQ_TESTNET_ENV; Ok() is false when there is none.
  TestNet() {
    const char *Path = std::getenv("SQ_TESTNET_ENV");
    if (!Path) return;
    std::ifstream In(Path);
    std::string Line;
    while (std::getline(In, Line)) {
      if (Line.empty() || Line[0] == '#') continue;
      const auto Eq = Line.find('=');
      if (Eq == std::string::npos) continue;
      std::string V = Line.substr(Eq + 1);
      if (V.size() >= 2 && V.front() == '\'' && V.back() == '\'') V = V.substr(1, V.size() - 2);
      Env_[Line.substr(0, Eq)] = V;
    }
    Ok_ = !Env_.empty();
  }
  bool Ok() const { return Ok_; }
  std::string Get(const std::string &Key) const {
    auto It = Env_.find(Key);
    return It == Env_.end() ? "" : It->second;
  }
  std::vector<std::string> List(const std::string &Key) const {
    std::vector<std::string> Out;
    std::stringstream S(Get(Key));
    std::string Item;
    while (std::getline(S, Item, ','))
      if (!Item.empty()) Out.push_back(Item);
    return Out;
  }
  // Host keys (ALPHA, ...) of a role prefix ("samba", "impacket", ...).
  std::vector<std::string> HostsWithRole(const std::string &Prefix) const {
    std::vector<std::string> Out;
    for (auto &H : List("SQ_HOSTS"))
      if (Get("SQ_" + H + "_ROLE").rfind(Prefix, 0) == 0) Out.push_back(H);
    return Out;
  }
  std::string Name(const std::string &Host) const { return Get("SQ_" + Host + "_NAME"); }
  std::string Ip(const std::string &Host) const { return Get("SQ_" + Host + "_IP"); }
  std::string HostOfName(const std::string &Name) const {
    for (auto &H : List("SQ_HOSTS"))
      if (this->Name(H) == Name) return H;
    return "";
  }

  // host name, share -> relative paths (backslashes) of its files, and of its directories.
  using TShareKey = std::pair<std::string, std::string>;
  std::map<TShareKey, std::set<std::string>> Files() const { return Read(Get("SQ_MANIFEST")); }
  std::map<TShareKey, std::set<std::string>> Dirs() const { return Read(Get("SQ_DIRS")); }

private:
  static std::map<TShareKey, std::set<std::string>> Read(const std::string &Path) {
    std::map<TShareKey, std::set<std::string>> Out;
    std::ifstream In(Path);
    std::string Line;
    while (std::getline(In, Line)) {
      std::vector<std::string> F;
      std::stringstream S(Line);
      std::string Field;
      while (std::getline(S, Field, '\t')) F.push_back(Field);
      if (F.size() < 4) continue;
      Out[{F[0], F[2]}].insert(F[3]);
    }
    return Out;
  }
  std::map<std::string, std::string> Env_;
  bool Ok_ = false;
};

} // namespace sonquarry::testing
