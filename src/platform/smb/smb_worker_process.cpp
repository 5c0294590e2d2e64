#include "platform/smb/smb_worker_process.h"

#include "platform/smb/smb_logins.h"
#include "platform/smb/smb_provider.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <system_error>
#include <unistd.h>

extern char **environ;

namespace sonquarry::smb {

net::NetError Broken(int Code, std::string Message) {
  net::NetError E{Code, std::move(Message)};
  E.Broken = true;
  return E;
}

TWorker::~TWorker() {
  End();
  if (Fd_ >= 0) ::close(Fd_);
}

std::string TWorker::How() const {
  if (WIFSIGNALED(Status_)) return "signal " + std::to_string(WTERMSIG(Status_));
  if (WIFEXITED(Status_)) return "exit status " + std::to_string(WEXITSTATUS(Status_));
  return "gone";
}

bool TWorker::Greets(const wire::Frame &F) const {
  uint32_t Said = 0;
  return F.Kind == wire::Type::HelloOk && wire::GetHandle(F.Payload, Said) && pid_t(Said) == Pid_;
}

void TWorker::Kill() {
  EndedByOwner_.store(true, std::memory_order_release);
  std::lock_guard<std::mutex> L(M_);
  if (!Reaped_) ::kill(Pid_, SIGKILL);
}

std::string TWorker::End() {
  std::lock_guard<std::mutex> L(M_);
  if (!Reaped_) {
    ::kill(Pid_, SIGKILL);
    int St = 0;
    pid_t R;
    while ((R = ::waitpid(Pid_, &St, 0)) < 0 && errno == EINTR) {
    }
    Reaped_ = true;
    if (R == Pid_) Status_ = St;
  }
  return How();
}

std::string TWorker::Gone() {
  {
    std::lock_guard<std::mutex> L(M_);
    for (int I = 0; I < 20 && !Reaped_; ++I) {
      int St = 0;
      const pid_t R = ::waitpid(Pid_, &St, WNOHANG);
      if (R == Pid_ || (R < 0 && errno == ECHILD)) {
        Reaped_ = true;
        Status_ = St;
        break;
      }
      ::usleep(5000);
    }
  }
  return End();
}

bool TWorker::Send(wire::Type Kind, const std::vector<uint8_t> &Payload, net::NetError &Error) {
  if (wire::SendFrame(Fd_, Kind, Payload)) return true;
  Error = Broken(EPIPE, "ended (" + Gone() + ")");
  return false;
}

bool TWorker::Receive(wire::Frame &F, Clock::time_point Deadline, int TimeOutMs,
                      net::NetError &Error) {
  for (;;) {
    if (const int T = Took(F, Error)) return T > 0;
    Deadline = std::max(Deadline, Answered_ + std::chrono::milliseconds(TimeOutMs));
    const auto Left =
        std::chrono::duration_cast<std::chrono::milliseconds>(Deadline - Clock::now()).count();
    if (Left <= 0) {
      End();
      Error = Broken(ETIMEDOUT, "did not answer within " + std::to_string(TimeOutMs) + " ms");
      return false;
    }
    if (!Wait(int(std::min<long long>(Left, 1 << 30)), Error)) return false;
  }
}

int TWorker::TryReceive(wire::Frame &F, net::NetError &Error) {
  for (int Reads = 0;; ++Reads) {
    if (const int T = Took(F, Error)) return T;
    if (Reads > 0) return 0;
    pollfd P{Fd_, POLLIN, 0};
    const int N = ::poll(&P, 1, 0);
    if (N == 0 || (N < 0 && errno == EINTR)) return 0;
    if (!Wait(0, Error)) return -1;
  }
}

int TWorker::Took(wire::Frame &F, net::NetError &Error) {
  for (;;) {
    const auto R = wire::Take(In_, F);
    if (R.Used && F.Kind != wire::Type::AskLogin && F.Kind != wire::Type::LoginUsed) return 1;
    if (R.Used) {
      if (!Answer(F, Error)) return -1;
      continue;
    }
    if (R.Incomplete) return 0;
    End();
    Error = Broken(EPROTO, "broke the protocol (" + R.Why + ")");
    return -1;
  }
}

bool TWorker::Answer(const wire::Frame &F, net::NetError &Error) {
  wire::AskLogin Q;
  if (!wire::Get(F.Payload, Q)) {
    End();
    Error = Broken(EPROTO, "broke the protocol (a question for a login)");
    return false;
  }
  if (F.Kind == wire::Type::LoginUsed) {
    if (Logins_) Logins_->Used(Q.Server, Q.Index);
    return true;
  }
  const wire::Login L = Logins_ ? Logins_->Next(Q.Server, Q.Index) : wire::Login{};
  Answered_ = Clock::now();
  return Send(wire::Type::Login, wire::Put(L), Error);
}

bool TWorker::Wait(int Ms, net::NetError &Error) {
  pollfd P{Fd_, POLLIN, 0};
  const int N = ::poll(&P, 1, Ms);
  if (N < 0 && errno != EINTR) {
    Error = Broken(errno, "could not be read (" + std::generic_category().message(errno) + ")");
    End();
    return false;
  }
  if (N <= 0) return true;
  // Straight into the buffer: the rest of the frame once its header is here (file chunks are
  // megabytes), else room for a reply of a few hundred entries. No FIONREAD: one call less
  // per exchange.
  std::size_t Want = FirstRead;
  if (In_.size() >= wire::HeaderSize)
    if (const auto Length = wire::PayloadLength(
            std::span<const uint8_t, wire::HeaderSize>(In_.data(), wire::HeaderSize)))
      Want = std::max(Want, wire::HeaderSize + *Length + wire::TrailerSize - In_.size());
  Want = std::min(Want, ReadSize);
  const std::size_t Had = In_.size();
  In_.resize(Had + Want);
  const ssize_t Got = ::read(Fd_, In_.data() + Had, Want);
  In_.resize(Had + std::size_t(std::max<ssize_t>(Got, 0)));
  if (Got < 0 && errno == EINTR) return true;
  if (Got <= 0) {
    Error = Broken(EPIPE, "ended (" + Gone() + ")");
    return false;
  }
  return true;
}

namespace {
std::atomic<unsigned> Greeted_{0}, Failed_{0};
} // namespace

WorkerStarts CountWorkerStarts() { return {Greeted_.load(), Failed_.load()}; }

std::shared_ptr<TWorker> TWorker::Spawn(const std::string &Path, const wire::Hello &Config,
                                        int TimeOutMs, net::NetError &Error, bool Greeted) {
  auto Fail = [&](int Code, const std::string &Why) -> std::shared_ptr<TWorker> {
    Error =
        Broken(Code, "SMB worker " + (Path.empty() ? std::string("sonquarry-smb-worker") : Path) +
                         " could not be started: " + Why);
    ++Failed_;
    return nullptr;
  };
  if (Path.empty()) return Fail(ENOENT, "not found beside the program");
  int Sv[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, Sv) != 0)
    return Fail(errno, std::generic_category().message(errno));
  posix_spawn_file_actions_t Fa;
  posix_spawnattr_t At;
  posix_spawn_file_actions_init(&Fa);
  posix_spawnattr_init(&At);
  posix_spawn_file_actions_adddup2(&Fa, Sv[1], wire::WorkerFd);
  posix_spawn_file_actions_addclosefrom_np(&Fa, wire::WorkerFd + 1);
  // A process group of its own: the terminal's Ctrl+C is the program's, which ends its workers.
  sigset_t None, Defaults;
  sigemptyset(&None);
  sigemptyset(&Defaults);
  sigaddset(&Defaults, SIGTERM);
  sigaddset(&Defaults, SIGCHLD);
  posix_spawnattr_setflags(&At,
                           POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  posix_spawnattr_setpgroup(&At, 0);
  posix_spawnattr_setsigmask(&At, &None);
  posix_spawnattr_setsigdefault(&At, &Defaults);
  const std::string Fd = std::to_string(wire::WorkerFd), Parent = std::to_string(::getpid());
  std::vector<char *> Argv{const_cast<char *>(Path.c_str()),   const_cast<char *>("--fd"),
                           const_cast<char *>(Fd.c_str()),     const_cast<char *>("--parent"),
                           const_cast<char *>(Parent.c_str()), nullptr};
  pid_t Pid = -1;
  const int Rc = ::posix_spawn(&Pid, Path.c_str(), &Fa, &At, Argv.data(), environ);
  posix_spawn_file_actions_destroy(&Fa);
  posix_spawnattr_destroy(&At);
  ::close(Sv[1]);
  if (Rc != 0) {
    ::close(Sv[0]);
    return Fail(Rc, std::generic_category().message(Rc));
  }
  std::shared_ptr<TWorker> W(new TWorker(Pid, Sv[0]));
  wire::Frame F;
  const auto Deadline = Clock::now() + std::chrono::milliseconds(TimeOutMs);
  if (!W->Send(wire::Type::Hello, wire::Put(Config), Error) ||
      (Greeted && !W->Receive(F, Deadline, TimeOutMs, Error)))
    return Fail(Error.Code, "it " + Error.Message);
  if (Greeted && !W->Greets(F)) {
    W->End();
    return Fail(EPROTO, "it did not greet as a worker");
  }
  if (Greeted) ++Greeted_;
  return W;
}

} // namespace sonquarry::smb
