#include "engine/search_thread.h"

#include "engine/net_enum.h"
#include "platform/net/net_provider.h"
#include "platform/os/exception.h"

namespace sonquarry {

TSearchThread::TSearchThread(int PauseMs, std::shared_ptr<net::INetProvider> Provider)
    : PauseMs_(PauseMs), Provider_(std::move(Provider)) {
  SetFreeOnTerminate(true);
}

std::shared_ptr<TSearchThread> TSearchThread::Create(int PauseMs,
                                                     std::shared_ptr<net::INetProvider> Provider) {
  if (!Provider) throw Exception("TSearchThread.Create: no network provider.");
  std::shared_ptr<TSearchThread> T(new TSearchThread(PauseMs, std::move(Provider)));
  T->Resume();
  return T;
}

TSearchThread::~TSearchThread() = default;

void TSearchThread::SetOnDomains(TNetResEvent Handler) {
  std::lock_guard<std::recursive_mutex> L(HandlerLock_);
  OnDomains_ = std::move(Handler);
}

void TSearchThread::SetOnComputers(TNetResEvent Handler) {
  std::lock_guard<std::recursive_mutex> L(HandlerLock_);
  OnComputers_ = std::move(Handler);
}

void TSearchThread::SearchDomains() {
  {
    std::lock_guard<std::mutex> L(RequestLock_);
    Mode_ = 0;
  }
  Wake_.SetEvent();
}

void TSearchThread::SearchComputers(const TNetRes *ADomain) {
  {
    std::lock_guard<std::mutex> L(RequestLock_);
    Mode_ = 1;
    Domain_ = ADomain;
  }
  Wake_.SetEvent();
}

std::string TSearchThread::LastError() const {
  std::lock_guard<std::mutex> L(RequestLock_);
  return LastError_;
}

void TSearchThread::Execute() {
  for (;;) {
    const bool Woken = Wake_.WaitFor(WaitMs);
    if (Terminated()) return;
    if (!Woken) continue;
    int Mode;
    const TNetRes *Domain;
    {
      std::lock_guard<std::mutex> L(RequestLock_);
      Mode = Mode_;
      Domain = Domain_;
    }
    Busy_ = true;
    try {
      if (Mode == 0)
        FindDomains();
      else
        FindComputers(Domain);
    } catch (const std::exception &E) {
      // The step ends; the thread keeps serving its dialog.
      std::lock_guard<std::mutex> L(RequestLock_);
      LastError_ = E.what();
    }
    Busy_ = false;
  }
}

void TSearchThread::FindDomains() {
  // The pause ends early on Terminate; the provider enumeration runs either way.
  WaitTerminated(PauseMs_);
  TNetResStrings Providers;
  EnumNetResources(*Provider_, nullptr, &Providers);
  if (Terminated()) return;
  // The second provider when there are several, the only one when there is one.
  const TNetRes *Provider = nullptr;
  if (Providers.size() >= 2)
    Provider = Providers[1].Res.get();
  else if (Providers.size() == 1)
    Provider = Providers[0].Res.get();
  TNetResStrings Domains;
  if (Provider) EnumNetResources(*Provider_, Provider, &Domains);
  Deliver(&TSearchThread::OnDomains_, Domains);
}

void TSearchThread::FindComputers(const TNetRes *ADomain) {
  if (!ADomain) throw Exception("TSearchThread.FindComputers: ADomain = nil.");
  TNetResStrings Computers;
  EnumNetResources(*Provider_, ADomain, &Computers);
  Deliver(&TSearchThread::OnComputers_, Computers);
}

void TSearchThread::Deliver(TNetResEvent TSearchThread::*Slot, TNetResStrings &List) {
  {
    // Nobody listens: no trip to the main thread.
    std::lock_guard<std::recursive_mutex> L(HandlerLock_);
    if (!(this->*Slot)) return;
  }
  Synchronize([&] {
    std::lock_guard<std::recursive_mutex> L(HandlerLock_);
    // A copy: the handler may detach itself while it runs.
    const TNetResEvent Handler = this->*Slot;
    if (Handler) Handler(this, List);
  });
}

} // namespace sonquarry
