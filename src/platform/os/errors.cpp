#include "platform/os/errors.h"

#include <system_error>

namespace sonquarry::platform {

// generic_category, not strerror: the threads call it too.
std::string ErrnoText(int Err) {
  if (Err == ForeignLinkErr) return "a symbolic link on the way to it is owned by another user";
  return std::generic_category().message(Err);
}

std::string DirOf(const std::string &Path) {
  const auto Slash = Path.rfind('/');
  if (Slash == std::string::npos) return ".";
  if (Slash == 0) return "/";
  return Path.substr(0, Slash);
}

} // namespace sonquarry::platform
