#include "engine/network.h"

#include "discovery/neighbourhood.h"

namespace sonquarry {

namespace {
bool Chosen(discovery::TMethod Method, const DiscoveryChoice &Choice) {
  switch (Method) {
  case discovery::TMethod::WsDiscovery:
    return Choice.WsDiscovery;
  case discovery::TMethod::Mdns:
    return Choice.Mdns;
  }
  return false;
}
} // namespace

TNetwork::TNetwork(std::shared_ptr<net::INetProvider> Provider,
                   std::vector<std::shared_ptr<discovery::IDiscoverer>> Discoverers)
    : Provider_(std::move(Provider)), Discoverers_(std::move(Discoverers)), Files_(Provider_) {}

std::shared_ptr<net::INetProvider> TNetwork::Neighbourhood(const DiscoveryChoice &Choice) {
  std::vector<std::shared_ptr<discovery::IDiscoverer>> Picked;
  std::vector<discovery::TMethod> Key;
  for (auto &D : Discoverers_)
    if (Chosen(D->Method(), Choice)) {
      Picked.push_back(D);
      Key.push_back(D->Method());
    }
  if (Picked.empty()) return Provider_;
  std::lock_guard<std::mutex> L(Lock_);
  auto &P = Made_[Key];
  if (!P) P = std::make_shared<discovery::TNeighbourhood>(Provider_, std::move(Picked));
  return P;
}

std::shared_ptr<net::INetProvider> TNetwork::StartSearch(const DiscoveryChoice &Choice) {
  auto P = Neighbourhood(Choice);
  std::lock_guard<std::mutex> L(Lock_);
  Files_ = P;
  return P;
}

std::shared_ptr<net::INetProvider> TNetwork::Files() const {
  std::lock_guard<std::mutex> L(Lock_);
  return Files_;
}

} // namespace sonquarry
