// A search of three hosts with a large share each (20,000 files in 1,000 directories), through the
// window (offscreen) and through sonquarry-scan, on the test network.
//
//   build/bench/search_window_gui_bench [--dir DIR] [--keep]
//
// Starts a test network of its own in DIR (default /tmp/sonquarry-bench-window, namespaces
// sqbw-*) unless one is up there and prints, best of three alternating runs each: the window's
// search from Search to the end of the scan, the event loop's longest gap meanwhile (a 2 ms timer),
// and the same search through sonquarry-scan as a program of its own. SQ_BENCH_RTT=MS: both reach
// the hosts through the relay (testnet.sh relay) with MS of round trip added.
#include "app/program_network.h"
#include "bench_testnet.h"
#include "platform/files/folders.h"
#include "settings/settings.h"
#include "support/latency_relay.h"
#include "support/main_form_seam.h"
#include "support/recording_prompts.h"
#include "support/testnet_env.h"
#include "ui/main_window/main_form.h"
#include "ui/services/qt_dispatcher.h"

#include <QAction>
#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>
#include <sys/resource.h>
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

using namespace sonquarry;
using sonquarry::testing::Command;
using sonquarry::testing::Seam;
using namespace sonquarry::bench;

namespace {

// SQ_BENCH_RUNS overrides the number of runs (for a quick look while profiling).
int Runs() {
  const char *V = std::getenv("SQ_BENCH_RUNS");
  return V && std::atoi(V) > 0 ? std::atoi(V) : 3;
}

struct TWindowRun {
  double Seconds = 0;
  qint64 WorstGapMs = 0;
  double WorstGapAt = 0; // seconds after Search when the longest gap ended
  long long LongestTurnUs = 0;
  long long Turns = 0; // of the hand-over queue
  int Rows = 0;
  double Cpu = 0;     // user+sys of the process and its reaped workers
  double MainCpu = 0; // of the main thread alone
};

// User+sys seconds of this process (RUSAGE_SELF) or of its reaped children (RUSAGE_CHILDREN).
double CpuSeconds(int Who) {
  rusage U{};
  getrusage(Who, &U);
  auto S = [](const timeval &T) { return double(T.tv_sec) + T.tv_usec / 1e6; };
  return S(U.ru_utime) + S(U.ru_stime);
}

double ThreadCpuSeconds() {
  timespec T{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &T);
  return double(T.tv_sec) + T.tv_nsec / 1e9;
}

TWindowRun WindowSearch(const std::vector<std::string> &Ips, const std::string &Share,
                        TQtDispatcher &Dispatcher) {
  TWindowRun R;
  TMainForm Form{MakeProgramNetwork()};
  Form.show();
  Seam(Form).Scan().ScanMethod = smOtherOS;
  Seam(Form).Scan().IsClearBefor = true;
  Seam(Form).Scan().NetBios = false;
  Seam(Form).Scan().MaxThreadCount = 16;
  Seam(Form).Scan().Filter.Extentions = {".mp3"};
  Seam(Form).Scan().Filter.AllowedRes = {Share};
  Seam(Form).Scan().ClearNetRes();
  for (auto &Ip : Ips) Seam(Form).Scan().AddIPRange(StrIP(Ip), StrIP(Ip));
  {
    // The new window's first paint is no part of the search.
    QEventLoop Settle;
    QTimer::singleShot(300, &Settle, &QEventLoop::quit);
    Settle.exec();
  }
  QElapsedTimer Gap;
  QTimer Tick;
  Tick.setInterval(2);
  const auto T = Clock::now();
  QObject::connect(&Tick, &QTimer::timeout, [&] {
    const qint64 Ms = Gap.restart();
    if (Ms <= R.WorstGapMs) return;
    R.WorstGapMs = Ms;
    R.WorstGapAt = Since(T);
  });
  Dispatcher.ResetLongestTurn();
  const double Cpu0 = CpuSeconds(RUSAGE_SELF) + CpuSeconds(RUSAGE_CHILDREN);
  const double Main0 = ThreadCpuSeconds();
  Gap.start();
  Tick.start();
  Command(Form, "actSearch")->trigger();
  // A real event loop that sleeps between events: a busy loop here would take a core from the
  // scanning threads and the servers.
  QEventLoop Loop;
  QTimer Poll;
  Poll.setInterval(10);
  QObject::connect(&Poll, &QTimer::timeout, [&] {
    if (Seam(Form).ScanState() == ssIdle) Loop.quit();
  });
  Poll.start();
  Loop.exec();
  R.Seconds = Since(T);
  R.MainCpu = ThreadCpuSeconds() - Main0;
  // The threads reap their workers as they end, just after the scan's end.
  platform::TThread::WaitForFreeThreads(30000);
  R.Cpu = CpuSeconds(RUSAGE_SELF) + CpuSeconds(RUSAGE_CHILDREN) - Cpu0;
  Tick.stop();
  R.LongestTurnUs = Dispatcher.LongestTurnUs();
  R.Turns = Dispatcher.Turns();
  R.Rows = Seam(Form).FileTree().Count();
  Seam(Form).ListFileName() = std::string(std::getenv("XDG_DATA_HOME")) + "/bench.lst";
  return R;
}

int Body() {
  const sonquarry::testing::Env E = sonquarry::testing::Env::Load();
  const std::string Share = E.Get("SQ_BIG_SHARE");
  std::vector<std::string> Ips;
  for (auto &H : BigHosts) Ips.push_back(E.Host(H, "IP"));
  const char *Rtt = std::getenv("SQ_BENCH_RTT");
  sonquarry::testing::TRelayControl Relay(E);
  if (Rtt && *Rtt) {
    // The relay's first addresses lead to the hosts with the large share.
    Ips = E.List("SQ_RELAY_IPS");
    Ips.resize(std::min(Ips.size(), BigHosts.size()));
    if (!Relay.Set(std::atof(Rtt))) {
      std::fprintf(stderr, "the relay does not take %s ms\n", Rtt);
      return 1;
    }
  }

  char Tmpl[] = "/tmp/sq-window-bench-XXXXXX";
  const std::string Home = ::mkdtemp(Tmpl);
  setenv("XDG_CONFIG_HOME", (Home + "/config").c_str(), 1);
  setenv("XDG_DATA_HOME", (Home + "/data").c_str(), 1);
  setenv("XDG_CACHE_HOME", (Home + "/cache").c_str(), 1);
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  TScanOptions Stored;
  Stored.ScanMethod = smOtherOS; // no first-run prompt
  SaveSettings(Stored, TMainFormSettings());

  const std::string Scanner =
      std::filesystem::canonical("/proc/self/exe").parent_path().parent_path() /
      "src/app/sonquarry-scan";
  std::vector<std::string> ScanArgs = {Scanner,    "--threads", "16",    "--allow-share", Share,
                                       "--format", "none",      "--log", "/dev/null"};
  for (auto &Ip : Ips) ScanArgs.insert(ScanArgs.end(), {"--ip", Ip});

  int Argc = 1;
  char Name[] = "search_window_gui_bench";
  char *Argv[] = {Name, nullptr};
  QApplication App(Argc, Argv);
  TQtDispatcher Dispatcher;
  platform::SetMainThread(&Dispatcher);
  int Rc = 0;
  {
    sonquarry::testing::TPromptsScope Prompts; // the report at the end is recorded, not shown
    WindowSearch(Ips, Share, Dispatcher);      // warm the servers' caches and the workers' start
    TWindowRun Best;
    Best.Seconds = 1e9;
    double ScanBest = 1e9, ScanCpu = 0, WindowCpu = 0, MainCpu = 0;
    TWindowRun Worst;
    for (int I = 0, N = Runs(); I < N; ++I) {
      const TWindowRun W = WindowSearch(Ips, Share, Dispatcher);
      if (W.Seconds < Best.Seconds) Best = W;
      if (W.WorstGapMs > Worst.WorstGapMs) Worst = W;
      Worst.LongestTurnUs = std::max(Worst.LongestTurnUs, W.LongestTurnUs);
      WindowCpu += W.Cpu;
      MainCpu += W.MainCpu;
      int Status = 0;
      const double Cpu0 = CpuSeconds(RUSAGE_CHILDREN);
      ScanBest = std::min(ScanBest, Timed(ScanArgs, &Status));
      ScanCpu += CpuSeconds(RUSAGE_CHILDREN) - Cpu0;
      if (Status != 0) {
        std::fprintf(stderr, "sonquarry-scan failed (%d)\n", Status);
        Rc = 1;
      }
    }
    std::printf("window search, three hosts: %.3f s, %d rows\n", Best.Seconds, Best.Rows);
    std::printf("window search, longest gap between 2 ms ticks (all runs): %lld ms, "
                "%.2f s after Search in a search of %.2f s\n",
                static_cast<long long>(Worst.WorstGapMs), Worst.WorstGapAt, Worst.Seconds);
    std::printf("window search, longest turn of the hand-over queue (all runs): %.1f ms; "
                "%lld turns in the fastest search\n",
                Worst.LongestTurnUs / 1000.0, Best.Turns);
    std::printf("sonquarry-scan, three hosts: %.3f s\n", ScanBest);
    std::printf("window/sonquarry-scan: %.2f x\n", Best.Seconds / ScanBest);
    if (Rtt && *Rtt)
      std::printf("through the relay, round trip added as measured by it: %.2f ms\n",
                  2 * Relay.Counts().HeldMs);
    const int N = Runs();
    std::printf("CPU seconds per search (user+sys with the workers, mean of %d): window %.3f "
                "(main thread %.3f), sonquarry-scan %.3f: %.2f x\n",
                N, WindowCpu / N, MainCpu / N, ScanCpu / N, WindowCpu / ScanCpu);
  }
  Dispatcher.Close();
  platform::TThread::WaitForFreeThreads(30000);
  platform::SetMainThread(nullptr);
  std::filesystem::remove_all(Home);
  return Rc;
}

} // namespace

int main(int argc, char **argv) {
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  return Main(
      argc, argv, "/tmp/sonquarry-bench-window", "sqbw",
      [] {
        if (const int Rc = PrepareBigShares()) return Rc;
        const char *Rtt = std::getenv("SQ_BENCH_RTT");
        return Rtt && *Rtt ? Run({Testnet(), "relay", "--dir", std::getenv("SQ_BENCH_DIR")}, false)
                           : 0;
      },
      Body);
}
