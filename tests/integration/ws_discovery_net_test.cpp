// WS-Discovery against the test network's wsdd hosts, and against a misbehaving device that this
// test plays itself in the client namespace.
#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <netinet/in.h>
#include <poll.h>
#include <set>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <tuple>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "platform/os/diag.h"
#include "platform/smb/smb_provider.h"
#include "platform/wsd/ws_discovery.h"
#include "support/smb_testnet.h"
#include "support/test_support.h"
#include "support/wsd_messages.h"
#include "support/wsd_neighbourhood.h"

using namespace sonquarry;
using namespace sonquarry::platform;
using sonquarry::testing::TestNet;

namespace {

using TFoundSet = std::set<std::tuple<std::string, std::string, std::string>>;

std::string Dotted(uint32_t A) {
  in_addr I{htonl(A)};
  char B[INET_ADDRSTRLEN];
  return inet_ntop(AF_INET, &I, B, sizeof B);
}

TFoundSet Announced(const TestNet &Net) {
  TFoundSet Want;
  for (const auto &H : Net.List("SQ_WSD_HOSTS"))
    Want.insert({Net.Name(H), Net.Get("SQ_" + H + "_WORKGROUP"), Net.Ip(H)});
  return Want;
}

TFoundSet AsSet(const std::vector<wsd::WsdComputer> &Found) {
  TFoundSet S;
  for (const auto &C : Found) S.insert({C.Name, C.Workgroup, Dotted(C.Address)});
  return S;
}

// A device on the client's own address: answers each Probe (once per message id) with what
// Replies gives for its HTTP port and the Probe's id (sent from the local address From when
// given), and accepts HTTP connections that it answers with Metadata, or never when there is none.
using TReplies = std::function<std::vector<std::string>(const std::string &, const std::string &)>;
class TFakeDevice {
public:
  explicit TFakeDevice(TReplies Replies, std::string Metadata = "", const std::string &From = "")
      : Replies_(std::move(Replies)), Metadata_(std::move(Metadata)) {
    if (!From.empty()) {
      Out_ = ::socket(AF_INET, SOCK_DGRAM, 0);
      sockaddr_in F{};
      F.sin_family = AF_INET;
      inet_pton(AF_INET, From.c_str(), &F.sin_addr);
      EXPECT_EQ(::bind(Out_, reinterpret_cast<sockaddr *>(&F), sizeof F), 0);
    }
    Udp_ = ::socket(AF_INET, SOCK_DGRAM, 0);
    const int On = 1;
    ::setsockopt(Udp_, SOL_SOCKET, SO_REUSEADDR, &On, sizeof On);
    sockaddr_in A{};
    A.sin_family = AF_INET;
    A.sin_port = htons(3702);
    EXPECT_EQ(::bind(Udp_, reinterpret_cast<sockaddr *>(&A), sizeof A), 0);
    ip_mreq M{};
    inet_pton(AF_INET, "239.255.255.250", &M.imr_multiaddr);
    inet_pton(AF_INET, TestNet().Get("SQ_CLIENT_IP").c_str(), &M.imr_interface);
    EXPECT_EQ(::setsockopt(Udp_, IPPROTO_IP, IP_ADD_MEMBERSHIP, &M, sizeof M), 0);
    Tcp_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in T{};
    T.sin_family = AF_INET;
    T.sin_addr = M.imr_interface;
    socklen_t Len = sizeof T;
    EXPECT_EQ(::bind(Tcp_, reinterpret_cast<sockaddr *>(&T), sizeof T), 0);
    ::listen(Tcp_, 8);
    ::getsockname(Tcp_, reinterpret_cast<sockaddr *>(&T), &Len);
    Port_ = std::to_string(ntohs(T.sin_port));
    Thread_ = std::thread([this] { Serve(); });
  }
  ~TFakeDevice() {
    Stop_ = true;
    Thread_.join();
    for (int Fd : Held_) ::close(Fd);
    if (Out_ >= 0) ::close(Out_);
    ::close(Udp_);
    ::close(Tcp_);
  }
  int Connections() const { return Connections_; }

private:
  void Serve() {
    std::set<std::string> Seen;
    while (!Stop_) {
      pollfd P[2] = {{Udp_, POLLIN, 0}, {Tcp_, POLLIN, 0}};
      if (::poll(P, 2, 50) <= 0) continue;
      if (P[1].revents & POLLIN) {
        Held_.push_back(::accept(Tcp_, nullptr, nullptr));
        ++Connections_;
        if (!Metadata_.empty()) Answer(Held_.back());
      }
      if (!(P[0].revents & POLLIN)) continue;
      std::string B(65536, '\0');
      sockaddr_in From{};
      socklen_t Len = sizeof From;
      const ssize_t N =
          ::recvfrom(Udp_, B.data(), B.size(), 0, reinterpret_cast<sockaddr *>(&From), &Len);
      if (N <= 0) continue;
      B.resize(std::size_t(N));
      const auto Id = B.find("<wsa:MessageID>"), End = B.find("</wsa:MessageID>");
      if (B.find("discovery/Probe<") == std::string::npos || Id == std::string::npos ||
          End == std::string::npos)
        continue;
      const std::string MessageId = B.substr(Id + 15, End - Id - 15);
      if (!Seen.insert(MessageId).second) continue;
      for (const auto &R : Replies_(Port_, MessageId))
        ::sendto(Out_ >= 0 ? Out_ : Udp_, R.data(), R.size(), 0,
                 reinterpret_cast<sockaddr *>(&From), Len);
    }
  }

  // Reads the Get (its envelope's end) for a second at most, then sends the metadata.
  void Answer(int Fd) {
    std::string Request;
    const auto T0 = std::chrono::steady_clock::now();
    while (Request.find("Envelope>") == std::string::npos &&
           sonquarry::testing::MsSince(T0) < 1000) {
      pollfd P{Fd, POLLIN, 0};
      if (::poll(&P, 1, 100) <= 0) continue;
      char B[4096];
      const ssize_t N = ::read(Fd, B, sizeof B);
      if (N <= 0) break;
      Request.append(B, std::size_t(N));
    }
    const std::string Reply = "HTTP/1.1 200 OK\r\nContent-Type: application/soap+xml\r\n"
                              "Content-Length: " +
                              std::to_string(Metadata_.size()) + "\r\nConnection: close\r\n\r\n" +
                              Metadata_;
    ::send(Fd, Reply.data(), Reply.size(), MSG_NOSIGNAL);
    ::shutdown(Fd, SHUT_WR);
  }

  TReplies Replies_;
  std::string Metadata_;
  int Udp_ = -1, Tcp_ = -1, Out_ = -1;
  std::string Port_;
  std::vector<int> Held_;
  std::atomic<int> Connections_{0};
  std::atomic<bool> Stop_{false};
  std::thread Thread_;
};

TEST(WsDiscoveryNet, FindsEveryAnnouncedHostWithItsWorkgroupOnce) {
  TestNet Net;
  ASSERT_TRUE(Net.Ok());
  std::vector<std::string> Log;
  wsd::WsdOptions O;
  O.Log = [&](const std::string &L) { Log.push_back(L); };
  const auto Found = wsd::DiscoverComputers(O);
  EXPECT_EQ(AsSet(Found), Announced(Net));
  EXPECT_EQ(Found.size(), Announced(Net).size());
  EXPECT_EQ(Log, std::vector<std::string>{});
}

TEST(WsDiscoveryNet, GarbageCostsALogLine) {
  TestNet Net;
  ASSERT_TRUE(Net.Ok());
  const std::string Me = Net.Get("SQ_CLIENT_IP");
  TFakeDevice Fake([&](const std::string &, const std::string &) {
    return std::vector<std::string>{
        "\x01garbage<<<", std::string(40000, '<'),
        sonquarry::testing::WsdProbeMatches("urn:uuid:other", "urn:uuid:x")};
  });
  std::vector<std::string> Log;
  wsd::WsdOptions O;
  O.Log = [&](const std::string &L) { Log.push_back(L); };
  const auto Found = wsd::DiscoverComputers(O);
  EXPECT_EQ(AsSet(Found), Announced(Net));
  EXPECT_EQ(Log, (std::vector<std::string>{
                     "WS-Discovery: answer from " + Me + " refused: not well-formed XML",
                     "WS-Discovery: answer from " + Me + " refused: too large (40000 bytes)",
                     "WS-Discovery: answer from " + Me + " refused: it answers no Probe of ours"}));
  EXPECT_EQ(Fake.Connections(), 0);
}

// An answer from outside the probing interface's subnet (routed, or its source forged) is not
// taken, though its XAddrs point back at the address it came from.
TEST(WsDiscoveryNet, AnAnswerFromOutsideTheSubnetIsRefused) {
  TestNet Net;
  ASSERT_TRUE(Net.Ok());
  const std::string Me = Net.Get("SQ_CLIENT_IP"), Outside = "10.213.78.10";
  const std::string Dev = "$(ip -o -4 addr show | awk '$4 ~ /^" + Me + "\\//{print $2}')";
  ASSERT_EQ(std::system(("ip addr add " + Outside + "/32 dev " + Dev).c_str()), 0);
  {
    TFakeDevice Fake(
        [&](const std::string &Port, const std::string &ProbeId) {
          return std::vector<std::string>{sonquarry::testing::WsdProbeMatches(
              ProbeId, "urn:uuid:outside", "http://" + Outside + ":" + Port + "/o")};
        },
        sonquarry::testing::WsdGetResponse("SQOUTSIDE/Workgroup:SQGROUP1"), Outside);
    std::vector<std::string> Log;
    wsd::WsdOptions O;
    O.Interfaces = {ntohl(inet_addr(Me.c_str()))};
    O.Log = [&](const std::string &L) { Log.push_back(L); };
    const auto Found = wsd::DiscoverComputers(O);
    EXPECT_EQ(AsSet(Found), Announced(Net));
    EXPECT_EQ(Log, std::vector<std::string>{"WS-Discovery: answer from " + Outside +
                                            " refused: outside the subnet of " + Me});
    EXPECT_EQ(Fake.Connections(), 0);
  }
  EXPECT_EQ(std::system(("ip addr del " + Outside + "/32 dev " + Dev).c_str()), 0);
}

// A device whose metadata never comes costs the Get's time-out; one that points the Get at
// another address gets no Get at all; the real hosts are found all the same.
TEST(WsDiscoveryNet, AGetNeverAnsweredOrPointedElsewhereCostsTheBoundedTime) {
  TestNet Net;
  ASSERT_TRUE(Net.Ok());
  const std::string Me = Net.Get("SQ_CLIENT_IP"), Missing = Net.Ip("MISSING");
  TFakeDevice Fake([&](const std::string &Port, const std::string &ProbeId) {
    return std::vector<std::string>{
        sonquarry::testing::WsdProbeMatches(ProbeId, "urn:uuid:silent",
                                            "http://" + Me + ":" + Port + "/s"),
        sonquarry::testing::WsdProbeMatches(ProbeId, "urn:uuid:elsewhere",
                                            "http://" + Missing + ":5357/e")};
  });
  std::vector<std::string> Log;
  wsd::WsdOptions O;
  O.GetTimeOutMs = 1500;
  O.Log = [&](const std::string &L) { Log.push_back(L); };
  const auto T0 = std::chrono::steady_clock::now();
  const auto Found = wsd::DiscoverComputers(O);
  const int Ms = sonquarry::testing::MsSince(T0);
  EXPECT_EQ(AsSet(Found), Announced(Net));
  EXPECT_EQ(Log,
            (std::vector<std::string>{"WS-Discovery: " + Me + " left out: no http address at " +
                                          Me + " among \"http://" + Missing + ":5357/e\"...",
                                      "WS-Discovery: no metadata from " + Me + " within 1500 ms"}));
  EXPECT_EQ(Fake.Connections(), 1);
  // Far above the bound (probe + resolve + get time), far below a hang.
  EXPECT_LT(Ms, O.ProbeWaitMs + O.ResolveWaitMs + O.GetTimeOutMs + 5000);
}

// A device that answers the Probe with a computer's name from the browse lists (in a workgroup of
// its own) is not walked under that name: the computer's shares and files still come from it.
TEST(WsDiscoveryNet, AnImpostorLeavesTheRealComputerAlone) {
  TestNet Net;
  ASSERT_TRUE(Net.Ok());
  const std::string Me = Net.Get("SQ_CLIENT_IP"), Real = Net.Name("BRAVO");
  TFakeDevice Impostor(
      [&](const std::string &Port, const std::string &ProbeId) {
        return std::vector<std::string>{sonquarry::testing::WsdProbeMatches(
            ProbeId, "urn:uuid:impostor", "http://" + Me + ":" + Port + "/i")};
      },
      sonquarry::testing::WsdGetResponse(Real + "/Workgroup:SQTAKEOVER"));
  smb::SmbProviderOptions O;
  O.ConfigFile = Net.Get("SQ_CLIENT_CONF");
  O.CredentialsFile = "-";
  const auto Plain = std::make_shared<smb::TSmbProvider>(O);
  const auto Merged = sonquarry::testing::WithWsDiscovery(Plain);
  net::INetProvider &P = *Merged;
  std::vector<std::string> Log;
  const auto Previous = platform::SetDiagnosticSink(
      [&](platform::TDiagLevel, const std::string &L) { Log.push_back(L); });
  const auto List = [](net::INetProvider &From, int32_t Display, const std::string &Name) {
    net::NetResource C;
    C.DisplayType = Display;
    C.RemoteName = Name;
    std::vector<net::NetResource> Out;
    From.EnumResources(&C, Out);
    std::vector<std::string> Names;
    for (const auto &R : Out) Names.push_back(R.RemoteName);
    return Names;
  };
  const auto Groups = List(P, net::NetDisplayNetwork, "SMB Network");
  ASSERT_NE(std::find(Groups.begin(), Groups.end(), "SQTAKEOVER"), Groups.end());
  // The impostor's workgroup first, before the real computer's browse list was asked for.
  EXPECT_EQ(List(P, net::NetDisplayDomain, "SQTAKEOVER"), std::vector<std::string>{});
  const auto Shares = List(P, net::NetDisplayServer, "\\\\" + Real);
  EXPECT_EQ(Shares, List(*Plain, net::NetDisplayServer, "\\\\" + Real));
  ASSERT_FALSE(Shares.empty());
  std::vector<net::DirEntry> Files, RealFiles;
  EXPECT_TRUE(P.FindFiles(Shares[0], Files));
  EXPECT_TRUE(Plain->FindFiles(Shares[0], RealFiles));
  EXPECT_EQ(Files.size(), RealFiles.size());
  EXPECT_FALSE(RealFiles.empty());
  platform::SetDiagnosticSink(Previous);
  EXPECT_EQ(Log,
            std::vector<std::string>{"WS-Discovery: the device at " + Me + " answers as " + Real +
                                     ", which the browse list of " + Net.Get("SQ_BRAVO_WORKGROUP") +
                                     " names; it is not walked under that name."});
  EXPECT_EQ(Impostor.Connections(), 1);
}

} // namespace
