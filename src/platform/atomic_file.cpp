#include "platform/atomic_file.h"

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace sonquarry {

namespace {

std::string DirectoryOf(const std::string &Path) {
  const auto slash = Path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return Path.substr(0, slash);
}

// The file a save really replaces: the target of a symbolic link, so that the link survives.
std::string ResolveTarget(const std::string &Path) {
  struct stat st;
  if (lstat(Path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return Path;
  char buf[PATH_MAX];
  if (realpath(Path.c_str(), buf) != nullptr) return buf;
  return Path;
}

} // namespace

TAtomicFile::~TAtomicFile() { Abandon(); }

bool TAtomicFile::Open(const std::string &ATarget, unsigned NewFileMode) {
  Abandon();
  Target = ResolveTarget(ATarget);
  const std::string dir = DirectoryOf(Target);
  const auto slash = Target.rfind('/');
  const std::string base = slash == std::string::npos ? Target : Target.substr(slash + 1);
  // A name of our own with O_EXCL rather than mkstemp: the new file then gets the mode that the
  // umask gives any new file, as a plain create of the target would.
  const auto seed =
      static_cast<unsigned long long>(std::chrono::steady_clock::now().time_since_epoch().count());
  for (int attempt = 0; attempt < 100 && Fd < 0; ++attempt) {
    char suffix[32];
    std::snprintf(suffix, sizeof suffix, ".%d.%llx", static_cast<int>(getpid()),
                  (seed + static_cast<unsigned long long>(attempt) * 0x9e3779b97f4a7c15ULL) &
                      0xffffffULL);
    Temp = dir + "/." + base + suffix + ".tmp";
    Fd = ::open(Temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC,
                static_cast<mode_t>(NewFileMode));
    if (Fd < 0 && errno != EEXIST) break;
  }
  if (Fd < 0) {
    Temp.clear();
    return false;
  }
  struct stat st;
  if (stat(Target.c_str(), &st) == 0 && S_ISREG(st.st_mode)) fchmod(Fd, st.st_mode & 07777);
  return true;
}

bool TAtomicFile::Write(const char *Data, size_t Size) {
  if (Fd < 0) return false;
  while (Size > 0) {
    const ssize_t n = ::write(Fd, Data, Size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) return false;
    Data += n;
    Size -= static_cast<size_t>(n);
  }
  return true;
}

bool TAtomicFile::Commit() {
  if (Fd < 0) return false;
  const bool synced = ::fsync(Fd) == 0;
  const bool closed = ::close(Fd) == 0;
  Fd = -1;
  if (!synced || !closed || ::rename(Temp.c_str(), Target.c_str()) != 0) {
    const int err = errno;
    Abandon();
    errno = err;
    return false;
  }
  Temp.clear();
  // Make the rename itself durable; the new content is in place whatever this gives.
  const int dirFd = ::open(DirectoryOf(Target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dirFd >= 0) {
    ::fsync(dirFd);
    ::close(dirFd);
  }
  return true;
}

void TAtomicFile::Abandon() {
  const int err = errno; // callers report the failure that led here, not the clean-up's
  if (Fd >= 0) {
    ::close(Fd);
    Fd = -1;
  }
  if (!Temp.empty()) {
    ::unlink(Temp.c_str());
    Temp.clear();
  }
  errno = err;
}

} // namespace sonquarry
