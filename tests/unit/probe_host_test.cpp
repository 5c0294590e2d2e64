// ctest-labels: threads
// The probe against real sockets: a loopback listener, a closed loopback port, and a target
// that never answers, made inside a network namespace of this test's own.
#include "engine/ip_range.h"
#include "platform/local_host.h"

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

bool Sh(const std::string &Cmd) { return std::system((Cmd + " >/dev/null 2>&1").c_str()) == 0; }

// A namespace with a veth pair whose 10.255.0.0/24 side holds one fixed neighbour that does not
// exist: SYNs to 10.255.0.2 leave and are never answered, nothing else is reachable.
class BlackholeNetns {
public:
  BlackholeNetns() : Name_("sqp-" + std::to_string(::getpid()) + "-probe") {
    RemoveStale();
    Sh("ip netns del " + Name_);
    const std::string n = "ip -n " + Name_ + " ";
    Ok_ = Sh("ip netns add " + Name_) && Sh(n + "link set lo up") &&
          Sh(n + "link add sqp0 type veth peer name sqp1") && Sh(n + "link set sqp0 up") &&
          Sh(n + "link set sqp1 up") && Sh(n + "addr add 10.255.0.1/24 dev sqp0") &&
          Sh(n + "neigh add 10.255.0.2 lladdr 02:00:00:00:00:02 dev sqp0 nud permanent");
  }
  ~BlackholeNetns() { Sh("ip netns del " + Name_); }
  bool Ok() const { return Ok_; }
  const std::string &Name() const { return Name_; }

  // Runs Fn on a thread that has entered the namespace; false if entering failed.
  template <class F> bool RunInside(F Fn) const {
    bool entered = false;
    std::thread t([&] {
      const int fd = ::open(("/run/netns/" + Name_).c_str(), O_RDONLY | O_CLOEXEC);
      if (fd < 0) return;
      entered = ::setns(fd, CLONE_NEWNET) == 0;
      ::close(fd);
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
  bool Ok_ = false;
};

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
  EXPECT_FALSE(ProbeHost("127.0.0.1", port, 2000));
  EXPECT_LT(MsSince(start), 500);
}

TEST(ProbeHost, TimeOutZeroStillFailsCleanlyOnRefusal) {
  const int port = ClosedPort();
  const auto start = Clock::now();
  EXPECT_FALSE(ProbeHost("127.0.0.1", port, 0));
  EXPECT_LT(MsSince(start), 2000);
}

TEST(ProbeHost, ProbesOfSeveralThreadsRunInParallel) {
  Listener open;
  const int closed = ClosedPort();
  std::atomic<int> wrong{0};
  std::vector<std::thread> pool;
  for (int t = 0; t < 8; ++t)
    pool.emplace_back([&, t] {
      for (int k = 0; k < 20; ++k) {
        const bool toOpen = (t + k) % 2 == 0;
        if (ProbeHost("127.0.0.1", toOpen ? open.Port() : closed, 500) != toOpen) ++wrong;
      }
    });
  for (auto &th : pool) th.join();
  EXPECT_EQ(wrong.load(), 0);
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
  ASSERT_TRUE(ns.Ok());
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
  ASSERT_TRUE(ns.Ok()) << "cannot build network namespace " << ns.Name();
  bool result = true;
  long long ms = 0;
  ASSERT_TRUE(ns.RunInside([&] {
    const auto start = Clock::now();
    result = ProbeHost("10.255.0.2", NetBiosPort, 500);
    ms = MsSince(start);
  }));
  EXPECT_FALSE(result);
  EXPECT_GE(ms, 450);
  EXPECT_LT(ms, 1500);
}

TEST(ProbeHost, SignalsDoNotCutTheWaitShort) {
  BlackholeNetns ns;
  ASSERT_TRUE(ns.Ok());
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
  EXPECT_LT(ms, 1500);
}

TEST(LocalHost, InterfaceAddressesOfANamespace) {
  BlackholeNetns ns;
  ASSERT_TRUE(ns.Ok());
  std::vector<uint32_t> addrs;
  ASSERT_TRUE(ns.RunInside([&] { addrs = platform::InterfaceIPv4(); }));
  EXPECT_NE(std::find(addrs.begin(), addrs.end(), 0x0AFF0001u), addrs.end());
  EXPECT_NE(std::find(addrs.begin(), addrs.end(), 0x7F000001u), addrs.end());
}

TEST(LocalHost, LocalAddressPrefersNonLoopback) {
  const uint32_t ip = GetLocalIP();
  const auto named = platform::ResolveIPv4(platform::LocalHostName());
  const auto ifs = platform::InterfaceIPv4();
  const bool anyNonLoopback =
      std::any_of(ifs.begin(), ifs.end(),
                  [](uint32_t a) { return !platform::IsLoopbackIPv4(a); }) ||
      std::any_of(named.begin(), named.end(),
                  [](uint32_t a) { return !platform::IsLoopbackIPv4(a); });
  if (anyNonLoopback) {
    EXPECT_FALSE(platform::IsLoopbackIPv4(ip)) << IPToStr(ip);
  }
  const bool known = std::find(named.begin(), named.end(), ip) != named.end() ||
                     std::find(ifs.begin(), ifs.end(), ip) != ifs.end();
  EXPECT_TRUE(known) << IPToStr(ip);
  EXPECT_FALSE(platform::LocalHostName().empty());

  const std::string subnet = GetLocalSubnet();
  EXPECT_EQ(subnet, IPToStr(ip).substr(0, IPToStr(ip).rfind('.') + 1));
}

TEST(LocalHost, SubnetOfANamespaceWithoutNamesIsItsInterface) {
  // Inside the namespace the host name may still resolve through /etc/hosts to an address of
  // the outer system; only the interface list is the namespace's own.
  BlackholeNetns ns;
  ASSERT_TRUE(ns.Ok());
  uint32_t ip = 1;
  std::vector<uint32_t> named;
  ASSERT_TRUE(ns.RunInside([&] {
    ip = GetLocalIP();
    named = platform::ResolveIPv4(platform::LocalHostName());
  }));
  if (named.empty() || platform::IsLoopbackIPv4(named.front()))
    EXPECT_EQ(ip, 0x0AFF0001u);
  else
    EXPECT_EQ(ip, named.front());
}
