#include "services/copier/file_copier.h"

#include <algorithm>
#include <cstring>

#include "platform/os/diag.h"
#include "services/copier/copy_dest.h"
#include "text/text.h"

namespace sonquarry::copier {
namespace {

constexpr size_t ChunkSize = 1 << 20;
constexpr size_t MaxNameBytes = 255; // NAME_MAX of Linux file systems
constexpr int MaxNumber = 100000;

// Cuts Text to at most Bytes bytes without splitting a UTF-8 sequence.
std::string Utf8Prefix(const std::string &Text, size_t Bytes) {
  if (Text.size() <= Bytes) return Text;
  size_t n = Bytes;
  while (n > 0 && (static_cast<unsigned char>(Text[n]) & 0xC0) == 0x80) --n;
  return Text.substr(0, n);
}

// Splits at the extension's dot; a leading dot starts no extension.
void SplitExt(const std::string &Name, std::string &Stem, std::string &Ext) {
  const auto dot = Name.rfind('.');
  if (dot == std::string::npos || dot == 0) {
    Stem = Name;
    Ext.clear();
  } else {
    Stem = Name.substr(0, dot);
    Ext = Name.substr(dot);
  }
}

} // namespace

std::string SafeLocalName(const std::string &UncPath) {
  const auto slash = UncPath.find_last_of('\\');
  std::string name = slash == std::string::npos ? UncPath : UncPath.substr(slash + 1);
  for (char &c : name)
    if (c == '/' || c == '\0') c = '_';
  if (name.empty() || name == "." || name == "..") name = "_" + name;
  // Room for " (100000)" so that every numbered name fits as well.
  constexpr size_t limit = MaxNameBytes - 9;
  if (name.size() > limit) {
    std::string stem, ext;
    SplitExt(name, stem, ext);
    if (ext.size() > 16) ext.clear();
    name = Utf8Prefix(stem, limit - ext.size()) + ext;
  }
  return name;
}

std::string NumberedName(const std::string &Name, int Number) {
  if (Number <= 1) return Name;
  std::string stem, ext;
  SplitExt(Name, stem, ext);
  return stem + " (" + std::to_string(Number) + ")" + ext;
}

std::string SafeWindowsName(const std::string &Name) {
  std::string out = Name;
  for (char &c : out)
    if (static_cast<unsigned char>(c) < 0x20 || std::strchr("<>:\"/\\|?*", c)) c = '_';
  for (size_t i = out.size(); i > 0 && (out[i - 1] == '.' || out[i - 1] == ' '); --i)
    out[i - 1] = '_';
  // A device's name is one with any extension, and with spaces before its dot.
  std::string stem = out.substr(0, out.find('.'));
  while (!stem.empty() && stem.back() == ' ') stem.pop_back();
  stem = text::AsciiLower(stem);
  static const char *const Devices[] = {"con", "prn", "aux", "nul", "conin$", "conout$"};
  bool device = std::find(std::begin(Devices), std::end(Devices), stem) != std::end(Devices);
  if (stem.size() == 4 && (stem.starts_with("com") || stem.starts_with("lpt")) && stem[3] >= '0' &&
      stem[3] <= '9')
    device = true;
  return device ? "_" + out : out;
}

std::string LocalPathOfUnc(const std::string &Root, const std::string &UncPath) {
  size_t pos = 0;
  while (pos < UncPath.size() && UncPath[pos] == '\\') ++pos;
  std::string rel;
  for (; pos < UncPath.size(); ++pos) rel += UncPath[pos] == '\\' ? '/' : UncPath[pos];
  std::string path = Root;
  if (!rel.empty() && rel.front() != '/') path += '/';
  return path + rel;
}

std::string TLocalCopySource::SystemPath(const std::string &UncPath) const {
  return LocalPathOfUnc(Root, UncPath);
}

TFileCopier::TFileCopier(ICopySource &ASource)
    : Source(ASource), Dest(std::make_unique<TCopyDest>()) {}

TFileCopier::~TFileCopier() = default;

void TFileCopier::Cancel() {
  Cancelled = true;
  Source.Cancel();
  Dest->Cancel();
}

TCopyProgress TFileCopier::Progress() const {
  std::lock_guard<std::mutex> l(ProgressLock);
  return Current;
}

void TFileCopier::SetProgress(const TCopyProgress &P) {
  std::lock_guard<std::mutex> l(ProgressLock);
  Current = P;
}

void TFileCopier::Measure(const std::vector<std::string> &Sources) {
  {
    std::lock_guard<std::mutex> l(ProgressLock);
    Current.Measuring = true;
  }
  std::string ignored;
  for (size_t i = 0; i < Sources.size() && !Cancelled; ++i) {
    int64_t size = -1;
    const std::string path = TCopyDest::SystemCopies() ? Source.SystemPath(Sources[i]) : "";
    if (!path.empty())
      size = TCopyDest::SystemSize(path);
    else if (Source.Open(Sources[i], size, ignored))
      Source.Close();
    Sizes[i] = std::max<int64_t>(size, 0);
    std::lock_guard<std::mutex> l(ProgressLock);
    Current.TotalSize += Sizes[i];
  }
  std::lock_guard<std::mutex> l(ProgressLock);
  Current.Measuring = false;
}

int TFileCopier::Copy(const std::vector<std::string> &Sources, const std::string &Directory) {
  Copied.clear();
  Skipped.clear();
  Error.clear();
  Sizes.assign(Sources.size(), 0);
  SetProgress(TCopyProgress{});
  if (!Dest->Open(Directory, Error)) return 1;
  if (MeasureFirst) Measure(Sources);
  std::vector<char> buffer(ChunkSize);
  int result = 0;
  bool skipAll = false;
  for (size_t i = 0; i < Sources.size() && result == 0; ++i) {
    TCopyProgress p = Progress();
    p.FileIndex = static_cast<int>(i);
    p.FileCount = static_cast<int>(Sources.size());
    const auto slash = Sources[i].find_last_of('\\');
    p.FileName = slash == std::string::npos ? Sources[i] : Sources[i].substr(slash + 1);
    p.FileDone = 0;
    p.FileSize = -1;
    SetProgress(p);
    result = Cancelled ? 2 : CopyOne(Sources[i], Sizes[i], buffer);
    std::unique_lock<std::mutex> l(ProgressLock);
    if (result != 0) { // the file leaves the whole
      Current.TotalSize -= Sizes[i];
      Current.TotalDone -= Current.FileDone;
    }
    if (result == 1 && OnFailure) {
      Skipped.emplace_back(Sources[i], Error);
      l.unlock(); // the question may take long
      const TFailureAnswer a = skipAll ? TFailureAnswer::Skip : OnFailure(Sources[i], Error);
      l.lock();
      skipAll = skipAll || a == TFailureAnswer::SkipAll;
      result = a == TFailureAnswer::Cancel || Cancelled ? 2 : 0;
    }
    if (result == 0) ++Current.FilesDone;
  }
  Dest->Close();
  return result == 0 && !Skipped.empty() ? 1 : result;
}

void TFileCopier::SetFileSize(int64_t Size, int64_t &Sized) {
  std::lock_guard<std::mutex> l(ProgressLock);
  Current.FileSize = Size;
  // Its size now, should it have changed since it was measured (or was not).
  Current.TotalSize += std::max<int64_t>(Size, 0) - Sized;
  Sized = std::max<int64_t>(Size, 0);
}

int TFileCopier::ReadInto(const std::string &UncPath, int64_t &Sized, std::vector<char> &Buffer,
                          int64_t &Size, int64_t &Done) {
  if (!Source.Open(UncPath, Size, Error)) return Cancelled ? 2 : 1;
  struct TCloser {
    ICopySource &S;
    ~TCloser() { S.Close(); }
  } closer{Source};
  SetFileSize(Size, Sized);
  if (!Dest->CreateTemp(Error)) return 1;
  for (;;) {
    if (Cancelled) return 2;
    // Never past the size it was opened with (and one byte more, to tell that it grew): a file
    // that keeps growing would fill the disk.
    const size_t want =
        Size < 0 ? Buffer.size()
                 : static_cast<size_t>(std::min<int64_t>(int64_t(Buffer.size()), Size - Done + 1));
    long n = Source.Read(Buffer.data(), want, Error);
    if (n < 0) return Cancelled ? 2 : 1;
    if (n == 0) break;
    const bool grew = Size >= 0 && Done + n > Size;
    if (grew) n = static_cast<long>(Size - Done);
    if (n > 0 && !Dest->Write(Buffer.data(), static_cast<size_t>(n), Error)) return 1;
    Done += n;
    {
      std::lock_guard<std::mutex> l(ProgressLock);
      Current.FileDone = Done;
      Current.TotalDone += n;
    }
    if (grew) {
      ++Done; // the byte past its size, cut
      break;
    }
  }
  return 0;
}

int TFileCopier::SystemCopy(const std::string &Path, int64_t &Sized, int64_t &Size, int64_t &Done) {
  int64_t shown = 0; // what the progress holds of this file
  auto onProgress = [&](int64_t D, int64_t S) {
    if (Size < 0 && S >= 0) {
      Size = S;
      SetFileSize(Size, Sized);
    }
    // Never more than its size in the totals; a file that grew is cut to it below.
    const int64_t d = Size >= 0 ? std::min(D, Size) : D;
    std::lock_guard<std::mutex> l(ProgressLock);
    Current.FileDone = d;
    Current.TotalDone += d - shown;
    shown = d;
  };
  const int code = Dest->CopySystemFile(Path, onProgress, Done, Error);
  if (code == 0 && Size < 0) { // no progress was told: the size is what was copied
    Size = Done;
    SetFileSize(Size, Sized);
    onProgress(Done, Size);
  }
  return code == 1 && Cancelled ? 2 : code;
}

int TFileCopier::CopyOne(const std::string &UncPath, int64_t &Sized, std::vector<char> &Buffer) {
  int64_t size = -1, done = 0;
  const std::string path = TCopyDest::SystemCopies() ? Source.SystemPath(UncPath) : "";
  const int code = path.empty() ? ReadInto(UncPath, Sized, Buffer, size, done)
                                : SystemCopy(path, Sized, size, done);
  if (code != 0) {
    Dest->Discard();
    return code;
  }
  if (size >= 0 && done > size) {
    platform::Diagnostic(UncPath + " grew while it was copied: the copy holds its first " +
                         std::to_string(size) + " bytes, the size it had when opened.");
    if (!path.empty() && !Dest->Truncate(size, Error)) {
      Dest->Discard();
      return 1;
    }
  } else if (size >= 0 && done != size) {
    Error =
        "the file ended after " + std::to_string(done) + " of " + std::to_string(size) + " bytes";
    Dest->Discard();
    return 1;
  }
  if (!Dest->Finish(Error)) {
    Dest->Discard();
    return 1;
  }
  if (Cancelled) {
    Dest->Discard();
    return 2;
  }
  const std::string base = TCopyDest::SystemName(SafeLocalName(UncPath));
  for (int n = 1; n <= MaxNumber; ++n) {
    const std::string name = NumberedName(base, n);
    const TCopyDest::TNaming r = Dest->Publish(name, Error);
    if (r == TCopyDest::TNaming::Done) {
      Copied.push_back(Dest->PathOf(name));
      return 0;
    }
    if (r == TCopyDest::TNaming::Failed) {
      Dest->Discard();
      return 1;
    }
  }
  Error = "no free name for " + base; // not a reason left from a file before
  Dest->Discard();
  return 1;
}

} // namespace sonquarry::copier
