#include "platform/smb/smb_worker_process.h"

#include "platform/smb/smb_logins.h"
#include "platform/smb/smb_provider.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <system_error>
#include <thread>
#include <unistd.h>

extern char **environ;

namespace sonquarry::smb {

namespace {
// How often a wait for a worker's start looks whether its thread was stopped.
constexpr int StopPollMs = 20;
} // namespace

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
  return Await(F, Deadline, TimeOutMs, false, Error);
}

bool TWorker::Await(wire::Frame &F, Clock::time_point Deadline, int TimeOutMs, bool Stoppable,
                    net::NetError &Error) {
  for (;;) {
    if (const int T = Took(F, Error)) return T > 0;
    if (Stoppable && StopRequested()) {
      End();
      Error = Broken(ECANCELED, "stopped");
      return false;
    }
    Deadline = std::max(Deadline, Answered_ + std::chrono::milliseconds(TimeOutMs));
    const auto Left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          Until(Deadline, TimeOutMs) - Clock::now())
                          .count();
    if (Left <= 0) {
      End();
      Error = Broken(ETIMEDOUT, "did not answer within " + std::to_string(TimeOutMs) + " ms");
      return false;
    }
    if (!Wait(int(std::min<long long>(Left, Stoppable ? StopPollMs : 1 << 30)), Error))
      return false;
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
    if (R.Used && F.Kind == wire::Type::Progress) {
      Progress_ = Clock::now();
      continue;
    }
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

namespace {

// The attributes of a start of the worker program: a process group of its own (the terminal's
// Ctrl+C is the program's, which ends its workers) and the signals as a fresh program has them.
class TSpawnAttr {
public:
  explicit TSpawnAttr(int Fd) {
    posix_spawn_file_actions_init(&Fa);
    posix_spawnattr_init(&At);
    posix_spawn_file_actions_adddup2(&Fa, Fd, wire::WorkerFd);
    posix_spawn_file_actions_addclosefrom_np(&Fa, wire::WorkerFd + 1);
    sigset_t None, Defaults;
    sigemptyset(&None);
    sigemptyset(&Defaults);
    sigaddset(&Defaults, SIGTERM);
    sigaddset(&Defaults, SIGCHLD);
    posix_spawnattr_setflags(&At, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK |
                                      POSIX_SPAWN_SETSIGDEF);
    posix_spawnattr_setpgroup(&At, 0);
    posix_spawnattr_setsigmask(&At, &None);
    posix_spawnattr_setsigdefault(&At, &Defaults);
  }
  ~TSpawnAttr() {
    posix_spawn_file_actions_destroy(&Fa);
    posix_spawnattr_destroy(&At);
  }
  TSpawnAttr(const TSpawnAttr &) = delete;
  TSpawnAttr &operator=(const TSpawnAttr &) = delete;

  // Path with "Key WorkerFd KeyOfPid getpid()"; the pid, or minus the error.
  pid_t Start(const std::string &Path, const char *Key, const char *PidKey) {
    const std::string Fd = std::to_string(wire::WorkerFd), Me = std::to_string(::getpid());
    char *Argv[] = {const_cast<char *>(Path.c_str()), const_cast<char *>(Key),
                    const_cast<char *>(Fd.c_str()),   const_cast<char *>(PidKey),
                    const_cast<char *>(Me.c_str()),   nullptr};
    pid_t Pid = -1;
    const int Rc = ::posix_spawn(&Pid, Path.c_str(), &Fa, &At, Argv, environ);
    return Rc == 0 ? Pid : -Rc;
  }

private:
  posix_spawn_file_actions_t Fa;
  posix_spawnattr_t At;
};

// Runs jobs on one thread that lives as long as the program: a spawner started there ends with
// the program (PR_SET_PDEATHSIG follows the thread that started it), and so do its workers. At
// exit the thread ends first, which ends them at once: a thread left running would hold the exit
// of a sanitizer build (ThreadSanitizer sleeps a second at an exit with other threads).
class TKeeper {
public:
  static void Post(std::function<void()> Job) {
    static TKeeper *K = [] {
      auto *New = new TKeeper; // never freed: a late exit handler may still look at it
      std::atexit([] { K->Quit(); });
      return New;
    }();
    {
      std::lock_guard<std::mutex> L(K->M_);
      K->Jobs_.push_back(std::move(Job));
    }
    K->Cv_.notify_one();
  }

private:
  TKeeper()
      : Pid_(::getpid()), T_([this] {
          for (;;) {
            std::unique_lock<std::mutex> L(M_);
            Cv_.wait(L, [this] { return Quit_ || !Jobs_.empty(); });
            if (Quit_) break;
            auto Job = std::move(Jobs_.front());
            Jobs_.pop_front();
            L.unlock();
            Job();
          }
          std::lock_guard<std::mutex> L(M_);
          Ended_ = true;
          Cv_.notify_all();
        }) {}

  // Joined unless a job holds it (a spawner's start, up to its bound): the exit does not wait.
  void Quit() {
    if (::getpid() != Pid_) return; // a forked child's exit: the thread is not in it
    std::unique_lock<std::mutex> L(M_);
    Quit_ = true;
    Cv_.notify_all();
    if (Cv_.wait_for(L, std::chrono::milliseconds(200), [this] { return Ended_; })) {
      L.unlock();
      T_.join();
    }
  }

  const pid_t Pid_;
  std::mutex M_;
  std::condition_variable Cv_;
  std::deque<std::function<void()>> Jobs_;
  bool Quit_ = false, Ended_ = false;
  std::thread T_; // last: it starts once the rest is made
};

// The worker's first bytes on its socket, its pid: 1; a stop: 0; the socket ended without them
// (no worker was made, nor will be): -1; not within Ms: -2.
int Born(int Fd, int32_t &Pid, int Ms) {
  const auto Until = Clock::now() + std::chrono::milliseconds(Ms);
  std::size_t Got = 0;
  for (;;) {
    if (StopRequested()) return 0;
    const auto Left =
        std::chrono::duration_cast<std::chrono::milliseconds>(Until - Clock::now()).count();
    if (Left <= 0) return -2;
    pollfd P{Fd, POLLIN, 0};
    const int N = ::poll(&P, 1, int(std::min<long long>(Left, StopPollMs)));
    if (N < 0 && errno != EINTR) return -1;
    if (N <= 0) continue;
    const ssize_t R =
        ::recv(Fd, reinterpret_cast<char *>(&Pid) + Got, sizeof Pid - Got, MSG_DONTWAIT);
    if (R < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (R <= 0) return -1;
    if ((Got += std::size_t(R)) == sizeof Pid) return Pid > 0 ? 1 : -1;
  }
}

// A start given up with a worker perhaps still to come on Fd: it is killed and waited for when
// it does (its pid comes first), so that none is left unwaited for; the end of the socket says
// that none will.
void Orphan(int Fd) {
  std::thread([Fd] {
    int32_t Pid = 0;
    ssize_t R;
    while ((R = ::recv(Fd, &Pid, sizeof Pid, MSG_WAITALL)) < 0 && errno == EINTR) {
    }
    if (R == ssize_t(sizeof Pid) && Pid > 0) {
      ::kill(Pid, SIGKILL);
      while (::waitpid(Pid, nullptr, 0) < 0 && errno == EINTR) {
      }
    }
    ::close(Fd);
  }).detach();
}

// The spawner of one worker program (sonquarry-smb-worker --spawner): started once, it hands each
// request to a spare it forked ahead, the program's child as a spawned worker is, and forks the
// next. Where it cannot start or fails, workers are spawned as before.
class TSpawner {
public:
  static TSpawner *Of(const std::string &Path) {
    if (const char *E = std::getenv("SONQUARRY_SMB_SPAWNER"); E && std::string(E) == "0")
      return nullptr;
    static std::mutex M;
    static auto *All = new std::map<std::string, std::unique_ptr<TSpawner>>;
    std::lock_guard<std::mutex> L(M);
    auto &S = (*All)[Path];
    if (!S) S.reset(new TSpawner(Path));
    return S.get();
  }

  // Starts the spawner unless it is up or starting.
  void Warm() {
    std::lock_guard<std::mutex> L(M_);
    WarmLocked();
  }

  // A worker forked on Sv[1], which is closed here: its pid, Sv[0] left to the caller; 0 when the
  // calling thread was stopped, -1 when it is to be spawned (both closed either way). Waits look
  // at a stop every StopPollMs, so a stop ends a start as it ends a call.
  pid_t Start(const int Sv[2]) {
    std::shared_ptr<TFd> Ctl;
    uint64_t Gen = 0;
    bool Stopped = false;
    {
      std::unique_lock<std::mutex> L(M_);
      WarmLocked();
      const auto Until = Clock::now() + std::chrono::milliseconds(StartMs);
      while (State_ == Starting && !StopRequested() && Clock::now() < Until)
        Cv_.wait_for(L, std::chrono::milliseconds(StopPollMs));
      Stopped = StopRequested();
      if (State_ == Up && !Stopped) {
        Ctl = Ctl_;
        Gen = Gen_;
        ReapSpares();
      }
    }
    const int Sent = Ctl ? Request(Ctl->Fd, Sv[1]) : -1;
    ::close(Sv[1]);
    int32_t Pid = 0;
    const int R = Sent > 0 ? Born(Sv[0], Pid, ReplyMs) : Sent;
    if (R > 0) return Pid;
    if (R != 0 && Sent != -2) {
      // No worker, or none in time: this spawner is no longer trusted (killed, its requests
      // dropped), and the next start tries another.
      std::lock_guard<std::mutex> L(M_);
      if (Ctl && Gen_ == Gen && State_ == Up) Down();
    }
    // After a request, a worker may still come until the socket ends.
    if (Sent > 0 && R != -1)
      Orphan(Sv[0]);
    else
      ::close(Sv[0]);
    return R == 0 || Stopped ? 0 : -1;
  }

private:
  enum TState { None, Starting, Up, Failed };
  // The control socket, closed when the last thread that sends on it is done.
  struct TFd {
    explicit TFd(int F) : Fd(F) {}
    ~TFd() { ::close(Fd); }
    TFd(const TFd &) = delete;
    TFd &operator=(const TFd &) = delete;
    const int Fd;
  };
  static constexpr std::size_t MaxRequest = 128 << 10;
  // The spawner's own start may take an exec's time on a loaded machine; a fork does not.
  static constexpr int StartMs = 10000, ReplyMs = 2000;

  explicit TSpawner(std::string Path) : Path_(std::move(Path)) {}

  void WarmLocked() {
    if (State_ != None) return;
    State_ = Starting;
    TKeeper::Post([this] { Launch(); });
  }

  // The request for a worker on Fd: 1 sent; 0 stopped; -1 the spawner failed; -2 it is busy
  // (its queue stayed full), and the worker is spawned.
  static int Request(int Ctl, int Fd) {
    std::string Env;
    for (char **E = environ; *E; ++E) Env.append(*E).push_back('\0');
    if (Env.size() > MaxRequest) return -2;
    // Many threads at once may fill the spawner's queue (a few requests deep): they wait for room.
    const auto Until = Clock::now() + std::chrono::milliseconds(ReplyMs);
    for (;;) {
      if (wire::SendWithDescriptor(Ctl, Env, Fd, MSG_DONTWAIT)) return 1;
      if (errno != EAGAIN && errno != EINTR) return -1;
      if (StopRequested()) return 0;
      if (Clock::now() >= Until) return -2;
      pollfd P{Ctl, POLLOUT, 0};
      ::poll(&P, 1, StopPollMs);
    }
  }

  // On the keeper's thread; the lock is not held while the spawner starts.
  void Launch() {
    int Sv[2];
    pid_t Pid = -1;
    int32_t Said = 0;
    if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, Sv) == 0) {
      Pid = TSpawnAttr(Sv[1]).Start(Path_, "--spawner", "--program");
      ::close(Sv[1]);
    } else {
      Sv[0] = -1;
    }
    const bool Ok = Pid > 0 && Answer(Sv[0], Said, StartMs) && Said == Pid;
    std::lock_guard<std::mutex> L(M_);
    if (Sv[0] >= 0) Ctl_ = std::make_shared<TFd>(Sv[0]);
    Pid_ = Pid;
    ++Gen_;
    if (Ok) {
      State_ = Up;
    } else {
      Down();
      // A worker program that is no spawner (or none): workers are spawned.
      State_ = Failed;
    }
    Cv_.notify_all();
  }

  // The spawner's first message within Ms; false when it failed.
  static bool Answer(int Ctl, int32_t &Out, int Ms) {
    const auto Until = Clock::now() + std::chrono::milliseconds(Ms);
    for (;;) {
      pollfd P{Ctl, POLLIN, 0};
      const auto Left =
          std::chrono::duration_cast<std::chrono::milliseconds>(Until - Clock::now()).count();
      if (Left <= 0) return false;
      const int N = ::poll(&P, 1, int(Left));
      if (N < 0 && errno == EINTR) continue;
      if (N <= 0) return false;
      const ssize_t R = ::recv(Ctl, &Out, sizeof Out, 0);
      if (R < 0 && errno == EINTR) continue;
      return R == ssize_t(sizeof Out);
    }
  }

  // Ends it and its spares (its process group, all this program's children), waits for them, and
  // drops the requests it had not taken; the next start starts another.
  void Down() {
    Ctl_.reset();
    if (Pid_ > 0) {
      ::kill(-Pid_, SIGKILL);
      ::kill(Pid_, SIGKILL);
      while (::waitpid(-Pid_, nullptr, 0) > 0 || errno == EINTR) {
      }
    }
    Pid_ = -1;
    State_ = None;
  }

  // A spare that died while its spawner lives (the spawner forks another) is waited for here.
  void ReapSpares() {
    for (;;) {
      siginfo_t I{};
      if (::waitid(P_PGID, id_t(Pid_), &I, WEXITED | WNOHANG | WNOWAIT) != 0 || I.si_pid <= 0 ||
          I.si_pid == Pid_)
        return;
      ::waitpid(I.si_pid, nullptr, 0);
    }
  }

  const std::string Path_;
  std::mutex M_;
  std::condition_variable Cv_;
  TState State_ = None;
  std::shared_ptr<TFd> Ctl_;
  pid_t Pid_ = -1;
  uint64_t Gen_ = 0; // one per spawner started: a late failure downs only its own
};

} // namespace

void WarmWorkers(const std::string &Path) {
  if (TSpawner *S = Path.empty() ? nullptr : TSpawner::Of(Path)) S->Warm();
}

std::shared_ptr<TWorker> TWorker::Spawn(const std::string &Path, const wire::Hello &Config,
                                        int TimeOutMs, net::NetError &Error, bool Greeted) {
  auto Fail = [&](int Code, const std::string &Why) -> std::shared_ptr<TWorker> {
    Error =
        Broken(Code, "SMB worker " + (Path.empty() ? std::string("sonquarry-smb-worker") : Path) +
                         " could not be started: " + Why);
    ++Failed_;
    return nullptr;
  };
  // No failure of the worker: its thread is ending.
  auto Stopped = [&]() -> std::shared_ptr<TWorker> {
    Error = Broken(ECANCELED, "the start of an SMB worker: stopped");
    return nullptr;
  };
  if (Path.empty()) return Fail(ENOENT, "not found beside the program");
  int Sv[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, Sv) != 0)
    return Fail(errno, std::generic_category().message(errno));
  pid_t Pid = -1;
  const std::vector<uint8_t> Hello = wire::Put(Config);
  bool Said = false;
  if (TSpawner *S = TSpawner::Of(Path)) {
    // Said before the worker is there: it reads it as soon as it is.
    Said = wire::SendFrame(Sv[0], wire::Type::Hello, Hello);
    Pid = S->Start(Sv);
    if (Pid == 0) return Stopped();
    if (Pid < 0 && ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, Sv) != 0)
      return Fail(errno, std::generic_category().message(errno));
    Said = Said && Pid > 0;
  }
  if (Pid < 0) {
    Pid = TSpawnAttr(Sv[1]).Start(Path, "--fd", "--parent");
    ::close(Sv[1]);
    if (Pid <= 0) {
      ::close(Sv[0]);
      return Fail(-Pid, std::generic_category().message(-Pid));
    }
  }
  std::shared_ptr<TWorker> W(new TWorker(Pid, Sv[0]));
  wire::Frame F;
  const auto Deadline = Clock::now() + std::chrono::milliseconds(TimeOutMs);
  if (!Said && !W->Send(wire::Type::Hello, Hello, Error))
    return Fail(Error.Code, "it " + Error.Message);
  if (!Greeted) return W;
  if (!W->Await(F, Deadline, TimeOutMs, true, Error))
    return StopRequested() ? Stopped() : Fail(Error.Code, "it " + Error.Message);
  if (!W->Greets(F)) {
    W->End();
    return Fail(EPROTO, "it did not greet as a worker");
  }
  ++Greeted_;
  return W;
}

} // namespace sonquarry::smb
