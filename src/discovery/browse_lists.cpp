#include "discovery/browse_lists.h"

#include "platform/net/unc_path.h"
#include "text/text.h"

namespace sonquarry::discovery {

TBrowseLists::TBrowseLists(std::shared_ptr<net::INetProvider> Provider)
    : Provider_(std::move(Provider)) {}

std::string TBrowseLists::Fold(const std::string &S) { return text::AsciiLower(S); }

std::string TBrowseLists::ServerOf(const std::string &RemoteName) {
  return Fold(net::UncPath::Parse(RemoteName).Server);
}

net::NetEnumStatus TBrowseLists::Workgroups(const net::NetResource &Network,
                                            std::vector<net::NetResource> &Out,
                                            net::NetError *Error) {
  const net::NetEnumStatus S = Provider_->EnumResources(&Network, Out, Error);
  std::map<std::string, std::string> Groups;
  for (auto &R : Out) Groups.emplace(Fold(R.RemoteName), R.RemoteName);
  std::lock_guard<std::mutex> L(Lock_);
  Servers_.clear();
  if (S == net::NetEnumStatus::Ok) {
    Groups_ = std::move(Groups);
    Known_ = true;
  }
  return S;
}

net::NetEnumStatus TBrowseLists::Servers(const net::NetResource &Group,
                                         std::vector<net::NetResource> &Out, net::NetError *Error) {
  const std::size_t Before = Out.size();
  const net::NetEnumStatus S = Provider_->EnumResources(&Group, Out, Error);
  if (S != net::NetEnumStatus::Ok) return S;
  std::set<std::string> Names;
  for (std::size_t K = Before; K < Out.size(); ++K) Names.insert(ServerOf(Out[K].RemoteName));
  std::lock_guard<std::mutex> L(Lock_);
  Servers_[Fold(Group.RemoteName)] = std::move(Names);
  return S;
}

bool TBrowseLists::MayList(const std::string &Group) const {
  std::lock_guard<std::mutex> L(Lock_);
  return !Known_ || Groups_.count(Group);
}

std::set<std::string> TBrowseLists::Names(const std::string &Group) {
  net::NetResource Container;
  {
    std::lock_guard<std::mutex> L(Lock_);
    if (auto It = Servers_.find(Group); It != Servers_.end()) return It->second;
    Container.RemoteName = Groups_[Group];
  }
  Container.Scope = net::NetScopeGlobal;
  Container.Type = net::NetTypeDisk;
  Container.DisplayType = net::NetDisplayDomain;
  Container.Usage = net::NetUsageContainer;
  std::vector<net::NetResource> Listed;
  Provider_->EnumResources(&Container, Listed, nullptr);
  std::set<std::string> Names;
  for (auto &R : Listed) Names.insert(ServerOf(R.RemoteName));
  std::lock_guard<std::mutex> L(Lock_);
  return Servers_.emplace(Group, std::move(Names)).first->second;
}

std::string TBrowseLists::OtherListing(const std::string &Name, const std::string &Group) {
  std::map<std::string, std::string> Others;
  {
    std::lock_guard<std::mutex> L(Lock_);
    if (Known_) Others = Groups_;
  }
  Others.erase(Group);
  for (const auto &[Other, Spelled] : Others)
    if (Names(Other).count(Name)) return Spelled;
  return "";
}

} // namespace sonquarry::discovery
