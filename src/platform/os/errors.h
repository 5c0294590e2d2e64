#pragma once
// The texts of system errors, and the one error of our own that file writes report.

#include <string>

namespace sonquarry::platform {

// An errno value of our own, not the system's: a write refused because a symbolic link on the way
// to the file is owned by another user.
inline constexpr int ForeignLinkErr = 0x5351;

// The system's text for an errno value (and ours for ForeignLinkErr).
std::string ErrnoText(int Err);

// The directory of a file path: "." when it names none, "/" for a file at the root.
std::string DirOf(const std::string &Path);

} // namespace sonquarry::platform
