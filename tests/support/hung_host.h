#pragma once
// SQSTUCK of the test network: accepts connections on 445 and 139 and never answers while a
// THungHost lives; otherwise it refuses.

#include <string>
#include <utility>

#include "support/run_program.h"

namespace sonquarry::testing {

struct THungHost {
  explicit THungHost(std::string ANet) : Net(std::move(ANet)) {
    Up = RunProgram({Tool, "start-host", "--dir", Net, "SQSTUCK"}).Status == 0;
  }
  ~THungHost() { RunProgram({Tool, "stop-host", "--dir", Net, "SQSTUCK"}); }
  THungHost(const THungHost &) = delete;
  THungHost &operator=(const THungHost &) = delete;
  const std::string Tool = TestnetTool();
  std::string Net;
  bool Up = false;
};

} // namespace sonquarry::testing
