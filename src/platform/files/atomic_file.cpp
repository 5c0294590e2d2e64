#include "platform/files/atomic_file.h"

#include "platform/os/errors.h"
#include "text/text.h"

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
#include <vector>

namespace sonquarry::files {

bool ResolveOwnLinks(const std::string &Path, std::string &Resolved) {
  // Followed by hand, as the kernel would, so that each link's owner is seen: realpath() would
  // also follow a link that another user planted in a shared folder such as /tmp.
  std::vector<std::string> todo; // the components still to go, the next one last
  const auto push = [&todo](const std::string &P) {
    for (size_t end = P.size(); end > 0;) {
      const size_t slash = P.rfind('/', end - 1);
      const size_t begin = slash == std::string::npos ? 0 : slash + 1;
      if (end > begin) todo.emplace_back(P, begin, end - begin);
      if (slash == std::string::npos) break;
      end = slash;
    }
  };
  std::string done;
  if (Path.empty() || Path[0] != '/') {
    char cwd[PATH_MAX];
    if (!::getcwd(cwd, sizeof cwd)) return false;
    done = cwd;
    if (done == "/") done.clear();
  }
  push(Path);
  int links = 0;
  while (!todo.empty()) {
    const std::string part = std::move(todo.back());
    todo.pop_back();
    if (part == ".") continue;
    if (part == "..") {
      done.resize(done.empty() ? 0 : done.rfind('/'));
      continue;
    }
    const std::string next = done + '/' + part;
    struct stat st;
    if (::lstat(next.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) {
      done = next; // a missing part stays as written: open() or rename() tells the error
      continue;
    }
    if (st.st_uid != ::geteuid() && st.st_uid != 0) {
      errno = platform::ForeignLinkErr;
      return false;
    }
    if (++links > 40) {
      errno = ELOOP;
      return false;
    }
    std::string target(PATH_MAX, '\0'); // st_size is 0 for the links of /proc
    const ssize_t n = ::readlink(next.c_str(), target.data(), target.size());
    if (n < 0) return false;
    target.resize(static_cast<size_t>(n));
    if (!target.empty() && target[0] == '/') done.clear();
    push(target);
  }
  // Without a link on the way the name stays as the caller gave it.
  char real[PATH_MAX];
  struct stat st;
  if (links == 0)
    Resolved = Path;
  else if (::realpath(Path.c_str(), real))
    Resolved = real;
  else if (::stat(Path.c_str(), &st) == 0)
    Resolved = Path; // a pipe behind /proc/self/fd: the kernel opens it, but it has no name
  else
    Resolved = done.empty() ? "/" : done; // a link to a file still to be made
  return true;
}

namespace {

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
  if (!ResolveOwnLinks(ATarget, Target)) {
    Target = ATarget;
    return false;
  }
  if (KeepReadOnly && ReadOnlyFile(Target)) {
    errno = EACCES;
    return false;
  }
  struct stat st;
  if (::stat(Target.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
    if (S_ISDIR(st.st_mode)) {
      errno = EISDIR;
      return false;
    }
    // A device or a pipe is written as it stands: there is no file to replace.
    Fd = ::open(Target.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC);
    InPlace = Fd >= 0;
    return InPlace;
  }
  const std::string dir = platform::DirOf(Target);
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
  if (InPlace) {
    const bool closed = ::close(Fd) == 0;
    Fd = -1;
    InPlace = false;
    return closed;
  }
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
  const int dirFd = ::open(platform::DirOf(Target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dirFd >= 0) {
    ::fsync(dirFd);
    ::close(dirFd);
  }
  return true;
}

std::string KeepBackup(const std::string &Path, const std::string &Suffix) {
  std::string source;
  if (!ResolveOwnLinks(Path, source)) return {};
  for (int n = 1; n < 1000; ++n) {
    std::string name = Path + Suffix;
    if (n > 1) name += '.' + std::to_string(n);
    if (::linkat(AT_FDCWD, source.c_str(), AT_FDCWD, name.c_str(), 0) == 0) return name;
    if (errno == EEXIST) continue;
    if (errno != EPERM && errno != EXDEV && errno != EMLINK && errno != EOPNOTSUPP) return {};
    // No hard links here: a copy, created only where no file is.
    std::error_code ec;
    if (std::filesystem::copy_file(source, name, std::filesystem::copy_options::none, ec))
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
  InPlace = false;
  if (!Temp.empty()) {
    ::unlink(Temp.c_str());
    Temp.clear();
  }
  errno = err;
}

} // namespace sonquarry::files
