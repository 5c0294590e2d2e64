#include "platform/files/holder_lock.h"

#include <cerrno>
#include <fcntl.h>
#include <string_view>
#include <sys/file.h>
#include <system_error>
#include <unistd.h>

namespace sonquarry::files {

namespace {

// What the lock file says of its holder: "PROGRAM PID".
std::string HolderOf(int Fd) {
  char buf[256];
  const ssize_t n = ::pread(Fd, buf, sizeof buf - 1, 0);
  const std::string_view text(buf, n > 0 ? static_cast<size_t>(n) : 0);
  const auto space = text.rfind(' ');
  if (space == std::string_view::npos || space == 0) return "another program";
  std::string pid(text.substr(space + 1));
  while (!pid.empty() && (pid.back() == '\n' || pid.back() == '\r')) pid.pop_back();
  return std::string(text.substr(0, space)) + " (process " + pid + ")";
}

} // namespace

THolderLock::~THolderLock() { Release(); }

bool THolderLock::Take(const std::string &File, const std::string &Program) {
  Release();
  Holder_.clear();
  Why_.clear();
  // No link is followed: in a shared folder it could point at any file of the user's.
  const int fd = ::open((File + ".lock").c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) {
    Why_ = std::generic_category().message(errno);
    return false;
  }
  while (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    if (errno == EINTR) continue;
    if (errno == EWOULDBLOCK)
      Holder_ = HolderOf(fd);
    else
      Why_ = std::generic_category().message(errno);
    ::close(fd);
    return false;
  }
  Fd = fd;
  const std::string says = Program + ' ' + std::to_string(::getpid()) + '\n';
  if (::ftruncate(Fd, 0) == 0) {
    [[maybe_unused]] const ssize_t n = ::pwrite(Fd, says.data(), says.size(), 0); // only a name
  }
  return true;
}

void THolderLock::Release() {
  if (Fd < 0) return;
  ::close(Fd); // drops the lock; the file stays for the next holder
  Fd = -1;
}

std::string THolderLock::Refusal(const std::string &File) const {
  if (!Holder_.empty()) return HeldListMessage(File, Holder_);
  return "The list file " + File + " can not be locked against a second writer (" + File +
         ".lock: " + Why_ + "); it is left alone.";
}

std::string HeldListMessage(const std::string &File, const std::string &Holder) {
  return "The list file " + File + " is held by " + Holder + ".";
}

} // namespace sonquarry::files
