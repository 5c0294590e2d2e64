#include "platform/smb/wire/smb_error.h"

#include <cerrno>
#include <system_error>

namespace sonquarry::smb::wire {

net::NetError SmbError(int Errno, const std::string &Where) {
  const char *Text = nullptr;
  switch (Errno) {
  case 0:
    Text = "failed without a reason";
    break;
  case ENOENT:
    Text = "no such computer, workgroup, share or directory";
    break;
  case EACCES:
  case EPERM:
    Text = "access denied";
    break;
  case ETIMEDOUT:
    Text = "no answer in time";
    break;
  case ECONNREFUSED:
    Text = "connection refused";
    break;
  case ECONNRESET:
    Text = "connection reset";
    break;
  case EHOSTUNREACH:
    Text = "host unreachable";
    break;
  case ENETUNREACH:
    Text = "network unreachable";
    break;
  case EHOSTDOWN:
    Text = "does not answer on TCP port 445 or 139";
    break;
  case ENOTDIR:
    Text = "not a directory or container";
    break;
  case EINVAL:
    Text = "not a valid network name";
    break;
  case ENODEV:
    Text = "no such share";
    break;
  case EPROTONOSUPPORT:
  case ENOTSUP:
    Text = "protocol not supported by the server";
    break;
  case ENOMEM:
    Text = "out of memory";
    break;
  default:
    break;
  }
  const std::string Reason = Text ? Text : std::generic_category().message(Errno);
  return net::NetError{Errno == 0 ? EIO : Errno,
                       Where + ": " + Reason + " (errno " + std::to_string(Errno) + ")"};
}

net::NetError SmbListingError(int Errno, const std::string &UncDir, bool Answers) {
  if (Errno != EINVAL) return SmbError(Errno, UncDir);
  const std::string Name = UncDir.substr(UncDir.find_last_of('\\') + 1);
  // Windows names cannot hold these; a server that shows such a name cannot open it again.
  const bool Odd = Name.find_first_of("<>:\"|?*") != std::string::npos;
  const char *Why = !Answers ? "the connection to the server broke"
                    : Odd    ? "the server refuses this name: it holds one of < > : \" | ? * "
                               "(invalid object name)"
                             : "the server lists a name that the SMB library refuses, such as one "
                               "with a backslash (invalid network response)";
  return net::NetError{EINVAL, UncDir + ": " + Why + " (errno " + std::to_string(EINVAL) + ")"};
}

} // namespace sonquarry::smb::wire
