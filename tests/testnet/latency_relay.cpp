// A TCP relay that adds round-trip time: the test network's stand-in for a slow link.
//
//     latency_relay CONTROL STATS LISTEN=TARGET... [--ports 445,139]
//
// Every LISTEN address accepts on each port and relays to the same port of its TARGET, holding
// each chunk for half the round-trip time in each direction (the kernel here has no netem). A
// chunk is held from its arrival, not behind the one before it, so the link's bandwidth is not
// cut: only its latency grows. One thread, one epoll loop and a timer with microsecond
// resolution; testnet.sh runs it at real-time priority, because a link's delay does not grow
// with the load of the machines at its ends, and a relay that waits for a core would add the
// machine's scheduling delays to the walk under test.
//
// CONTROL holds "RTT_MS GENERATION"; it is read again whenever it changes. A new generation starts
// the counts afresh. STATS is rewritten (whole, by rename) at every connection's start and end:
//     generation G
//     rtt R
//     held CHUNKS MS          chunks relayed and the time they were held in all (the real delay)
//     TARGET current most accepted requests      (one line per target)
// "requests" counts the chunks read from clients: each SMB request of a client that waits for
// its answer arrives as one. A connection counts from its accept until its client has ended it
// (or it failed): the program's connections, not the server's.
#include <arpa/inet.h>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <fstream>
#include <map>
#include <memory>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <queue>
#include <sstream>
#include <string>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/timerfd.h>
#include <time.h>
#include <unistd.h>
#include <vector>

namespace {

double Now() {
  timespec T{};
  clock_gettime(CLOCK_MONOTONIC, &T);
  return double(T.tv_sec) + double(T.tv_nsec) / 1e9;
}

struct TCount {
  long Current = 0, Most = 0, Accepted = 0, Requests = 0;
};

struct TChunk {
  double Due, Arrived;
  std::string Data; // empty: the end of the stream
};

struct TSide {
  int Fd = -1;
  TSide *Peer = nullptr;
  TCount *Counter = nullptr;  // the client's side only
  std::deque<TChunk> Pending; // what waits to be written to this side
  std::string Out;
  std::size_t OutAt = 0;
  bool Reading = true, Shut = false, WrDone = false, Closed = false, Counted = false;
  uint32_t Mask = EPOLLIN;
};

struct TListener {
  int Fd;
  std::string Target;
  int Port;
};

struct TTimer {
  double Due;
  uint64_t Seq;
  TSide *Side;
  bool operator>(const TTimer &O) const { return Due != O.Due ? Due > O.Due : Seq > O.Seq; }
};

class TRelay {
public:
  TRelay(std::string Control, std::string Stats)
      : Control_(std::move(Control)), Stats_(std::move(Stats)) {
    Ep_ = epoll_create1(EPOLL_CLOEXEC);
    Timer_ = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    Add(Timer_, EPOLLIN);
  }

  bool Listen(const std::string &Address, int Port, const std::string &Target) {
    const int S = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    const int One = 1;
    setsockopt(S, SOL_SOCKET, SO_REUSEADDR, &One, sizeof One);
    sockaddr_in A{};
    A.sin_family = AF_INET;
    A.sin_port = htons(uint16_t(Port));
    if (inet_pton(AF_INET, Address.c_str(), &A.sin_addr) != 1 ||
        bind(S, reinterpret_cast<sockaddr *>(&A), sizeof A) != 0 || listen(S, 128) != 0) {
      std::fprintf(stderr, "cannot listen on %s:%d: %s\n", Address.c_str(), Port,
                   std::strerror(errno));
      return false;
    }
    Listeners_[S] = {S, Target, Port};
    Counts_[Target];
    Add(S, EPOLLIN);
    return true;
  }

  void Watch() {
    struct stat St {};
    if (stat(Control_.c_str(), &St) != 0) return;
    const auto Key =
        std::make_pair(St.st_mtim.tv_sec * 1000000000L + St.st_mtim.tv_nsec, St.st_size);
    if (Key == Seen_) return;
    Seen_ = Key;
    std::ifstream F(Control_);
    std::string Rtt, Gen;
    if (!(F >> Rtt)) return;
    F >> Gen;
    char *End = nullptr;
    const double Ms = std::strtod(Rtt.c_str(), &End);
    if (End == Rtt.c_str()) return;
    OneWay_ = std::max(0.0, Ms) / 2000.0;
    RttText_ = Rtt;
    if (!Gen.empty() && Gen != Generation_) {
      Generation_ = Gen;
      for (auto &[T, C] : Counts_) {
        C.Most = C.Current;
        C.Accepted = C.Requests = 0;
      }
      HeldChunks_ = 0;
      HeldSeconds_ = 0;
    }
    WriteStats();
  }

  void WriteStats() {
    std::ostringstream O;
    O << "generation " << Generation_ << "\nrtt " << RttText_ << "\n";
    char Held[64];
    std::snprintf(Held, sizeof Held, "held %ld %.3f\n", HeldChunks_, HeldSeconds_ * 1000);
    O << Held;
    for (const auto &[T, C] : Counts_)
      O << T << " " << C.Current << " " << C.Most << " " << C.Accepted << " " << C.Requests << "\n";
    const std::string Tmp = Stats_ + ".new";
    {
      std::ofstream F(Tmp, std::ios::trunc);
      F << O.str();
    }
    std::rename(Tmp.c_str(), Stats_.c_str());
  }

  [[noreturn]] void Run() {
    double LastWatch = 0;
    std::vector<epoll_event> Ev(256);
    for (;;) {
      const double T = Now();
      if (T - LastWatch >= 0.02) {
        Watch();
        LastWatch = T;
      }
      Arm();
      const int N = epoll_wait(Ep_, Ev.data(), int(Ev.size()), 20);
      if (N < 0 && errno != EINTR) {
        std::perror("epoll_wait");
        std::exit(1);
      }
      // Reads first: a connection that its client ended before opening another is not counted
      // beside the new one.
      for (int Pass = 0; Pass < 2; ++Pass)
        for (int I = 0; I < N; ++I) {
          const int Fd = Ev[std::size_t(I)].data.fd;
          const bool Listener = Listeners_.count(Fd) > 0;
          if (Pass == 0 && Listener) continue;
          if (Pass == 1) {
            if (Listener) Accept(Fd);
            continue;
          }
          if (Fd == Timer_) {
            uint64_t Ticks;
            while (read(Timer_, &Ticks, sizeof Ticks) > 0) {
            }
            continue;
          }
          const auto It = Sides_.find(Fd);
          if (It == Sides_.end()) continue;
          TSide *S = It->second;
          const uint32_t E = Ev[std::size_t(I)].events;
          if (E & EPOLLERR) {
            Close(S);
            continue;
          }
          if (E & EPOLLOUT) Flush(S);
          if ((E & (EPOLLIN | EPOLLHUP)) && !S->Closed && S->Reading) Readable(S);
        }
      const double After = Now();
      while (!Timers_.empty() && Timers_.top().Due <= After) {
        TSide *S = Timers_.top().Side;
        Timers_.pop();
        if (!S->Closed) Due(S, After);
      }
      Reap();
    }
  }

private:
  void Add(int Fd, uint32_t Mask) {
    epoll_event E{};
    E.events = Mask;
    E.data.fd = Fd;
    epoll_ctl(Ep_, EPOLL_CTL_ADD, Fd, &E);
  }

  // The timer at the next chunk's due time, exactly: epoll alone waits whole milliseconds.
  void Arm() {
    itimerspec It{};
    if (!Timers_.empty()) {
      const double D = std::max(Timers_.top().Due, 1e-9);
      It.it_value.tv_sec = time_t(D);
      It.it_value.tv_nsec = long((D - std::floor(D)) * 1e9);
      if (It.it_value.tv_sec == 0 && It.it_value.tv_nsec == 0) It.it_value.tv_nsec = 1;
    }
    if (It.it_value.tv_sec != ArmedSec_ || It.it_value.tv_nsec != ArmedNsec_) {
      timerfd_settime(Timer_, TFD_TIMER_ABSTIME, &It, nullptr);
      ArmedSec_ = It.it_value.tv_sec;
      ArmedNsec_ = It.it_value.tv_nsec;
    }
  }

  void Accept(int Fd) {
    const TListener &L = Listeners_[Fd];
    for (;;) {
      const int C = accept4(Fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
      if (C < 0) return;
      const int U = Connect(L.Target, L.Port);
      if (U < 0) {
        close(C);
        continue;
      }
      TCount &Count = Counts_[L.Target];
      ++Count.Current;
      Count.Most = std::max(Count.Most, Count.Current);
      ++Count.Accepted;
      auto A = std::make_unique<TSide>(), B = std::make_unique<TSide>();
      A->Fd = C;
      A->Counter = &Count;
      A->Counted = true;
      B->Fd = U;
      A->Peer = B.get();
      B->Peer = A.get();
      const int One = 1;
      for (TSide *S : {A.get(), B.get()}) {
        setsockopt(S->Fd, IPPROTO_TCP, TCP_NODELAY, &One, sizeof One);
        Add(S->Fd, EPOLLIN);
      }
      Sides_[C] = A.get();
      Sides_[U] = B.get();
      Owned_.push_back(std::move(A));
      Owned_.push_back(std::move(B));
      WriteStats();
    }
  }

  // A blocking connect with a bound (the targets are on the same bridge), then non-blocking.
  static int Connect(const std::string &Target, int Port) {
    const int S = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    timeval Tv{5, 0};
    setsockopt(S, SOL_SOCKET, SO_SNDTIMEO, &Tv, sizeof Tv);
    sockaddr_in A{};
    A.sin_family = AF_INET;
    A.sin_port = htons(uint16_t(Port));
    if (inet_pton(AF_INET, Target.c_str(), &A.sin_addr) != 1 ||
        connect(S, reinterpret_cast<sockaddr *>(&A), sizeof A) != 0) {
      close(S);
      return -1;
    }
    fcntl(S, F_SETFL, fcntl(S, F_GETFL) | O_NONBLOCK);
    return S;
  }

  void Readable(TSide *S) {
    char Buf[262144];
    const ssize_t N = recv(S->Fd, Buf, sizeof Buf, 0);
    if (N < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return;
      return Close(S);
    }
    const double T = Now();
    if (N > 0 && S->Counter) ++S->Counter->Requests;
    TSide *P = S->Peer;
    P->Pending.push_back({T + OneWay_, T, std::string(Buf, std::size_t(N))});
    Timers_.push({T + OneWay_, ++Seq_, P});
    if (N == 0) {
      S->Reading = false;
      // The client has ended its connection: it no longer counts as the program's.
      Uncount(S);
      Update(S);
    }
  }

  void Due(TSide *S, double T) {
    while (!S->Pending.empty() && S->Pending.front().Due <= T) {
      TChunk &C = S->Pending.front();
      ++HeldChunks_;
      HeldSeconds_ += T - C.Arrived;
      if (C.Data.empty())
        S->Shut = true;
      else
        S->Out += C.Data;
      S->Pending.pop_front();
    }
    Flush(S);
  }

  void Flush(TSide *S) {
    if (S->Closed) return;
    while (S->OutAt < S->Out.size()) {
      const ssize_t N =
          send(S->Fd, S->Out.data() + S->OutAt, S->Out.size() - S->OutAt, MSG_NOSIGNAL);
      if (N < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK) break;
        if (errno == EINTR) continue;
        return Close(S);
      }
      S->OutAt += std::size_t(N);
    }
    if (S->OutAt == S->Out.size()) {
      S->Out.clear();
      S->OutAt = 0;
    }
    if (S->Out.empty() && S->Shut && !S->WrDone) {
      S->WrDone = true;
      shutdown(S->Fd, SHUT_WR);
      if (S->Peer->WrDone) return Close(S);
    }
    Update(S);
  }

  void Update(TSide *S) {
    if (S->Closed) return;
    const uint32_t Mask = (S->Reading ? EPOLLIN : 0u) | (S->Out.empty() ? 0u : EPOLLOUT);
    if (Mask == S->Mask) return;
    S->Mask = Mask;
    epoll_event E{};
    E.events = Mask;
    E.data.fd = S->Fd;
    epoll_ctl(Ep_, EPOLL_CTL_MOD, S->Fd, &E);
  }

  void Uncount(TSide *S) {
    for (TSide *X : {S, S->Peer})
      if (X->Counted) {
        X->Counted = false;
        --X->Counter->Current;
        WriteStats();
      }
  }

  void Close(TSide *S) {
    Uncount(S);
    for (TSide *X : {S, S->Peer}) {
      if (X->Closed) continue;
      X->Closed = true;
      epoll_ctl(Ep_, EPOLL_CTL_DEL, X->Fd, nullptr);
      Sides_.erase(X->Fd);
      close(X->Fd);
      X->Pending.clear();
      X->Out.clear();
    }
  }

  // Closed sides are freed only once no timer can point at them.
  void Reap() {
    if (!Timers_.empty()) return;
    std::erase_if(Owned_, [](const std::unique_ptr<TSide> &S) { return S->Closed; });
  }

  std::string Control_, Stats_;
  int Ep_ = -1, Timer_ = -1;
  time_t ArmedSec_ = -1;
  long ArmedNsec_ = -1;
  std::map<int, TListener> Listeners_;
  std::map<int, TSide *> Sides_;              // the open ones, by socket
  std::vector<std::unique_ptr<TSide>> Owned_; // every side, until no timer points at it
  std::priority_queue<TTimer, std::vector<TTimer>, std::greater<TTimer>> Timers_;
  uint64_t Seq_ = 0;
  double OneWay_ = 0;
  std::string RttText_ = "0", Generation_;
  std::pair<long, long> Seen_{-1, -1};
  std::map<std::string, TCount> Counts_;
  long HeldChunks_ = 0;
  double HeldSeconds_ = 0;
};

} // namespace

int main(int argc, char **argv) {
  std::vector<std::string> Args(argv + 1, argv + argc);
  std::vector<int> Ports = {445, 139};
  for (std::size_t I = 0; I + 1 < Args.size(); ++I)
    if (Args[I] == "--ports") {
      Ports.clear();
      std::stringstream S(Args[I + 1]);
      for (std::string P; std::getline(S, P, ',');) Ports.push_back(std::atoi(P.c_str()));
      Args.erase(Args.begin() + long(I), Args.begin() + long(I) + 2);
      break;
    }
  if (Args.size() < 3) {
    std::fprintf(stderr, "usage: latency_relay CONTROL STATS LISTEN=TARGET... [--ports P,Q]\n");
    return 2;
  }
  std::signal(SIGPIPE, SIG_IGN);
  TRelay R(Args[0], Args[1]);
  for (std::size_t I = 2; I < Args.size(); ++I) {
    const auto Eq = Args[I].find('=');
    if (Eq == std::string::npos) return 2;
    for (int P : Ports)
      if (!R.Listen(Args[I].substr(0, Eq), P, Args[I].substr(Eq + 1))) return 1;
  }
  R.Watch();
  R.WriteStats();
  R.Run();
}
