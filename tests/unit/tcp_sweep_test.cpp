// ctest-labels: threads
// Many connection attempts in flight on loopback: answers per port set, takers ahead of the
// sweep, Stop, and a process that is nearly out of descriptors.
#include "platform/net/tcp_sweep.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <set>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

using namespace sonquarry;
using sonquarry::net::TTcpSweep;

namespace {

constexpr uint32_t Loop = 0x7F000000u; // 127.0.0.0

int OpenFds() {
  DIR *D = ::opendir("/proc/self/fd");
  int N = 0;
  while (::readdir(D)) ++N;
  ::closedir(D);
  return N;
}

// A listening socket on Address (host order; 0 = every address) with a port of the system's
// choice. Silent: its one-place backlog is filled at once, so further connects hang unanswered.
class TListener {
public:
  explicit TListener(uint32_t Address, bool Silent = false) {
    Fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in Sa{};
    Sa.sin_family = AF_INET;
    Sa.sin_addr.s_addr = htonl(Address);
    socklen_t Len = sizeof Sa;
    ::bind(Fd_, reinterpret_cast<sockaddr *>(&Sa), sizeof Sa);
    ::listen(Fd_, Silent ? 0 : SOMAXCONN);
    ::getsockname(Fd_, reinterpret_cast<sockaddr *>(&Sa), &Len);
    Port_ = ntohs(Sa.sin_port);
    if (!Silent) return;
    Filler_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    Sa.sin_addr.s_addr = htonl(Loop + 1);
    ::connect(Filler_, reinterpret_cast<sockaddr *>(&Sa), sizeof Sa);
  }
  ~TListener() {
    if (Filler_ >= 0) ::close(Filler_);
    ::close(Fd_);
  }
  uint16_t Port() const { return Port_; }

private:
  int Fd_ = -1, Filler_ = -1;
  uint16_t Port_ = 0;
};

// 127.0.0.First .. 127.0.0.Last, ascending.
net::TTcpSweep::TNextAddress Range(int First, int Last) {
  auto Cur = std::make_shared<int>(First);
  return [Cur, Last](uint32_t &A) {
    if (*Cur > Last) return false;
    A = Loop + uint32_t((*Cur)++);
    return true;
  };
}

std::set<int> Answering(net::TTcpSweep &S, int First, int Last, bool Descending) {
  std::set<int> Out;
  for (int I = 0; I <= Last - First; ++I) {
    const int N = Descending ? Last - I : First + I;
    if (S.Result(Loop + uint32_t(N))) Out.insert(N);
  }
  return Out;
}

} // namespace

TEST(TcpSweep, AnswersAreThoseOfTheListenersWhateverTheBoundAndTheOrderOfTaking) {
  TListener Netbios(Loop + 7), Direct(Loop + 9);
  const uint16_t P = Netbios.Port(), Q = Direct.Port();
  struct TCase {
    std::vector<uint16_t> Ports;
    int MaxInFlight;
    size_t Window;
    bool Descending; // takers ahead of the sweep
    std::set<int> Want;
  } Cases[] = {
      {{P}, 0, 4096, false, {7}},       // the NetBIOS port alone
      {{P, Q}, 0, 4096, false, {7, 9}}, // either port answers
      {{P, Q}, 1, 2, false, {7, 9}},    // one address at a time, two results ahead
      {{P, Q}, 3, 4, true, {7, 9}},     // every taker ahead of the sweep
      {{Q}, 2, 4096, true, {9}},
  };
  for (const auto &C : Cases) {
    net::TTcpSweep S({C.Ports, 2000, C.MaxInFlight, 64, C.Window}, Range(1, 40));
    EXPECT_EQ(Answering(S, 1, 40, C.Descending), C.Want)
        << C.Ports.size() << " ports, " << C.MaxInFlight << " in flight";
    if (C.MaxInFlight > 0) {
      EXPECT_LE(S.PeakInFlight(), std::max<int>(C.MaxInFlight, int(C.Ports.size())));
    }
  }
}

TEST(TcpSweep, StopEndsEveryAttemptAtOnceAndWakesTheTakers) {
  TListener Silent(0, true);
  const int Before = OpenFds();
  net::TTcpSweep S({{Silent.Port()}, 0, 64, 64, 4096}, Range(1, 50));
  std::atomic<int> Answer{-1};
  std::thread Taker([&] { Answer = S.Result(Loop + 1); });
  // Without a time-out every attempt stays in flight until Stop.
  for (int I = 0; I < 30000 && S.PeakInFlight() < 50; ++I)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  EXPECT_EQ(S.PeakInFlight(), 50);
  EXPECT_GE(OpenFds(), Before + 50);
  S.Stop();
  Taker.join();
  EXPECT_EQ(Answer, 0);
  EXPECT_FALSE(S.Result(Loop + 2));
  EXPECT_EQ(OpenFds(), Before + 2); // the loop's own two, closed with the sweep
}

TEST(TcpSweep, AProcessNearlyOutOfDescriptorsStillGetsEveryAnswer) {
  // Every address keeps one attempt hanging on the silent port; 127.0.0.7 answers on the other.
  TListener Silent(0, true), Open(Loop + 7);
  rlimit Old{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &Old), 0);
  for (const int MaxInFlight : {0, 64}) {
    rlimit Low = Old;
    Low.rlim_cur = rlim_t(OpenFds() + 6);
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &Low), 0);
    std::set<int> Got;
    int Limit = 0;
    {
      net::TTcpSweep S({{Silent.Port(), Open.Port()}, 100, MaxInFlight, 64, 4096}, Range(1, 30));
      Got = Answering(S, 1, 30, false);
      Limit = S.InFlightLimit();
    }
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &Old), 0);
    EXPECT_EQ(Got, std::set<int>{7}) << MaxInFlight;
    EXPECT_LT(Limit, 16) << MaxInFlight;
  }
}
