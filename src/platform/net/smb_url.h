#pragma once
// The one place where UNC paths become smb:// URLs.

#include <string>

namespace sonquarry::net {

// Percent-encodes every byte outside the URL's unreserved set (letters, digits, "-._~"), so "#",
// "%", "&", "?", "+", "/", ";", spaces and every non-ASCII byte of UTF-8 are passed as %XX.
std::string SmbUrlEncode(const std::string &Text);

// "\\PC\share\dir" -> "smb://PC/share/dir", each component encoded; "" -> "smb://" (the network);
// a workgroup or computer name without backslashes -> "smb://NAME". Empty components (doubled or
// trailing backslashes) are dropped.
std::string UncToSmbUrl(const std::string &Unc);

} // namespace sonquarry::net
