#pragma once
// The system's side of THolderLock (one file per system: holder_lock_os.cpp,
// holder_lock_os_win32.cpp): the lock file's descriptor and the one lock on it.

#include <string>

namespace sonquarry::files {

enum class TLockTry { Taken, Held, Failed };

// Opens or makes the lock file, following no link; -1 with Why on failure.
int OpenLockFile(const std::string &Path, std::string &Why);
// Takes the lock without waiting: Held when another has it, Failed with Why otherwise.
TLockTry TryLockFile(int Fd, std::string &Why);
// The first bytes of the file, where a holder names itself.
std::string ReadLockFile(int Fd);
// Replaces the file's content; best effort, it is only a name.
void WriteLockFile(int Fd, const std::string &Text);
// Closes the file, which drops the lock.
void CloseLockFile(int Fd);
unsigned long CurrentProcessId();

} // namespace sonquarry::files
