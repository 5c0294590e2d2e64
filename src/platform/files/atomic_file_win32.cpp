// The atomic file on Windows: the temporary file beside the target is flushed
// (FlushFileBuffers) and put in its place by ReplaceFileW, which keeps the target's attributes and
// security, or MoveFileExW for a new target. The descriptor is the C runtime's, so the header is
// the same on both systems.
#include "platform/files/atomic_file.h"

#include <windows.h>

#include <cerrno>
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include "platform/os/win32_api.h"

namespace sonquarry::files {

namespace {

using platform::Widen;

bool SetErrnoFromWin(DWORD Code) {
  errno = platform::ErrnoOfWinError(Code);
  return false;
}

} // namespace

TAtomicFile::~TAtomicFile() { Abandon(); }

// Windows has no symbolic links that another user could plant where a user keeps his files
// without administrator rights: the path is taken as it is.
bool ResolveOwnLinks(const std::string &Path, std::string &Resolved) {
  Resolved = Path;
  return true;
}

bool TAtomicFile::Open(const std::string &TargetName, unsigned NewFileMode, bool KeepReadOnly) {
  (void)NewFileMode; // Windows files carry their folder's security instead
  Abandon();
  Target = TargetName;
  const DWORD Attr = ::GetFileAttributesW(Widen(Target).c_str());
  if (Attr != INVALID_FILE_ATTRIBUTES) {
    if (Attr & FILE_ATTRIBUTE_DIRECTORY) {
      errno = EISDIR;
      return false;
    }
    if (KeepReadOnly && (Attr & FILE_ATTRIBUTE_READONLY)) {
      errno = EACCES;
      return false;
    }
  }
  for (int N = 0; N < 100; ++N) {
    Temp = Target + ".tmp" + std::to_string(::GetCurrentProcessId()) +
           (N ? "." + std::to_string(N) : std::string());
    Fd = ::_wopen(Widen(Temp).c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY | _O_NOINHERIT,
                  _S_IREAD | _S_IWRITE);
    if (Fd >= 0) return true;
    if (errno != EEXIST) break;
  }
  Temp.clear();
  return false;
}

bool TAtomicFile::Write(const char *Data, size_t Size) {
  if (Fd < 0) {
    errno = EBADF;
    return false;
  }
  while (Size > 0) {
    const unsigned Piece = Size > (1u << 30) ? (1u << 30) : unsigned(Size);
    const int N = ::_write(Fd, Data, Piece);
    if (N <= 0) {
      if (N == 0) errno = ENOSPC;
      return false;
    }
    Data += N;
    Size -= size_t(N);
  }
  return true;
}

bool TAtomicFile::Commit() {
  if (Fd < 0) {
    errno = EBADF;
    return false;
  }
  const HANDLE H = reinterpret_cast<HANDLE>(::_get_osfhandle(Fd));
  if (!::FlushFileBuffers(H)) {
    const DWORD Rc = ::GetLastError();
    Abandon();
    return SetErrnoFromWin(Rc);
  }
  ::_close(Fd);
  Fd = -1;
  const std::wstring From = Widen(Temp), To = Widen(Target);
  bool Ok = ::GetFileAttributesW(To.c_str()) != INVALID_FILE_ATTRIBUTES &&
            ::ReplaceFileW(To.c_str(), From.c_str(), nullptr, REPLACEFILE_IGNORE_MERGE_ERRORS,
                           nullptr, nullptr);
  if (!Ok)
    Ok =
        ::MoveFileExW(From.c_str(), To.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
  if (!Ok) {
    const DWORD Rc = ::GetLastError();
    Abandon();
    return SetErrnoFromWin(Rc);
  }
  Temp.clear();
  return true;
}

void TAtomicFile::Abandon() {
  const int Err = errno;
  if (Fd >= 0) {
    ::_close(Fd);
    Fd = -1;
  }
  if (!Temp.empty()) {
    ::DeleteFileW(Widen(Temp).c_str());
    Temp.clear();
  }
  InPlace = false;
  errno = Err;
}

std::string KeepBackup(const std::string &Path, const std::string &Suffix) {
  const std::wstring Source = Widen(Path);
  for (int N = 1; N < 1000; ++N) {
    std::string Name = Path + Suffix;
    if (N > 1) Name += '.' + std::to_string(N);
    const std::wstring W = Widen(Name);
    if (::CreateHardLinkW(W.c_str(), Source.c_str(), nullptr)) return Name;
    DWORD Rc = ::GetLastError();
    if (Rc == ERROR_ALREADY_EXISTS || Rc == ERROR_FILE_EXISTS) continue;
    // No hard links here (FAT, a share): a copy, made only where no file is.
    if (::CopyFileW(Source.c_str(), W.c_str(), TRUE)) return Name;
    Rc = ::GetLastError();
    if (Rc == ERROR_ALREADY_EXISTS || Rc == ERROR_FILE_EXISTS) continue;
    SetErrnoFromWin(Rc);
    return {};
  }
  errno = EEXIST;
  return {};
}

} // namespace sonquarry::files
