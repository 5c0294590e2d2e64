#include "platform/net/wnet_provider.h"

#include <windows.h>
#include <winnetwk.h>

#include <cerrno>
#include <vector>

#include "platform/net/unc_path.h"
#include "platform/os/win32_api.h"

namespace sonquarry::net {

using platform::Narrow;
using platform::Widen;

namespace {

// Seconds from 1601-01-01 to 1970-01-01.
constexpr uint64_t EpochDelta = 11644473600ull;

void Fail(NetError *Error, DWORD Code, const std::string &What) {
  if (!Error) return;
  Error->Code = platform::ErrnoOfWinError(Code);
  Error->Message = What + ": " + platform::WinErrorText(Code);
  Error->Broken = false;
}

// A call that a Stop ended (or that a Stop came before): the provider's own failure.
void Stopped(NetError *Error, const std::string &What) {
  if (!Error) return;
  Error->Code = ECANCELED;
  Error->Message = What + ": stopped";
  Error->Broken = true;
}

std::string Str(const wchar_t *S) { return S ? Narrow(std::wstring(S)) : std::string(); }

NetResource FromSystem(const NETRESOURCEW &R) {
  NetResource Out;
  Out.Scope = int32_t(R.dwScope);
  Out.Type = int32_t(R.dwType);
  Out.DisplayType = int32_t(R.dwDisplayType);
  Out.Usage = int32_t(R.dwUsage);
  Out.LocalName = Str(R.lpLocalName);
  Out.RemoteName = Str(R.lpRemoteName);
  Out.Comment = Str(R.lpComment);
  Out.Provider = Str(R.lpProvider);
  return Out;
}

class TEnumHandle {
public:
  ~TEnumHandle() {
    if (H) ::WNetCloseEnum(H);
  }
  HANDLE H = nullptr;
};

} // namespace

std::wstring LongUncPath(const std::string &UncDir) {
  const UncPath P = UncPath::Parse(UncDir);
  if (P.Server.empty() || P.Share.empty()) return {};
  std::string Path = "\\\\?\\UNC\\" + P.Server + '\\' + P.Share;
  if (!P.Rest.empty()) Path += '\\' + P.Rest;
  return Widen(Path);
}

int64_t UnixTimeOfFileTime(uint64_t Ticks) {
  const uint64_t Seconds = Ticks / 10000000ull;
  return Seconds <= EpochDelta ? 0 : int64_t(Seconds - EpochDelta);
}

NetEnumStatus TWNetProvider::EnumResources(const NetResource *Container,
                                           std::vector<NetResource> &Out, NetError *Error) {
  NETRESOURCEW C{};
  std::wstring Local, Remote, Comment, Provider;
  if (Container) {
    Local = Widen(Container->LocalName);
    Remote = Widen(Container->RemoteName);
    Comment = Widen(Container->Comment);
    Provider = Widen(Container->Provider);
    C.dwScope = DWORD(Container->Scope);
    C.dwType = DWORD(Container->Type);
    C.dwDisplayType = DWORD(Container->DisplayType);
    C.dwUsage = DWORD(Container->Usage);
    C.lpLocalName = Local.empty() ? nullptr : Local.data();
    C.lpRemoteName = Remote.empty() ? nullptr : Remote.data();
    C.lpComment = Comment.empty() ? nullptr : Comment.data();
    C.lpProvider = Provider.empty() ? nullptr : Provider.data();
  }
  const std::string Name = Container ? Container->RemoteName : std::string("the network");
  const platform::TCancelIoOnTerminate Cancel;
  if (Cancel.Terminated()) {
    Stopped(Error, "WNetOpenEnum " + Name);
    return NetEnumStatus::OpenFailed;
  }
  TEnumHandle E;
  DWORD Rc =
      ::WNetOpenEnumW(RESOURCE_GLOBALNET, RESOURCETYPE_DISK, 0, Container ? &C : nullptr, &E.H);
  if (Rc != NO_ERROR) {
    E.H = nullptr;
    if (Cancel.Terminated())
      Stopped(Error, "WNetOpenEnum " + Name);
    else
      Fail(Error, Rc, "WNetOpenEnum " + Name);
    return NetEnumStatus::OpenFailed;
  }
  // 16 KB is what the system suggests; an entry larger than the buffer asks for more.
  std::vector<unsigned char> Buf(16384);
  const std::size_t Before = Out.size();
  for (;;) {
    DWORD Count = DWORD(-1);
    DWORD Size = DWORD(Buf.size());
    Rc = Cancel.Terminated() ? ERROR_OPERATION_ABORTED
                             : ::WNetEnumResourceW(E.H, &Count, Buf.data(), &Size);
    if (Rc == ERROR_MORE_DATA) {
      // Not even one entry fitted: Size says what one needs.
      Buf.resize(std::max<std::size_t>(Size, Buf.size() * 2));
      continue;
    }
    if (Rc == ERROR_NO_MORE_ITEMS) break;
    if (Rc != NO_ERROR) {
      if (Cancel.Terminated())
        Stopped(Error, "WNetEnumResource " + Name);
      else
        Fail(Error, Rc, "WNetEnumResource " + Name);
      return Out.size() > Before ? NetEnumStatus::Ok : NetEnumStatus::ReadFailed;
    }
    const auto *R = reinterpret_cast<const NETRESOURCEW *>(Buf.data());
    for (DWORD I = 0; I < Count; ++I) Out.push_back(FromSystem(R[I]));
  }
  return Out.size() > Before ? NetEnumStatus::Ok : NetEnumStatus::NoMoreItems;
}

bool TWNetProvider::FindFiles(const std::string &UncDir, std::vector<DirEntry> &Out,
                              NetError *Error) {
  std::wstring Dir = LongUncPath(UncDir);
  if (Dir.empty()) {
    Fail(Error, ERROR_BAD_NETPATH, "FindFirstFile " + UncDir);
    return false;
  }
  const platform::TCancelIoOnTerminate Cancel;
  if (Cancel.Terminated()) {
    Stopped(Error, "FindFirstFile " + UncDir);
    return false;
  }
  WIN32_FIND_DATAW D{};
  HANDLE H = ::FindFirstFileExW((Dir + L"\\*").c_str(), FindExInfoBasic, &D, FindExSearchNameMatch,
                                nullptr, FIND_FIRST_EX_LARGE_FETCH);
  if (H == INVALID_HANDLE_VALUE) {
    const DWORD Rc = ::GetLastError();
    if (Cancel.Terminated()) {
      Stopped(Error, "FindFirstFile " + UncDir);
      return false;
    }
    if (Rc == ERROR_FILE_NOT_FOUND) return true; // a root without "." and "..": empty
    Fail(Error, Rc, "FindFirstFile " + UncDir);
    return false;
  }
  bool Ok = true;
  do {
    DirEntry E;
    E.Name = Narrow(std::wstring(D.cFileName));
    E.Directory = (D.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    E.Size = E.Directory ? -1 : int64_t((uint64_t(D.nFileSizeHigh) << 32) | D.nFileSizeLow);
    E.WriteTime = UnixTimeOfFileTime((uint64_t(D.ftLastWriteTime.dwHighDateTime) << 32) |
                                     D.ftLastWriteTime.dwLowDateTime);
    Out.push_back(std::move(E));
  } while (!Cancel.Terminated() && ::FindNextFileW(H, &D));
  if (Cancel.Terminated()) {
    Stopped(Error, "FindNextFile " + UncDir);
    Ok = false;
  } else if (const DWORD Rc = ::GetLastError(); Rc != ERROR_NO_MORE_FILES) {
    Fail(Error, Rc, "FindNextFile " + UncDir);
    Ok = false;
  }
  ::FindClose(H);
  return Ok;
}

bool TWNetProvider::StatFile(const std::string &UncPath, FileStat &Out, NetError *Error) {
  const std::wstring Path = LongUncPath(UncPath);
  WIN32_FILE_ATTRIBUTE_DATA A{};
  const platform::TCancelIoOnTerminate Cancel;
  if (Cancel.Terminated()) {
    Stopped(Error, "GetFileAttributes " + UncPath);
    return false;
  }
  if (Path.empty() || !::GetFileAttributesExW(Path.c_str(), GetFileExInfoStandard, &A)) {
    if (Cancel.Terminated())
      Stopped(Error, "GetFileAttributes " + UncPath);
    else
      Fail(Error, Path.empty() ? ERROR_BAD_NETPATH : ::GetLastError(),
           "GetFileAttributes " + UncPath);
    return false;
  }
  Out.Directory = (A.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  Out.Size = int64_t((uint64_t(A.nFileSizeHigh) << 32) | A.nFileSizeLow);
  Out.WriteTime = UnixTimeOfFileTime((uint64_t(A.ftLastWriteTime.dwHighDateTime) << 32) |
                                     A.ftLastWriteTime.dwLowDateTime);
  return true;
}

} // namespace sonquarry::net
