#pragma once
// A file replaced as a whole: the new content goes to a temporary file in the target's directory,
// is flushed to disk and only then renamed over the target, so a crash, a kill or a full disk
// during the write leaves the previous file untouched.

#include <cstddef>
#include <string>

namespace sonquarry {

class TAtomicFile {
public:
  TAtomicFile() = default;
  TAtomicFile(const TAtomicFile &) = delete;
  TAtomicFile &operator=(const TAtomicFile &) = delete;
  ~TAtomicFile(); // an uncommitted temporary file is removed

  // Creates the temporary file beside Target (a symbolic link is followed, so the link stays).
  // The new file gets the mode of the existing target, or NewFileMode (less the umask) for a new
  // one. On failure errno tells why.
  bool Open(const std::string &Target, unsigned NewFileMode = 0666);
  // Writes all of Data; false on any failure (no space, file size limit, I/O error; see errno).
  bool Write(const char *Data, size_t Size);
  // Flushes the data to disk, closes and renames the temporary file over the target and flushes
  // the directory. False when any step failed (see errno); the target is then unchanged.
  bool Commit();
  // Drops the temporary file; the target is unchanged.
  void Abandon();

  bool IsOpen() const { return Fd >= 0; }
  const std::string &TempName() const { return Temp; }

private:
  int Fd = -1;
  std::string Target;
  std::string Temp;
};

} // namespace sonquarry
