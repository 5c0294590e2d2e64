#pragma once
// The Windows network provider (WNet) and the Windows file search over UNC paths: the provider of
// the Win32 build, where the system itself is the SMB client. Built only for Windows.
//
// Stop: the calls are synchronous system calls on the calling (scanning) thread. A Terminate of
// that thread (a Stop) cancels the one in flight (CancelSynchronousIo) and fails the later ones
// at once, as broken ("stopped"), as killing the worker does on Linux. No worker processes.

#include <string>
#include <vector>

#include "platform/net/net_provider.h"

namespace sonquarry::net {

// "\\?\UNC\PC\share\dir" for "\\PC\share\dir": the form that lifts MAX_PATH and leaves names as
// they are (trailing dots and spaces too). Empty for a text that names no share.
std::wstring LongUncPath(const std::string &UncDir);

// Seconds since 1970 of a FILETIME's 100 ns ticks since 1601 (0 before 1970).
int64_t UnixTimeOfFileTime(uint64_t Ticks);

class TWNetProvider : public INetProvider {
public:
  // The children of Container through WNetOpenEnumW / WNetEnumResourceW (disk resources of the
  // whole network): every entry, reading again for as long as the system has more, with a buffer
  // grown to what ERROR_MORE_DATA asks for.
  NetEnumStatus EnumResources(const NetResource *Container, std::vector<NetResource> &Out,
                              NetError *Error = nullptr) override;
  // FindFirstFileExW / FindNextFileW on the directory's \\?\UNC\ path.
  bool FindFiles(const std::string &UncDir, std::vector<DirEntry> &Out,
                 NetError *Error = nullptr) override;
  // GetFileAttributesExW on the file's \\?\UNC\ path.
  bool StatFile(const std::string &UncPath, FileStat &Out, NetError *Error = nullptr) override;
};

} // namespace sonquarry::net
