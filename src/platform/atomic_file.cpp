#include "platform/atomic_file.h"

#include "platform/text.h"

#include <cctype>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <signal.h>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

namespace sonquarry::platform {

namespace {

// The file a save really replaces: the target of a symbolic link, so that the link survives.
std::string ResolveTarget(const std::string &Path) {
  struct stat st;
  if (lstat(Path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return Path;
  char buf[PATH_MAX];
  if (realpath(Path.c_str(), buf) != nullptr) return buf;
  return Path;
}

// "." + Base + ".PID.HEX.tmp": the pid of the process that wrote it; 0 for another name.
long TempOwner(std::string_view Name, std::string_view Base) {
  if (Name.size() < Base.size() + 7 || Name[0] != '.' || Name.substr(1, Base.size()) != Base ||
      Name.substr(Base.size() + 1, 1) != "." || Name.substr(Name.size() - 4) != ".tmp")
    return 0;
  const std::string_view mid = Name.substr(Base.size() + 2, Name.size() - Base.size() - 6);
  const auto dot = mid.find('.');
  if (dot == 0 || dot == std::string_view::npos || dot + 1 == mid.size()) return 0;
  long pid = 0;
  for (const char c : mid.substr(0, dot)) {
    if (c < '0' || c > '9' || pid > 100000000) return 0;
    pid = pid * 10 + (c - '0');
  }
  for (const char c : mid.substr(dot + 1))
    if (!std::isxdigit(static_cast<unsigned char>(c))) return 0;
  return pid;
}

// Removes the temporary files for Base in Dir whose writer is gone (a killed save).
void RemoveStaleTemps(const std::string &Dir, const std::string &Base) {
  DIR *d = ::opendir(Dir.c_str());
  if (!d) return;
  while (const dirent *e = ::readdir(d)) {
    const long pid = TempOwner(e->d_name, Base);
    if (pid <= 0 || pid == static_cast<long>(::getpid())) continue;
    if (::kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH) continue; // still saving
    ::unlinkat(::dirfd(d), e->d_name, 0);
  }
  ::closedir(d);
}

bool ReadOnlyFile(const std::string &Path) {
  struct stat st;
  if (::stat(Path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  return (st.st_mode & 0222) == 0 || ::access(Path.c_str(), W_OK) != 0;
}

} // namespace

TAtomicFile::~TAtomicFile() { Abandon(); }

bool TAtomicFile::Open(const std::string &ATarget, unsigned NewFileMode, bool KeepReadOnly) {
  Abandon();
  Target = ResolveTarget(ATarget);
  if (KeepReadOnly && ReadOnlyFile(Target)) {
    errno = EACCES;
    return false;
  }
  const std::string dir = DirOf(Target);
  const auto slash = Target.rfind('/');
  const std::string base = slash == std::string::npos ? Target : Target.substr(slash + 1);
  RemoveStaleTemps(dir, base);
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
  const int dirFd = ::open(DirOf(Target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dirFd >= 0) {
    ::fsync(dirFd);
    ::close(dirFd);
  }
  return true;
}

std::string KeepBackup(const std::string &Path, const std::string &Suffix) {
  for (int n = 1; n < 1000; ++n) {
    std::string name = Path + Suffix;
    if (n > 1) name += '.' + std::to_string(n);
    if (::linkat(AT_FDCWD, Path.c_str(), AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW) == 0)
      return name;
    if (errno == EEXIST) continue;
    if (errno != EPERM && errno != EXDEV && errno != EMLINK && errno != EOPNOTSUPP) return {};
    // No hard links here: a copy, created only where no file is.
    std::error_code ec;
    if (std::filesystem::copy_file(Path, name, std::filesystem::copy_options::none, ec))
      return name;
    if (ec == std::errc::file_exists) continue;
    errno = ec.value();
    return {};
  }
  errno = EEXIST;
  return {};
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

} // namespace sonquarry::platform
