// A network provider DLL for the Wine test, in place of the Windows redirector's, which Wine lacks:
// WNetOpenEnum on a computer \\HOST lists as its shares the folders of \\HOST\ itself, which Wine
// maps to its prefix's dosdevices/unc/HOST/. The test links there the shares' folders on the test
// servers' disks. Only computers are enumerated; every other container is refused.
#include <windows.h>

#include <winnetwk.h>
// MinGW's npapi.h declares the provider's entry points without extern "C".
extern "C" {
#include <npapi.h>
}

#include <cstring>
#include <string>
#include <vector>

namespace {

const wchar_t ProviderName[] = L"Microsoft Windows Network";

struct TEnum {
  std::wstring Server;
  bool Done = false;
};

std::vector<std::wstring> SharesOf(const std::wstring &Server) {
  std::vector<std::wstring> Out;
  WIN32_FIND_DATAW D{};
  const HANDLE F = ::FindFirstFileW((Server + L"\\*").c_str(), &D);
  if (F == INVALID_HANDLE_VALUE) return Out;
  do {
    const std::wstring Name = D.cFileName;
    if ((D.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && Name != L"." && Name != L"..")
      Out.push_back(Server + L"\\" + Name);
  } while (::FindNextFileW(F, &D));
  ::FindClose(F);
  return Out;
}

DWORD Bytes(const std::wstring &S) { return DWORD((S.size() + 1) * sizeof(wchar_t)); }

} // namespace

extern "C" {

__declspec(dllexport) DWORD APIENTRY NPGetCaps(DWORD Index) {
  switch (Index) {
  case WNNC_SPEC_VERSION:
    return WNNC_SPEC_VERSION51;
  case WNNC_NET_TYPE:
    return WNNC_NET_LANMAN;
  case WNNC_ENUMERATION:
    return WNNC_ENUM_GLOBAL;
  default:
    return 0;
  }
}

__declspec(dllexport) DWORD APIENTRY
    NPOpenEnum(DWORD Scope, DWORD, DWORD, LPNETRESOURCEW Net, LPHANDLE Handle) {
  if (Scope != RESOURCE_GLOBALNET || !Net || !Net->lpRemoteName) return WN_NOT_SUPPORTED;
  const std::wstring Name = Net->lpRemoteName;
  if (Name.size() < 3 || Name.compare(0, 2, L"\\\\") != 0 ||
      Name.find(L'\\', 2) != std::wstring::npos)
    return WN_NOT_CONTAINER;
  *Handle = new TEnum{Name};
  return WN_SUCCESS;
}

// Every share in one call: the records from the buffer's start, their strings from its end.
__declspec(dllexport) DWORD APIENTRY
    NPEnumResource(HANDLE Handle, LPDWORD Count, LPVOID Buffer, LPDWORD Size) {
  auto *E = static_cast<TEnum *>(Handle);
  if (E->Done) return WN_NO_MORE_ENTRIES;
  const std::vector<std::wstring> Shares = SharesOf(E->Server);
  if (Shares.empty()) {
    E->Done = true;
    return WN_NO_MORE_ENTRIES;
  }
  DWORD Need = 0;
  for (const auto &S : Shares) Need += sizeof(NETRESOURCEW) + Bytes(S) + Bytes(ProviderName);
  if (*Size < Need) {
    *Size = Need;
    return WN_MORE_DATA;
  }
  auto *R = static_cast<NETRESOURCEW *>(Buffer);
  char *End = static_cast<char *>(Buffer) + (*Size & ~DWORD(1));
  const auto Put = [&End](const std::wstring &S) {
    End -= Bytes(S);
    std::memcpy(End, S.c_str(), Bytes(S));
    return reinterpret_cast<LPWSTR>(End);
  };
  for (std::size_t I = 0; I < Shares.size(); ++I) {
    R[I] = NETRESOURCEW{};
    R[I].dwScope = RESOURCE_GLOBALNET;
    R[I].dwType = RESOURCETYPE_DISK;
    R[I].dwDisplayType = RESOURCEDISPLAYTYPE_SHARE;
    R[I].dwUsage = RESOURCEUSAGE_CONNECTABLE;
    R[I].lpRemoteName = Put(Shares[I]);
    R[I].lpProvider = Put(ProviderName);
  }
  *Count = DWORD(Shares.size());
  E->Done = true;
  return WN_SUCCESS;
}

__declspec(dllexport) DWORD APIENTRY NPCloseEnum(HANDLE Handle) {
  delete static_cast<TEnum *>(Handle);
  return WN_SUCCESS;
}

} // extern "C"
