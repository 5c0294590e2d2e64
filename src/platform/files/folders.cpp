#include "platform/files/folders.h"

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/os/diag.h"

namespace sonquarry::files {

namespace {

std::string EnvVar(const char *Name) {
  const char *v = std::getenv(Name);
  return v ? std::string(v) : std::string();
}

bool IsDirectory(const std::string &Path) {
  struct stat st {};
  return !Path.empty() && ::stat(Path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string WithSlash(std::string Dir) {
  if (!Dir.empty() && Dir.back() != '/') Dir += '/';
  return Dir;
}

// An XDG base directory: the variable when it holds an absolute path (relative values are
// invalid by the XDG rules and ignored), else the fallback below the home directory.
std::string XdgBase(const char *Var, const char *HomeRelative) {
  std::string v = EnvVar(Var);
  if (!v.empty() && v[0] == '/') return WithSlash(v);
  const std::string home = GetHomeDir();
  if (home.empty()) return std::string();
  return WithSlash(home) + HomeRelative + "/";
}

// Value of XDG_DOCUMENTS_DIR in user-dirs.dirs: "$HOME/yyy" or "/yyy", shell-escaped.
std::string UserDocumentsDir() {
  const std::string config = XdgBase("XDG_CONFIG_HOME", ".config");
  if (config.empty()) return std::string();
  std::ifstream in(config + "user-dirs.dirs");
  std::string line;
  std::string result;
  while (std::getline(in, line)) {
    size_t i = line.find_first_not_of(" \t");
    if (i == std::string::npos || line[i] == '#') continue;
    static const std::string key = "XDG_DOCUMENTS_DIR";
    if (line.compare(i, key.size(), key) != 0) continue;
    i = line.find_first_not_of(" \t", i + key.size());
    if (i == std::string::npos || line[i] != '=') continue;
    i = line.find_first_not_of(" \t", i + 1);
    if (i == std::string::npos || line[i] != '"') continue;
    std::string value;
    bool closed = false;
    for (++i; i < line.size(); ++i) {
      if (line[i] == '\\' && i + 1 < line.size()) {
        value += line[++i];
      } else if (line[i] == '"') {
        closed = true;
        break;
      } else {
        value += line[i];
      }
    }
    if (!closed) continue;
    if (value.rfind("$HOME", 0) == 0 && (value.size() == 5 || value[5] == '/')) {
      value = GetHomeDir() + value.substr(5);
    } else if (value.empty() || value[0] != '/') {
      continue;
    }
    result = value; // the last assignment wins, as when the shell sources the file
  }
  while (result.size() > 1 && result.back() == '/') result.pop_back();
  return result;
}

std::string EnsureDir(const std::string &Dir) {
  return ForceDirectories(Dir) ? Dir : std::string();
}

} // namespace

std::string GetHomeDir() {
  std::string home = EnvVar("HOME");
  if (!home.empty()) return home;
  if (const passwd *pw = ::getpwuid(::getuid()); pw && pw->pw_dir) return pw->pw_dir;
  return std::string();
}

std::string GetPersonalFolder() {
  const std::string docs = UserDocumentsDir();
  if (IsDirectory(docs)) return docs;
  std::string home = GetHomeDir();
  while (home.size() > 1 && home.back() == '/') home.pop_back();
  return home;
}

std::string GetCacheFolder() {
  const std::string base = XdgBase("XDG_CACHE_HOME", ".cache");
  const std::string dir = base.empty() ? std::string() : EnsureDir(base + "sonquarry/");
  if (dir.empty()) {
    // Its users then do without (never the current directory); told once, not at every use.
    static std::atomic<bool> told{false};
    if (!told.exchange(true))
      platform::Diagnostic("The cache folder " +
                               (base.empty() ? "(no home)" : base + "sonquarry/") +
                               " could not be made: no tag cache and no playlist to play.",
                           platform::TDiagLevel::Act);
  }
  return dir;
}

std::string GetConfigDir() {
  const std::string base = XdgBase("XDG_CONFIG_HOME", ".config");
  return base.empty() ? std::string() : base + "sonquarry/";
}

std::string GetProgramDir() {
  const std::string base = XdgBase("XDG_DATA_HOME", ".local/share");
  if (base.empty()) return std::string();
  const std::string dir = base + "sonquarry/";
  ForceDirectories(dir);
  return dir;
}

bool ForceDirectories(const std::string &Dir) {
  if (Dir.empty()) return false;
  if (IsDirectory(Dir)) return true;
  std::string path;
  size_t pos = 0;
  while (pos != std::string::npos) {
    const size_t next = Dir.find('/', pos + 1);
    path = Dir.substr(0, next);
    pos = next;
    if (path.empty() || path == "/") continue;
    if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) return false;
  }
  return IsDirectory(Dir);
}

} // namespace sonquarry::files
