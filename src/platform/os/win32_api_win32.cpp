#include "platform/os/win32_api.h"

#include <windows.h>
#include <winsock2.h>

#include <cerrno>
#include <mutex>

#include "platform/os/thread.h"

namespace sonquarry::platform {

std::wstring Widen(const std::string &Utf8) {
  if (Utf8.empty()) return {};
  const int N = ::MultiByteToWideChar(CP_UTF8, 0, Utf8.data(), int(Utf8.size()), nullptr, 0);
  std::wstring Out(std::size_t(N > 0 ? N : 0), L'\0');
  if (N > 0) ::MultiByteToWideChar(CP_UTF8, 0, Utf8.data(), int(Utf8.size()), Out.data(), N);
  return Out;
}

std::string Narrow(const wchar_t *Utf16, std::size_t Length) {
  if (Length == 0) return {};
  const int N = ::WideCharToMultiByte(CP_UTF8, 0, Utf16, int(Length), nullptr, 0, nullptr, nullptr);
  std::string Out(std::size_t(N > 0 ? N : 0), '\0');
  if (N > 0) ::WideCharToMultiByte(CP_UTF8, 0, Utf16, int(Length), Out.data(), N, nullptr, nullptr);
  return Out;
}

std::string Narrow(const std::wstring &Utf16) { return Narrow(Utf16.data(), Utf16.size()); }

std::string WinErrorText(unsigned long Code) {
  wchar_t *Buf = nullptr;
  const DWORD N = ::FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                       FORMAT_MESSAGE_IGNORE_INSERTS,
                                   nullptr, Code, 0, reinterpret_cast<wchar_t *>(&Buf), 0, nullptr);
  std::string Text = N && Buf ? Narrow(Buf, N) : std::string();
  if (Buf) ::LocalFree(Buf);
  while (!Text.empty() &&
         (Text.back() == '\n' || Text.back() == '\r' || Text.back() == ' ' || Text.back() == '.'))
    Text.pop_back();
  if (Text.empty()) Text = "system error";
  return Text + " (Windows error " + std::to_string(Code) + ")";
}

int ErrnoOfWinError(unsigned long Code) {
  switch (Code) {
  case ERROR_FILE_NOT_FOUND:
  case ERROR_PATH_NOT_FOUND:
  case ERROR_BAD_NETPATH:
  case ERROR_BAD_NET_NAME:
  case ERROR_INVALID_NAME:
    return ENOENT;
  case ERROR_ACCESS_DENIED:
  case ERROR_LOGON_FAILURE:
  case ERROR_SHARING_VIOLATION:
  case ERROR_LOCK_VIOLATION:
  case ERROR_NETWORK_ACCESS_DENIED:
    return EACCES;
  case ERROR_ALREADY_EXISTS:
  case ERROR_FILE_EXISTS:
    return EEXIST;
  case ERROR_DISK_FULL:
  case ERROR_HANDLE_DISK_FULL:
    return ENOSPC;
  case ERROR_NOT_ENOUGH_MEMORY:
  case ERROR_OUTOFMEMORY:
    return ENOMEM;
  case ERROR_OPERATION_ABORTED:
  case ERROR_CANCELLED:
    return ECANCELED;
  case ERROR_SEM_TIMEOUT:
    return ETIMEDOUT;
  case ERROR_NO_NETWORK:
  case ERROR_NETNAME_DELETED:
  case ERROR_UNEXP_NET_ERR:
  case ERROR_REM_NOT_LIST:
    return EHOSTUNREACH;
  case ERROR_DIRECTORY:
    return ENOTDIR;
  case ERROR_NOT_SUPPORTED:
    return ENOTSUP;
  default:
    return EIO;
  }
}

bool EnsureWinsock() {
  static std::once_flag Once;
  static bool Started = false;
  std::call_once(Once, [] {
    WSADATA Data{};
    Started = ::WSAStartup(MAKEWORD(2, 2), &Data) == 0;
  });
  return Started;
}

TCancelIoOnTerminate::TCancelIoOnTerminate() : Thread_(TThread::Current()) {
  if (!Thread_) return;
  // CancelSynchronousIo needs THREAD_TERMINATE on the thread's handle.
  Handle_ = ::OpenThread(THREAD_TERMINATE, FALSE, ::GetCurrentThreadId());
  if (HANDLE H = Handle_) Thread_->SetTerminateHook([H] { ::CancelSynchronousIo(H); });
}

TCancelIoOnTerminate::~TCancelIoOnTerminate() {
  if (!Handle_) return;
  Thread_->SetTerminateHook(nullptr);
  ::CloseHandle(Handle_);
}

bool TCancelIoOnTerminate::Terminated() const { return Thread_ && Thread_->Terminated(); }

} // namespace sonquarry::platform
