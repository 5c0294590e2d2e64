#include "platform/os/session_bus.h"

namespace sonquarry::platform {

std::string SessionBusAddress() { return {}; }

} // namespace sonquarry::platform
