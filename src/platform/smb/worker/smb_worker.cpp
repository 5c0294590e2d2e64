#include "platform/smb/worker/smb_worker.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <dirent.h>
#include <linux/tcp.h>
#include <mutex>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "platform/smb/wire/smb_wire.h"
#include "platform/smb/worker/smb_client.h"
#include "platform/smb/worker/smb_spawner.h"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) ||                         \
    __has_feature(memory_sanitizer)
#define SANITIZED 1
#endif
#endif
#ifndef SANITIZED
#define SANITIZED 0
#endif

namespace sonquarry::smb::worker {

namespace {

// An OpenDir's answer waits for this many listings read ahead after it, this long at most.
constexpr std::size_t HoldListings = 4;
constexpr auto HoldFor = std::chrono::milliseconds(20);

class TServer {
public:
  explicit TServer(int Fd) : Fd_(Fd) {}

  // One frame from the program; false at the end of the socket or on a broken frame (Broken).
  bool Receive(wire::Frame &F) {
    if (!Later_.empty()) {
      F = std::move(Later_.front());
      Later_.pop_front();
      return true;
    }
    return ReceiveNew(F);
  }

  // The program's answer to a question for a login; requests that come before it wait for
  // their turn. None when the program is gone or broke the protocol.
  wire::Login AskLogin(wire::Type Kind, const wire::AskLogin &Q) {
    if (!Send(Kind, wire::Put(Q)) || Kind != wire::Type::AskLogin) return {};
    wire::Frame F;
    while (ReceiveNew(F)) {
      wire::Login L;
      if (F.Kind != wire::Type::Login) {
        Later_.push_back(std::move(F));
        continue;
      }
      if (wire::Get(F.Payload, L)) return L;
      Broken_ = true;
      break;
    }
    return {};
  }

private:
  bool ReceiveNew(wire::Frame &F) {
    for (;;) {
      const auto R = wire::Take(In_, F);
      if (R.Used) return true;
      if (!R.Incomplete) {
        Broken_ = true;
        return false;
      }
      // Straight into the buffer: requests are small.
      const std::size_t Had = In_.size();
      In_.resize(Had + ReadSize);
      const ssize_t N = ::read(Fd_, In_.data() + Had, ReadSize);
      In_.resize(Had + std::size_t(std::max<ssize_t>(N, 0)));
      if (N < 0 && errno == EINTR) continue;
      if (N <= 0) {
        // A frame cut short by the end of the socket is a broken one.
        Broken_ = !In_.empty();
        return false;
      }
    }
  }

public:
  // From the serving thread and the heartbeat: one frame at a time.
  bool Send(wire::Type Kind, const std::vector<uint8_t> &Payload) {
    std::lock_guard<std::mutex> L(SendLock_);
    return wire::SendFrame(Fd_, Kind, Payload);
  }
  bool SendBytes(const std::vector<uint8_t> &Frame) {
    std::lock_guard<std::mutex> L(SendLock_);
    return wire::SendAll(Fd_, Frame);
  }

  bool SendError(const net::NetError &E) {
    return Send(wire::Type::Error, wire::Put(wire::ErrorReply{E.Code, E.Message}));
  }

  bool Broken() const { return Broken_; }

  // Whether a request has come, whole or in part.
  bool Waiting() {
    if (!In_.empty() || !Later_.empty()) return true;
    pollfd P{Fd_, POLLIN, 0};
    return ::poll(&P, 1, 0) != 0;
  }

private:
  static constexpr std::size_t ReadSize = 4096;
  int Fd_;
  std::vector<uint8_t> In_;
  std::deque<wire::Frame> Later_;
  bool Broken_ = false;
  std::mutex SendLock_;
};

// Bytes received so far on this process's TCP connections, its servers'.
uint64_t BytesFromServers() {
  uint64_t Sum = 0;
  DIR *D = ::opendir("/proc/self/fd");
  if (!D) return 0;
  while (const dirent *E = ::readdir(D)) {
    char *End = nullptr;
    const long Fd = std::strtol(E->d_name, &End, 10);
    if (End == E->d_name || *End || Fd == ::dirfd(D)) continue;
    tcp_info I{};
    socklen_t N = sizeof I;
    if (::getsockopt(int(Fd), IPPROTO_TCP, TCP_INFO, &I, &N) == 0 &&
        N >= offsetof(tcp_info, tcpi_bytes_received) + sizeof I.tcpi_bytes_received)
      Sum += I.tcpi_bytes_received;
  }
  ::closedir(D);
  return Sum;
}

// The program gives each request one call's time. A listing is read whole by libsmbclient and a
// huge one over a slow link takes longer, though its server keeps sending: while a request is in
// progress and bytes keep coming from the servers, a Progress frame each beat tells the program
// so. A server that sends nothing gets no beat.
class THeartbeat {
public:
  static constexpr auto Beat = std::chrono::milliseconds(500);

  explicit THeartbeat(TServer &S) : S_(S), Thread_([this] { Run(); }) {}
  ~THeartbeat() {
    {
      std::lock_guard<std::mutex> L(M_);
      Quit_ = true;
    }
    Wake_.notify_all();
    Thread_.join();
  }
  THeartbeat(const THeartbeat &) = delete;
  THeartbeat &operator=(const THeartbeat &) = delete;

  // Around the handling of one request.
  void Busy(bool B) {
    std::lock_guard<std::mutex> L(M_);
    Busy_ = B;
    Since_ = 0;
  }

private:
  void Run() {
    std::unique_lock<std::mutex> L(M_);
    uint64_t Last = 0;
    while (!Wake_.wait_for(L, Beat, [this] { return Quit_; })) {
      if (!Busy_) continue;
      const bool First = Since_++ == 0;
      L.unlock();
      const uint64_t Now = BytesFromServers();
      const bool Moved = !First && Now != Last;
      Last = Now;
      L.lock();
      // A beat just after the reply is harmless: the program takes beats at any time.
      if (Moved && Busy_ && !S_.Send(wire::Type::Progress, {})) return;
    }
  }

  TServer &S_;
  std::mutex M_;
  std::condition_variable Wake_;
  bool Quit_ = false, Busy_ = false;
  unsigned Since_ = 0;
  std::thread Thread_;
};

// Resources in frames that stay well below the frame limit.
bool SendResources(TServer &S, const std::vector<wire::Resource> &All) {
  std::vector<wire::Resource> Batch;
  std::size_t Bytes = 0;
  for (const auto &R : All) {
    Batch.push_back(R);
    Bytes += 16 + R.RemoteName.size() + R.Comment.size();
    if (Bytes >= wire::MaxBatchBytes) {
      if (!S.Send(wire::Type::Resources, wire::Put(Batch))) return false;
      Batch.clear();
      Bytes = 0;
    }
  }
  return Batch.empty() || S.Send(wire::Type::Resources, wire::Put(Batch));
}

int Serve(int Fd) {
  TServer S(Fd);
  wire::Frame F;
  if (!S.Receive(F)) return S.Broken() ? ExitProtocol : ExitEnd;
  wire::Hello Config;
  if (F.Kind != wire::Type::Hello || !wire::Get(F.Payload, Config)) return ExitProtocol;
  TSmbClient Client(Config);
  Client.ServeLogins([&S](const wire::AskLogin &Q) { return S.AskLogin(wire::Type::AskLogin, Q); },
                     [&S](const wire::AskLogin &Q) { S.AskLogin(wire::Type::LoginUsed, Q); });
  std::vector<uint8_t> Chunk;
  if (!S.Send(wire::Type::HelloOk, wire::PutHandle(uint32_t(::getpid())))) return ExitEnd;
  THeartbeat Beats(S);
  for (;;) {
    // The poll only when there is something to read ahead: one call less per directory.
    while (Client.WouldReadAhead() && !S.Waiting() && Client.ReadAhead()) {
    }
    if (!S.Receive(F)) break;
    Beats.Busy(true);
    bool Sent = false;
    net::NetError E;
    switch (F.Kind) {
    case wire::Type::Enum: {
      wire::EnumRequest Q;
      if (!wire::Get(F.Payload, Q)) return ExitProtocol;
      std::vector<wire::Resource> Out;
      const net::NetEnumStatus Status = Client.Enum(Q.Level, Q.RemoteName, Out, E);
      Sent =
          SendResources(S, Out) &&
          S.Send(wire::Type::EnumEnd, wire::Put(wire::EnumEnd{uint8_t(Status), E.Code, E.Message}));
      break;
    }
    case wire::Type::OpenDir: {
      std::string Unc;
      if (!wire::GetString(F.Payload, Unc)) return ExitProtocol;
      // When the walk asks for what is read ahead, a few more listings go with the answer, while
      // they come quickly: the program then wakes once for them all.
      const auto Until = std::chrono::steady_clock::now() + HoldFor;
      while (Client.ReadAheadAfter(Unc) < HoldListings && Client.WouldReadAhead() &&
             std::chrono::steady_clock::now() < Until && Client.ReadAhead()) {
      }
      // The first entries go with the reply: most directories then cost one exchange.
      wire::Listing L;
      if (!Client.OpenDir(Unc, L.Dir, E)) {
        Sent = S.SendError(E);
      } else if (!Client.ReadDir(L.Dir.Handle, wire::MaxBatchEntries, L.Entries, L.End, E)) {
        Client.Close(L.Dir.Handle);
        Sent = S.SendError(E);
      } else {
        Client.Following(L.Next);
        Sent = S.Send(wire::Type::Listing, wire::Put(L));
      }
      break;
    }
    case wire::Type::ReadDir: {
      wire::ReadDir Q;
      if (!wire::Get(F.Payload, Q)) return ExitProtocol;
      std::vector<wire::Entry> Out;
      bool End = false;
      Sent = Client.ReadDir(Q.Handle, Q.Max, Out, End, E)
                 ? S.Send(wire::Type::Entries, wire::Put(Out, End))
                 : S.SendError(E);
      break;
    }
    case wire::Type::OpenFile: {
      std::string Unc;
      if (!wire::GetString(F.Payload, Unc)) return ExitProtocol;
      wire::Opened O;
      Sent = Client.OpenFile(Unc, O, E) ? S.Send(wire::Type::Opened, wire::Put(O)) : S.SendError(E);
      break;
    }
    case wire::Type::ReadFile: {
      wire::ReadFile Q;
      if (!wire::Get(F.Payload, Q)) return ExitProtocol;
      // Read into the frame that is sent, kept from chunk to chunk: no copies, no page faults.
      const uint32_t Max = std::clamp<uint32_t>(Q.Max, 1, wire::MaxChunk);
      bool End = false;
      const long N = Client.ReadFile(Q.Handle, wire::DataFrame(Chunk, Max), Max, End, E);
      if (N >= 0) wire::SealData(Chunk, uint32_t(N), End);
      Sent = N >= 0 ? S.SendBytes(Chunk) : S.SendError(E);
      break;
    }
    case wire::Type::StatFile: {
      std::string Unc;
      if (!wire::GetString(F.Payload, Unc)) return ExitProtocol;
      wire::FileStat St;
      Sent = Client.StatFile(Unc, St, E) ? S.Send(wire::Type::FileStat, wire::Put(St))
                                         : S.SendError(E);
      break;
    }
    case wire::Type::ReadTags: {
      wire::ReadTags Q;
      if (!wire::Get(F.Payload, Q)) return ExitProtocol;
      wire::Tags T;
      Sent = Client.ReadTags(Q, T, E) ? S.Send(wire::Type::Tags, wire::Put(T)) : S.SendError(E);
      break;
    }
    case wire::Type::Close: {
      uint32_t Handle;
      if (!wire::GetHandle(F.Payload, Handle)) return ExitProtocol;
      Client.Close(Handle);
      Sent = S.Send(wire::Type::Closed, {});
      break;
    }
    default:
      return ExitProtocol;
    }
    Beats.Busy(false);
    if (!Sent) return ExitEnd;
  }
  return S.Broken() ? ExitProtocol : ExitEnd;
}

} // namespace

// What every worker and the spawner set before anything else.
void Confine() {
  // The user's password passes through here: no core file, and no other process of the user may
  // read this one's memory.
  const rlimit NoCore{0, 0};
  ::setrlimit(RLIMIT_CORE, &NoCore);
  ::prctl(PR_SET_DUMPABLE, 0);
  // What a server sends is parsed here (TagLib on its files): a hostile file may cost this
  // worker, not the machine's memory. The sanitizers' shadow memory needs address space of its
  // own.
#if !SANITIZED
  // libsmbclient and its threads need about 100 MiB of address space.
  constexpr rlim_t MemoryLimit = rlim_t(512) << 20;
  const rlimit Memory{MemoryLimit, MemoryLimit};
  ::setrlimit(RLIMIT_AS, &Memory);
#endif
  // The tag reader's watchdog (an alarm) ends the worker.
  std::signal(SIGALRM, SIG_DFL);
  // The terminal's Ctrl+C is the program's to handle; it ends its workers itself.
  std::signal(SIGINT, SIG_IGN);
  std::signal(SIGPIPE, SIG_IGN);
}

// Gone with the program, even when it is killed; it may have gone before this.
bool Tethered(pid_t Parent) {
  ::prctl(PR_SET_PDEATHSIG, SIGKILL);
  return ::getppid() == Parent;
}

int RunWorker(int Fd) {
  const int Status = Serve(Fd);
  ::close(Fd);
  return Status;
}

int SmbWorkerMain(int argc, char **argv) {
  int Fd = -1, Ctl = -1;
  long Parent = -1;
  for (int I = 1; I + 1 < argc; I += 2) {
    const std::string Key = argv[I];
    char *End = nullptr;
    const long V = std::strtol(argv[I + 1], &End, 10);
    if (!End || *End) return ExitUsage;
    if (Key == "--fd")
      Fd = int(V);
    else if (Key == "--parent" || Key == "--program")
      Parent = V;
    else if (Key == "--spawner")
      Ctl = int(V);
    else
      return ExitUsage;
  }
  if ((Fd < 0) == (Ctl < 0) || Parent <= 0) return ExitUsage;
  if (Ctl >= 0) return Spawner(argc, argv, Ctl, pid_t(Parent));
  Confine();
  if (!Tethered(pid_t(Parent))) return ExitOrphan;
  return RunWorker(Fd);
}

} // namespace sonquarry::smb::worker
