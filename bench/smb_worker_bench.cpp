// The SMB workers: how long one takes to start, and the memory each costs (PSS, with a listing
// done, so its libsmbclient holds a connection) with 16 and 64 threads. Runs as a client of a
// running test network: testnet.sh exec --dir DIR -- build/bench/smb_worker_bench
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "integration/testnet_env.h"
#include "platform/smb_provider.h"

using namespace sonquarry;
using Clock = std::chrono::steady_clock;

namespace {

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

} // namespace

int main() {
  if (!std::getenv("SQ_TESTNET_ENV")) {
    std::fprintf(stderr, "run inside the test network: testnet.sh exec --dir DIR -- %s\n",
                 "build/bench/smb_worker_bench");
    return 2;
  }
  const auto E = testnet::Env::Load();
  platform::SmbProviderOptions O;
  O.ConfigFile = E.Get("SQ_CLIENT_CONF");
  O.CredentialsFile = "-";
  {
    platform::TSmbProvider P(O);
    std::vector<double> Ms;
    for (int I = 0; I < 32; ++I)
      std::thread([&] {
        const auto T0 = Clock::now();
        if (P.StartWorker())
          Ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - T0).count());
      }).join();
    std::sort(Ms.begin(), Ms.end());
    if (Ms.empty()) return 1;
    std::printf("worker start (spawn and greeting), 32 in turn: median %.2f ms, max %.2f ms\n",
                Ms[Ms.size() / 2], Ms.back());
  }
  const std::string Share = "\\\\" + E.Host("ALPHA", "IP") + "\\music";
  for (int Threads : {16, 64}) {
    platform::TSmbProvider P(O);
    std::vector<std::thread> Ts;
    std::vector<int> Ok(Threads, 0);
    std::atomic<int> Done{0};
    std::atomic<bool> Measured{false};
    for (int I = 0; I < Threads; ++I)
      Ts.emplace_back([&, I] {
        std::vector<platform::DirEntry> Out;
        Ok[I] = P.FindFiles(Share, Out);
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
  }
  return 0;
}
