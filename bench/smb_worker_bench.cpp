// The SMB workers: how long one takes to start (forked by the spawner, and from the program file),
// the memory each costs (PSS, with a listing done, so its libsmbclient holds a connection) with 16
// and 64 threads, and what hung hosts cost a scan.
//
//   build/bench/smb_worker_bench [--dir DIR] [--keep]
//
// Starts a test network of its own in DIR (default /tmp/sonquarry-bench-workers, namespaces
// sqbw-*) unless one is up there. The hung hosts: SQSTUCK's four addresses, which accept
// connections on 445 and 139 and never answer; the scan of 16 addresses with them is compared
// with the same scan of the other 12 and with a scan of one hung host alone (its own time-out).
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "bench_testnet.h"
#include "discovery/ip_range.h"
#include "platform/smb/smb_provider.h"
#include "support/testnet_env.h"

using namespace sonquarry;
using namespace sonquarry::bench;

namespace {

void PrintLoad() {
  double L[3] = {0, 0, 0};
  if (::getloadavg(L, 3) == 3) std::printf("load average: %.2f %.2f %.2f\n", L[0], L[1], L[2]);
}

long PssKiB(pid_t Pid) {
  std::ifstream In("/proc/" + std::to_string(Pid) + "/smaps_rollup");
  std::string Key;
  long Value;
  std::string Unit;
  while (In >> Key) {
    if (Key == "Pss:" && In >> Value >> Unit) return Value;
    In.ignore(1 << 20, '\n');
  }
  return -1;
}

TScanResult IpScan(const std::vector<std::string> &Ips) {
  return EngineScan([&](TNetScan &S) {
    S.NetBios = false;
    S.MaxThreadCount = 16;
    for (auto &Ip : Ips) S.AddIP(StrIP(Ip));
  });
}

// 16 addresses of which 4 hang, against the other 12 alone and one hung host alone.
int HungHosts(const sonquarry::testing::Env &E) {
  const std::string Net = E.Get("SQ_TESTNET_DIR");
  std::vector<std::string> Others;
  for (const char *H :
       {"ALPHA", "BRAVO", "CHARLIE", "DELTA", "ECHO", "REFUSED", "SILENT", "IMPACKET", "MISSING"})
    Others.push_back(E.Host(H, "IP"));
  // Three addresses where no host is.
  const uint32_t Missing = StrIP(E.Host("MISSING", "IP"));
  for (uint32_t A = Missing - 3; A < Missing; ++A) Others.push_back(IPToStr(A));
  const auto Stuck = sonquarry::testing::SplitList(E.Get("SQ_STUCK_IPS"));
  if (Others.size() != 12 || Stuck.size() != 4) return 1;
  if (Run({Testnet(), "start-host", "--dir", Net, E.Host("STUCK", "NAME")}, false) != 0) return 1;
  double Without = 1e9, With = 1e9, Alone = 1e9;
  int Comps = 0;
  for (int R = 0; R < 3; ++R) {
    const TScanResult W = IpScan(Others);
    Without = std::min(Without, W.Seconds);
    Comps = W.ScannedComps;
    std::vector<std::string> All = Others;
    All.insert(All.end(), Stuck.begin(), Stuck.end());
    With = std::min(With, IpScan(All).Seconds);
    Alone = std::min(Alone, IpScan({Stuck[0]}).Seconds);
  }
  Run({Testnet(), "stop-host", "--dir", Net, E.Host("STUCK", "NAME")}, false);
  std::printf("scan of 12 addresses (%d computers), best of 3: %.2f s\n", Comps, Without);
  std::printf("the same with 4 hung hosts (16 addresses): %.2f s\n", With);
  std::printf("one hung host alone (its time-out): %.2f s\n", Alone);
  std::printf("added by the hung hosts: %.2f s (target: at most %.2f s)\n", With - Without, Alone);
  return 0;
}

int Body() {
  const auto E = sonquarry::testing::Env::Load();
  smb::SmbProviderOptions O;
  O.ConfigFile = E.Get("SQ_CLIENT_CONF");
  O.CredentialsFile = "-";
  PrintLoad();
  // Forked by the spawner, back to back and with a pause between starts (a spare is then ready,
  // as at a search's start), and started from the program file as before.
  const struct {
    bool Spawner;
    int PauseMs;
    const char *How;
  } Ways[] = {{true, 0, "forked by the spawner, 32 in turn"},
              {true, 20, "forked by the spawner, 32 in turn 20 ms apart"},
              {false, 0, "spawned from the program file, 32 in turn"}};
  for (const auto &W : Ways) {
    if (!W.Spawner) ::setenv("SONQUARRY_SMB_SPAWNER", "0", 1);
    smb::TSmbProvider P(O);
    std::vector<double> Ms;
    for (int I = 0; I < 33; ++I) {
      if (I > 0 && W.PauseMs) std::this_thread::sleep_for(std::chrono::milliseconds(W.PauseMs));
      std::thread([&] {
        const auto T0 = Clock::now();
        if (P.StartWorker())
          Ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - T0).count());
      }).join();
    }
    if (Ms.size() < 2) return 1;
    const double First = Ms.front();
    Ms.erase(Ms.begin());
    std::sort(Ms.begin(), Ms.end());
    std::printf("worker start (request to ready), %s after the first: median %.2f ms, max %.2f ms "
                "(the first: %.2f ms)\n",
                W.How, Ms[Ms.size() / 2], Ms.back(), First);
    ::unsetenv("SONQUARRY_SMB_SPAWNER");
  }
  PrintLoad();
  const std::string Share = "\\\\" + E.Host("ALPHA", "IP") + "\\music";
  for (int Threads : {16, 64}) {
    smb::TSmbProvider P(O);
    std::vector<std::thread> Ts;
    std::vector<int> Ok(Threads, 0);
    std::vector<std::string> Why(Threads);
    std::atomic<int> Done{0};
    std::atomic<bool> Measured{false};
    for (int I = 0; I < Threads; ++I)
      Ts.emplace_back([&, I] {
        std::vector<net::DirEntry> Out;
        net::NetError Error;
        Ok[I] = P.FindFiles(Share, Out, &Error);
        if (!Ok[I]) Why[I] = Error.Message;
        ++Done;
        while (!Measured) std::this_thread::sleep_for(std::chrono::milliseconds(10));
      });
    while (Done < Threads) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    long Sum = 0;
    const auto Pids = P.WorkerPids();
    for (pid_t Pid : Pids) Sum += PssKiB(Pid);
    Measured = true;
    for (auto &T : Ts) T.join();
    std::printf("%d threads: %zu workers, PSS %.1f MiB in all, %.2f MiB per worker (%d listings "
                "ok)\n",
                Threads, Pids.size(), Sum / 1024.0, Pids.empty() ? 0.0 : Sum / 1024.0 / Pids.size(),
                int(std::count(Ok.begin(), Ok.end(), 1)));
    for (auto &W : Why)
      if (!W.empty()) {
        std::printf("  a failed listing: %s\n", W.c_str());
        break;
      }
  }
  return HungHosts(E);
}

} // namespace

int main(int argc, char **argv) {
  return Main(argc, argv, "/tmp/sonquarry-bench-workers", "sqbw", nullptr, Body);
}
