#include "platform/registry/hive_store.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/files/folders.h"
#include "platform/os/errors.h"
#include "platform/os/exception.h"

namespace sonquarry::registry {

using platform::ErrnoText;

// Reads the whole file; nothing when it does not exist; raises on other failures.
std::optional<std::string> ReadWholeFile(const std::string &Path) {
  const int fd = ::open(Path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    if (errno == ENOENT) return std::nullopt;
    throw Exception("TRegistry: cannot read " + Path + ": " + ErrnoText(errno) + ".");
  }
  std::string data;
  char buf[65536];
  for (;;) {
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      const int err = errno;
      ::close(fd);
      throw Exception("TRegistry: cannot read " + Path + ": " + ErrnoText(err) + ".");
    }
    if (n == 0) break;
    data.append(buf, static_cast<size_t>(n));
  }
  ::close(fd);
  return data;
}

std::string FileState(const std::string &Path) {
  struct stat st;
  if (::stat(Path.c_str(), &st) != 0) return {};
  return std::to_string(st.st_size) + ' ' + std::to_string(st.st_mtim.tv_sec) + '.' +
         std::to_string(st.st_mtim.tv_nsec);
}

THiveLock::THiveLock(const std::string &LockFile) {
  Fd_ = ::open(LockFile.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (Fd_ < 0) {
    throw Exception("TRegistry: cannot open the lock " + LockFile + ": " + ErrnoText(errno) + ".");
  }
  while (::flock(Fd_, LOCK_EX) != 0) {
    if (errno != EINTR) {
      const int err = errno;
      ::close(Fd_);
      throw Exception("TRegistry: cannot lock " + LockFile + ": " + ErrnoText(err) + ".");
    }
  }
}

THiveLock::~THiveLock() { ::close(Fd_); } // closing drops the lock

std::string DefaultHiveFile() { return files::GetConfigDir() + "registry.reg"; }

// Linux has no system registry: every registry object works on a hive file.
bool IsSystemRegistry(const std::string &) { return false; }

namespace {

[[noreturn]] void NoSystemRegistry() {
  throw Exception("TRegistry: this system has no registry of its own.");
}

} // namespace

THive ReadSystemRegistry() { NoSystemRegistry(); }
void SystemCreateKey(const std::string &) { NoSystemRegistry(); }
void SystemDeleteKey(const std::string &) { NoSystemRegistry(); }
void SystemSetValue(const std::string &, const TRegValue &) { NoSystemRegistry(); }
void SystemDeleteValue(const std::string &, const std::string &) { NoSystemRegistry(); }

} // namespace sonquarry::registry
