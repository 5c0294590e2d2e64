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
  const TTagResult R = ReadTags(Source, Data[0] & 1 ? "f.wma" : "f.mp3", Limits);
  if (R.BytesRead > Limits.MaxBytes) std::abort();
  return 0;
}
