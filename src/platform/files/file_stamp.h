#pragma once
// What tells one save of a file from the next: its size and modification time.

#include <cstdint>
#include <string>

namespace sonquarry::files {

struct FileStamp {
  int64_t Size = 0;
  int64_t Seconds = 0;  // since 1970
  long Nanoseconds = 0; // within the second, as fine as the file system keeps it
};

// False when the file cannot be looked at.
bool ReadFileStamp(const std::string &Path, FileStamp &Out);

} // namespace sonquarry::files
