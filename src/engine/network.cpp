#include "engine/network.h"

#include <algorithm>
#include <mutex>

#include "discovery/wsd_provider.h"
#include "platform/smb/smb_provider.h"

namespace sonquarry {

namespace {
std::mutex ProviderLock;
std::shared_ptr<net::INetProvider> &Installed() {
  static std::shared_ptr<net::INetProvider> P;
  return P;
}
} // namespace

std::shared_ptr<net::INetProvider> NetProvider() {
  std::lock_guard<std::mutex> L(ProviderLock);
  if (!Installed()) Installed() = std::make_shared<smb::TSmbProvider>();
  return Installed();
}

void SetNetProvider(std::shared_ptr<net::INetProvider> P) {
  std::lock_guard<std::mutex> L(ProviderLock);
  Installed() = std::move(P);
}

std::shared_ptr<net::INetProvider> WithWsDiscovery(std::shared_ptr<net::INetProvider> P, bool On) {
  if (auto W = std::dynamic_pointer_cast<wsd::TWsdNetProvider>(P)) {
    if (On) return P;
    P = W->Inner();
  }
  return On ? std::make_shared<wsd::TWsdNetProvider>(P) : P;
}

void UseWsDiscovery(bool On) { SetNetProvider(WithWsDiscovery(NetProvider(), On)); }

void CheckNetworkSetup(const std::shared_ptr<net::INetProvider> &P) {
  std::shared_ptr<net::INetProvider> Inner = P;
  if (auto W = std::dynamic_pointer_cast<wsd::TWsdNetProvider>(Inner)) Inner = W->Inner();
  if (auto S = std::dynamic_pointer_cast<smb::TSmbProvider>(Inner)) S->CheckSetup();
}

void SetWalkLimits(const std::shared_ptr<net::INetProvider> &P, int ServerConnections,
                   int Threads) {
  std::shared_ptr<net::INetProvider> Inner = P;
  if (auto W = std::dynamic_pointer_cast<wsd::TWsdNetProvider>(Inner)) Inner = W->Inner();
  if (auto S = std::dynamic_pointer_cast<smb::TSmbProvider>(Inner))
    S->SetWalkLimits(std::min(ServerConnections, Threads), Threads);
}

bool SmbWorkerMissing(const std::shared_ptr<net::INetProvider> &P) {
  std::shared_ptr<net::INetProvider> Inner = P;
  if (auto W = std::dynamic_pointer_cast<wsd::TWsdNetProvider>(Inner)) Inner = W->Inner();
  const auto S = std::dynamic_pointer_cast<smb::TSmbProvider>(Inner);
  return S && S->Options().WorkerPath.empty() && smb::SmbWorkerPath().empty();
}

} // namespace sonquarry
