// Answers to a WS-Discovery Probe or Resolve, as any device on the network may send them.
#include "platform/wsd/ws_discovery.h"

#include <cstddef>
#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *Data, size_t Size) {
  const std::string Text(reinterpret_cast<const char *>(Data), Size);
  sonquarry::wsd::WsdAnswer A;
  std::string Why;
  if (!sonquarry::wsd::ParseWsdAnswer(Text, A, Why)) {
    if (Why.empty()) __builtin_trap();
    return 0;
  }
  if (A.RelatesTo.empty() || A.Matches.size() > 64 || (A.Resolve && A.Matches.size() != 1))
    __builtin_trap();
  for (const auto &M : A.Matches) {
    if (M.Endpoint.empty() || M.Endpoint.find_first_of(" <>\n") != std::string::npos)
      __builtin_trap();
    // Whatever the device wrote, the Get may only go to the address that answered.
    const std::string Url = sonquarry::wsd::WsdUsableXAddr(M.XAddrs, 0x0A000001);
    if (!Url.empty() && Url.rfind("http://10.0.0.1", 0) != 0) __builtin_trap();
    if (Url.size() > 15 && Url[15] != '/' && Url[15] != ':') __builtin_trap();
  }
  return 0;
}
