// WS-Discovery in the Win32 build: its parser needs libxml2 and its transport libcurl, neither of
// which is built for Windows here, so a probe finds nothing and says so once.
#include "platform/wsd/ws_discovery.h"

#include <mutex>

#include "platform/os/diag.h"
#include "platform/wsd/wsd_soap.h"

namespace sonquarry::wsd {

std::vector<WsdComputer> DiscoverComputers(const WsdOptions &Options) {
  static std::once_flag Once;
  std::call_once(Once, [&Options] {
    const std::string Line = "WS-Discovery: not available in this Windows build; the "
                             "neighbourhood comes from the system's network provider alone.";
    if (Options.Log)
      Options.Log(Line);
    else
      platform::Diagnostic(Line);
  });
  return {};
}

std::string Dotted(uint32_t Address) {
  return std::to_string(Address >> 24) + '.' + std::to_string((Address >> 16) & 0xff) + '.' +
         std::to_string((Address >> 8) & 0xff) + '.' + std::to_string(Address & 0xff);
}

} // namespace sonquarry::wsd
