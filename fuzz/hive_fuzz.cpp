// The hive parser on arbitrary bytes: it never crashes, and whatever it accepts is written back
// as text that reads to the same hive and is written again unchanged.
#include "platform/registry/registry.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *Data, size_t Size) {
  using sonquarry::registry::THive;
  // Inputs with an odd first byte get a header and a key in front, so that the body of a hive
  // is explored from the start instead of after the header has been found by chance.
  std::string input;
  if (Size > 0 && (Data[0] & 1)) {
    input = "Windows Registry Editor Version 5.00\r\n[HKEY_CURRENT_USER\\Software\\A]\r\n";
    input.append(reinterpret_cast<const char *>(Data) + 1, Size - 1);
  } else {
    input.assign(reinterpret_cast<const char *>(Data), Size);
  }
  const std::string_view text(input);
  std::string error;
  const std::optional<THive> hive = THive::Parse(text, &error);
  if (!hive) {
    if (error.rfind("line ", 0) != 0) std::abort(); // every refusal names its line
    return 0;
  }
  const std::string written = hive->Serialize();
  const std::optional<THive> again = THive::Parse(written);
  if (!again || !(*again == *hive)) std::abort();
  if (again->Serialize() != written) std::abort();
  return 0;
}
