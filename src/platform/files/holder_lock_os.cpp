// The holder lock's file on Linux: flock, which the system drops when the holder ends.
#include "platform/files/holder_lock_os.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <system_error>
#include <unistd.h>

namespace sonquarry::files {

int OpenLockFile(const std::string &Path, std::string &Why) {
  // No link is followed: in a shared folder it could point at any file of the user's.
  const int Fd = ::open(Path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (Fd < 0) Why = std::generic_category().message(errno);
  return Fd;
}

TLockTry TryLockFile(int Fd, std::string &Why) {
  while (::flock(Fd, LOCK_EX | LOCK_NB) != 0) {
    if (errno == EINTR) continue;
    if (errno == EWOULDBLOCK) return TLockTry::Held;
    Why = std::generic_category().message(errno);
    return TLockTry::Failed;
  }
  return TLockTry::Taken;
}

std::string ReadLockFile(int Fd) {
  char Buf[256];
  const ssize_t N = ::pread(Fd, Buf, sizeof Buf - 1, 0);
  return std::string(Buf, N > 0 ? static_cast<size_t>(N) : 0);
}

void WriteLockFile(int Fd, const std::string &Text) {
  if (::ftruncate(Fd, 0) == 0) {
    [[maybe_unused]] const ssize_t N = ::pwrite(Fd, Text.data(), Text.size(), 0);
  }
}

void CloseLockFile(int Fd) { ::close(Fd); }

unsigned long CurrentProcessId() { return static_cast<unsigned long>(::getpid()); }

} // namespace sonquarry::files
