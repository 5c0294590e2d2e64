#pragma once
// The Windows version query; other systems report that there is no Windows version.

#include <string>

namespace sonquarry::platform {

struct WindowsVersion {
  int Major = 0;
  int Minor = 0;
  std::string ServicePack; // e.g. "Service Pack 2"
};

// False where the system is not Windows or the query fails.
bool QueryWindowsVersion(WindowsVersion &Version);

} // namespace sonquarry::platform
