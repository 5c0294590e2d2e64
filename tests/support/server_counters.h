#pragma once
// What a test network's Samba host has done so far, by its own profile counters (smbstatus -P):
// the bytes it read from files and the SMB2 requests it served. Meaningful while no other client
// uses the host (the network's tests hold it one at a time).

#include <algorithm>
#include <cstdlib>
#include <sstream>
#include <string>

#include "support/run_program.h"

namespace sonquarry::testing {

struct TServerCounters {
  long long ReadBytes = 0; // pread, synchronous or not; directory reads left out
  long long Creates = 0, GetInfos = 0, Reads = 0, Closes = 0;

  TServerCounters operator-(const TServerCounters &B) const {
    return {ReadBytes - B.ReadBytes, Creates - B.Creates, GetInfos - B.GetInfos, Reads - B.Reads,
            Closes - B.Closes};
  }
};

// Host: the folder of the host below NetDir/hosts ("alpha").
inline TServerCounters ServerCounters(const std::string &NetDir,
                                      const std::string &Host = "alpha") {
  const TRun R = RunProgram({"smbstatus", "-P", "-s", NetDir + "/hosts/" + Host + "/smb.conf"});
  std::istringstream In(R.Out);
  std::string Line;
  TServerCounters C;
  while (std::getline(In, Line)) {
    const auto Colon = Line.find(':');
    if (Colon == std::string::npos) continue;
    std::string Key = Line.substr(0, Colon);
    Key.erase(std::remove(Key.begin(), Key.end(), ' '), Key.end());
    const long long V = std::atoll(Line.c_str() + Colon + 1);
    if (Key.rfind("syscall_", 0) == 0 && Key.find("read_bytes") != std::string::npos &&
        Key.find("readdir") == std::string::npos)
      C.ReadBytes += V;
    else if (Key == "smb2_create_count")
      C.Creates = V;
    else if (Key == "smb2_getinfo_count")
      C.GetInfos = V;
    else if (Key == "smb2_read_count")
      C.Reads = V;
    else if (Key == "smb2_close_count")
      C.Closes = V;
  }
  return C;
}

} // namespace sonquarry::testing
