#pragma once
// One worker process (sonquarry-smb-worker) seen from the program: its start, the exchange of
// frames over its socket, and its end. Internal to the SMB room.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <sys/types.h>
#include <vector>

#include "platform/net/net_provider.h"
#include "platform/os/thread.h"
#include "platform/smb/wire/smb_wire.h"

namespace sonquarry::smb {

class TSmbLogins;

using Clock = std::chrono::steady_clock;

// A failure of the worker rather than of the server.
net::NetError Broken(int Code, std::string Message);

// Starts the spawner of Path's workers in the background, so that the first worker starts as
// quickly as the next. A worker is forked by it, ready, as the program's child (waited for, ended
// and limited as one started from Path); where it cannot run, workers are started from Path.
// SONQUARRY_SMB_SPAWNER=0 starts every worker from Path.
void WarmWorkers(const std::string &Path);

class TWorker {
public:
  ~TWorker();

  // Starts Path and says Hello; null on failure, and when the calling thread is stopped meanwhile
  // (Error ECANCELED, not counted as a failed start). Greeted false: returns without waiting for
  // the greeting, which is then the first reply (Greets).
  static std::shared_ptr<TWorker> Spawn(const std::string &Path, const wire::Hello &Config,
                                        int TimeOutMs, net::NetError &Error, bool Greeted = true);
  bool Greets(const wire::Frame &F) const;
  // Where its questions for a computer's identity go (none: it is given none). Set before the
  // first request; they are answered while a reply is awaited, by the thread that awaits it.
  void ServeLogins(std::shared_ptr<TSmbLogins> Logins) { Logins_ = std::move(Logins); }

  pid_t Pid() const { return Pid_; }
  // The socket, for a poll over several workers; read through Receive and TryReceive only.
  int Fd() const { return Fd_; }
  // Ended by its owner (a stop, a provider released): a failure afterwards is no fault of its.
  bool EndedByOwner() const { return EndedByOwner_.load(std::memory_order_acquire); }
  bool Alive() const {
    std::lock_guard<std::mutex> L(M_);
    return !Reaped_;
  }

  // Any thread, never blocks.
  void Kill();
  // Kills and reaps it; how it ended.
  std::string End();
  // After the socket ended: waits a little for the process to go by itself, then ends it.
  std::string Gone();

  bool Send(wire::Type Kind, const std::vector<uint8_t> &Payload, net::NetError &Error);

  // Deadline is pushed on by the worker's Progress frames: TimeOutMs after the last.
  bool Receive(wire::Frame &F, Clock::time_point Deadline, int TimeOutMs, net::NetError &Error);
  // Deadline, or TimeOutMs after the last Progress frame when that is later.
  Clock::time_point Until(Clock::time_point Deadline, int TimeOutMs) const {
    return std::max(Deadline, Progress_ + std::chrono::milliseconds(TimeOutMs));
  }

  // A reply if one is here whole, without waiting: 1; none yet: 0; the worker failed: -1.
  int TryReceive(wire::Frame &F, net::NetError &Error);

private:
  // A whole frame from what was read: 1; not yet: 0; a broken one ends the worker: -1. A question
  // for an identity is answered here and is no reply.
  int Took(wire::Frame &F, net::NetError &Error);
  bool Answer(const wire::Frame &F, net::NetError &Error);

  // Receive; Stoppable: a stop of the calling thread ends the wait, and the worker.
  bool Await(wire::Frame &F, Clock::time_point Deadline, int TimeOutMs, bool Stoppable,
             net::NetError &Error);
  // Waits up to Ms for bytes and reads what came; false when the worker failed (Error says why).
  bool Wait(int Ms, net::NetError &Error);

  TWorker(pid_t Pid, int Fd) : Pid_(Pid), Fd_(Fd) {}
  static constexpr std::size_t ReadSize = 4 << 20, FirstRead = 16 << 10;

  std::string How() const;

  const pid_t Pid_;
  const int Fd_;
  std::vector<uint8_t> In_;                               // the owning thread's only
  Clock::time_point Progress_ = Clock::time_point::min(); // the last Progress frame; In_'s thread
  mutable std::mutex M_;
  bool Reaped_ = false;
  int Status_ = 0;
  std::atomic<bool> EndedByOwner_{false};
  std::shared_ptr<TSmbLogins> Logins_;
  // When the last question was answered: a user's answer may take long, and the reply's
  // deadline counts from there.
  Clock::time_point Answered_{};
};

// While it lives, a terminate request of the calling TThread ends W.
class TCancelScope {
public:
  explicit TCancelScope(const std::shared_ptr<TWorker> &W) : T_(platform::TThread::Current()) {
    if (T_) T_->SetTerminateHook([W] { W->Kill(); });
  }
  ~TCancelScope() {
    if (T_) T_->SetTerminateHook(nullptr);
  }
  TCancelScope(const TCancelScope &) = delete;
  TCancelScope &operator=(const TCancelScope &) = delete;

private:
  platform::TThread *T_;
};

inline bool StopRequested() {
  platform::TThread *T = platform::TThread::Current();
  return T && T->Terminated();
}

} // namespace sonquarry::smb
