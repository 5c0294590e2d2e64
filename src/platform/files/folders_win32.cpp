// The user's folders on Windows, from the shell (SHGetKnownFolderPath): Documents, the local
// application data for the cache and the program's files. Paths are given with '/', which every
// Win32 file call takes, so that the rest of the program joins them as on Linux.
#include "platform/files/folders.h"

#include <windows.h>

#include <knownfolders.h>
#include <shlobj.h>

#include <atomic>

#include "platform/os/diag.h"
#include "platform/os/win32_api.h"

namespace sonquarry::files {

namespace {

std::string KnownFolder(const KNOWNFOLDERID &Id) {
  wchar_t *Path = nullptr;
  std::string Out;
  if (::SHGetKnownFolderPath(Id, KF_FLAG_DEFAULT, nullptr, &Path) == S_OK && Path)
    Out = platform::Narrow(std::wstring(Path));
  ::CoTaskMemFree(Path);
  for (auto &C : Out)
    if (C == '\\') C = '/';
  while (Out.size() > 3 && Out.back() == '/') Out.pop_back();
  return Out;
}

bool IsDirectory(const std::string &Path) {
  const DWORD A = ::GetFileAttributesW(platform::Widen(Path).c_str());
  return A != INVALID_FILE_ATTRIBUTES && (A & FILE_ATTRIBUTE_DIRECTORY);
}

// %LOCALAPPDATA%\Sonquarry\: the program's own files, kept off a roaming profile.
std::string AppData() {
  const std::string Base = KnownFolder(FOLDERID_LocalAppData);
  return Base.empty() ? std::string() : Base + "/Sonquarry/";
}

} // namespace

std::string GetHomeDir() { return KnownFolder(FOLDERID_Profile); }

std::string GetPersonalFolder() {
  const std::string Docs = KnownFolder(FOLDERID_Documents);
  return IsDirectory(Docs) ? Docs : GetHomeDir();
}

std::string GetCacheFolder() {
  const std::string Base = AppData();
  const std::string Dir = Base.empty() ? std::string() : Base + "Cache/";
  if (Dir.empty() || !ForceDirectories(Dir)) {
    static std::atomic<bool> told{false};
    if (!told.exchange(true))
      platform::Diagnostic("The cache folder " + (Dir.empty() ? "(no profile)" : Dir) +
                               " could not be made: no tag cache and no playlist to play.",
                           platform::TDiagLevel::Act);
    return std::string();
  }
  return Dir;
}

// The settings live in the registry on Windows; a hive file named by a caller goes here.
std::string GetConfigDir() { return AppData(); }

std::string GetProgramDir() {
  const std::string Dir = AppData();
  if (!Dir.empty()) ForceDirectories(Dir);
  return Dir;
}

bool ForceDirectories(const std::string &Dir) {
  if (Dir.empty()) return false;
  std::string Path = Dir;
  for (auto &C : Path)
    if (C == '\\') C = '/';
  while (Path.size() > 1 && Path.back() == '/') Path.pop_back();
  if (IsDirectory(Path)) return true;
  const auto Slash = Path.rfind('/');
  // A drive's root ("C:") or a share's ("//PC/share") needs no making.
  if (Slash != std::string::npos && Slash > 0 && Path[Slash - 1] != ':' &&
      Path.find_first_not_of('/', 0) < Slash)
    ForceDirectories(Path.substr(0, Slash));
  if (::CreateDirectoryW(platform::Widen(Path).c_str(), nullptr)) return true;
  return IsDirectory(Path);
}

} // namespace sonquarry::files
