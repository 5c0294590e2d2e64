#pragma once
// Where the user's D-Bus session bus is, found without starting one: a library asked for "the
// session bus" with no address would try to autolaunch a bus (dbus-launch) on an X display.

#include <string>

namespace sonquarry::platform {

// DBUS_SESSION_BUS_ADDRESS when set, else "unix:path=$XDG_RUNTIME_DIR/bus" when that socket
// exists; empty when there is no session bus (always on Windows).
std::string SessionBusAddress();

} // namespace sonquarry::platform
