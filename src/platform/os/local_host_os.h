#pragma once
// What local_host.cpp asks of the system beside local_host.h's own system calls (one file per
// system: local_host_os.cpp, local_host_os_win32.cpp).

#include <cstdint>

namespace sonquarry::platform {

// The time the cores have been idle and the time counted at all since some fixed point, in one
// unit; false when the system does not tell.
bool ReadCpuTimes(uint64_t &Idle, uint64_t &Total);

} // namespace sonquarry::platform
