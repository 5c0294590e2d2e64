// The holder lock's file on Windows: LockFileEx on one byte far past the end of FILE.lock, so that
// the holder's name at its start stays readable to the others (a Windows lock bars reads of its
// range). The system drops the lock with the process.
#include "platform/files/holder_lock_os.h"

#include <windows.h>

#include <cerrno>
#include <fcntl.h>
#include <io.h>
#include <share.h>
#include <sys/stat.h>
#include <system_error>

#include "platform/os/win32_api.h"

namespace sonquarry::files {

namespace {

constexpr DWORD LockOffsetHigh = 0x7fffffff;

} // namespace

int OpenLockFile(const std::string &Path, std::string &Why) {
  const int Fd =
      ::_wsopen(platform::Widen(Path).c_str(), _O_RDWR | _O_CREAT | _O_BINARY | _O_NOINHERIT,
                _SH_DENYNO, _S_IREAD | _S_IWRITE);
  if (Fd < 0) Why = std::generic_category().message(errno);
  return Fd;
}

TLockTry TryLockFile(int Fd, std::string &Why) {
  OVERLAPPED O{};
  O.OffsetHigh = LockOffsetHigh;
  if (::LockFileEx(reinterpret_cast<HANDLE>(::_get_osfhandle(Fd)),
                   LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &O))
    return TLockTry::Taken;
  const DWORD Rc = ::GetLastError();
  if (Rc == ERROR_LOCK_VIOLATION || Rc == ERROR_IO_PENDING) return TLockTry::Held;
  Why = platform::WinErrorText(Rc);
  return TLockTry::Failed;
}

std::string ReadLockFile(int Fd) {
  char Buf[256];
  ::_lseek(Fd, 0, SEEK_SET);
  const int N = ::_read(Fd, Buf, sizeof Buf - 1);
  return std::string(Buf, N > 0 ? size_t(N) : 0);
}

void WriteLockFile(int Fd, const std::string &Text) {
  if (::_chsize_s(Fd, 0) == 0 && ::_lseek(Fd, 0, SEEK_SET) == 0) {
    [[maybe_unused]] const int N = ::_write(Fd, Text.data(), unsigned(Text.size()));
  }
}

void CloseLockFile(int Fd) { ::_close(Fd); }

unsigned long CurrentProcessId() { return ::GetCurrentProcessId(); }

} // namespace sonquarry::files
