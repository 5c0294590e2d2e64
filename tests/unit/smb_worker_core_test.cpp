// A worker holds the user's password in its memory: it leaves no core file, whatever the limits
// it was started with.

#include "platform/smb/smb_provider.h"
#include "platform/smb/smb_worker_process.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <sys/resource.h>

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
