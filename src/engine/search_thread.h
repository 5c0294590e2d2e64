#pragma once
// The background thread of the "Select computers" dialog: lists the domains of the network and
// the computers of one domain, and hands each list to a handler on the main thread.
//
// Create starts it at once. The owner (the dialog) and the running thread share the object: the
// owner may call any method, also after the thread has ended (a step that failed, a closed
// dispatcher), and releases it by Terminate and dropping its pointer, without waiting; the thread
// then ends within WaitMs (or when its network call returns) and the last of the two frees it.
//
// Handlers run on the main thread. The list lives only during the call: the handler copies the
// names and may move the records out (it then owns them); the thread frees the rest.
// Detaching (a setter with an empty handler) never waits for a delivery that waits for the main
// thread, and once it returns the handler is not called again. The handler slots are tested and
// called on the main thread under the slot lock; the thread itself never holds that lock while it
// waits for the main thread.

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "engine/net_res.h"
#include "platform/os/thread.h"

namespace sonquarry {

namespace net {
class INetProvider;
}

class TSearchThread final : public platform::TThread {
public:
  using TNetResEvent = std::function<void(TSearchThread *Sender, TNetResStrings &List)>;

  static constexpr int WaitMs = 500;          // poll of the wake-up event, bounds a stop request
  static constexpr int DomainPauseMs = 15000; // pause before the domains are listed

  // Starts the thread over Provider. Throws Exception "TSearchThread.Create: no network
  // provider." without one, std::system_error when the thread cannot start.
  static std::shared_ptr<TSearchThread> Create(int PauseMs,
                                               std::shared_ptr<net::INetProvider> Provider);
  ~TSearchThread() override;

  void SetOnDomains(TNetResEvent Handler);
  void SetOnComputers(TNetResEvent Handler);
  // Requests made while a step runs give one further step with the last request.
  void SearchDomains();
  // ADomain stays the caller's and must live until the answer arrives.
  void SearchComputers(const TNetRes *ADomain);

  int PauseMs() const { return PauseMs_; }
  // The message of the last error that ended a step ("" if none).
  std::string LastError() const;
  // True from taking a request until its step has ended.
  bool Busy() const { return Busy_; }

protected:
  void Execute() override;

private:
  TSearchThread(int PauseMs, std::shared_ptr<net::INetProvider> Provider);
  void FindDomains();
  void FindComputers(const TNetRes *ADomain);
  void Deliver(TNetResEvent TSearchThread::*Slot, TNetResStrings &List);

  TNetResEvent OnComputers_;
  TNetResEvent OnDomains_;
  platform::TEvent Wake_;
  mutable std::mutex RequestLock_; // mode and domain of the next step
  int Mode_ = 0;                   // 0 domains, 1 computers
  const TNetRes *Domain_ = nullptr;
  std::recursive_mutex HandlerLock_; // the two handler slots; a handler may call the setters
  const int PauseMs_;
  std::shared_ptr<net::INetProvider> Provider_;
  std::string LastError_; // guarded by RequestLock_
  std::atomic<bool> Busy_{false};
};

} // namespace sonquarry
