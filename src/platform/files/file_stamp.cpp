#include "platform/files/file_stamp.h"

#include <sys/stat.h>

namespace sonquarry::files {

bool ReadFileStamp(const std::string &Path, FileStamp &Out) {
  struct stat St {};
  if (::stat(Path.c_str(), &St) != 0) return false;
  Out.Size = int64_t(St.st_size);
  Out.Seconds = int64_t(St.st_mtim.tv_sec);
  Out.Nanoseconds = long(St.st_mtim.tv_nsec);
  return true;
}

} // namespace sonquarry::files
