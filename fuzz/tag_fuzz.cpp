// The tag reader on arbitrary bytes, as they would come from a server: the first byte picks the
// format, the rest is the file. Whatever the file says, no more than the budget is read.

#include "platform/tags/tag_reader.h"

#include <cstdint>
#include <cstdlib>

using namespace sonquarry::tags;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *Data, size_t Size) {
  if (Size < 1) return 0;
  TMemoryRangeSource Source({Data + 1, Size - 1});
  TTagLimits Limits;
  Limits.MaxBytes = 64 << 10;
  static const char *const Names[] = {"f.mp3", "f.wma", "f.flac", "f.ogg", "f.opus", "f.m4a"};
  const TTagResult R = ReadTags(Source, Names[Data[0] % 6], Limits);
  if (R.BytesRead > Limits.MaxBytes) std::abort();
  return 0;
}
