#pragma once
// The destination folder of a copy, one file per system (copy_dest.cpp: POSIX, every operation
// relative to the folder's descriptor; copy_dest_win32.cpp: Win32, with CopyFileExW for the files
// the system reaches itself). A file is filled under a hidden temporary name and only a finished
// one is given its final name, never over another file.

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

namespace sonquarry::copier {

class TCopyDest {
public:
  TCopyDest() = default;
  TCopyDest(const TCopyDest &) = delete;
  TCopyDest &operator=(const TCopyDest &) = delete;
  ~TCopyDest(); // closes the folder, removes a temporary file left

  bool Open(const std::string &Dir, std::string &Error);
  void Close();
  // A new temporary file in the folder, open for Write.
  bool CreateTemp(std::string &Error);
  bool Write(const char *Data, std::size_t Size, std::string &Error);

  // Whether this system copies a file it reaches itself by its own call (Windows: CopyFileExW);
  // SystemSize and CopySystemFile are used only then.
  static bool SystemCopies();
  // The size of the file at Path, -1 when it cannot be asked.
  static int64_t SystemSize(const std::string &Path);
  // A new temporary file made by the system's copy of the file at Path. OnProgress(Done, Size) as
  // it goes (Size: the file's size when the copy opened it); Cancel ends it soon. 0: copied, Done
  // the bytes copied; 1: failed (Error); 2: cancelled. Nothing stays behind but on 0.
  int CopySystemFile(const std::string &Path,
                     const std::function<void(int64_t Done, int64_t Size)> &OnProgress,
                     int64_t &Done, std::string &Error);
  // Cuts the temporary file to Size bytes.
  bool Truncate(int64_t Size, std::string &Error);

  // The temporary file on the disk and closed.
  bool Finish(std::string &Error);
  // The temporary file removed.
  void Discard();
  enum class TNaming { Done, Taken, Failed };
  // Gives the finished temporary file the name Name unless that is taken (by anything, a dangling
  // link included); Failed with Error.
  TNaming Publish(const std::string &Name, std::string &Error);
  // Name in the folder, as the user sees it.
  std::string PathOf(const std::string &Name) const;
  // Name (one safe component) made one this system accepts as a plain file's name.
  static std::string SystemName(const std::string &Name);

  // From any thread: a system copy in flight, and every later one, ends soon (Windows: a read
  // that waits on a server too).
  void Cancel();

private:
  std::string Dir_;
  std::string Temp_; // the temporary file's name, empty when none
#ifdef _WIN32
  void *File_ = nullptr; // the temporary file's HANDLE while written
  int CancelFlag_ = 0;   // CopyFileExW's, a BOOL
  std::mutex CopyingLock_;
  void *Copying_ = nullptr; // the copying thread's HANDLE while CopyFileExW runs
#else
  int DirFd_ = -1;
  int Fd_ = -1;
#endif
};

// The path under which this system opens the file of a UNC path itself; empty when only a
// network provider reaches it.
std::string SystemPathOfUnc(const std::string &UncPath);

} // namespace sonquarry::copier
