#pragma once
// Shared by the scan benchmarks: a test network of their own (started and removed by the
// benchmark unless one is up at its folder already), the re-run of the benchmark inside it,
// timing of other programs, and a whole scan through the engine.

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "support/build_paths.h"

#include "app/program_network.h"
#include "discovery/ip_range.h"
#include "engine/net_scan.h"
#include "engine/scan_log.h"
#include "platform/os/main_thread.h"
#include "platform/os/thread.h"

namespace sonquarry::bench {

using Clock = std::chrono::steady_clock;

inline double Since(Clock::time_point T) {
  return std::chrono::duration<double>(Clock::now() - T).count();
}

// Runs Argv with stdout (and, unless Quiet is false, stderr) sent to /dev/null; the exit code.
inline int Run(const std::vector<std::string> &Argv, bool Quiet = true,
               const std::vector<std::string> &Env = {}) {
  const pid_t Pid = fork();
  if (Pid == 0) {
    const int Null = open("/dev/null", O_RDWR);
    dup2(Null, 0);
    dup2(Null, 1);
    if (Quiet) dup2(Null, 2);
    for (const auto &E : Env) putenv(const_cast<char *>(E.c_str()));
    std::vector<char *> A;
    for (const auto &S : Argv) A.push_back(const_cast<char *>(S.c_str()));
    A.push_back(nullptr);
    execvp(A[0], A.data());
    _exit(127);
  }
  int St = 0;
  waitpid(Pid, &St, 0);
  return WIFEXITED(St) ? WEXITSTATUS(St) : -1;
}

// The least time of Runs runs of Body, in seconds.
template <class F> double Best(int Runs, F &&Body) {
  double B = 1e9;
  for (int I = 0; I < Runs; ++I) {
    const auto T = Clock::now();
    Body();
    B = std::min(B, Since(T));
  }
  return B;
}

inline double Timed(const std::vector<std::string> &Argv, int *Status = nullptr) {
  const auto T = Clock::now();
  const int S = Run(Argv);
  if (Status) *Status = S;
  return Since(T);
}

inline std::string Testnet() { return sonquarry::testing::TestnetTool(); }

// The hosts that the scan benchmarks give a large share, and the Prepare step that makes them.
inline const std::vector<std::string> BigHosts = {"ALPHA", "BRAVO", "CHARLIE"};

inline int PrepareBigShares() {
  std::vector<std::string> Args = {Testnet(), "bigshare", "--dir", std::getenv("SQ_BENCH_DIR")};
  for (auto &H : BigHosts) Args.push_back(H);
  std::fprintf(stderr, "making the large shares\n");
  return Run(Args, false);
}

// Outside the network: brings it up (with Prepare run once it is up), runs this program again
// inside it with --inside, and takes the network down again if it started it. Inside: Body.
// SQ_TESTNET_PREFIX, when set, replaces DefaultPrefix.
inline int Main(int argc, char **argv, const std::string &DefaultDir,
                const std::string &DefaultPrefix, const std::function<int()> &Prepare,
                const std::function<int()> &Body) {
  std::string Dir = DefaultDir;
  // A prefix of the caller's own keeps a second network beside this one apart.
  const char *Given = std::getenv("SQ_TESTNET_PREFIX");
  const std::string Prefix = Given && *Given ? Given : DefaultPrefix;
  bool Inside = false, Keep = false;
  for (int I = 1; I < argc; ++I) {
    const std::string A = argv[I];
    if (A == "--inside")
      Inside = true;
    else if (A == "--keep")
      Keep = true;
    else if (A == "--dir" && I + 1 < argc)
      Dir = argv[++I];
    else {
      std::fprintf(stderr, "usage: %s [--dir DIR] [--keep]\n", argv[0]);
      return 2;
    }
  }
  if (Inside) return Body();
  if (std::getenv("SQ_TESTNET_ENV")) return Body(); // run by hand inside a network
  const std::string Env = "SQ_TESTNET_PREFIX=" + Prefix;
  const bool WasUp = Run({Testnet(), "status", "--dir", Dir}, true, {Env}) == 0 &&
                     std::filesystem::exists(Dir + "/state/up");
  if (!WasUp) {
    std::fprintf(stderr, "starting the test network in %s (prefix %s)\n", Dir.c_str(),
                 Prefix.c_str());
    if (Run({Testnet(), "up", "--dir", Dir}, false, {Env}) != 0) return 1;
  }
  setenv("SQ_TESTNET_PREFIX", Prefix.c_str(), 1);
  setenv("SQ_BENCH_DIR", Dir.c_str(), 1);
  int Rc = Prepare ? Prepare() : 0;
  if (Rc == 0) {
    char Self[4096];
    const ssize_t N = readlink("/proc/self/exe", Self, sizeof Self - 1);
    if (N <= 0) return 1;
    Self[N] = '\0';
    const pid_t Pid = fork();
    if (Pid == 0) {
      execl(Testnet().c_str(), Testnet().c_str(), "exec", "--dir", Dir.c_str(), "--", Self,
            "--inside", static_cast<char *>(nullptr));
      _exit(127);
    }
    int St = 0;
    waitpid(Pid, &St, 0);
    Rc = WIFEXITED(St) ? WEXITSTATUS(St) : 1;
  }
  if (!WasUp && !Keep) Run({Testnet(), "down", "--dir", Dir}, false, {Env});
  return Rc;
}

struct TScanResult {
  double Seconds = 0;
  long Files = 0; // names reported
  long Dirs = 0;  // directories reported
  int32_t FoundComps = 0, ScannedComps = 0;
};

// One whole scan through the engine, pumped on this thread. Setup adjusts the coordinator.
inline TScanResult EngineScan(const std::function<void(TNetScan &)> &Setup) {
  platform::TQueueDispatcher Main;
  platform::SetMainThread(&Main);
  const std::string LogFile = (std::filesystem::temp_directory_path() /
                               ("sonquarry-bench-" + std::to_string(getpid()) + ".log"))
                                  .string();
  Log.SetFileName(LogFile);
  Log.SetLevel(llAll);
  TScanResult R;
  {
    TNetScan Scan;
    Scan.Network = MakeProgramNetwork();
    Scan.Filter.Extentions = {".mp3"};
    bool Done = false;
    Scan.OnFilesFound = [&](TScanResThread *, const std::string &,
                            const std::vector<std::string> &F, const std::string &) {
      R.Files += long(F.size());
      ++R.Dirs;
    };
    Scan.OnFinish = [&](TNetScan *) { Done = true; };
    Setup(Scan);
    const auto T = Clock::now();
    Scan.Start();
    Main.PumpUntil([&] { return Done; }, 600000);
    R.Seconds = Since(T);
    R.FoundComps = Scan.FoundComps;
    R.ScannedComps = Scan.ScannedComps;
  }
  Main.Close();
  platform::TThread::WaitForFreeThreads(30000);
  platform::SetMainThread(nullptr);
  Log.SetFileName("");
  std::filesystem::remove(LogFile);
  return R;
}

// `smbclient -c 'recurse; ls'` over one share: the yardstick of a walk.
inline double SmbclientList(const std::string &Ip, const std::string &Share) {
  int Status = 0;
  const double S =
      Timed({"smbclient", "//" + Ip + "/" + Share, "-N", "-c", "recurse; ls"}, &Status);
  if (Status != 0)
    std::fprintf(stderr, "smbclient //%s/%s failed (%d)\n", Ip.c_str(), Share.c_str(), Status);
  return S;
}

// The engine over the one share of each address, by address only.
inline TScanResult EngineShares(const std::vector<std::string> &Ips, const std::string &Share) {
  return EngineScan([&](TNetScan &S) {
    S.NetBios = false;
    S.MaxThreadCount = 16;
    S.Filter.AllowedRes = {Share};
    for (auto &Ip : Ips) S.AddIP(StrIP(Ip));
  });
}

} // namespace sonquarry::bench
