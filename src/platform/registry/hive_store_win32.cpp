// The registry's store on Windows: the settings in the system's registry of the current user
// (RegCreateKeyExW, RegSetValueExW, RegEnumValueW, RegDeleteTreeW), each change written at once,
// as the registry keeps them safe itself; a hive file a caller names is read and locked through
// Win32 (LockFileEx).
#include "platform/registry/hive_store.h"

#include <windows.h>

#include <cerrno>
#include <fcntl.h>
#include <io.h>
#include <share.h>
#include <sys/stat.h>

#include "platform/os/errors.h"
#include "platform/os/exception.h"
#include "platform/os/win32_api.h"
#include "text/text.h"

namespace sonquarry::registry {

using platform::ErrnoText;
using platform::Narrow;
using platform::Widen;
using platform::WinErrorText;

namespace {

// A name no file has: the default registry object's "hive file".
constexpr const char *SystemName = "<the Windows registry>";

struct TRootName {
  const char *Name;
  HKEY Key;
};

const TRootName Roots[] = {{"HKEY_CURRENT_USER", HKEY_CURRENT_USER},
                           {"HKEY_LOCAL_MACHINE", HKEY_LOCAL_MACHINE},
                           {"HKEY_CLASSES_ROOT", HKEY_CLASSES_ROOT},
                           {"HKEY_USERS", HKEY_USERS},
                           {"HKEY_CURRENT_CONFIG", HKEY_CURRENT_CONFIG}};

// "HKEY_CURRENT_USER\Software\X" -> HKEY_CURRENT_USER and L"Software\X".
HKEY Split(const std::string &Path, std::wstring &Sub) {
  const auto Slash = Path.find('\\');
  const std::string Root = text::AsciiLower(Path.substr(0, Slash));
  Sub = Slash == std::string::npos ? std::wstring() : Widen(Path.substr(Slash + 1));
  for (const auto &R : Roots)
    if (text::AsciiLower(R.Name) == Root) return R.Key;
  throw Exception("TRegistry: no root key in " + Path + ".");
}

[[noreturn]] void Raise(const std::string &What, const std::string &Path, LSTATUS Rc) {
  throw Exception("TRegistry: " + What + " " + Path + ": " + WinErrorText(DWORD(Rc)) + ".");
}

class TKey {
public:
  ~TKey() {
    if (H) ::RegCloseKey(H);
  }
  HKEY H = nullptr;
};

void ReadKey(HKEY Key, const std::string &Path, THive &Hive) {
  Hive.CreateKey(Path);
  DWORD SubKeys = 0, MaxSubKey = 0, Values = 0, MaxName = 0, MaxData = 0;
  LSTATUS Rc = ::RegQueryInfoKeyW(Key, nullptr, nullptr, nullptr, &SubKeys, &MaxSubKey, nullptr,
                                  &Values, &MaxName, &MaxData, nullptr, nullptr);
  if (Rc != ERROR_SUCCESS) Raise("cannot read", Path, Rc);
  std::wstring Name;
  std::vector<BYTE> Data;
  for (DWORD I = 0; I < Values; ++I) {
    Name.assign(MaxName + 1, L'\0');
    Data.assign(MaxData + 2, 0);
    DWORD NameLen = MaxName + 1, DataLen = MaxData, Type = 0;
    Rc = ::RegEnumValueW(Key, I, Name.data(), &NameLen, nullptr, &Type, Data.data(), &DataLen);
    if (Rc == ERROR_NO_MORE_ITEMS) break;
    if (Rc != ERROR_SUCCESS) Raise("cannot read a value of", Path, Rc);
    TRegValue V;
    V.Name = Narrow(Name.data(), NameLen);
    V.Type = Type;
    if (Type == REG_SZ || Type == REG_EXPAND_SZ) {
      std::size_t Chars = DataLen / sizeof(wchar_t);
      const auto *W = reinterpret_cast<const wchar_t *>(Data.data());
      while (Chars > 0 && W[Chars - 1] == L'\0') --Chars;
      V.Str = Narrow(W, Chars);
    } else if (Type == REG_DWORD && DataLen == sizeof(DWORD)) {
      V.Dword = *reinterpret_cast<const DWORD *>(Data.data());
    } else {
      V.Raw.assign(Data.begin(), Data.begin() + DataLen);
    }
    Hive.SetValue(Path, V);
  }
  for (DWORD I = 0; I < SubKeys; ++I) {
    Name.assign(MaxSubKey + 1, L'\0');
    DWORD NameLen = MaxSubKey + 1;
    Rc = ::RegEnumKeyExW(Key, I, Name.data(), &NameLen, nullptr, nullptr, nullptr, nullptr);
    if (Rc == ERROR_NO_MORE_ITEMS) break;
    if (Rc != ERROR_SUCCESS) Raise("cannot read a subkey of", Path, Rc);
    const std::wstring Sub(Name.data(), NameLen);
    TKey Child;
    if (::RegOpenKeyExW(Key, Sub.c_str(), 0, KEY_READ, &Child.H) != ERROR_SUCCESS) continue;
    ReadKey(Child.H, Path + '\\' + Narrow(Sub), Hive);
  }
}

} // namespace

std::optional<std::string> ReadWholeFile(const std::string &Path) {
  const int Fd = ::_wopen(Widen(Path).c_str(), _O_RDONLY | _O_BINARY | _O_NOINHERIT);
  if (Fd < 0) {
    if (errno == ENOENT) return std::nullopt;
    throw Exception("TRegistry: cannot read " + Path + ": " + ErrnoText(errno) + ".");
  }
  std::string Out;
  char Buf[65536];
  for (;;) {
    const int N = ::_read(Fd, Buf, sizeof Buf);
    if (N < 0) {
      const int Err = errno;
      ::_close(Fd);
      throw Exception("TRegistry: cannot read " + Path + ": " + ErrnoText(Err) + ".");
    }
    if (N == 0) break;
    Out.append(Buf, std::size_t(N));
  }
  ::_close(Fd);
  return Out;
}

std::string FileState(const std::string &Path) {
  WIN32_FILE_ATTRIBUTE_DATA A{};
  if (!::GetFileAttributesExW(Widen(Path).c_str(), GetFileExInfoStandard, &A)) return {};
  return std::to_string((uint64_t(A.nFileSizeHigh) << 32) | A.nFileSizeLow) + ' ' +
         std::to_string((uint64_t(A.ftLastWriteTime.dwHighDateTime) << 32) |
                        A.ftLastWriteTime.dwLowDateTime);
}

THiveLock::THiveLock(const std::string &LockFile) {
  Fd_ = ::_wsopen(Widen(LockFile).c_str(), _O_RDWR | _O_CREAT | _O_BINARY | _O_NOINHERIT,
                  _SH_DENYNO, _S_IREAD | _S_IWRITE);
  if (Fd_ < 0)
    throw Exception("TRegistry: cannot open the lock " + LockFile + ": " + ErrnoText(errno) + ".");
  OVERLAPPED O{};
  if (!::LockFileEx(reinterpret_cast<HANDLE>(::_get_osfhandle(Fd_)), LOCKFILE_EXCLUSIVE_LOCK, 0, 1,
                    0, &O)) {
    const DWORD Rc = ::GetLastError();
    ::_close(Fd_);
    throw Exception("TRegistry: cannot lock " + LockFile + ": " + WinErrorText(Rc) + ".");
  }
}

THiveLock::~THiveLock() { ::_close(Fd_); } // closing the handle drops the lock

std::string DefaultHiveFile() { return SystemName; }

bool IsSystemRegistry(const std::string &HiveFile) { return HiveFile == SystemName; }

THive ReadSystemRegistry() {
  THive Hive;
  std::wstring Sub;
  const HKEY Root = Split(SystemSubtree, Sub);
  TKey Key;
  const LSTATUS Rc = ::RegOpenKeyExW(Root, Sub.c_str(), 0, KEY_READ, &Key.H);
  if (Rc == ERROR_FILE_NOT_FOUND) return Hive;
  if (Rc != ERROR_SUCCESS) Raise("cannot open", SystemSubtree, Rc);
  ReadKey(Key.H, SystemSubtree, Hive);
  return Hive;
}

void SystemCreateKey(const std::string &Path) {
  std::wstring Sub;
  const HKEY Root = Split(Path, Sub);
  TKey Key;
  const LSTATUS Rc = ::RegCreateKeyExW(Root, Sub.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                       KEY_WRITE, nullptr, &Key.H, nullptr);
  if (Rc != ERROR_SUCCESS) Raise("cannot create", Path, Rc);
}

void SystemDeleteKey(const std::string &Path) {
  std::wstring Sub;
  const HKEY Root = Split(Path, Sub);
  if (Sub.empty()) return; // a root stays
  const LSTATUS Rc = ::RegDeleteTreeW(Root, Sub.c_str());
  if (Rc == ERROR_SUCCESS || Rc == ERROR_FILE_NOT_FOUND) {
    ::RegDeleteKeyW(Root, Sub.c_str()); // RegDeleteTree empties the key; this removes it
    return;
  }
  Raise("cannot delete", Path, Rc);
}

void SystemSetValue(const std::string &Path, const TRegValue &Value) {
  std::wstring Sub;
  const HKEY Root = Split(Path, Sub);
  TKey Key;
  LSTATUS Rc = ::RegCreateKeyExW(Root, Sub.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_WRITE,
                                 nullptr, &Key.H, nullptr);
  if (Rc != ERROR_SUCCESS) Raise("cannot create", Path, Rc);
  const std::wstring Name = Widen(Value.Name);
  if (Value.Type == RegSz || Value.Type == RegExpandSz) {
    const std::wstring W = Widen(Value.Str);
    Rc = ::RegSetValueExW(Key.H, Name.c_str(), 0, Value.Type,
                          reinterpret_cast<const BYTE *>(W.c_str()),
                          DWORD((W.size() + 1) * sizeof(wchar_t)));
  } else if (Value.Type == RegDword) {
    const DWORD D = Value.Dword;
    Rc = ::RegSetValueExW(Key.H, Name.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE *>(&D),
                          sizeof D);
  } else {
    Rc = ::RegSetValueExW(Key.H, Name.c_str(), 0, Value.Type, Value.Raw.data(),
                          DWORD(Value.Raw.size()));
  }
  if (Rc != ERROR_SUCCESS) Raise("cannot write " + Value.Name + " of", Path, Rc);
}

void SystemDeleteValue(const std::string &Path, const std::string &Name) {
  std::wstring Sub;
  const HKEY Root = Split(Path, Sub);
  TKey Key;
  LSTATUS Rc = ::RegOpenKeyExW(Root, Sub.c_str(), 0, KEY_SET_VALUE, &Key.H);
  if (Rc == ERROR_FILE_NOT_FOUND) return;
  if (Rc == ERROR_SUCCESS) Rc = ::RegDeleteValueW(Key.H, Widen(Name).c_str());
  if (Rc != ERROR_SUCCESS && Rc != ERROR_FILE_NOT_FOUND)
    Raise("cannot delete " + Name + " of", Path, Rc);
}

} // namespace sonquarry::registry
