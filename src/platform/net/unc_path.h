#pragma once
// A UNC path taken apart: "\\PC\share\dir\file" is server "PC", share "share", rest "dir\file".
// The one place that reads the computer or the share out of a path.
//
// Only "\" separates. A run of separators after the server counts as one, as in the smb:// URL
// that the path becomes (net::UncToSmbUrl drops empty components too). "/" is a character of a
// name, like any other byte; names are UTF-8 and taken as they are.

#include <string>
#include <string_view>

namespace sonquarry::net {

struct UncPath {
  std::string Server; // "" when the text does not start with "\\" and a name
  std::string Share;  // "" when it names a computer only
  std::string Rest;   // below the share, without separators at its ends; "" at the share's root

  static UncPath Parse(std::string_view Text);

  // "\\Server", "\\Server\Share" or "\\Server\Share\Rest"; "" without a server.
  std::string Str() const;

  bool operator==(const UncPath &) const = default;
};

} // namespace sonquarry::net
