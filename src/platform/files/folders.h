#pragma once
// Per-user folders. The XDG base directories stand in for the shell folders and the program's
// directory of the Windows build. Directory results end with '/', so a file name can be appended.

#include <string>

namespace sonquarry::files {

// The user's home directory ($HOME, else the password database); empty when neither is known.
std::string GetHomeDir();

// The documents folder: XDG_DOCUMENTS_DIR of user-dirs.dirs when it names an existing directory,
// else the home directory. No trailing '/'. Empty only when no home directory is known.
std::string GetPersonalFolder();

// The "Cache" shell folder: $XDG_CACHE_HOME/sonquarry/ (default ~/.cache/sonquarry/), created
// when missing. Empty when it cannot be created (said once, in a diagnostic line): a caller then
// does without its file rather than write into the current directory.
std::string GetCacheFolder();

// The configuration folder holding the registry hive: $XDG_CONFIG_HOME/sonquarry/ (default
// ~/.config/sonquarry/). Not created here; the registry creates it when it first saves.
std::string GetConfigDir();

// The program's directory for the list file and the log: $XDG_DATA_HOME/sonquarry/ (default
// ~/.local/share/sonquarry/), created on first use. Returned even when it could not be created.
std::string GetProgramDir();

// Creates Dir and its missing parents (mode 0700 for new ones); true when it exists afterwards.
bool ForceDirectories(const std::string &Dir);

} // namespace sonquarry::files
