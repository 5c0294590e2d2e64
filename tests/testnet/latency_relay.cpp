// A TCP relay that adds round-trip time: the test network's stand-in for a slow link.
//
//     latency_relay CONTROL STATS LISTEN=TARGET...
//
// Every LISTEN address accepts on ports 445 and 139 and relays to the same port of its TARGET,
// holding each chunk for half the round-trip time in each direction (the kernel here has no
// netem). A chunk is held from its arrival, not behind the one before it, so only the latency
// grows, not the bandwidth. One epoll loop with a microsecond timer; testnet.sh runs it at
// real-time priority, because a link's delay does not grow with the load of the machines at its
// ends (a Python relay on the same two cores slowed a walk at 2 ms by half).
//
// CONTROL holds "RTT_MS GENERATION", read again whenever it changes; a new generation starts the
// counts afresh. STATS is rewritten (whole, by rename) at every connection's start and end:
//     generation G
//     rtt R
//     held CHUNKS MS          chunks relayed and the time they were held in all (the real delay)
//     TARGET current most accepted requests      (one line per target)
// "requests" counts the chunks read from clients (a request that waits for its answer arrives as
// one). A connection counts from its accept until its client ends it: the program's connections.
#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <fcntl.h>
#include <fstream>
#include <map>
#include <memory>
#include <netinet/tcp.h>
#include <queue>
#include <string>
#include <sys/epoll.h>
#include <sys/stat.h>
#include <sys/timerfd.h>
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

struct TSide {
  int Fd = -1;
  TSide *Peer = nullptr;
  TCount *Counter = nullptr; // the client's side, while it counts
  struct TChunk {
    double Due, Arrived;
    std::string Bytes; // "": the end
  };
  std::deque<TChunk> In; // to be written here
  std::string Out;
  bool Reading = true, Shut = false, WrDone = false, Closed = false;
  uint32_t Mask = EPOLLIN;
};

int Socket(const std::string &Ip, int Port, bool Listen) {
  sockaddr_in A{};
  A.sin_family = AF_INET;
  A.sin_port = htons(uint16_t(Port));
  const int S = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const int One = 1;
  const timeval Bound{5, 0}; // a connect to a target on the same bridge
  setsockopt(S, SOL_SOCKET, SO_REUSEADDR, &One, sizeof One);
  setsockopt(S, SOL_SOCKET, SO_SNDTIMEO, &Bound, sizeof Bound);
  const auto *P = reinterpret_cast<sockaddr *>(&A);
  const bool Ok =
      inet_pton(AF_INET, Ip.c_str(), &A.sin_addr) == 1 &&
      (Listen ? bind(S, P, sizeof A) == 0 && listen(S, 128) == 0 : connect(S, P, sizeof A) == 0);
  if (!Ok) return close(S), -1;
  setsockopt(S, IPPROTO_TCP, TCP_NODELAY, &One, sizeof One);
  fcntl(S, F_SETFL, fcntl(S, F_GETFL) | O_NONBLOCK);
  return S;
}

class TRelay {
public:
  TRelay(std::string Control, std::string Stats) : Control_(Control), Stats_(Stats) {
    Add(Timer_, EPOLLIN);
  }

  bool Listen(const std::string &Ip, int Port, const std::string &Target) {
    const int S = Socket(Ip, Port, true);
    if (S < 0) return std::perror(("listen on " + Ip).c_str()), false;
    Listeners_[S] = {Target, Port};
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
    OneWay_ = std::max(0.0, std::atof(Rtt.c_str())) / 2000.0;
    RttText_ = Rtt;
    if (!Gen.empty() && Gen != Generation_) {
      Generation_ = Gen;
      for (auto &[T, C] : Counts_) C = {C.Current, C.Current, 0, 0};
      Held_ = 0;
      HeldSeconds_ = 0;
    }
    WriteStats();
  }

  void WriteStats() {
    const std::string Tmp = Stats_ + ".new";
    if (FILE *F = std::fopen(Tmp.c_str(), "w")) {
      std::fprintf(F, "generation %s\nrtt %s\nheld %ld %.3f\n", Generation_.c_str(),
                   RttText_.c_str(), Held_, HeldSeconds_ * 1000);
      for (const auto &[T, C] : Counts_)
        std::fprintf(F, "%s %ld %ld %ld %ld\n", T.c_str(), C.Current, C.Most, C.Accepted,
                     C.Requests);
      std::fclose(F);
      std::rename(Tmp.c_str(), Stats_.c_str());
    }
  }

  [[noreturn]] void Run() {
    double LastWatch = 0;
    epoll_event Ev[256];
    for (;;) {
      if (Now() - LastWatch >= 0.02) Watch(), LastWatch = Now();
      Arm();
      const int N = epoll_wait(Ep_, Ev, 256, 20);
      // Reads before accepts: a connection its client ended before opening the next is not
      // counted beside it.
      for (int Pass = 0; Pass < 2; ++Pass)
        for (int I = 0; I < N; ++I) {
          const int Fd = Ev[I].data.fd;
          if (Listeners_.count(Fd)) {
            if (Pass == 1) Accept(Fd);
            continue;
          }
          const auto It = Sides_.find(Fd);
          if (Pass == 1 || It == Sides_.end()) continue;
          TSide *S = It->second.get();
          if (Ev[I].events & EPOLLERR) {
            Close(S);
            continue;
          }
          if (Ev[I].events & EPOLLOUT) Flush(S);
          if ((Ev[I].events & (EPOLLIN | EPOLLHUP)) && !S->Closed && S->Reading) Readable(S);
        }
      uint64_t Ticks;
      while (read(Timer_, &Ticks, sizeof Ticks) > 0) {
      }
      const double T = Now();
      for (; !Timers_.empty() && Timers_.top().first <= T; Timers_.pop())
        if (const auto S = Timers_.top().second; !S->Closed) Due(S.get(), T);
    }
  }

private:
  using TTimer = std::pair<double, std::shared_ptr<TSide>>;
  struct TLater {
    bool operator()(const TTimer &A, const TTimer &B) const { return A.first > B.first; }
  };

  void Add(int Fd, uint32_t Mask) {
    epoll_event E{Mask, {}};
    E.data.fd = Fd;
    epoll_ctl(Ep_, EPOLL_CTL_ADD, Fd, &E);
  }

  // The timer at the next chunk's due time, exactly: epoll alone waits whole milliseconds.
  void Arm() {
    itimerspec It{};
    if (!Timers_.empty()) {
      const double D = Timers_.top().first;
      It.it_value = {time_t(D), std::max(1L, long((D - double(time_t(D))) * 1e9))};
    }
    timerfd_settime(Timer_, TFD_TIMER_ABSTIME, &It, nullptr);
  }

  void Accept(int Fd) {
    const auto &[Target, Port] = Listeners_[Fd];
    for (int C; (C = accept4(Fd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK)) >= 0;) {
      const int U = Socket(Target, Port, false);
      if (U < 0) {
        close(C);
        continue;
      }
      TCount &Count = Counts_[Target];
      Count.Most = std::max(Count.Most, ++Count.Current);
      ++Count.Accepted;
      auto A = std::make_shared<TSide>(), B = std::make_shared<TSide>();
      A->Fd = C, B->Fd = U, A->Peer = B.get(), B->Peer = A.get(), A->Counter = &Count;
      const int One = 1;
      setsockopt(C, IPPROTO_TCP, TCP_NODELAY, &One, sizeof One);
      for (const auto &S : {A, B}) {
        Add(S->Fd, EPOLLIN);
        Sides_[S->Fd] = S;
      }
      WriteStats();
    }
  }

  void Readable(TSide *S) {
    static char Buf[262144];
    const ssize_t N = recv(S->Fd, Buf, sizeof Buf, 0);
    if (N < 0) {
      if (errno != EAGAIN && errno != EINTR) Close(S);
      return;
    }
    const double T = Now();
    if (N > 0 && S->Counter) ++S->Counter->Requests;
    S->Peer->In.push_back({T + OneWay_, T, std::string(Buf, std::size_t(N))});
    Timers_.emplace(T + OneWay_, Sides_[S->Peer->Fd]);
    if (N == 0) {
      S->Reading = false;
      Uncount(S);
      Update(S);
    }
  }

  void Due(TSide *S, double T) {
    for (; !S->In.empty() && S->In.front().Due <= T; S->In.pop_front()) {
      ++Held_;
      HeldSeconds_ += T - S->In.front().Arrived;
      if (S->In.front().Bytes.empty())
        S->Shut = true;
      else
        S->Out += S->In.front().Bytes;
    }
    Flush(S);
  }

  void Flush(TSide *S) {
    while (!S->Closed && !S->Out.empty()) {
      const ssize_t N = send(S->Fd, S->Out.data(), S->Out.size(), MSG_NOSIGNAL);
      if (N < 0 && (errno == EAGAIN || errno == EINTR)) break;
      if (N < 0) return Close(S);
      S->Out.erase(0, std::size_t(N));
    }
    if (S->Out.empty() && S->Shut && !S->WrDone) {
      S->WrDone = true;
      shutdown(S->Fd, SHUT_WR);
      if (S->Peer->WrDone) return Close(S);
    }
    Update(S);
  }

  void Update(TSide *S) {
    const uint32_t Mask = (S->Reading ? EPOLLIN : 0u) | (S->Out.empty() ? 0u : EPOLLOUT);
    if (S->Closed || Mask == S->Mask) return;
    epoll_event E{S->Mask = Mask, {}};
    E.data.fd = S->Fd;
    epoll_ctl(Ep_, EPOLL_CTL_MOD, S->Fd, &E);
  }

  void Uncount(TSide *S) {
    for (TSide *X : {S, S->Peer})
      if (X->Counter) {
        --X->Counter->Current;
        X->Counter = nullptr;
        WriteStats();
      }
  }

  // Timers may still hold the sides; their closed flag tells them.
  void Close(TSide *S) {
    Uncount(S);
    for (TSide *X : {S, S->Peer})
      if (!X->Closed) {
        X->Closed = true;
        epoll_ctl(Ep_, EPOLL_CTL_DEL, X->Fd, nullptr);
        close(X->Fd);
        Sides_.erase(X->Fd);
      }
  }

  std::string Control_, Stats_;
  int Ep_ = epoll_create1(EPOLL_CLOEXEC);
  int Timer_ = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
  std::map<int, std::pair<std::string, int>> Listeners_; // target and port
  std::map<int, std::shared_ptr<TSide>> Sides_;
  std::priority_queue<TTimer, std::vector<TTimer>, TLater> Timers_;
  double OneWay_ = 0;
  std::string RttText_ = "0", Generation_;
  std::pair<long, long> Seen_{-1, -1};
  std::map<std::string, TCount> Counts_;
  long Held_ = 0;
  double HeldSeconds_ = 0;
};

} // namespace

int main(int argc, char **argv) {
  if (argc < 4) return std::fprintf(stderr, "usage: latency_relay CONTROL STATS IP=TARGET...\n"), 2;
  std::signal(SIGPIPE, SIG_IGN);
  TRelay R(argv[1], argv[2]);
  for (int I = 3; I < argc; ++I) {
    const std::string Pair = argv[I];
    const auto Eq = Pair.find('=');
    for (int Port : {445, 139})
      if (Eq == std::string::npos || !R.Listen(Pair.substr(0, Eq), Port, Pair.substr(Eq + 1)))
        return 1;
  }
  R.Watch();
  R.WriteStats();
  R.Run();
}
