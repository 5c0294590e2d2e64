// ctest-labels: threads
// A worker holds the user's password in its memory: it leaves no core file, whatever the limits
// it was started with; one forked by the spawner is limited and waited for as one started, and a
// spawner that stalls or dies leaves no child unwaited for.

#include "platform/os/thread.h"
#include "platform/smb/smb_provider.h"
#include "platform/smb/smb_worker_process.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace sonquarry;

TEST(SmbWorkerCore, NoCoreFileEvenUnderAnUnlimitedCoreSize) {
  rlimit before;
  ASSERT_EQ(getrlimit(RLIMIT_CORE, &before), 0);
  const rlimit unlimited{RLIM_INFINITY, RLIM_INFINITY}; // ulimit -c unlimited
  if (setrlimit(RLIMIT_CORE, &unlimited) != 0) GTEST_SKIP() << "the core size cannot be raised";
  net::NetError error;
  const auto worker = smb::TWorker::Spawn(smb::SmbWorkerPath(), smb::wire::Hello{}, 5000, error);
  setrlimit(RLIMIT_CORE, &before);
  ASSERT_TRUE(worker) << error.Message;
  std::ifstream limits("/proc/" + std::to_string(worker->Pid()) + "/limits");
  std::string line, soft, hard;
  while (std::getline(limits, line))
    if (line.rfind("Max core file size", 0) == 0)
      std::istringstream(line.substr(18)) >> soft >> hard;
  EXPECT_EQ(soft, "0");
  EXPECT_EQ(hard, "0");
  worker->End();
}

namespace {

std::string Slurp(const std::string &Path) {
  std::ifstream In(Path);
  return std::string((std::istreambuf_iterator<char>(In)), {});
}

std::string LimitLine(pid_t Pid, const std::string &Name) {
  std::istringstream In(Slurp("/proc/" + std::to_string(Pid) + "/limits"));
  for (std::string Line; std::getline(In, Line);)
    if (Line.rfind(Name, 0) == 0) return Line;
  return "";
}

} // namespace

// Forked ready by the spawner or started from the program file, a worker is this program's child
// (it is waited for, and ends with it), shows as a worker, and has the same limits.
TEST(SmbWorkerCore, AForkedWorkerIsTheProgramsChildWithTheLimitsOfAStartedOne) {
  const std::string Me = std::to_string(::getpid());
  std::map<bool, std::string> Limits;
  for (const bool Forked : {true, false}) {
    if (!Forked) ::setenv("SONQUARRY_SMB_SPAWNER", "0", 1);
    net::NetError error;
    const auto worker = smb::TWorker::Spawn(smb::SmbWorkerPath(), smb::wire::Hello{}, 20000, error);
    ::unsetenv("SONQUARRY_SMB_SPAWNER");
    ASSERT_TRUE(worker) << error.Message;
    const std::string Proc = "/proc/" + std::to_string(worker->Pid());
    std::istringstream Stat(Slurp(Proc + "/stat"));
    std::string Pid, Comm, State, PPid;
    Stat >> Pid >> Comm >> State >> PPid;
    EXPECT_EQ(PPid, Me) << Forked;
    EXPECT_NE(Slurp(Proc + "/cmdline").find(std::string("--parent") + '\0' + Me), std::string::npos)
        << Forked;
    Limits[Forked] = LimitLine(worker->Pid(), "Max address space") + "\n" +
                     LimitLine(worker->Pid(), "Max core file size");
    EXPECT_EQ(worker->End(), "signal 9") << Forked;
  }
  EXPECT_EQ(Limits[true], Limits[false]);
  EXPECT_NE(Limits[true].find("Max core file size        0"), std::string::npos) << Limits[true];
}

namespace {

struct TChild {
  pid_t Pid;
  char State;
  bool Spawner; // the spawner, or a spare of its that no start has taken
  bool Leader;  // of its process group: the spawner itself
};

// This process's children, as the kernel lists them.
// Whether Holds comes true within 10 s, looked at every 20 ms.
bool Within10s(const std::function<bool()> &Holds) {
  for (int I = 0; I < 500; ++I) {
    if (Holds()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

std::vector<TChild> Children() {
  std::vector<TChild> Out;
  for (const auto &E : std::filesystem::directory_iterator("/proc")) {
    const std::string Name = E.path().filename();
    if (Name.find_first_not_of("0123456789") != std::string::npos) continue;
    const std::string Stat = Slurp(E.path() / "stat");
    const auto Paren = Stat.rfind(')');
    if (Paren == std::string::npos) continue;
    std::istringstream In(Stat.substr(Paren + 1));
    char State = 0;
    pid_t PPid = 0, Group = 0;
    if (!(In >> State >> PPid >> Group) || PPid != ::getpid()) continue;
    const pid_t Pid = std::stoi(Name);
    Out.push_back(
        {Pid, State,
         Slurp(E.path() / "cmdline").find(std::string("--spawner") + '\0') != std::string::npos,
         Group == Pid});
  }
  return Out;
}

// Whether every child is a live spawner or spare (no worker and no zombie left), within 10 s.
bool OnlySpawnersLeft() {
  return Within10s([] {
    const auto All = Children();
    return std::all_of(All.begin(), All.end(),
                       [](const TChild &C) { return C.Spawner && C.State != 'Z'; });
  });
}

// A worker's start on a thread of the engine's kind, which a stop ends.
class TStartThread : public platform::TThread {
public:
  std::string Path = smb::SmbWorkerPath();
  std::shared_ptr<smb::TWorker> Worker;
  net::NetError Error;
  std::atomic<pid_t> Tid{0};

  // Whether the thread waits in a poll (for the worker's first bytes), within 10 s.
  bool Polls() const {
    return Within10s([this] {
      std::istringstream In(Slurp("/proc/self/task/" + std::to_string(Tid.load()) + "/syscall"));
      long Call = -1;
      return Tid && In >> Call && (Call == SYS_poll || Call == SYS_ppoll);
    });
  }

protected:
  void Execute() override {
    Tid = ::gettid();
    Worker = smb::TWorker::Spawn(Path, smb::wire::Hello{}, 20000, Error);
  }
};

} // namespace

// A spawner that stalls (stopped) or dies, or a spare of its that dies, costs no start and leaves
// no child unwaited for: a start it stalls is made from the program file after its bound, and the
// stalled spawner is ended with its spares; a start stopped meanwhile ends at once, and the worker
// the spawner forks once it goes on is ended and waited for all the same.
TEST(SmbWorkerCore, ASpawnerThatStallsOrDiesLeavesNoChildUnwaitedFor) {
#if defined(__SANITIZE_THREAD__)
  constexpr bool Spares = false; // each worker starts afresh there
#else
  constexpr bool Spares = true;
#endif
  const struct {
    const char *Name;
    int Signal;
    bool ToASpare, StopTheStart;
  } Cases[] = {
      {"stalled: the start waits out its bound", SIGSTOP, false, false},
      {"stalled: the start is stopped, the spawner forks afterwards", SIGSTOP, false, true},
      {"dead", SIGKILL, false, false},
      {"a spare dead", SIGKILL, true, false}};
  for (const auto &C : Cases) {
    SCOPED_TRACE(C.Name);
    if (C.ToASpare && !Spares) continue;
    net::NetError Error;
    auto First = smb::TWorker::Spawn(smb::SmbWorkerPath(), smb::wire::Hello{}, 20000, Error);
    ASSERT_TRUE(First) << Error.Message;
    First.reset();
    // Only the spawner and its spares are left: one of each is found.
    pid_t Spawner = 0, Spare = 0;
    ASSERT_TRUE(Within10s([&] {
      for (const auto &Child : Children())
        (Child.Leader ? Spawner : Spare) = Child.Spawner ? Child.Pid : -1;
      return Spawner && (Spare || !Spares);
    }));
    ASSERT_GT(Spawner, 0);
    ASSERT_GE(Spare, 0);
    ASSERT_EQ(::kill(C.ToASpare ? Spare : Spawner, C.Signal), 0);
    // A dead spare is waited for by the next start.
    if (C.ToASpare) {
      ASSERT_TRUE(Within10s([&] {
        const auto Now = Children();
        return std::any_of(Now.begin(), Now.end(),
                           [&](const TChild &Ch) { return Ch.Pid == Spare && Ch.State == 'Z'; });
      }));
    }

    TStartThread T;
    T.Resume();
    if (C.StopTheStart) {
      ASSERT_TRUE(T.Polls());
      T.Terminate();
      T.WaitFor();
      EXPECT_FALSE(T.Worker);
      EXPECT_EQ(T.Error.Code, ECANCELED) << T.Error.Message;
      ::kill(Spawner, SIGCONT);
      // Served in turn: once this one is forked, so was the stopped start's.
      auto Next = smb::TWorker::Spawn(smb::SmbWorkerPath(), smb::wire::Hello{}, 20000, Error);
      ASSERT_TRUE(Next) << Error.Message;
      Next.reset();
    } else {
      T.WaitFor();
      ASSERT_TRUE(T.Worker) << T.Error.Message;
      EXPECT_EQ(T.Worker->End(), "signal 9");
      T.Worker.reset();
    }
    EXPECT_TRUE(OnlySpawnersLeft());
    bool Kept = false;
    for (const auto &Child : Children()) Kept = Kept || Child.Pid == Spawner;
    EXPECT_EQ(Kept, C.StopTheStart || C.ToASpare);
  }
}

// A stop ends a start that waits for the worker's greeting at once, and the worker with it.
TEST(SmbWorkerCore, AStopEndsAStartThatAwaitsTheGreeting) {
  char Dir[] = "/tmp/sq-mute-worker-XXXXXX";
  ASSERT_TRUE(::mkdtemp(Dir));
  const std::string Mute = std::string(Dir) + "/worker";
  std::ofstream(Mute) << "#!/bin/sh\nexec sleep 60\n";
  ASSERT_EQ(::chmod(Mute.c_str(), 0755), 0);
  ::setenv("SONQUARRY_SMB_SPAWNER", "0", 1);
  TStartThread T;
  T.Path = Mute;
  T.Resume();
  const bool Waits = T.Polls();
  T.Terminate();
  T.WaitFor();
  ::unsetenv("SONQUARRY_SMB_SPAWNER");
  std::filesystem::remove_all(Dir);
  ASSERT_TRUE(Waits);
  EXPECT_FALSE(T.Worker);
  EXPECT_EQ(T.Error.Code, ECANCELED) << T.Error.Message;
  EXPECT_TRUE(OnlySpawnersLeft());
}
