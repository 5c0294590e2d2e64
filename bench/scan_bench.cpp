// The walk of large shares: the engine against smbclient's recursive listing, on the test network.
//
//   build/bench/scan_bench [--dir DIR] [--keep]
//
// Starts a test network of its own in DIR (default /tmp/sonquarry-bench-scan, namespaces sqbs-*)
// unless one is up there, gives three Samba hosts the large share "big" (20,000 files in 1,000
// directories each), and prints, best of three runs each:
// - one share: the engine (16 threads) and `smbclient -c 'recurse; ls'`, files per second, ratio;
// - three hosts with one large share each: the engine at once, smbclient share after share;
// and the CPU time (user + system) of each: the engine's with its SMB workers, smbclient's. On
// a machine shared with other work the CPU time is the steadier figure. Also the whole machine's
// busy CPU time in each (the test servers run on the same cores), and the least time the engine's
// three-host scan could take on this machine's cores with that much CPU.
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "bench_testnet.h"
#include "support/testnet_env.h"

using namespace sonquarry;
using namespace sonquarry::bench;

namespace {

constexpr int Runs = 3;

// CPU seconds of this process and of its reaped children (the SMB workers, smbclient) so far.
double CpuSeconds() {
  double S = 0;
  for (const int Who : {RUSAGE_SELF, RUSAGE_CHILDREN}) {
    rusage U{};
    getrusage(Who, &U);
    S += double(U.ru_utime.tv_sec + U.ru_stime.tv_sec) +
         double(U.ru_utime.tv_usec + U.ru_stime.tv_usec) / 1e6;
  }
  return S;
}

// Busy CPU seconds of the whole machine so far: every process, the servers' too.
double MachineCpuSeconds() {
  std::ifstream Stat("/proc/stat");
  std::string Cpu;
  long long User = 0, Nice = 0, System = 0, Idle = 0, IoWait = 0, Irq = 0, SoftIrq = 0, Steal = 0;
  Stat >> Cpu >> User >> Nice >> System >> Idle >> IoWait >> Irq >> SoftIrq >> Steal;
  return double(User + Nice + System + Irq + SoftIrq + Steal) / double(sysconf(_SC_CLK_TCK));
}

// The least seconds, CPU seconds and machine CPU seconds of the runs so far; Take runs one and
// counts its CPU.
struct TBest {
  double Seconds = 1e9, Cpu = 1e9, Machine = 1e9;
  template <class F> auto Take(F &&Fn) {
    const double C0 = CpuSeconds(), M0 = MachineCpuSeconds();
    auto R = Fn();
    Cpu = std::min(Cpu, CpuSeconds() - C0);
    Machine = std::min(Machine, MachineCpuSeconds() - M0);
    return R;
  }
};

int Body() {
  const sonquarry::testing::Env E = sonquarry::testing::Env::Load();
  const std::string Share = E.Get("SQ_BIG_SHARE");
  std::vector<std::string> Ips;
  for (auto &H : BigHosts) Ips.push_back(E.Host(H, "IP"));
  long Files = 0;
  for (auto &F : E.Files())
    if (F.host == E.Host("ALPHA", "NAME") && F.share == Share) ++Files;
  if (Files == 0) {
    std::fprintf(stderr, "no large share on %s\n", E.Host("ALPHA", "NAME").c_str());
    return 1;
  }
  // Warm both sides once: library, configuration, the servers' caches.
  EngineShares({Ips[0]}, Share);
  SmbclientList(Ips[0], Share);

  TBest Engine1, Smb1, Engine3, Smb3;
  long Found1 = 0, Found3 = 0;
  for (int R = 0; R < Runs; ++R) {
    const TScanResult One = Engine1.Take([&] { return EngineShares({Ips[0]}, Share); });
    Engine1.Seconds = std::min(Engine1.Seconds, One.Seconds);
    Found1 = One.Files;
    Smb1.Seconds = std::min(Smb1.Seconds, Smb1.Take([&] { return SmbclientList(Ips[0], Share); }));
    const TScanResult Three = Engine3.Take([&] { return EngineShares(Ips, Share); });
    Engine3.Seconds = std::min(Engine3.Seconds, Three.Seconds);
    Found3 = Three.Files;
    const double Seq = Smb3.Take([&] {
      double Sum = 0;
      for (auto &Ip : Ips) Sum += SmbclientList(Ip, Share);
      return Sum;
    });
    Smb3.Seconds = std::min(Smb3.Seconds, Seq);
  }
  std::printf("share files: %ld files\n", Files);
  std::printf("engine one share: %.3f s\n", Engine1.Seconds);
  std::printf("engine one share: %.0f files/s\n", Files / Engine1.Seconds);
  std::printf("engine one share music files found: %ld files\n", Found1);
  std::printf("engine one share CPU (with its workers): %.3f s\n", Engine1.Cpu);
  std::printf("smbclient one share: %.3f s\n", Smb1.Seconds);
  std::printf("smbclient one share: %.0f files/s\n", Files / Smb1.Seconds);
  std::printf("smbclient one share CPU: %.3f s\n", Smb1.Cpu);
  std::printf("one share smbclient/engine: %.2f x\n", Smb1.Seconds / Engine1.Seconds);
  std::printf("engine three hosts: %.3f s\n", Engine3.Seconds);
  std::printf("engine three hosts: %.0f files/s\n", 3 * Files / Engine3.Seconds);
  std::printf("engine three hosts music files found: %ld files\n", Found3);
  std::printf("engine three hosts CPU (with its workers): %.3f s\n", Engine3.Cpu);
  std::printf("smbclient three hosts one after another: %.3f s\n", Smb3.Seconds);
  std::printf("smbclient three hosts one after another: %.0f files/s\n", 3 * Files / Smb3.Seconds);
  std::printf("smbclient three hosts CPU: %.3f s\n", Smb3.Cpu);
  std::printf("three hosts smbclient/engine: %.2f x\n", Smb3.Seconds / Engine3.Seconds);
  // With every core busy the wall time cannot fall below the CPU spent over the cores.
  const unsigned Cores = std::max(1u, std::thread::hardware_concurrency());
  std::printf("machine CPU, engine one share: %.3f s\n", Engine1.Machine);
  std::printf("machine CPU, smbclient one share: %.3f s\n", Smb1.Machine);
  std::printf("machine CPU, engine three hosts: %.3f s\n", Engine3.Machine);
  std::printf("machine CPU, smbclient three hosts: %.3f s\n", Smb3.Machine);
  std::printf("engine three hosts, least time %u cores allow for that CPU: %.3f s\n", Cores,
              Engine3.Machine / Cores);
  std::printf("three hosts smbclient/engine, highest that bound allows: %.2f x\n",
              Smb3.Seconds / (Engine3.Machine / Cores));
  return 0;
}

} // namespace

int main(int argc, char **argv) {
  return Main(argc, argv, "/tmp/sonquarry-bench-scan", "sqbs", PrepareBigShares, Body);
}
