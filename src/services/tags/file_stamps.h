#pragma once
// The size and last-write time of the files a search found, as their directories' listings gave
// them, kept until the tags of those files are read: with them a file the cache knows costs no
// question to its server. 24 bytes a file, by a hash of its path.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/net/net_provider.h"

namespace sonquarry::tags {

class TFileStamps {
public:
  // Dir's files (Dir with or without its closing backslash).
  void Add(std::string_view Dir, const std::vector<std::string> &Names,
           const std::vector<net::FileStat> &Stats);
  // What the listing said of Unc ("\\PC\share\dir\name"); Size -1 when it said nothing or Unc is
  // a directory (Directory set).
  net::FileStat Find(std::string_view Unc);
  void Clear();
  std::size_t Count() const { return Items_.size(); }

private:
  struct TItem {
    uint64_t Hash;
    int64_t Size;
    int64_t WriteTime;
  };
  std::vector<TItem> Items_;
  std::size_t Sorted_ = 0; // Items_ before this are in order
};

} // namespace sonquarry::tags
