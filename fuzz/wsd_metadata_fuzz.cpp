// The metadata a device returns for the Get: a computer name and workgroup that end up in UNC
// paths, the list file and log lines.
#include "platform/wsd/ws_discovery.h"

#include <cstddef>
#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *Data, size_t Size) {
  const std::string Text(reinterpret_cast<const char *>(Data), Size);
  for (const bool Whole : {true, false}) {
    sonquarry::wsd::WsdComputer C;
    std::string Why;
    const bool Ok = Whole ? sonquarry::wsd::ParseWsdMetadata(Text, C, Why)
                          : sonquarry::wsd::ParseWsdComputerText(Text, C, Why);
    if (!Ok) {
      if (Why.empty()) __builtin_trap();
      continue;
    }
    if (C.Name.empty() || C.Name.size() > 63 || C.Workgroup.size() > 255) __builtin_trap();
    for (const std::string *S : {&C.Name, &C.Workgroup})
      for (char Ch : *S)
        if (static_cast<unsigned char>(Ch) < 0x20 || Ch == '\\' || Ch == '/' || Ch == ':')
          __builtin_trap();
  }
  return 0;
}
