#pragma once
// The text format of Windows registry export files, apart from the store that keeps the hive:
// THive::Parse (UTF-8, or UTF-16LE with its byte-order mark, as regedit writes) and
// THive::Serialize live in reg_format.cpp. Internal to the registry room.

#include <string_view>

#include "platform/registry/registry.h"

namespace sonquarry::registry {

// Whether S holds CR, LF or NUL, which a quoted string of the format cannot carry.
bool HasLineBreakOrNul(std::string_view S);

} // namespace sonquarry::registry
