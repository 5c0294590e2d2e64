#include "platform/os_version.h"

namespace sonquarry::platform {

bool QueryWindowsVersion(WindowsVersion &Version) {
  Version = WindowsVersion{};
  return false;
}

} // namespace sonquarry::platform
