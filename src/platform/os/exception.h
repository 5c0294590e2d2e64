#pragma once
// The one error class for programming errors and broken preconditions. Its message names the
// routine, a colon and the problem, e.g. "StrIP: wrong IP-address '1.2.3'.".

#include <stdexcept>
#include <string>

namespace sonquarry::platform {

class Exception : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

// Replaces the first "%s" of Format with Arg; the messages carry one placeholder at most.
inline std::string FormatMessage(const std::string &Format, const std::string &Arg) {
  const auto pos = Format.find("%s");
  if (pos == std::string::npos) return Format;
  std::string out = Format;
  out.replace(pos, 2, Arg);
  return out;
}

} // namespace sonquarry::platform

namespace sonquarry {
// The project-wide error class, named without its room.
using platform::Exception;
using platform::FormatMessage;
} // namespace sonquarry
