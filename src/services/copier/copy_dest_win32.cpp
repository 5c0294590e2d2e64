// The destination folder on Windows: the system's own copy (CopyFileExW, with its progress
// routine and its cancel flag, and CancelSynchronousIo for a read in flight) into a hidden
// temporary file, flushed (FlushFileBuffers), then given its name by MoveFileExW without
// MOVEFILE_REPLACE_EXISTING, which never replaces a file.
#include "services/copier/copy_dest.h"

#include <windows.h>

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <io.h>
#include <random>
#include <sys/stat.h>

#include "platform/os/errors.h"
#include "platform/os/win32_api.h"
#include "services/copier/file_copier.h"

namespace sonquarry::copier {
namespace {

using platform::Widen;

std::string WinText(const std::string &What, DWORD Code) {
  return What + ": " + platform::WinErrorText(Code);
}

struct TProgressContext {
  const std::function<void(int64_t, int64_t)> *OnProgress;
  int64_t Done = 0;
};

DWORD CALLBACK CopyProgress(LARGE_INTEGER TotalSize, LARGE_INTEGER Transferred, LARGE_INTEGER,
                            LARGE_INTEGER, DWORD, DWORD, HANDLE, HANDLE, LPVOID Data) {
  auto *C = static_cast<TProgressContext *>(Data);
  C->Done = Transferred.QuadPart;
  (*C->OnProgress)(Transferred.QuadPart, TotalSize.QuadPart);
  return PROGRESS_CONTINUE;
}

// Hidden, never a name the user could have chosen.
std::string TempName() {
  static thread_local std::mt19937 Random{std::random_device{}()};
  char Suffix[16];
  std::snprintf(Suffix, sizeof Suffix, "%08x", static_cast<unsigned>(Random()));
  return std::string(".sonquarry-") + Suffix + ".part";
}

} // namespace

TCopyDest::~TCopyDest() { Close(); }

bool TCopyDest::Open(const std::string &Dir, std::string &Error) {
  Close();
  Dir_ = Dir;
  const DWORD Attr = ::GetFileAttributesW(Widen(Dir).c_str());
  if (Attr == INVALID_FILE_ATTRIBUTES) {
    Error = WinText(Dir, ::GetLastError());
    return false;
  }
  if (!(Attr & FILE_ATTRIBUTE_DIRECTORY)) {
    Error = Dir + ": " + platform::ErrnoText(ENOTDIR);
    return false;
  }
  return true;
}

void TCopyDest::Close() { Discard(); }

bool TCopyDest::CreateTemp(std::string &Error) {
  DWORD Code = ERROR_FILE_EXISTS;
  for (int Attempt = 0; Attempt < 100 && Code == ERROR_FILE_EXISTS; ++Attempt) {
    Temp_ = TempName();
    const HANDLE H = ::CreateFileW(Widen(PathOf(Temp_)).c_str(), GENERIC_WRITE, 0, nullptr,
                                   CREATE_NEW, FILE_ATTRIBUTE_HIDDEN, nullptr);
    if (H != INVALID_HANDLE_VALUE) {
      File_ = H;
      return true;
    }
    Code = ::GetLastError();
  }
  Temp_.clear();
  Error = WinText("cannot create a file in the destination", Code);
  return false;
}

bool TCopyDest::Write(const char *Data, std::size_t Size, std::string &Error) {
  while (Size > 0) {
    DWORD Written = 0;
    const DWORD Want = Size > (1u << 30) ? (1u << 30) : static_cast<DWORD>(Size);
    if (!::WriteFile(File_, Data, Want, &Written, nullptr)) {
      Error = WinText("write", ::GetLastError());
      return false;
    }
    Data += Written;
    Size -= Written;
  }
  return true;
}

bool TCopyDest::SystemCopies() { return true; }

int64_t TCopyDest::SystemSize(const std::string &Path) {
  WIN32_FILE_ATTRIBUTE_DATA D;
  if (!::GetFileAttributesExW(Widen(Path).c_str(), GetFileExInfoStandard, &D)) return -1;
  return (int64_t(D.nFileSizeHigh) << 32) | D.nFileSizeLow;
}

int TCopyDest::CopySystemFile(const std::string &Path,
                              const std::function<void(int64_t, int64_t)> &OnProgress,
                              int64_t &Done, std::string &Error) {
  TProgressContext Context{&OnProgress};
  DWORD Code = ERROR_FILE_EXISTS;
  auto Taken = [&Code] { return Code == ERROR_FILE_EXISTS || Code == ERROR_ALREADY_EXISTS; };
  {
    // CancelSynchronousIo needs THREAD_TERMINATE on the thread's handle.
    std::lock_guard<std::mutex> L(CopyingLock_);
    Copying_ = ::OpenThread(THREAD_TERMINATE, FALSE, ::GetCurrentThreadId());
  }
  for (int Attempt = 0; Attempt < 100 && Taken(); ++Attempt) {
    Temp_ = TempName();
    // CopyFileExW reads the flag between its chunks; a set flag ends the copy and removes what
    // it wrote.
    if (::CopyFileExW(Widen(Path).c_str(), Widen(PathOf(Temp_)).c_str(), CopyProgress, &Context,
                      &CancelFlag_, COPY_FILE_FAIL_IF_EXISTS)) {
      Code = ERROR_SUCCESS;
      break;
    }
    Code = ::GetLastError();
  }
  {
    std::lock_guard<std::mutex> L(CopyingLock_);
    if (Copying_) ::CloseHandle(Copying_);
    Copying_ = nullptr;
  }
  if (Code != ERROR_SUCCESS) {
    // Not there before (it would have failed as existing): what a failed copy left is this one's.
    if (!Taken()) Discard();
    Temp_.clear();
    if (Code == ERROR_REQUEST_ABORTED ||
        ::InterlockedCompareExchange(reinterpret_cast<LONG volatile *>(&CancelFlag_), 0, 0) != 0)
      return 2;
    Error = WinText(Path, Code);
    return 1;
  }
  // The temporary file copied the source's attributes (read-only among them): it is reopened to
  // flush it, cut it, and give it its name.
  const std::wstring Temp = Widen(PathOf(Temp_));
  ::SetFileAttributesW(Temp.c_str(), FILE_ATTRIBUTE_HIDDEN);
  File_ = ::CreateFileW(Temp.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                        FILE_ATTRIBUTE_NORMAL, nullptr);
  if (File_ == INVALID_HANDLE_VALUE) {
    File_ = nullptr;
    Error = WinText("write", ::GetLastError());
    Discard();
    return 1;
  }
  LARGE_INTEGER Size;
  Done = ::GetFileSizeEx(File_, &Size) ? Size.QuadPart : Context.Done;
  OnProgress(Done, -1);
  return 0;
}

bool TCopyDest::Truncate(int64_t Size, std::string &Error) {
  FILE_END_OF_FILE_INFO Info;
  Info.EndOfFile.QuadPart = Size;
  if (::SetFileInformationByHandle(File_, FileEndOfFileInfo, &Info, sizeof Info)) return true;
  Error = WinText("write", ::GetLastError());
  return false;
}

bool TCopyDest::Finish(std::string &Error) {
  // On the disk before it gets its name: a crash then leaves the whole file or none.
  const bool Flushed = ::FlushFileBuffers(File_);
  const DWORD Code = ::GetLastError();
  ::CloseHandle(File_);
  File_ = nullptr;
  ::SetFileAttributesW(Widen(PathOf(Temp_)).c_str(), FILE_ATTRIBUTE_NORMAL);
  if (Flushed) return true;
  Error = WinText("write", Code);
  return false;
}

void TCopyDest::Discard() {
  if (File_) ::CloseHandle(File_);
  File_ = nullptr;
  if (!Temp_.empty()) {
    const std::wstring Temp = Widen(PathOf(Temp_));
    ::SetFileAttributesW(Temp.c_str(), FILE_ATTRIBUTE_NORMAL);
    ::DeleteFileW(Temp.c_str());
  }
  Temp_.clear();
}

TCopyDest::TNaming TCopyDest::Publish(const std::string &Name, std::string &Error) {
  if (::MoveFileExW(Widen(PathOf(Temp_)).c_str(), Widen(PathOf(Name)).c_str(),
                    MOVEFILE_WRITE_THROUGH)) {
    Temp_.clear();
    return TNaming::Done;
  }
  const DWORD Code = ::GetLastError();
  // A folder of that name answers "access denied".
  if (Code == ERROR_ALREADY_EXISTS || Code == ERROR_FILE_EXISTS ||
      (Code == ERROR_ACCESS_DENIED &&
       ::GetFileAttributesW(Widen(PathOf(Name)).c_str()) != INVALID_FILE_ATTRIBUTES))
    return TNaming::Taken;
  Error = WinText(Name, Code);
  return TNaming::Failed;
}

std::string TCopyDest::PathOf(const std::string &Name) const {
  return Dir_ + (Dir_.empty() || (Dir_.back() != '/' && Dir_.back() != '\\') ? "\\" : "") + Name;
}

std::string TCopyDest::SystemName(const std::string &Name) { return SafeWindowsName(Name); }

void TCopyDest::Cancel() {
  ::InterlockedExchange(reinterpret_cast<LONG volatile *>(&CancelFlag_), TRUE);
  // The flag is read between chunks; a read that waits on a server ends here.
  std::lock_guard<std::mutex> L(CopyingLock_);
  if (Copying_) ::CancelSynchronousIo(Copying_);
}

// The redirector opens \\PC\share\... itself; the long form lifts MAX_PATH.
std::string SystemPathOfUnc(const std::string &UncPath) {
  if (UncPath.size() < 3 || UncPath[0] != '\\' || UncPath[1] != '\\') return {};
  return "\\\\?\\UNC\\" + UncPath.substr(2);
}

TLocalCopySource::~TLocalCopySource() { Close(); }

bool TLocalCopySource::Open(const std::string &UncPath, int64_t &Size, std::string &Error) {
  Close();
  const std::string Path = LocalPathOfUnc(Root, UncPath);
  Fd = ::_wopen(Widen(Path).c_str(), _O_RDONLY | _O_BINARY | _O_NOINHERIT);
  if (Fd < 0) {
    Error = Path + ": " + platform::ErrnoText(errno);
    return false;
  }
  struct _stati64 St;
  Size = ::_fstati64(Fd, &St) == 0 ? St.st_size : -1;
  return true;
}

long TLocalCopySource::Read(char *Buffer, size_t Capacity, std::string &Error) {
  const int N = ::_read(Fd, Buffer, Capacity > (1u << 30) ? (1u << 30) : unsigned(Capacity));
  if (N < 0) Error = "read: " + platform::ErrnoText(errno);
  return N;
}

void TLocalCopySource::Close() {
  if (Fd >= 0) ::_close(Fd);
  Fd = -1;
}

} // namespace sonquarry::copier
