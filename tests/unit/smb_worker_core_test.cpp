// A worker holds the user's password in its memory: it leaves no core file, whatever the limits
// it was started with; one forked by the spawner is limited and waited for as one started.

#include "platform/smb/smb_provider.h"
#include "platform/smb/smb_worker_process.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <sys/resource.h>
#include <unistd.h>

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
