#include "platform/os/session_bus.h"

#include <cstdlib>
#include <sys/stat.h>

namespace sonquarry::platform {

std::string SessionBusAddress() {
  if (const char *A = std::getenv("DBUS_SESSION_BUS_ADDRESS"); A && *A) return A;
  if (const char *Run = std::getenv("XDG_RUNTIME_DIR"); Run && *Run) {
    const std::string Path = std::string(Run) + "/bus";
    struct stat St {};
    if (::stat(Path.c_str(), &St) == 0 && S_ISSOCK(St.st_mode)) return "unix:path=" + Path;
  }
  return {};
}

} // namespace sonquarry::platform
