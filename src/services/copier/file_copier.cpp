#include "services/copier/file_copier.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <random>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/os/diag.h"
#include "platform/os/errors.h"
#include "text/text.h"

namespace sonquarry::copier {
namespace {

constexpr size_t ChunkSize = 1 << 20;
constexpr size_t MaxNameBytes = 255; // NAME_MAX of Linux file systems
constexpr int MaxNumber = 100000;

std::string ErrnoText(const std::string &What, int Errno) {
  return What + ": " + platform::ErrnoText(Errno);
}

// Cuts Text to at most Bytes bytes without splitting a UTF-8 sequence.
std::string Utf8Prefix(const std::string &Text, size_t Bytes) {
  if (Text.size() <= Bytes) return Text;
  size_t n = Bytes;
  while (n > 0 && (static_cast<unsigned char>(Text[n]) & 0xC0) == 0x80) --n;
  return Text.substr(0, n);
}

// Splits at the extension's dot; a leading dot starts no extension.
void SplitExt(const std::string &Name, std::string &Stem, std::string &Ext) {
  const auto dot = Name.rfind('.');
  if (dot == std::string::npos || dot == 0) {
    Stem = Name;
    Ext.clear();
  } else {
    Stem = Name.substr(0, dot);
    Ext = Name.substr(dot);
  }
}

bool WriteAll(int Fd, const char *Data, size_t Size) {
  while (Size > 0) {
    const ssize_t n = ::write(Fd, Data, Size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    Data += n;
    Size -= static_cast<size_t>(n);
  }
  return true;
}

// Gives the finished temporary file the name Name unless that is taken (by anything, a dangling
// link included): true when done, false with errno (EEXIST: taken).
bool LinkNoReplace(int DirFd, const std::string &Temp, const std::string &Name) {
  if (::renameat2(DirFd, Temp.c_str(), DirFd, Name.c_str(), RENAME_NOREPLACE) == 0) return true;
  if (errno != EINVAL && errno != ENOSYS) return false;
  // File systems without RENAME_NOREPLACE: a hard link fails on an existing name as well.
  if (::linkat(DirFd, Temp.c_str(), DirFd, Name.c_str(), 0) != 0) return false;
  ::unlinkat(DirFd, Temp.c_str(), 0);
  return true;
}

} // namespace

std::string SafeLocalName(const std::string &UncPath) {
  const auto slash = UncPath.find_last_of('\\');
  std::string name = slash == std::string::npos ? UncPath : UncPath.substr(slash + 1);
  for (char &c : name)
    if (c == '/' || c == '\0') c = '_';
  if (name.empty() || name == "." || name == "..") name = "_" + name;
  // Room for " (100000)" so that every numbered name fits as well.
  constexpr size_t limit = MaxNameBytes - 9;
  if (name.size() > limit) {
    std::string stem, ext;
    SplitExt(name, stem, ext);
    if (ext.size() > 16) ext.clear();
    name = Utf8Prefix(stem, limit - ext.size()) + ext;
  }
  return name;
}

std::string NumberedName(const std::string &Name, int Number) {
  if (Number <= 1) return Name;
  std::string stem, ext;
  SplitExt(Name, stem, ext);
  return stem + " (" + std::to_string(Number) + ")" + ext;
}

TLocalCopySource::~TLocalCopySource() { Close(); }

bool TLocalCopySource::Open(const std::string &UncPath, int64_t &Size, std::string &Error) {
  Close();
  size_t pos = 0;
  while (pos < UncPath.size() && UncPath[pos] == '\\') ++pos;
  std::string rel;
  for (; pos < UncPath.size(); ++pos) rel += UncPath[pos] == '\\' ? '/' : UncPath[pos];
  std::string path = Root;
  if (!rel.empty() && rel.front() != '/') path += '/';
  path += rel;
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

void TFileCopier::Cancel() {
  Cancelled = true;
  Source.Cancel();
}

TCopyProgress TFileCopier::Progress() const {
  std::lock_guard<std::mutex> l(ProgressLock);
  return Current;
}

void TFileCopier::SetProgress(const TCopyProgress &P) {
  std::lock_guard<std::mutex> l(ProgressLock);
  Current = P;
}

void TFileCopier::Measure(const std::vector<std::string> &Sources) {
  {
    std::lock_guard<std::mutex> l(ProgressLock);
    Current.Measuring = true;
  }
  std::string ignored;
  for (size_t i = 0; i < Sources.size() && !Cancelled; ++i) {
    int64_t size = -1;
    if (Source.Open(Sources[i], size, ignored)) Source.Close();
    Sizes[i] = std::max<int64_t>(size, 0);
    std::lock_guard<std::mutex> l(ProgressLock);
    Current.TotalSize += Sizes[i];
  }
  std::lock_guard<std::mutex> l(ProgressLock);
  Current.Measuring = false;
}

int TFileCopier::Copy(const std::vector<std::string> &Sources, const std::string &Directory) {
  Copied.clear();
  Skipped.clear();
  Error.clear();
  Dir = Directory;
  Sizes.assign(Sources.size(), 0);
  SetProgress(TCopyProgress{});
  const int dirFd = ::open(Directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dirFd < 0) {
    Error = ErrnoText(Directory, errno);
    return 1;
  }
  if (MeasureFirst) Measure(Sources);
  std::vector<char> buffer(ChunkSize);
  int result = 0;
  bool skipAll = false;
  for (size_t i = 0; i < Sources.size() && result == 0; ++i) {
    TCopyProgress p = Progress();
    p.FileIndex = static_cast<int>(i);
    p.FileCount = static_cast<int>(Sources.size());
    const auto slash = Sources[i].find_last_of('\\');
    p.FileName = slash == std::string::npos ? Sources[i] : Sources[i].substr(slash + 1);
    p.FileDone = 0;
    p.FileSize = -1;
    SetProgress(p);
    result = Cancelled ? 2 : CopyOne(dirFd, Sources[i], Sizes[i], buffer);
    std::unique_lock<std::mutex> l(ProgressLock);
    if (result != 0) { // the file leaves the whole
      Current.TotalSize -= Sizes[i];
      Current.TotalDone -= Current.FileDone;
    }
    if (result == 1 && OnFailure) {
      Skipped.emplace_back(Sources[i], Error);
      l.unlock(); // the question may take long
      const TFailureAnswer a = skipAll ? TFailureAnswer::Skip : OnFailure(Sources[i], Error);
      l.lock();
      skipAll = skipAll || a == TFailureAnswer::SkipAll;
      result = a == TFailureAnswer::Cancel || Cancelled ? 2 : 0;
    }
    if (result == 0) ++Current.FilesDone;
  }
  ::close(dirFd);
  return result == 0 && !Skipped.empty() ? 1 : result;
}

int TFileCopier::CopyOne(int DirFd, const std::string &UncPath, int64_t &Sized,
                         std::vector<char> &Buffer) {
  int64_t size = -1;
  if (!Source.Open(UncPath, size, Error)) return Cancelled ? 2 : 1;
  struct TCloser {
    ICopySource &S;
    ~TCloser() { S.Close(); }
  } closer{Source};
  {
    std::lock_guard<std::mutex> l(ProgressLock);
    Current.FileSize = size;
    // Its size now, should it have changed since it was measured (or was not).
    Current.TotalSize += std::max<int64_t>(size, 0) - Sized;
    Sized = std::max<int64_t>(size, 0);
  }

  // The temporary file: hidden, never a name the user could have chosen.
  std::string temp;
  int fd = -1;
  std::random_device rd;
  for (int attempt = 0; fd < 0 && attempt < 100; ++attempt) {
    char suffix[16];
    std::snprintf(suffix, sizeof suffix, "%08x", static_cast<unsigned>(rd()));
    temp = std::string(".sonquarry-") + suffix + ".part";
    fd = ::openat(DirFd, temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0 && errno != EEXIST) break;
  }
  if (fd < 0) {
    Error = ErrnoText("cannot create a file in the destination", errno);
    return 1;
  }
  auto fail = [&](int Code) {
    ::close(fd);
    ::unlinkat(DirFd, temp.c_str(), 0);
    return Code;
  };

  int64_t done = 0;
  for (;;) {
    if (Cancelled) return fail(2);
    // Never past the size it was opened with (and one byte more, to tell that it grew): a file
    // that keeps growing would fill the disk.
    const size_t want =
        size < 0 ? Buffer.size()
                 : static_cast<size_t>(std::min<int64_t>(int64_t(Buffer.size()), size - done + 1));
    long n = Source.Read(Buffer.data(), want, Error);
    if (n < 0) return fail(Cancelled ? 2 : 1);
    if (n == 0) break;
    const bool grew = size >= 0 && done + n > size;
    if (grew) {
      platform::Diagnostic(UncPath + " grew while it was copied: the copy holds its first " +
                           std::to_string(size) + " bytes, the size it had when opened.");
      n = static_cast<long>(size - done);
    }
    if (n > 0 && !WriteAll(fd, Buffer.data(), static_cast<size_t>(n))) {
      Error = ErrnoText("write", errno);
      return fail(1);
    }
    done += n;
    {
      std::lock_guard<std::mutex> l(ProgressLock);
      Current.FileDone = done;
      Current.TotalDone += n;
    }
    if (grew) break;
  }
  if (size >= 0 && done != size) {
    Error =
        "the file ended after " + std::to_string(done) + " of " + std::to_string(size) + " bytes";
    return fail(1);
  }
  // On the disk before it gets its name: a crash then leaves the whole file or none.
  const bool synced = ::fsync(fd) == 0;
  if (::close(fd) != 0 || !synced) {
    Error = ErrnoText("write", errno);
    ::unlinkat(DirFd, temp.c_str(), 0);
    return 1;
  }
  if (Cancelled) {
    ::unlinkat(DirFd, temp.c_str(), 0);
    return 2;
  }
  const std::string base = SafeLocalName(UncPath);
  for (int n = 1; n <= MaxNumber; ++n) {
    const std::string name = NumberedName(base, n);
    if (LinkNoReplace(DirFd, temp, name)) {
      ::fsync(DirFd); // the name too
      Copied.push_back(Dir + (Dir.empty() || Dir.back() != '/' ? "/" : "") + name);
      return 0;
    }
    if (errno != EEXIST) {
      Error = ErrnoText(name, errno);
      break;
    }
  }
  if (Error.empty()) Error = "no free name for " + base;
  ::unlinkat(DirFd, temp.c_str(), 0);
  return 1;
}

} // namespace sonquarry::copier
