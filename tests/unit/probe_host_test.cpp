// ctest-labels: threads root
// The probe against real sockets: a loopback listener, a closed loopback port, and a target
// that never answers, made inside a network namespace of this test's own. The namespace needs
// root (CAP_SYS_ADMIN); without it those tests are skipped and say why.
#include "discovery/ip_range.h"
#include "platform/os/local_host.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <mutex>
#include <netdb.h>
#include <netinet/in.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace sonquarry;
using Clock = std::chrono::steady_clock;

namespace {

long long MsSince(Clock::time_point Start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - Start).count();
}

// A listening socket on 127.0.0.1 with a port chosen by the system. It never accepts: the
// backlog is long enough for every probe of a test.
class Listener {
public:
  Listener() {
    Fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof sa;
    if (Fd_ < 0 || ::bind(Fd_, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0 ||
        ::listen(Fd_, SOMAXCONN) != 0 ||
        ::getsockname(Fd_, reinterpret_cast<sockaddr *>(&sa), &len))
      return;
    Port_ = ntohs(sa.sin_port);
  }
  ~Listener() { Close(); }
  void Close() {
    if (Fd_ >= 0) ::close(Fd_);
    Fd_ = -1;
  }
  int Port() const { return Port_; }

private:
  int Fd_ = -1;
  int Port_ = 0;
};

// A loopback port that nothing listens on: bound once, then released.
int ClosedPort() {
  Listener l;
  const int port = l.Port();
  l.Close();
  return port;
}

bool Sh(const std::string &Cmd, std::string *Output = nullptr) {
  std::FILE *P = ::popen((Cmd + " 2>&1").c_str(), "r");
  if (!P) return false;
  char Buf[256];
  std::string Out;
  while (std::fgets(Buf, sizeof Buf, P)) Out += Buf;
  const bool Ok = ::pclose(P) == 0;
  if (!Ok && Output) *Output += Cmd + ": " + (Out.empty() ? "failed\n" : Out);
  return Ok;
}

// CAP_SYS_ADMIN in the effective set: what creating and entering a namespace needs.
bool MayCreateNamespaces() {
  std::FILE *F = std::fopen("/proc/self/status", "r");
  if (!F) return false;
  char Line[256];
  unsigned long long Caps = 0;
  while (std::fgets(Line, sizeof Line, F))
    if (std::sscanf(Line, "CapEff: %llx", &Caps) == 1) break;
  std::fclose(F);
  return (Caps >> 21) & 1;
}

// A namespace with a veth pair whose 10.255.0.0/24 side holds one fixed neighbour that does not
// exist: SYNs to 10.255.0.2 leave and are never answered, nothing else is reachable.
class BlackholeNetns {
public:
  BlackholeNetns() : Name_("sqp-" + std::to_string(::getpid()) + "-probe") {
    RemoveStale();
    Sh("ip netns del " + Name_);
    const std::string n = "ip -n " + Name_ + " ";
    std::string *E = &Error_;
    Ok_ = Sh("ip netns add " + Name_, E) && Sh(n + "link set lo up", E) &&
          Sh(n + "link add sqp0 type veth peer name sqp1", E) && Sh(n + "link set sqp0 up", E) &&
          Sh(n + "link set sqp1 up", E) && Sh(n + "addr add 10.255.0.1/24 dev sqp0", E) &&
          Sh(n + "neigh add 10.255.0.2 lladdr 02:00:00:00:00:02 dev sqp0 nud permanent", E);
  }
  ~BlackholeNetns() { Sh("ip netns del " + Name_); }
  bool Ok() const { return Ok_; }
  const std::string &Name() const { return Name_; }
  const std::string &Error() const { return Error_; }

  // Moves the calling thread into the namespace.
  bool Enter() const {
    const int fd = ::open(("/run/netns/" + Name_).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    const bool entered = ::setns(fd, CLONE_NEWNET) == 0;
    ::close(fd);
    return entered;
  }

  // Runs Fn on a thread that has entered the namespace; false if entering failed.
  template <class F> bool RunInside(F Fn) const {
    bool entered = false;
    std::thread t([&] {
      entered = Enter();
      if (entered) Fn();
    });
    t.join();
    return entered;
  }

private:
  // Namespaces of earlier runs of this test that died before they could remove theirs.
  static void RemoveStale() {
    DIR *d = ::opendir("/run/netns");
    if (!d) return;
    std::vector<std::string> stale;
    while (const dirent *e = ::readdir(d)) {
      const std::string name = e->d_name;
      int pid = 0;
      char tail[8] = {};
      if (std::sscanf(name.c_str(), "sqp-%d-%7s", &pid, tail) == 2 &&
          std::string(tail) == "probe" && pid > 0 && ::kill(pid, 0) != 0 && errno == ESRCH)
        stale.push_back(name);
    }
    ::closedir(d);
    for (const auto &name : stale) Sh("ip netns del " + name);
  }

  std::string Name_;
  std::string Error_;
  bool Ok_ = false;
};

// Skips the test without the privilege; fails it when the namespace cannot be built with it.
#define REQUIRE_NETNS(ns)                                                                          \
  do {                                                                                             \
    if (!MayCreateNamespaces())                                                                    \
      GTEST_SKIP() << "needs root (CAP_SYS_ADMIN) to create network namespace " << (ns).Name();    \
    ASSERT_TRUE((ns).Ok()) << "cannot build network namespace " << (ns).Name() << ":\n"            \
                           << (ns).Error();                                                        \
  } while (0)

void NoOp(int) {}

} // namespace

TEST(ProbeHost, LoopbackListenerAccepts) {
  Listener l;
  ASSERT_NE(l.Port(), 0);
  EXPECT_TRUE(ProbeHost("127.0.0.1", l.Port(), 500));
  EXPECT_TRUE(ProbeHost("localhost", l.Port(), 500));
  EXPECT_TRUE(ProbeHost("127.0.0.1", l.Port(), 0)); // blocking connect
}

TEST(ProbeHost, ClosedPortFailsWellBeforeTheTimeOut) {
  const int port = ClosedPort();
  ASSERT_NE(port, 0);
  const auto start = Clock::now();
  EXPECT_FALSE(ProbeHost("127.0.0.1", port, 10000));
  EXPECT_LT(MsSince(start), 5000); // the refusal, not the time-out
}

TEST(ProbeHost, TimeOutZeroStillFailsCleanlyOnRefusal) {
  const int port = ClosedPort();
  const auto start = Clock::now();
  EXPECT_FALSE(ProbeHost("127.0.0.1", port, 0));
  EXPECT_LT(MsSince(start), 2000);
}

// Connections in progress to the silent neighbour, as the namespace's TCP table lists them.
int SynSentToSilentNeighbour() {
  std::FILE *F = std::fopen("/proc/thread-self/net/tcp", "r");
  if (!F) return -1;
  char Line[512];
  int N = 0;
  while (std::fgets(Line, sizeof Line, F)) {
    char Remote[64] = {}, State[8] = {};
    // "sl local_address rem_address st ..."; 10.255.0.2:139 in the kernel's byte order.
    if (std::sscanf(Line, " %*s %*s %63s %7s", Remote, State) == 2 &&
        std::string(Remote) == "0200FF0A:008B" && std::string(State) == "02")
      ++N;
  }
  std::fclose(F);
  return N;
}

TEST(ProbeHost, ProbesOfSeveralThreadsRunInParallel) {
  BlackholeNetns ns;
  REQUIRE_NETNS(ns);
  constexpr int Threads = 8;
  std::atomic<bool> done{false};
  std::atomic<int> answered{0}, outside{0};
  std::vector<std::thread> pool;
  for (int t = 0; t < Threads; ++t)
    pool.emplace_back([&] {
      if (!ns.Enter()) {
        ++outside;
        return;
      }
      while (!done)
        if (ProbeHost("10.255.0.2", NetBiosPort, 1000)) ++answered;
    });
  // Every prober waits for its answer at the same time: the kernel holds all their connects.
  int most = 0;
  const bool entered = ns.RunInside([&] {
    const auto start = Clock::now();
    while (most < Threads && MsSince(start) < 30000) {
      most = std::max(most, SynSentToSilentNeighbour());
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  });
  done = true;
  for (auto &th : pool) th.join();
  ASSERT_TRUE(entered);
  EXPECT_EQ(outside.load(), 0);
  EXPECT_EQ(most, Threads);
  EXPECT_EQ(answered.load(), 0);
}

TEST(ProbeHost, BadInputIsFalseNotAnError) {
  Listener l;
  EXPECT_FALSE(ProbeHost("", l.Port(), 200));
  EXPECT_FALSE(ProbeHost("256.0.0.1", l.Port(), 200));
  EXPECT_FALSE(ProbeHost("1..2", l.Port(), 200));
  EXPECT_FALSE(ProbeHost("no-such-host.invalid", l.Port(), 200));
  EXPECT_FALSE(ProbeHost("127.0.0.1", -1, 200));
  EXPECT_FALSE(ProbeHost("127.0.0.1", 65536 + l.Port(), 200)); // not truncated to l.Port()
}

TEST(ProbeHost, DottedTextIsDecimalLikeStrIP) {
  // The resolver would read 0177.0.0.01 as octal 127.0.0.1; the probe reads it as 177.0.0.1.
  // Inside the namespace 177.0.0.1 has no route, so nothing leaves this machine.
  BlackholeNetns ns;
  REQUIRE_NETNS(ns);
  bool padded = false, octal = true;
  ASSERT_TRUE(ns.RunInside([&] {
    Listener l;
    if (l.Port() == 0) return;
    padded = ProbeHost("127.000.000.001", l.Port(), 500);
    octal = ProbeHost("0177.0.0.01", l.Port(), 300);
  }));
  EXPECT_TRUE(padded);
  EXPECT_FALSE(octal);
}

TEST(ProbeHost, SilentTargetFailsAfterAboutTheTimeOut) {
  BlackholeNetns ns;
  REQUIRE_NETNS(ns);
  bool result = true;
  long long ms = 0;
  ASSERT_TRUE(ns.RunInside([&] {
    const auto start = Clock::now();
    result = ProbeHost("10.255.0.2", NetBiosPort, 500);
    ms = MsSince(start);
  }));
  EXPECT_FALSE(result);
  EXPECT_GE(ms, 450);
  EXPECT_LT(ms, 5000); // not the system's own connect time-out of minutes
}

TEST(ProbeHost, SignalsDoNotCutTheWaitShort) {
  BlackholeNetns ns;
  REQUIRE_NETNS(ns);
  struct sigaction sa {};
  struct sigaction old {};
  sa.sa_handler = NoOp; // no SA_RESTART: poll returns EINTR
  sigemptyset(&sa.sa_mask);
  ASSERT_EQ(::sigaction(SIGUSR1, &sa, &old), 0);

  bool result = true;
  long long ms = 0;
  // The prober is signalled only while it is known to run, never after it has left.
  std::mutex m;
  bool running = false, finished = false;
  pthread_t prober{};
  std::thread pester([&] {
    for (;;) {
      {
        std::lock_guard<std::mutex> hold(m);
        if (finished) return;
        if (running) ::pthread_kill(prober, SIGUSR1);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  });
  ns.RunInside([&] {
    {
      std::lock_guard<std::mutex> hold(m);
      prober = ::pthread_self();
      running = true;
    }
    const auto start = Clock::now();
    result = ProbeHost("10.255.0.2", NetBiosPort, 400);
    ms = MsSince(start);
    std::lock_guard<std::mutex> hold(m);
    finished = true;
  });
  {
    std::lock_guard<std::mutex> hold(m);
    finished = true;
  }
  pester.join();
  ::sigaction(SIGUSR1, &old, nullptr);
  EXPECT_FALSE(result);
  EXPECT_GE(ms, 350);
  EXPECT_LT(ms, 5000);
}

TEST(LocalHost, InterfaceAddressesOfANamespace) {
  BlackholeNetns ns;
  REQUIRE_NETNS(ns);
  std::vector<uint32_t> addrs;
  ASSERT_TRUE(ns.RunInside([&] { addrs = platform::InterfaceIPv4(); }));
  EXPECT_NE(std::find(addrs.begin(), addrs.end(), 0x0AFF0001u), addrs.end());
  EXPECT_NE(std::find(addrs.begin(), addrs.end(), 0x7F000001u), addrs.end());
}

// The first IPv4 answer of the resolver for the host name, asked directly; 0 when none.
uint32_t FirstNamedAddress() {
  char Host[256] = {};
  if (::gethostname(Host, sizeof Host - 1) != 0) return 0;
  addrinfo Hints{};
  Hints.ai_family = AF_INET;
  Hints.ai_socktype = SOCK_STREAM;
  addrinfo *Res = nullptr;
  if (::getaddrinfo(Host, nullptr, &Hints, &Res) != 0 || !Res) return 0;
  const uint32_t A = ntohl(reinterpret_cast<sockaddr_in *>(Res->ai_addr)->sin_addr.s_addr);
  ::freeaddrinfo(Res);
  return A;
}

// Inside the namespace the host name may still resolve through /etc/hosts to an address of the
// outer system; the interfaces are the namespace's own: loopback and 10.255.0.1.
TEST(LocalHost, LocalAddressIsTheNamedOneUnlessLoopbackThenTheInterfaceOne) {
  BlackholeNetns ns;
  REQUIRE_NETNS(ns);
  uint32_t ip = 1, named = 1;
  std::string subnet;
  ASSERT_TRUE(ns.RunInside([&] {
    ip = GetLocalIP();
    subnet = GetLocalSubnet();
    named = FirstNamedAddress();
  }));
  const bool useNamed = named != 0 && (named >> 24) != 127;
  const uint32_t expected = useNamed ? named : 0x0AFF0001u;
  EXPECT_EQ(ip, expected) << std::hex << ip;
  char dotted[16];
  std::snprintf(dotted, sizeof dotted, "%u.%u.%u.", expected >> 24, (expected >> 16) & 255,
                (expected >> 8) & 255);
  EXPECT_EQ(subnet, dotted);
  if (!useNamed) {
    EXPECT_EQ(subnet, "10.255.0.");
  }
}

TEST(LocalHost, OnlyLoopbackGivesTheLoopbackAddress) {
  BlackholeNetns ns;
  REQUIRE_NETNS(ns);
  ASSERT_TRUE(Sh("ip -n " + ns.Name() + " link del sqp0"));
  uint32_t ip = 1, named = 1;
  ASSERT_TRUE(ns.RunInside([&] {
    ip = GetLocalIP();
    named = FirstNamedAddress();
  }));
  EXPECT_EQ(ip, named != 0 && (named >> 24) != 127 ? named : 0x7F000001u) << std::hex << ip;
  EXPECT_FALSE(platform::LocalHostName().empty());
}

// The cores' idle time is read from /proc/stat's "cpu" line: idle and iowait of the first eight
// times; a core's own line or a short one is not it.
TEST(LocalHost, CpuTimesComeFromTheWholeMachinesLine) {
  struct {
    const char *Line;
    bool Ok;
    uint64_t Idle, Total;
  } Cases[] = {
      {"cpu  40 5 50 800 20 0 80 5 7 0", true, 820, 1000}, // guest time is in user's already
      {"cpu0 40 5 50 800 20 0 80 5 0 0", false, 0, 0},
      {"cpu  10 0 5", false, 0, 0},
  };
  for (const auto &C : Cases) {
    uint64_t Idle = 0, Total = 0;
    EXPECT_EQ(sonquarry::platform::ParseCpuTimes(C.Line, Idle, Total), C.Ok) << C.Line;
    if (C.Ok) {
      EXPECT_EQ(Idle, C.Idle) << C.Line;
      EXPECT_EQ(Total, C.Total) << C.Line;
    }
  }
}
