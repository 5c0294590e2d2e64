#include "platform/smb/smb_provider.h"

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <optional>
#include <poll.h>
#include <spawn.h>
#include <sstream>
#include <sys/socket.h>
#include <sys/wait.h>
#include <system_error>
#include <thread>
#include <unistd.h>
#include <unordered_map>
#include <unordered_set>

#include "platform/diag.h"
#include "platform/net/tcp_probe.h"
#include "platform/smb/wire/smb_error.h"
#include "platform/smb/wire/smb_url.h"
#include "platform/smb/wire/smb_wire.h"
#include "platform/thread.h"

extern char **environ;

namespace sonquarry::smb {

namespace {

using Clock = std::chrono::steady_clock;

std::string Lower(std::string S) {
  for (auto &C : S) C = char(std::tolower(static_cast<unsigned char>(C)));
  return S;
}

// The IPv4 address that a static name table (lmhosts, or /etc/hosts) gives Name, if any.
// Lines: "ADDRESS NAME[#TYPE] ..."; "#" starts a comment unless it follows a name.
std::optional<uint32_t> StaticAddress(const std::string &Path, const std::string &Name) {
  std::ifstream In(Path);
  std::string Line;
  const std::string Want = Lower(Name);
  while (std::getline(In, Line)) {
    std::istringstream S(Line);
    std::string Address, Word;
    if (!(S >> Address) || Address[0] == '#') continue;
    in_addr A{};
    if (::inet_pton(AF_INET, Address.c_str(), &A) != 1) continue;
    while (S >> Word) {
      if (Word[0] == '#') break;
      const auto Hash = Word.find('#');
      std::string N = Lower(Word.substr(0, Hash));
      if (N.size() >= 2 && N.front() == '"' && N.back() == '"') N = N.substr(1, N.size() - 2);
      const std::string Type = Hash == std::string::npos ? "" : Word.substr(Hash + 1);
      if (N == Want && (Type.empty() || Type == "20")) return ntohl(A.s_addr);
      // /etc/hosts names may carry a domain: "pc1.lan" stands for "PC1" too.
      if (N.rfind(Want + ".", 0) == 0) return ntohl(A.s_addr);
    }
  }
  return std::nullopt;
}

net::NetError Broken(int Code, std::string Message) {
  net::NetError E{Code, std::move(Message)};
  E.Broken = true;
  return E;
}

// ---- one worker process

class TWorker {
public:
  ~TWorker() {
    End();
    if (Fd_ >= 0) ::close(Fd_);
  }

  // Starts Path and says Hello; null on failure. Greeted false: returns without waiting for the
  // greeting, which is then the first reply (Greets).
  static std::shared_ptr<TWorker> Spawn(const std::string &Path, const wire::Hello &Config,
                                        int TimeOutMs, net::NetError &Error, bool Greeted = true);
  bool Greets(const wire::Frame &F) const {
    uint32_t Said = 0;
    return F.Kind == wire::Type::HelloOk && wire::GetHandle(F.Payload, Said) && pid_t(Said) == Pid_;
  }

  pid_t Pid() const { return Pid_; }
  // Ended by its owner (a stop, a provider released): a failure afterwards is no fault of its.
  bool EndedByOwner() const { return EndedByOwner_.load(std::memory_order_acquire); }
  bool Alive() const {
    std::lock_guard<std::mutex> L(M_);
    return !Reaped_;
  }

  // Any thread, never blocks.
  void Kill() {
    EndedByOwner_.store(true, std::memory_order_release);
    std::lock_guard<std::mutex> L(M_);
    if (!Reaped_) ::kill(Pid_, SIGKILL);
  }
  // Kills and reaps it; how it ended.
  std::string End() {
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
  // After the socket ended: waits a little for the process to go by itself, then ends it.
  std::string Gone() {
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

  bool Send(wire::Type Kind, const std::vector<uint8_t> &Payload, net::NetError &Error) {
    if (wire::SendFrame(Fd_, Kind, Payload)) return true;
    Error = Broken(EPIPE, "ended (" + Gone() + ")");
    return false;
  }

  bool Receive(wire::Frame &F, Clock::time_point Deadline, int TimeOutMs, net::NetError &Error) {
    for (;;) {
      if (const int T = Took(F, Error)) return T > 0;
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

  // A reply if one is here whole, without waiting: 1; none yet: 0; the worker failed: -1.
  int TryReceive(wire::Frame &F, net::NetError &Error) {
    for (int Reads = 0;; ++Reads) {
      if (const int T = Took(F, Error)) return T;
      if (Reads > 0) return 0;
      pollfd P{Fd_, POLLIN, 0};
      const int N = ::poll(&P, 1, 0);
      if (N == 0 || (N < 0 && errno == EINTR)) return 0;
      if (!Wait(0, Error)) return -1;
    }
  }

private:
  // A whole frame from what was read: 1; not yet: 0; a broken one ends the worker: -1.
  int Took(wire::Frame &F, net::NetError &Error) {
    const auto R = wire::Take(In_, F);
    if (R.Used) return 1;
    if (R.Incomplete) return 0;
    End();
    Error = Broken(EPROTO, "broke the protocol (" + R.Why + ")");
    return -1;
  }

  // Waits up to Ms for bytes and reads what came; false when the worker failed (Error says why).
  bool Wait(int Ms, net::NetError &Error) {
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

  TWorker(pid_t Pid, int Fd) : Pid_(Pid), Fd_(Fd) {}
  static constexpr std::size_t ReadSize = 4 << 20, FirstRead = 16 << 10;

  std::string How() const {
    if (WIFSIGNALED(Status_)) return "signal " + std::to_string(WTERMSIG(Status_));
    if (WIFEXITED(Status_)) return "exit status " + std::to_string(WEXITSTATUS(Status_));
    return "gone";
  }

  const pid_t Pid_;
  const int Fd_;
  std::vector<uint8_t> In_; // the owning thread's only
  mutable std::mutex M_;
  bool Reaped_ = false;
  int Status_ = 0;
  std::atomic<bool> EndedByOwner_{false};
};

std::shared_ptr<TWorker> TWorker::Spawn(const std::string &Path, const wire::Hello &Config,
                                        int TimeOutMs, net::NetError &Error, bool Greeted) {
  auto Fail = [&](int Code, const std::string &Why) -> std::shared_ptr<TWorker> {
    Error =
        Broken(Code, "SMB worker " + (Path.empty() ? std::string("sonquarry-smb-worker") : Path) +
                         " could not be started: " + Why);
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
  return W;
}

// ---- the workers of the calling thread: one per provider, ended with the thread

// A thread's second worker while it walks a share and a core is free. It lists, on a connection
// of its own, the directories that the walk reaches last (the bottom of its plan), a subtree at a
// time, so that the server serves the walk on two cores; the walk takes those listings when it
// gets there. Where the walk catches up, it lists on by itself.
struct TSecond {
  std::shared_ptr<TWorker> Worker;
  std::shared_ptr<std::atomic<int>> Busy; // the provider's count of second workers at work
  bool Counted = false;                   // counted in Busy
  bool Greeted = false;
  bool InFlight = false; // a request (or the greeting) not answered yet
  bool Closing = false;  // the request in flight closes a listing too long to keep
  std::string Asked;     // the directory of the OpenDir in flight
  // Its next directories, the next last. An entry counts while Planned holds it: the walk takes
  // over one it reaches first.
  std::vector<std::string> Frontier;
  std::unordered_set<std::string> Planned;
  ~TSecond() {
    if (Counted) --*Busy;
  }
  void Count() {
    const bool Now = InFlight || !Planned.empty();
    if (Now != Counted) *Busy += Now ? 1 : -1;
    Counted = Now;
  }
};

struct TSlot {
  uint64_t Provider = 0;
  std::shared_ptr<TWorker> Worker;
  // Whole listings that came read ahead with a reply, not asked for yet.
  std::deque<wire::AheadListing> Ahead;
  // The walk as the provider sees it: its share, the directories it opened, and those it listed
  // but has not opened yet (the next last).
  std::string Share;
  int Opened = 0;
  std::deque<std::string> Plan;
  std::unique_ptr<TSecond> Second;
  bool NoSecond = false; // one failed: none again for this thread
  // The second worker's listings, not taken yet.
  std::unordered_map<std::string, wire::AheadListing> Listed;
  std::size_t ListedEntries = 0;
  // Directory ids met by the walk and by the second worker: links that loop are not planned.
  std::unordered_set<uint64_t> WalkIds, SecondIds;
};
thread_local std::vector<TSlot> Slots;

std::atomic<uint64_t> NextProviderId{1};

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

bool StopRequested() {
  platform::TThread *T = platform::TThread::Current();
  return T && T->Terminated();
}

} // namespace

// ---- the provider

struct TSmbProvider::TImpl {
  SmbProviderOptions Options;
  const uint64_t Id = NextProviderId++;
  std::string WorkerPath;
  wire::Hello Config;

  mutable std::mutex WorkersLock;
  std::vector<std::weak_ptr<TWorker>> Workers;
  bool Released = false;

  struct TProbe {
    bool Reachable;
    Clock::time_point At;
  };
  std::mutex ProbeLock;
  std::map<uint32_t, TProbe> Probes;
  std::map<std::string, std::optional<uint32_t>> Addresses; // by lower-case name

  // The calling thread's worker; Spawn starts one when it has none.
  std::shared_ptr<TWorker> Worker(bool Spawn, net::NetError &Error) {
    for (auto &S : Slots)
      if (S.Provider == Id && S.Worker) return S.Worker;
    if (!Spawn) return nullptr;
    {
      std::lock_guard<std::mutex> L(WorkersLock);
      if (Released) {
        Error = Broken(ECANCELED, "the SMB provider was released");
        return nullptr;
      }
    }
    // A start may take long on a loaded machine: its greeting gets more than a call.
    auto W = TWorker::Spawn(WorkerPath, Config, std::max(Options.CallTimeOutMs, 60000), Error);
    if (!W) {
      platform::Diagnostic(Error.Message);
      return nullptr;
    }
    if (!Register(W)) {
      Error = Broken(ECANCELED, "the SMB provider was released");
      return nullptr;
    }
    std::erase_if(Slots, [](const TSlot &S) { return !S.Worker; });
    TSlot Slot;
    Slot.Provider = Id;
    Slot.Worker = W;
    Slots.push_back(std::move(Slot));
    return W;
  }

  // ---- the walk's plan and the second worker

  static constexpr std::size_t MaxPlanned = 16384, MaxSecondEntries = 200000;
  static constexpr auto ActiveFor = std::chrono::milliseconds(250);
  std::shared_ptr<std::atomic<int>> SecondsBusy = std::make_shared<std::atomic<int>>(0);
  std::atomic<std::size_t> SecondTaken{0}; // listings walks took from second workers
  std::mutex ActiveLock;
  std::map<std::thread::id, Clock::time_point> Active; // threads by their last call

  TSlot *OwnSlot() {
    for (auto &S : Slots)
      if (S.Provider == Id && S.Worker) return &S;
    return nullptr;
  }

  void Touch() {
    std::lock_guard<std::mutex> L(ActiveLock);
    Active[std::this_thread::get_id()] = Clock::now();
  }

  // Whether one more process at work still leaves no core short: the threads that called lately
  // and the second workers at work are fewer than the cores.
  bool SpareCore() {
    const unsigned Cores =
        Options.Cores ? Options.Cores : std::max(1u, std::thread::hardware_concurrency());
    std::lock_guard<std::mutex> L(ActiveLock);
    const auto Now = Clock::now();
    std::erase_if(Active, [&](const auto &A) { return Now - A.second > ActiveFor; });
    return Active.size() + std::size_t(std::max(0, SecondsBusy->load())) < Cores;
  }

  static std::string ShareOf(const std::string &Unc) {
    std::size_t At = 2;
    for (int I = 0; I < 2 && At != std::string::npos; ++I) At = Unc.find('\\', At + 1);
    return Lower(Unc.substr(0, At));
  }

  // The walk opened Unc (of directory id DirId) with these (first) entries.
  void Walked(const std::string &Unc, uint64_t DirId, const std::vector<wire::Entry> &Entries) {
    TSlot *S = OwnSlot();
    if (!S) return;
    if (const std::string Share = ShareOf(Unc); Share != S->Share) {
      S->Share = Share;
      S->Opened = 0;
      S->Plan.clear();
      S->Listed.clear();
      S->ListedEntries = 0;
      S->WalkIds.clear();
      S->SecondIds.clear();
      if (S->Second) {
        S->Second->Frontier.clear();
        S->Second->Planned.clear();
      }
    } else if (const auto It = std::find(S->Plan.rbegin(), S->Plan.rend(), Unc);
               It != S->Plan.rend()) {
      // Above it: what the walk passed over.
      S->Plan.erase(std::prev(It.base()), S->Plan.end());
    }
    ++S->Opened;
    // The walk does not enter a directory it has met before.
    if (DirId == 0 || S->WalkIds.insert(DirId).second)
      wire::PlanSubdirs(S->Plan, Unc, Entries, MaxPlanned);
    PumpSecond(*S);
  }

  // Later entries of a listing that the walk reads on. It has walked the subdirectories of the
  // entries before them, so theirs come next.
  void WalkedOn(const std::string &Unc, const std::vector<wire::Entry> &Entries) {
    TSlot *S = OwnSlot();
    if (!S || ShareOf(Unc) != S->Share) return;
    wire::PlanSubdirs(S->Plan, Unc, Entries, MaxPlanned);
    PumpSecond(*S);
  }

  // The second worker's listing of Unc, waiting for it when it is on its way. One it has only
  // planned is the walk's from now on.
  bool TakeSecond(const std::string &Unc, wire::AheadListing &Out) {
    TSlot *S = OwnSlot();
    if (!S) return false;
    if (S->Second && S->Second->Greeted && S->Second->InFlight && !S->Second->Closing &&
        S->Second->Asked == Unc && !StopRequested()) {
      TCancelScope Cancel(S->Second->Worker);
      wire::Frame F;
      net::NetError E;
      while (S->Second && S->Second->InFlight) {
        if (StopRequested() || !Next(S->Second->Worker, F, E)) {
          DropSecond(*S, E);
          break;
        }
        SecondReply(*S, F);
      }
    }
    if (const auto It = S->Listed.find(Unc); It != S->Listed.end()) {
      Out = std::move(It->second);
      S->ListedEntries -= Out.Entries.size();
      S->Listed.erase(It);
      ++SecondTaken;
      return true;
    }
    if (S->Second) S->Second->Planned.erase(Unc);
    return false;
  }

  void DropSecond(TSlot &S, const net::NetError &Why) {
    if (!S.Second) return;
    const auto W = S.Second->Worker;
    W->End();
    if (!W->EndedByOwner() && !StopRequested())
      platform::Diagnostic("SMB worker " + std::to_string(W->Pid()) + " " + Why.Message +
                           " while listing ahead of a walk; the walk lists on by itself");
    S.Second.reset();
    S.NoSecond = true;
  }

  // A listing the second worker brought: kept for the walk, and its subdirectories planned.
  void KeepSecond(TSlot &S, wire::AheadListing A) {
    TSecond &Sec = *S.Second;
    Sec.Planned.erase(A.Dir);
    if (A.Id == 0 || (!S.WalkIds.count(A.Id) && S.SecondIds.insert(A.Id).second)) {
      for (auto E = A.Entries.rbegin(); E != A.Entries.rend(); ++E)
        if (wire::IsSubdir(*E))
          if (std::string Sub = A.Dir + "\\" + E->Name; Sec.Planned.insert(Sub).second)
            Sec.Frontier.push_back(std::move(Sub));
      if (Sec.Frontier.size() > MaxPlanned) {
        const auto Cut = Sec.Frontier.end() - MaxPlanned;
        for (auto It = Sec.Frontier.begin(); It != Cut; ++It) Sec.Planned.erase(*It);
        Sec.Frontier.erase(Sec.Frontier.begin(), Cut);
      }
    }
    S.ListedEntries += A.Entries.size();
    std::string Dir = A.Dir;
    S.Listed.insert_or_assign(std::move(Dir), std::move(A));
  }

  void SecondReply(TSlot &S, wire::Frame &F) {
    TSecond &Sec = *S.Second;
    net::NetError E;
    if (!Sec.Greeted) {
      Sec.InFlight = false;
      if (Sec.Worker->Greets(F)) {
        Sec.Greeted = true;
        return;
      }
      return DropSecond(S, Broken(EPROTO, "did not greet as a worker"));
    }
    if (Sec.Closing) {
      Sec.InFlight = Sec.Closing = false;
      if (F.Kind != wire::Type::Closed)
        DropSecond(S, Broken(EPROTO, "broke the protocol (an unexpected reply)"));
      return;
    }
    Sec.InFlight = false;
    // A directory that the server refuses: the walk meets the refusal itself.
    if (ServerError(F, E)) return;
    wire::Listing L;
    if (F.Kind != wire::Type::Listing || !wire::Get(F.Payload, L))
      return DropSecond(S, Broken(EPROTO, "broke the protocol (an unexpected reply)"));
    if (L.End) {
      KeepSecond(S, {Sec.Asked, L.Dir.Id, L.Dir.Kind, std::move(L.Entries)});
    } else if (Sec.Worker->Send(wire::Type::Close, wire::PutHandle(L.Dir.Handle), E)) {
      // Longer than one reply: the walk lists it itself.
      Sec.InFlight = Sec.Closing = true;
    } else {
      return DropSecond(S, E);
    }
    for (auto &A : L.Next) KeepSecond(S, std::move(A));
  }

  // Starts the second worker once the walk is deep enough and a core is free, reads what it
  // answered, and gives it its next directory: the next of its own, or else the walk's last.
  void PumpSecond(TSlot &S) {
    if (S.NoSecond || Options.SecondWorkerAfterDirs <= 0 ||
        S.Opened < Options.SecondWorkerAfterDirs)
      return;
    if (!S.Second) {
      if (S.Plan.size() < 2 || !SpareCore()) return;
      net::NetError E;
      auto W = TWorker::Spawn(WorkerPath, Config, 0, E, false);
      if (!W || !Register(W)) {
        S.NoSecond = true;
        return;
      }
      S.Second = std::make_unique<TSecond>();
      S.Second->Worker = std::move(W);
      S.Second->Busy = SecondsBusy;
      S.Second->InFlight = true;
    }
    wire::Frame F;
    net::NetError E;
    while (S.Second && S.Second->InFlight) {
      const int R = S.Second->Worker->TryReceive(F, E);
      if (R == 0) break;
      if (R < 0) return DropSecond(S, E);
      SecondReply(S, F);
    }
    if (!S.Second) return;
    TSecond &Sec = *S.Second;
    auto &Fr = Sec.Frontier;
    while (!Fr.empty() && (!Sec.Planned.count(Fr.back()) || S.Listed.count(Fr.back()))) {
      Sec.Planned.erase(Fr.back());
      Fr.pop_back();
    }
    Sec.Count();
    if (Sec.InFlight || S.ListedEntries >= MaxSecondEntries) return;
    if (Fr.empty()) {
      // The walk's last directory, while the walk has more before it.
      while (S.Plan.size() >= 2 && S.Listed.count(S.Plan.front())) S.Plan.pop_front();
      if (S.Plan.size() < 2 || !SpareCore()) return;
      Fr.push_back(std::move(S.Plan.front()));
      S.Plan.pop_front();
    } else {
      Sec.Planned.erase(Fr.back());
    }
    Sec.Asked = std::move(Fr.back());
    Fr.pop_back();
    if (!Sec.Worker->Send(wire::Type::OpenDir, wire::PutString(Sec.Asked), E))
      return DropSecond(S, E);
    Sec.InFlight = true;
    Sec.Count();
  }

  bool Register(const std::shared_ptr<TWorker> &W) {
    std::lock_guard<std::mutex> L(WorkersLock);
    std::erase_if(Workers, [](const std::weak_ptr<TWorker> &P) { return P.expired(); });
    if (Released) return false;
    Workers.push_back(W);
    return true;
  }

  // The listing of Unc if it came read ahead: taken, with those the walk passed over. Any other
  // directory means the walk went elsewhere: the rest is dropped.
  bool TakeAhead(const std::string &Unc, wire::AheadListing &Out) {
    for (auto &S : Slots) {
      if (S.Provider != Id || S.Ahead.empty()) continue;
      const auto It = std::find_if(S.Ahead.begin(), S.Ahead.end(),
                                   [&](const wire::AheadListing &A) { return A.Dir == Unc; });
      if (It == S.Ahead.end()) {
        S.Ahead.clear();
        return false;
      }
      Out = std::move(*It);
      S.Ahead.erase(S.Ahead.begin(), std::next(It));
      return true;
    }
    return false;
  }
  // Those of the reply the calling thread's worker just gave.
  void KeepAhead(std::vector<wire::AheadListing> &Listings) {
    if (TSlot *S = OwnSlot())
      S->Ahead.assign(std::make_move_iterator(Listings.begin()),
                      std::make_move_iterator(Listings.end()));
  }

  // A failed exchange: the worker is ended and forgotten by this thread; Error says why.
  void Fail(const std::shared_ptr<TWorker> &W, const std::string &What, net::NetError &Error) {
    for (auto &S : Slots)
      if (S.Provider == Id && S.Worker == W) S.Worker.reset();
    const std::string Pid = std::to_string(W->Pid());
    W->End();
    if (W->EndedByOwner() || StopRequested()) {
      Error = Broken(ECANCELED, What + ": stopped");
      return;
    }
    Error.Message = "SMB worker " + Pid + " " + Error.Message + " during " + What +
                    "; the next call gets a new worker";
    Error.Broken = true;
    platform::Diagnostic(Error.Message);
  }

  // Sends one request on the calling thread's worker and reads its first reply.
  bool Ask(std::shared_ptr<TWorker> &W, wire::Type Kind, const std::vector<uint8_t> &Payload,
           wire::Frame &Reply, const std::string &What, net::NetError &Error) {
    if (StopRequested()) {
      Error = Broken(ECANCELED, What + ": stopped");
      return false;
    }
    if (!W && !(W = Worker(true, Error))) return false;
    Touch();
    TCancelScope Cancel(W);
    if (StopRequested()) {
      Error = Broken(ECANCELED, What + ": stopped");
      return false;
    }
    if (W->Send(Kind, Payload, Error) && Next(W, Reply, Error)) return true;
    Fail(W, What, Error);
    return false;
  }
  // The next reply of an exchange under way.
  bool Next(const std::shared_ptr<TWorker> &W, wire::Frame &Reply, net::NetError &Error) {
    const auto Deadline = Clock::now() + std::chrono::milliseconds(Options.CallTimeOutMs);
    return W->Receive(Reply, Deadline, Options.CallTimeOutMs, Error);
  }
  bool Unexpected(const std::shared_ptr<TWorker> &W, const std::string &What,
                  net::NetError &Error) {
    W->End();
    Error = Broken(EPROTO, "broke the protocol (an unexpected reply)");
    Fail(W, What, Error);
    return false;
  }
  // An Error reply: the server's answer, not the worker's fault.
  static bool ServerError(const wire::Frame &F, net::NetError &Error) {
    wire::ErrorReply R;
    if (F.Kind != wire::Type::Error || !wire::Get(F.Payload, R)) return false;
    Error = net::NetError{R.Code, R.Message};
    return true;
  }

  void EndAll() {
    std::vector<std::shared_ptr<TWorker>> All;
    {
      std::lock_guard<std::mutex> L(WorkersLock);
      Released = true;
      for (auto &P : Workers)
        if (auto W = P.lock()) All.push_back(std::move(W));
      Workers.clear();
    }
    for (auto &W : All) {
      W->Kill();
      W->End();
    }
  }

  std::optional<uint32_t> AddressOf(const std::string &Server) {
    in_addr A{};
    if (::inet_pton(AF_INET, Server.c_str(), &A) == 1) return ntohl(A.s_addr);
    const std::string Key = Lower(Server);
    {
      std::lock_guard<std::mutex> L(ProbeLock);
      if (auto It = Addresses.find(Key); It != Addresses.end()) return It->second;
    }
    auto Known = StaticAddress(Options.LmhostsFile, Server);
    if (!Known) Known = StaticAddress(Options.HostsFile, Server);
    std::lock_guard<std::mutex> L(ProbeLock);
    Addresses[Key] = Known;
    return Known;
  }

  void MarkReachable(const std::string &Server) {
    if (Options.ProbeTimeOutMs <= 0) return;
    if (const auto A = AddressOf(Server)) {
      std::lock_guard<std::mutex> L(ProbeLock);
      Probes[*A] = {true, Clock::now()};
    }
  }

  bool Reachable(const std::string &Server, net::NetError *Error) {
    if (Options.ProbeTimeOutMs <= 0) return true;
    // A name that a static table maps to an address may point at a computer that is gone; names
    // found only by broadcast are left to libsmbclient, which fails those quickly.
    const auto Address = AddressOf(Server);
    if (!Address) return true;
    {
      std::lock_guard<std::mutex> L(ProbeLock);
      auto It = Probes.find(*Address);
      if (It != Probes.end()) {
        const int Keep = It->second.Reachable ? Options.ProbeKeepMs : Options.ProbeKeepFailedMs;
        if (Clock::now() - It->second.At < std::chrono::milliseconds(Keep)) {
          if (!It->second.Reachable && Error) *Error = wire::SmbError(EHOSTDOWN, "\\\\" + Server);
          return It->second.Reachable;
        }
      }
    }
    const bool Ok = net::ProbeTcp(*Address, 445, Options.ProbeTimeOutMs) ||
                    net::ProbeTcp(*Address, 139, Options.ProbeTimeOutMs);
    {
      std::lock_guard<std::mutex> L(ProbeLock);
      Probes[*Address] = {Ok, Clock::now()};
    }
    if (!Ok && Error) *Error = wire::SmbError(EHOSTDOWN, "\\\\" + Server);
    return Ok;
  }

  net::NetEnumStatus Enum(int32_t Level, const std::string &RemoteName,
                          std::vector<net::NetResource> &Out, net::NetError &Error) {
    std::shared_ptr<TWorker> W;
    wire::Frame F;
    const std::string What = "the listing of " + RemoteName;
    if (!Ask(W, wire::Type::Enum, wire::Put(wire::EnumRequest{Level, RemoteName}), F, What, Error))
      return net::NetEnumStatus::OpenFailed;
    std::vector<wire::Resource> Batch;
    for (;;) {
      if (F.Kind == wire::Type::Resources && wire::Get(F.Payload, Batch)) {
        for (auto &R : Batch) {
          net::NetResource N;
          N.Scope = net::NetScopeGlobal;
          N.Type = net::NetTypeDisk;
          N.DisplayType = R.DisplayType;
          N.Usage = R.Usage;
          N.RemoteName = std::move(R.RemoteName);
          N.Comment = std::move(R.Comment);
          N.Provider = ProviderName;
          Out.push_back(std::move(N));
        }
      } else if (wire::EnumEnd End; F.Kind == wire::Type::EnumEnd && wire::Get(F.Payload, End)) {
        if (End.Status != uint8_t(net::NetEnumStatus::Ok))
          Error = net::NetError{End.Code, End.Message};
        return net::NetEnumStatus(End.Status);
      } else {
        Unexpected(W, What, Error);
        return net::NetEnumStatus::ReadFailed;
      }
      TCancelScope Cancel(W);
      if (StopRequested() || !Next(W, F, Error)) {
        Fail(W, What, Error);
        return net::NetEnumStatus::ReadFailed;
      }
    }
  }
};

namespace {

// A listing read from the calling thread's worker in batches, the first with the open. When
// that worker was replaced (it died in another listing), the directory is opened again in the
// new one and the entries already handed out are skipped.
class TSmbListing final : public net::INetDirListing {
public:
  TSmbListing(std::shared_ptr<TSmbProvider::TImpl> P, std::string Unc)
      : P_(std::move(P)), Unc_(std::move(Unc)) {}

  ~TSmbListing() override {
    if (End_ || !W_ || StopRequested()) return;
    net::NetError Ignored;
    if (P_->Worker(false, Ignored) != W_) return;
    wire::Frame F;
    if (P_->Ask(W_, wire::Type::Close, wire::PutHandle(Handle_), F, What(), Ignored) &&
        F.Kind != wire::Type::Closed)
      P_->Unexpected(W_, What(), Ignored);
  }

  bool Open(net::NetError &Error) {
    if (wire::AheadListing A; P_->TakeSecond(Unc_, A) || P_->TakeAhead(Unc_, A)) {
      // Whole, with no handle in the worker; no exchange that counts the thread as at work.
      P_->Touch();
      Handle_ = 0;
      if (Id_ == 0) Id_ = A.Id;
      Batch_ = std::move(A.Entries);
      Pos_ = 0;
      End_ = true;
      P_->Walked(Unc_, Id_, Batch_);
      return true;
    }
    net::NetError Ignored;
    W_ = P_->Worker(false, Ignored);
    wire::Frame F;
    if (!P_->Ask(W_, wire::Type::OpenDir, wire::PutString(Unc_), F, What(), Error)) return false;
    if (P_->ServerError(F, Error)) return false;
    wire::Listing L;
    if (F.Kind != wire::Type::Listing || !wire::Get(F.Payload, L))
      return P_->Unexpected(W_, What(), Error);
    P_->KeepAhead(L.Next);
    Handle_ = L.Dir.Handle;
    if (Id_ == 0) Id_ = L.Dir.Id;
    Batch_ = std::move(L.Entries);
    Pos_ = 0;
    End_ = L.End;
    P_->Walked(Unc_, Id_, Batch_);
    return true;
  }

  bool Next(net::DirEntry &Entry, net::NetError *Error) override {
    net::NetError E;
    const bool Ok = NextEntry(Entry, E);
    if (Error) *Error = E;
    return Ok;
  }

  uint64_t DirId() const override { return Id_; }

private:
  std::string What() const { return "the listing of " + Unc_; }

  bool NextEntry(net::DirEntry &Entry, net::NetError &Error) {
    for (;;) {
      if (Pos_ < Batch_.size()) {
        Entry.Name = std::move(Batch_[Pos_].Name);
        Entry.Directory = Batch_[Pos_].Directory;
        ++Pos_;
        if (Skip_ > 0) {
          --Skip_;
          continue;
        }
        ++Handed_;
        return true;
      }
      if (End_) return false;
      net::NetError Ignored;
      if (P_->Worker(false, Ignored) != W_) {
        // Its worker is gone: again in the thread's new one, from where it was.
        if (StopRequested()) {
          Error = Broken(ECANCELED, What() + ": stopped");
          return false;
        }
        if (!Open(Error)) return false;
        Skip_ = Handed_;
        continue;
      }
      wire::Frame F;
      if (!P_->Ask(W_, wire::Type::ReadDir,
                   wire::Put(wire::ReadDir{Handle_, wire::MaxBatchEntries}), F, What(), Error))
        return false;
      if (P_->ServerError(F, Error)) return false;
      bool Last = false;
      if (F.Kind != wire::Type::Entries || !wire::Get(F.Payload, Batch_, Last))
        return P_->Unexpected(W_, What(), Error);
      Pos_ = 0;
      End_ = Last;
      P_->WalkedOn(Unc_, Batch_);
    }
  }

  std::shared_ptr<TSmbProvider::TImpl> P_;
  std::string Unc_;
  std::shared_ptr<TWorker> W_;
  uint32_t Handle_ = 0;
  uint64_t Id_ = 0;
  std::vector<wire::Entry> Batch_;
  std::size_t Pos_ = 0;
  uint64_t Handed_ = 0, Skip_ = 0;
  bool End_ = false;
};

// A file read from the calling thread's worker in chunks, with a few chunks asked for ahead so
// that the worker reads the next one while this one is written. A worker that dies takes the
// read with it: the file is not opened again.
class TSmbFile final : public net::INetFile {
public:
  static constexpr int ReadAhead = 2;

  TSmbFile(std::shared_ptr<TSmbProvider::TImpl> P, std::string Unc)
      : P_(std::move(P)), Unc_(std::move(Unc)) {}

  ~TSmbFile() override {
    if (!Handle_ || Failed_ || StopRequested()) return;
    net::NetError Ignored;
    if (P_->Worker(false, Ignored) != W_) return;
    // The replies still on their way come first, then the close.
    wire::Frame F;
    for (; InFlight_ > 0; --InFlight_) {
      TCancelScope Cancel(W_);
      if (!P_->Next(W_, F, Ignored)) {
        P_->Fail(W_, What(), Ignored);
        return;
      }
    }
    if (P_->Ask(W_, wire::Type::Close, wire::PutHandle(Handle_), F, What(), Ignored) &&
        F.Kind != wire::Type::Closed)
      P_->Unexpected(W_, What(), Ignored);
  }

  bool Open(net::NetError &Error) {
    std::shared_ptr<TWorker> W = P_->Worker(true, Error);
    if (!W) return false;
    {
      std::lock_guard<std::mutex> L(Lock_);
      W_ = W;
      if (Cancelled_) W->Kill();
    }
    wire::Frame F;
    if (!P_->Ask(W, wire::Type::OpenFile, wire::PutString(Unc_), F, What(), Error)) return false;
    if (P_->ServerError(F, Error)) return false;
    wire::Opened O;
    if (F.Kind != wire::Type::Opened || !wire::Get(F.Payload, O) || O.Handle == 0)
      return P_->Unexpected(W, What(), Error);
    Handle_ = O.Handle;
    Size_ = int64_t(O.Id);
    return true;
  }

  int64_t Size() const override { return Size_; }

  long Read(char *Buffer, std::size_t Capacity, net::NetError *Error) override {
    net::NetError E;
    const long N = ReadSome(Buffer, Capacity, E);
    if (Error) *Error = E;
    return N;
  }

  void Cancel() override {
    std::lock_guard<std::mutex> L(Lock_);
    Cancelled_ = true;
    if (W_) W_->Kill();
  }

private:
  std::string What() const { return "the reading of " + Unc_; }

  long ReadSome(char *Buffer, std::size_t Capacity, net::NetError &Error) {
    for (;;) {
      if (Failed_) {
        Error = Why_;
        return -1;
      }
      if (Pos_ < Chunk_.Bytes.size()) {
        const std::size_t N = std::min(Capacity, Chunk_.Bytes.size() - Pos_);
        std::memcpy(Buffer, Chunk_.Bytes.data() + Pos_, N);
        Pos_ += N;
        return long(N);
      }
      if (Chunk_.End) return 0;
      if (!Handle_) return Fail(Broken(EBADF, What() + ": not open"));
      for (; InFlight_ < ReadAhead; ++InFlight_) {
        if (StopRequested()) return Fail(Broken(ECANCELED, What() + ": stopped"));
        if (!W_->Send(wire::Type::ReadFile, wire::Put(wire::ReadFile{Handle_, wire::MaxChunk}),
                      Error))
          return Lost(Error);
      }
      wire::Frame &F = Reply_;
      {
        TCancelScope Cancel(W_);
        if (!P_->Next(W_, F, Error)) return Lost(Error);
      }
      --InFlight_;
      if (P_->ServerError(F, Error)) return Fail(Error);
      if (F.Kind != wire::Type::Data || !wire::Get(F.Payload, Chunk_) ||
          (Chunk_.Bytes.empty() && !Chunk_.End)) {
        P_->Unexpected(W_, What(), Error);
        return Lost(Error, false);
      }
      Pos_ = 0;
    }
  }

  long Fail(const net::NetError &E) {
    Failed_ = true;
    Why_ = E;
    return -1;
  }
  // The worker is gone with the read.
  long Lost(net::NetError &Error, bool Tell = true) {
    if (Tell) P_->Fail(W_, What(), Error);
    return Fail(Error);
  }

  std::shared_ptr<TSmbProvider::TImpl> P_;
  std::string Unc_;
  std::mutex Lock_; // W_'s writes and Cancel
  std::shared_ptr<TWorker> W_;
  bool Cancelled_ = false;
  uint32_t Handle_ = 0;
  int64_t Size_ = -1;
  int InFlight_ = 0;
  wire::Frame Reply_; // kept, with the room of its payload, from chunk to chunk
  wire::Data Chunk_;
  std::size_t Pos_ = 0;
  bool Failed_ = false;
  net::NetError Why_;
};

// "\\PC\share..." with a share at least; the server, or "".
std::string ShareServer(const std::string &UncDir) {
  const std::string Server = wire::UncServer(UncDir);
  if (Server.empty() || UncDir.find_first_not_of('\\', Server.size() + 2) == std::string::npos)
    return "";
  return Server;
}

// A listing or a file of a path on a share: the server's probe first; an open marks it
// reachable.
template <class TOpened>
std::unique_ptr<TOpened> OpenBelowShare(const std::shared_ptr<TSmbProvider::TImpl> &P,
                                        const std::string &Unc, net::NetError *Error) {
  net::NetError E;
  const std::string Server = ShareServer(Unc);
  std::unique_ptr<TOpened> Result;
  if (Server.empty()) {
    E = wire::SmbError(EINVAL, Unc);
  } else if (P->Reachable(Server, &E)) {
    auto O = std::make_unique<TOpened>(P, Unc);
    if (O->Open(E)) {
      P->MarkReachable(Server);
      Result = std::move(O);
    }
  }
  if (Error) *Error = E;
  return Result;
}

} // namespace

TSmbProvider::TSmbProvider(SmbProviderOptions Options) : I_(std::make_shared<TImpl>()) {
  I_->Options = std::move(Options);
  I_->WorkerPath = I_->Options.WorkerPath.empty() ? SmbWorkerPath() : I_->Options.WorkerPath;
  I_->Config.ConfigFile = I_->Options.ConfigFile;
  I_->Config.CredentialsFile = I_->Options.CredentialsFile;
  I_->Config.TimeOutMs = I_->Options.TimeOutMs;
}

TSmbProvider::~TSmbProvider() { I_->EndAll(); }

const SmbProviderOptions &TSmbProvider::Options() const { return I_->Options; }

std::vector<pid_t> TSmbProvider::WorkerPids() const {
  std::vector<pid_t> Out;
  std::lock_guard<std::mutex> L(I_->WorkersLock);
  for (auto &P : I_->Workers)
    if (auto W = P.lock(); W && W->Alive()) Out.push_back(W->Pid());
  return Out;
}

std::size_t TSmbProvider::ListingsFromSecondWorkers() const { return I_->SecondTaken; }

bool TSmbProvider::StartWorker(net::NetError *Error) {
  net::NetError E;
  const bool Ok = I_->Worker(true, E) != nullptr;
  if (Error) *Error = E;
  return Ok;
}

void TSmbProvider::NoteReachable(const std::string &Server) { I_->MarkReachable(Server); }

net::NetEnumStatus TSmbProvider::EnumResources(const net::NetResource *Container,
                                               std::vector<net::NetResource> &Out,
                                               net::NetError *Error) {
  net::NetError E;
  auto Done = [&](net::NetEnumStatus S) {
    if (Error) *Error = E;
    return S;
  };
  if (!Container) {
    net::NetResource Top;
    Top.Scope = net::NetScopeGlobal;
    Top.Type = net::NetTypeDisk;
    Top.DisplayType = net::NetDisplayNetwork;
    Top.Usage = net::NetUsageContainer;
    Top.RemoteName = ProviderName;
    Top.Provider = ProviderName;
    Out.push_back(std::move(Top));
    return Done(net::NetEnumStatus::Ok);
  }
  const std::string &Name = Container->RemoteName;
  switch (Container->DisplayType) {
  case net::NetDisplayNetwork: // the workgroups
    return Done(I_->Enum(net::NetDisplayNetwork, Name, Out, E));
  case net::NetDisplayDomain: // the servers of a workgroup
    if (Name.empty() || Name.find('\\') != std::string::npos) {
      E = wire::SmbError(EINVAL, Name);
      return Done(net::NetEnumStatus::OpenFailed);
    }
    return Done(I_->Enum(net::NetDisplayDomain, Name, Out, E));
  case net::NetDisplayServer: { // the disk shares of a server
    const std::string Server = wire::UncServer(Name);
    if (Server.empty() || Name.size() != Server.size() + 2) {
      E = wire::SmbError(EINVAL, Name);
      return Done(net::NetEnumStatus::OpenFailed);
    }
    if (!I_->Reachable(Server, &E)) return Done(net::NetEnumStatus::OpenFailed);
    const auto S = I_->Enum(net::NetDisplayServer, Name, Out, E);
    if (S == net::NetEnumStatus::Ok || S == net::NetEnumStatus::NoMoreItems)
      I_->MarkReachable(Server);
    return Done(S);
  }
  default:
    E = wire::SmbError(ENOTDIR, Name);
    return Done(net::NetEnumStatus::OpenFailed);
  }
}

std::unique_ptr<net::INetFile> TSmbProvider::OpenFile(const std::string &UncPath,
                                                      net::NetError *Error) {
  return OpenBelowShare<TSmbFile>(I_, UncPath, Error);
}

std::unique_ptr<net::INetDirListing> TSmbProvider::OpenDir(const std::string &UncDir,
                                                           net::NetError *Error) {
  return OpenBelowShare<TSmbListing>(I_, UncDir, Error);
}

bool TSmbProvider::FindFiles(const std::string &UncDir, std::vector<net::DirEntry> &Out,
                             net::NetError *Error) {
  auto L = OpenDir(UncDir, Error);
  if (!L) return false;
  net::DirEntry D;
  net::NetError E;
  while (L->Next(D, &E)) Out.push_back(std::move(D));
  if (Error) *Error = E;
  return E.Code == 0 && !E.Broken;
}

std::string SmbWorkerPath() {
  namespace fs = std::filesystem;
  if (const char *Env = std::getenv("SONQUARRY_SMB_WORKER"); Env && *Env) return Env;
  std::error_code Ec;
  const fs::path Exe = fs::read_symlink("/proc/self/exe", Ec);
  if (Ec) return "";
  const fs::path Dir = Exe.parent_path();
  for (const char *Rel : {".", "../libexec/sonquarry", "../src/app", "../../src/app"}) {
    const fs::path P = (Dir / Rel / "sonquarry-smb-worker").lexically_normal();
    if (::access(P.c_str(), X_OK) == 0) return P.string();
  }
  return "";
}

} // namespace sonquarry::smb
