// The holder lock on Windows: LockFileEx on one byte far past the end of FILE.lock, so that the
// holder's name at its start stays readable to the others (a Windows lock bars reads of its
// range). The system drops the lock with the process.
#include "platform/files/holder_lock.h"

#include <windows.h>

#include <cerrno>
#include <fcntl.h>
#include <io.h>
#include <share.h>
#include <string_view>
#include <sys/stat.h>
#include <system_error>

#include "platform/os/win32_api.h"

namespace sonquarry::files {

namespace {

constexpr DWORD LockOffsetHigh = 0x7fffffff;

bool Lock(HANDLE H) {
  OVERLAPPED O{};
  O.OffsetHigh = LockOffsetHigh;
  return ::LockFileEx(H, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &O);
}

std::string HolderOf(int Fd) {
  char Buf[256];
  ::_lseek(Fd, 0, SEEK_SET);
  const int N = ::_read(Fd, Buf, sizeof Buf - 1);
  const std::string_view Text(Buf, N > 0 ? size_t(N) : 0);
  const auto Space = Text.rfind(' ');
  if (Space == std::string_view::npos || Space == 0) return "another program";
  std::string Pid(Text.substr(Space + 1));
  while (!Pid.empty() && (Pid.back() == '\n' || Pid.back() == '\r')) Pid.pop_back();
  return std::string(Text.substr(0, Space)) + " (process " + Pid + ")";
}

} // namespace

THolderLock::~THolderLock() { Release(); }

bool THolderLock::Take(const std::string &File, const std::string &Program) {
  Release();
  Holder_.clear();
  Why_.clear();
  const int fd =
      ::_wsopen(platform::Widen(File + ".lock").c_str(),
                _O_RDWR | _O_CREAT | _O_BINARY | _O_NOINHERIT, _SH_DENYNO, _S_IREAD | _S_IWRITE);
  if (fd < 0) {
    Why_ = std::generic_category().message(errno);
    return false;
  }
  if (!Lock(reinterpret_cast<HANDLE>(::_get_osfhandle(fd)))) {
    const DWORD Rc = ::GetLastError();
    if (Rc == ERROR_LOCK_VIOLATION || Rc == ERROR_IO_PENDING)
      Holder_ = HolderOf(fd);
    else
      Why_ = platform::WinErrorText(Rc);
    ::_close(fd);
    return false;
  }
  Fd = fd;
  const std::string Says = Program + ' ' + std::to_string(::GetCurrentProcessId()) + '\n';
  if (::_chsize_s(Fd, 0) == 0 && ::_lseek(Fd, 0, SEEK_SET) == 0) {
    [[maybe_unused]] const int N = ::_write(Fd, Says.data(), unsigned(Says.size()));
  }
  return true;
}

void THolderLock::Release() {
  if (Fd < 0) return;
  ::_close(Fd); // closing the handle drops the lock
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
