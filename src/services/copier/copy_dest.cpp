#include "services/copier/copy_dest.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <random>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/os/errors.h"
#include "services/copier/file_copier.h"

namespace sonquarry::copier {
namespace {

std::string ErrnoText(const std::string &What, int Errno) {
  return What + ": " + platform::ErrnoText(Errno);
}

// Gives the finished temporary file the name Name unless that is taken: true when done, false
// with errno (EEXIST: taken).
bool LinkNoReplace(int DirFd, const std::string &Temp, const std::string &Name) {
  if (::renameat2(DirFd, Temp.c_str(), DirFd, Name.c_str(), RENAME_NOREPLACE) == 0) return true;
  if (errno != EINVAL && errno != ENOSYS) return false;
  // File systems without RENAME_NOREPLACE: a hard link fails on an existing name as well.
  if (::linkat(DirFd, Temp.c_str(), DirFd, Name.c_str(), 0) != 0) return false;
  ::unlinkat(DirFd, Temp.c_str(), 0);
  return true;
}

} // namespace

TCopyDest::~TCopyDest() { Close(); }

bool TCopyDest::Open(const std::string &Dir, std::string &Error) {
  Close();
  Dir_ = Dir;
  DirFd_ = ::open(Dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (DirFd_ < 0) Error = ErrnoText(Dir, errno);
  return DirFd_ >= 0;
}

void TCopyDest::Close() {
  Discard();
  if (DirFd_ >= 0) ::close(DirFd_);
  DirFd_ = -1;
}

bool TCopyDest::CreateTemp(std::string &Error) {
  // Hidden, never a name the user could have chosen.
  std::random_device rd;
  for (int attempt = 0; Fd_ < 0 && attempt < 100; ++attempt) {
    char suffix[16];
    std::snprintf(suffix, sizeof suffix, "%08x", static_cast<unsigned>(rd()));
    Temp_ = std::string(".sonquarry-") + suffix + ".part";
    Fd_ = ::openat(DirFd_, Temp_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (Fd_ < 0 && errno != EEXIST) break;
  }
  if (Fd_ >= 0) return true;
  Error = ErrnoText("cannot create a file in the destination", errno);
  Temp_.clear();
  return false;
}

bool TCopyDest::Write(const char *Data, std::size_t Size, std::string &Error) {
  while (Size > 0) {
    const ssize_t n = ::write(Fd_, Data, Size);
    if (n < 0) {
      if (errno == EINTR) continue;
      Error = ErrnoText("write", errno);
      return false;
    }
    Data += n;
    Size -= static_cast<size_t>(n);
  }
  return true;
}

// The copier reads through its source here: the system's own copy is Windows'.
bool TCopyDest::SystemCopies() { return false; }
int64_t TCopyDest::SystemSize(const std::string &) { return -1; }
int TCopyDest::CopySystemFile(const std::string &, const std::function<void(int64_t, int64_t)> &,
                              int64_t &, std::string &Error) {
  Error = ErrnoText("system copy", ENOTSUP);
  return 1;
}

bool TCopyDest::Truncate(int64_t Size, std::string &Error) {
  if (::ftruncate(Fd_, Size) == 0) return true;
  Error = ErrnoText("write", errno);
  return false;
}

bool TCopyDest::Finish(std::string &Error) {
  // On the disk before it gets its name: a crash then leaves the whole file or none.
  const bool synced = ::fsync(Fd_) == 0;
  const bool closed = ::close(Fd_) == 0;
  Fd_ = -1;
  if (closed && synced) return true;
  Error = ErrnoText("write", errno);
  return false;
}

void TCopyDest::Discard() {
  if (Fd_ >= 0) ::close(Fd_);
  Fd_ = -1;
  if (!Temp_.empty()) ::unlinkat(DirFd_, Temp_.c_str(), 0);
  Temp_.clear();
}

TCopyDest::TNaming TCopyDest::Publish(const std::string &Name, std::string &Error) {
  if (LinkNoReplace(DirFd_, Temp_, Name)) {
    Temp_.clear();
    ::fsync(DirFd_); // the name too
    return TNaming::Done;
  }
  if (errno == EEXIST) return TNaming::Taken;
  Error = ErrnoText(Name, errno);
  return TNaming::Failed;
}

std::string TCopyDest::PathOf(const std::string &Name) const {
  return Dir_ + (Dir_.empty() || Dir_.back() != '/' ? "/" : "") + Name;
}

std::string TCopyDest::SystemName(const std::string &Name) { return Name; }

void TCopyDest::Cancel() {}

std::string SystemPathOfUnc(const std::string &) { return {}; }

TLocalCopySource::~TLocalCopySource() { Close(); }

bool TLocalCopySource::Open(const std::string &UncPath, int64_t &Size, std::string &Error) {
  Close();
  const std::string path = LocalPathOfUnc(Root, UncPath);
  Fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (Fd < 0) {
    Error = ErrnoText(path, errno);
    return false;
  }
  struct stat st;
  Size = ::fstat(Fd, &st) == 0 ? st.st_size : -1;
  return true;
}

long TLocalCopySource::Read(char *Buffer, size_t Capacity, std::string &Error) {
  for (;;) {
    const ssize_t n = ::read(Fd, Buffer, Capacity);
    if (n >= 0) return static_cast<long>(n);
    if (errno != EINTR) {
      Error = ErrnoText("read", errno);
      return -1;
    }
  }
}

void TLocalCopySource::Close() {
  if (Fd >= 0) ::close(Fd);
  Fd = -1;
}

} // namespace sonquarry::copier
