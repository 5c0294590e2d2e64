#pragma once
// The questions the SMB tests ask about the test network, over testnet_env.h.

#include <map>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "support/testnet_env.h"

namespace sonquarry::testing {

class TestNet {
public:
  // Ok() is false outside the test network.
  TestNet() {
    try {
      Env_ = std::make_unique<Env>(Env::Load());
    } catch (const std::exception &) {
      Env_.reset();
    }
  }
  bool Ok() const { return Env_ != nullptr; }
  std::string Get(const std::string &Key) const { return Env_->Has(Key) ? Env_->Get(Key) : ""; }
  std::vector<std::string> List(const std::string &Key) const {
    return Env_->Has(Key) ? Env_->List(Key) : std::vector<std::string>{};
  }
  // Host keys (ALPHA, ...) whose role starts with Prefix ("samba", "impacket", ...).
  std::vector<std::string> HostsWithRole(const std::string &Prefix) const {
    std::vector<std::string> Out;
    for (auto &H : Env_->Hosts())
      if (Env_->Host(H, "ROLE").rfind(Prefix, 0) == 0) Out.push_back(H);
    return Out;
  }
  std::string Name(const std::string &Host) const { return Env_->Host(Host, "NAME"); }
  std::string Ip(const std::string &Host) const { return Env_->Host(Host, "IP"); }

  // (host name, share) -> relative paths (backslashes) of its files, and of its directories.
  using TShareKey = std::pair<std::string, std::string>;
  std::map<TShareKey, std::set<std::string>> Files() const {
    std::map<TShareKey, std::set<std::string>> Out;
    for (auto &F : Env_->Files()) Out[{F.host, F.share}].insert(F.path);
    return Out;
  }
  std::map<TShareKey, std::set<std::string>> Dirs() const {
    std::map<TShareKey, std::set<std::string>> Out;
    for (auto &D : Env_->Dirs()) Out[{D.host, D.share}].insert(D.path);
    return Out;
  }

private:
  std::unique_ptr<Env> Env_;
};

} // namespace sonquarry::testing
