#pragma once
// What the Win32 backend's files share: UTF-8 and UTF-16 converted, the system's error texts and
// their nearest errno values, and Winsock started once. Built only for Windows.

#include <cstdint>
#include <string>

namespace sonquarry::platform {

// UTF-8 to UTF-16 and back; an invalid sequence becomes U+FFFD.
std::wstring Widen(const std::string &Utf8);
std::string Narrow(const std::wstring &Utf16);
std::string Narrow(const wchar_t *Utf16, std::size_t Length);

// The system's text for a Win32 error code, without its trailing line end, with the code.
std::string WinErrorText(unsigned long Code);
// The errno value closest to a Win32 error code (EIO for one without a near match).
int ErrnoOfWinError(unsigned long Code);

// Starts Winsock 2.2 for the process, once; false when it cannot be started.
bool EnsureWinsock();

class TThread;

// While it lives, a Terminate of the calling TThread (on another thread: nothing) cancels the
// synchronous I/O the thread has in flight (CancelSynchronousIo): a directory call to a server
// that no longer answers ends then, not at the redirector's time-out. A Terminate that comes
// between two calls is seen by Terminated before the next.
class TCancelIoOnTerminate {
public:
  TCancelIoOnTerminate();
  ~TCancelIoOnTerminate();
  TCancelIoOnTerminate(const TCancelIoOnTerminate &) = delete;
  TCancelIoOnTerminate &operator=(const TCancelIoOnTerminate &) = delete;
  bool Terminated() const;

private:
  TThread *Thread_ = nullptr;
  void *Handle_ = nullptr; // the thread's, with the right to cancel its I/O
};

} // namespace sonquarry::platform
