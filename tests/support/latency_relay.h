#pragma once
// The test network's relay hosts (testnet.sh relay): SQ_RELAY_IPS relay TCP 445 and 139 to
// SQ_RELAY_HOSTS with added round-trip time, and count the connections and requests each server
// gets (tests/testnet/latency_relay.cpp): a count independent of the program.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <utility>

#include "support/run_program.h"
#include "support/testnet_env.h"

namespace sonquarry::testing {

// The round-trip time and the counts of a running relay.
class TRelayControl {
public:
  explicit TRelayControl(const Env &E)
      : Control_(E.Get("SQ_RELAY_CONTROL")), Stats_(E.Get("SQ_RELAY_STATS")) {}

  // Sets the added round-trip time and starts the counts afresh once the connections of before
  // have closed (3 s at most); false when the relay does not take it.
  bool Set(double RttMs) {
    const std::string Gen =
        std::to_string(++Gen_) + "-" +
        std::to_string(std::chrono::steady_clock::now().time_since_epoch().count());
    for (int I = 0; I < 100 && Read().Open > 0; ++I)
      std::this_thread::sleep_for(std::chrono::milliseconds(30));
    {
      std::ofstream C(Control_ + ".new");
      C << RttMs << " " << Gen << "\n";
    }
    std::rename((Control_ + ".new").c_str(), Control_.c_str());
    for (int I = 0; I < 250; ++I) {
      if (Read().Generation == Gen) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
  }

  struct TCounts {
    int Most = 0;       // the most connections that one server had at once
    long Requests = 0;  // of all servers
    bool Closed = true; // every connection had closed
    double HeldMs = 0;  // how long the relay held a chunk on average: half the added round trip
  };
  // Since Set, once every connection has closed (3 s at most).
  TCounts Counts() const {
    TStats S = Read();
    for (int I = 0; I < 100 && S.Open > 0; ++I) {
      std::this_thread::sleep_for(std::chrono::milliseconds(30));
      S = Read();
    }
    TCounts C;
    for (auto &[T, N] : S.Most) C.Most = std::max(C.Most, N);
    C.Requests = S.Requests;
    C.Closed = S.Open == 0;
    C.HeldMs = S.Chunks ? S.HeldMs / double(S.Chunks) : 0;
    return C;
  }

private:
  struct TStats {
    std::string Generation;
    std::map<std::string, int> Most;
    int Open = 0;
    long Requests = 0, Chunks = 0;
    double HeldMs = 0;
  };
  // "generation G", "rtt R", "held CHUNKS MS", then "TARGET current most accepted requests"
  // lines.
  TStats Read() const {
    TStats S;
    std::ifstream F(Stats_);
    std::string Line;
    while (std::getline(F, Line)) {
      std::istringstream W(Line);
      std::string Key;
      W >> Key;
      int Current = 0, Most = 0;
      long Accepted = 0, Requests = 0;
      if (Key == "generation") {
        W >> S.Generation;
      } else if (Key == "held") {
        W >> S.Chunks >> S.HeldMs;
      } else if (Key != "rtt" && W >> Current >> Most >> Accepted >> Requests) {
        S.Most[Key] = Most;
        S.Open += Current;
        S.Requests += Requests;
      }
    }
    return S;
  }
  std::string Control_, Stats_;
  int Gen_ = 0;
};

// The relay, running while this lives.
struct TRelayHost {
  TRelayHost(std::string ANet, double RttMs) : Net(std::move(ANet)) {
    Up = RunProgram({Tool, "relay", "--dir", Net, "--rtt", std::to_string(RttMs)}).Status == 0;
  }
  ~TRelayHost() { RunProgram({Tool, "relay-stop", "--dir", Net}); }
  TRelayHost(const TRelayHost &) = delete;
  TRelayHost &operator=(const TRelayHost &) = delete;
  const std::string Tool = TestnetTool();
  std::string Net;
  bool Up = false;
};

} // namespace sonquarry::testing
