#include "platform/files/file_stamp.h"

#include <windows.h>

#include "platform/os/win32_api.h"

namespace sonquarry::files {

bool ReadFileStamp(const std::string &Path, FileStamp &Out) {
  WIN32_FILE_ATTRIBUTE_DATA A{};
  if (!::GetFileAttributesExW(platform::Widen(Path).c_str(), GetFileExInfoStandard, &A))
    return false;
  // 100 ns ticks since 1601; 11644473600 s lie between 1601 and 1970.
  const uint64_t Ticks =
      (uint64_t(A.ftLastWriteTime.dwHighDateTime) << 32) | A.ftLastWriteTime.dwLowDateTime;
  Out.Size = int64_t((uint64_t(A.nFileSizeHigh) << 32) | A.nFileSizeLow);
  Out.Seconds = int64_t(Ticks / 10000000ull) - 11644473600ll;
  Out.Nanoseconds = long(Ticks % 10000000ull) * 100;
  return true;
}

} // namespace sonquarry::files
