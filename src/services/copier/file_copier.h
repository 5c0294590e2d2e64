#pragma once
// Copies files of the network into one local directory: the copier behind "Copy selected files to
// directory...". Reading goes through a source (an SMB worker, or local files in tests), or, where
// the system reaches the file itself (Windows), through the system's copy; every file is written
// under a temporary name and only a complete file gets its final name, the first free one of
// "name.ext", "name (2).ext", ... Nothing is ever written outside the directory: the remote name
// is reduced to one safe path component, and the folder's side is copy_dest.h's.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace sonquarry::copier {

// One file at a time, read in chunks. Open, Read and Close run on the copying thread; Cancel may
// come from any thread and makes a pending Open or Read return soon with a failure.
class ICopySource {
public:
  virtual ~ICopySource() = default;
  // Opens the file of the UNC path; Size receives its size, -1 when unknown.
  virtual bool Open(const std::string &UncPath, int64_t &Size, std::string &Error) = 0;
  // Bytes read (at most Capacity), 0 at the end of the file, -1 on failure.
  virtual long Read(char *Buffer, size_t Capacity, std::string &Error) = 0;
  virtual void Close() = 0;
  virtual void Cancel() = 0;
  // The path under which the system opens the file itself, for its own copy; empty: only Open
  // and Read reach it.
  virtual std::string SystemPath(const std::string &UncPath) const {
    (void)UncPath;
    return {};
  }
};

// Reads UNC paths from a local folder: \\PC\share\dir\f.mp3 is Root/PC/share/dir/f.mp3.
class TLocalCopySource final : public ICopySource {
public:
  explicit TLocalCopySource(std::string ARoot) : Root(std::move(ARoot)) {}
  ~TLocalCopySource() override;
  bool Open(const std::string &UncPath, int64_t &Size, std::string &Error) override;
  long Read(char *Buffer, size_t Capacity, std::string &Error) override;
  void Close() override;
  void Cancel() override {}
  std::string SystemPath(const std::string &UncPath) const override;

private:
  std::string Root;
  int Fd = -1;
};

struct TCopyProgress {
  int FileIndex = 0; // 0-based
  int FileCount = 0;
  std::string FileName; // the remote file's name
  int64_t FileDone = 0;
  int64_t FileSize = -1;
  int64_t TotalDone = 0;
  // The whole copy: the sizes of every file as far as known (MeasureFirst), and the files ended
  // (copied or skipped).
  int64_t TotalSize = 0;
  int FilesDone = 0;
  bool Measuring = false; // the sizes are being read
};

// What to do after a file that could not be copied.
enum class TFailureAnswer { Skip, SkipAll, Cancel };

class TCopyDest;

class TFileCopier {
public:
  explicit TFileCopier(ICopySource &ASource);
  ~TFileCopier();

  // Copies every source into Directory, in order. A file that fails is handed to OnFailure (on
  // the copying thread), or without it stops the copy. 0 when every file was copied; 1 when one
  // failed (skipped or not); 2 when cancelled. Files finished before stay; the file in progress
  // leaves nothing behind.
  int Copy(const std::vector<std::string> &Sources, const std::string &Directory);
  void Cancel();

  // Opens every source once before copying, for the whole copy's size.
  bool MeasureFirst = false;
  std::function<TFailureAnswer(const std::string &UncPath, const std::string &Reason)> OnFailure;

  // The latest progress; safe to read from another thread.
  TCopyProgress Progress() const;
  // The final paths of the copied files, and the reason of a failure.
  std::vector<std::string> Copied;
  std::string Error;
  // The files skipped after a failure, with the reason.
  std::vector<std::pair<std::string, std::string>> Skipped;

private:
  // Sized: the file's measured size, made its size when opened.
  int CopyOne(const std::string &UncPath, int64_t &Sized, std::vector<char> &Buffer);
  // The file into the destination's temporary file, read through the source or copied by the
  // system: Size its size when opened, Done the bytes copied. 0, or 1 or 2 with nothing left.
  int ReadInto(const std::string &UncPath, int64_t &Sized, std::vector<char> &Buffer, int64_t &Size,
               int64_t &Done);
  int SystemCopy(const std::string &Path, int64_t &Sized, int64_t &Size, int64_t &Done);
  // The file's size once opened, in place of the one measured.
  void SetFileSize(int64_t Size, int64_t &Sized);
  void Measure(const std::vector<std::string> &Sources);
  void SetProgress(const TCopyProgress &P);

  ICopySource &Source;
  std::unique_ptr<TCopyDest> Dest;
  std::vector<int64_t> Sizes; // one per source, 0 when unknown
  std::atomic<bool> Cancelled{false};
  mutable std::mutex ProgressLock;
  TCopyProgress Current;
};

// Where TLocalCopySource finds the file of a UNC path: \\PC\s\f.mp3 is Root/PC/s/f.mp3.
std::string LocalPathOfUnc(const std::string &Root, const std::string &UncPath);
// The last component of a UNC path, made into one safe local file name: "/" and NUL become "_",
// "", "." and ".." become "_", and a name too long for the file system is shortened, keeping its
// extension.
std::string SafeLocalName(const std::string &UncPath);
// "name.ext" numbered: 1 gives the name itself, 2 "name (2).ext"; a name without a dot gets the
// number at its end.
std::string NumberedName(const std::string &Name, int Number);
// A safe name made one that Windows takes as a plain file's: the characters it refuses (and ':',
// which would name a stream) become "_", as do trailing dots and spaces, and a device's name
// ("CON", "nul.mp3", "COM1") gets a "_" before it.
std::string SafeWindowsName(const std::string &Name);

} // namespace sonquarry::copier
