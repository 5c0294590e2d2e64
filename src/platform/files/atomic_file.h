#pragma once
// A file replaced as a whole: the new content goes to a temporary file in the target's directory,
// is flushed to disk and only then renamed over the target, so a crash, a kill or a full disk
// during the write leaves the previous file untouched.

#include <cstddef>
#include <string>

#include "platform/os/errors.h"
#include "text/text.h"

namespace sonquarry::files {

class TAtomicFile {
public:
  TAtomicFile() = default;
  TAtomicFile(const TAtomicFile &) = delete;
  TAtomicFile &operator=(const TAtomicFile &) = delete;
  ~TAtomicFile(); // an uncommitted temporary file is removed

  // Creates the temporary file beside Target (a symbolic link is followed, so the link stays; a
  // link that another user owns is refused with ForeignLinkErr, see ResolveOwnLinks).
  // The new file gets the mode of the existing target, or NewFileMode (less the umask) for a new
  // one. Temporary files of this naming that a killed save left beside Target (their process is
  // gone) are removed first. With KeepReadOnly a target that the user made read-only (no write
  // permission for us, or no write bit at all, which root would override) is not replaced: Open
  // fails with EACCES. A device or a pipe is written directly (/dev/stdout); a folder gives EISDIR.
  // On failure errno tells why.
  bool Open(const std::string &Target, unsigned NewFileMode = 0666, bool KeepReadOnly = false);
  // Writes all of Data; false on any failure (no space, file size limit, I/O error; see errno).
  bool Write(const char *Data, size_t Size);
  // Flushes the data to disk, closes and renames the temporary file over the target and flushes
  // the directory. False when any step failed (see errno); the target is then unchanged.
  bool Commit();
  // Drops the temporary file; the target is unchanged.
  void Abandon();

  bool IsOpen() const { return Fd >= 0; }
  // The file that Commit replaces (Target with its symbolic links resolved).
  const std::string &TargetName() const { return Target; }
  const std::string &TempName() const { return Temp; }

private:
  int Fd = -1;
  bool InPlace = false; // a device or a pipe: written directly
  std::string Target;
  std::string Temp;
};

// Path with its symbolic links followed, for a write: false with errno = ForeignLinkErr when a
// link on the way is owned by neither the user nor root (one planted in a shared folder), so a
// write never lands in a file that another user chose. A link the user made himself is followed.
bool ResolveOwnLinks(const std::string &Path, std::string &Resolved);

// Keeps the current content of Path under the first free name of Path + Suffix, Path + Suffix +
// ".2", ".3", ...: an earlier backup is never overwritten. The backup is a hard link (a copy where
// the file system has none), so a later replacement of Path leaves it alone. Returns its name, or
// "" with errno set when Path cannot be kept.
std::string KeepBackup(const std::string &Path, const std::string &Suffix);

} // namespace sonquarry::files
