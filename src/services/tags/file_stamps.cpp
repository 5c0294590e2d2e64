#include "services/tags/file_stamps.h"

#include <algorithm>
#include <functional>

namespace sonquarry::tags {

namespace {
uint64_t HashOf(std::string_view S) { return std::hash<std::string_view>{}(S); }
} // namespace

void TFileStamps::Add(std::string_view Dir, const std::vector<std::string> &Names,
                      const std::vector<net::FileStat> &Stats) {
  std::string Path(Dir);
  if (Path.empty() || Path.back() != '\\') Path += '\\';
  const std::size_t Base = Path.size();
  for (std::size_t I = 0; I < Names.size() && I < Stats.size(); ++I) {
    if (Stats[I].Size < 0 && !Stats[I].Directory) continue;
    Path.resize(Base);
    Path += Names[I];
    Items_.push_back({HashOf(Path), Stats[I].Size, Stats[I].WriteTime});
  }
}

net::FileStat TFileStamps::Find(std::string_view Unc) {
  if (Sorted_ != Items_.size()) {
    // The later of two listings of one path comes last and is the one found.
    std::stable_sort(Items_.begin(), Items_.end(),
                     [](const TItem &A, const TItem &B) { return A.Hash < B.Hash; });
    Sorted_ = Items_.size();
  }
  const uint64_t H = HashOf(Unc);
  auto It = std::upper_bound(Items_.begin(), Items_.end(), H,
                             [](uint64_t V, const TItem &I) { return V < I.Hash; });
  if (It == Items_.begin() || std::prev(It)->Hash != H) return {};
  --It;
  // Only a directory is kept without a size.
  return {It->Size, It->WriteTime, It->Size < 0};
}

void TFileStamps::Clear() {
  Items_.clear();
  Items_.shrink_to_fit();
  Sorted_ = 0;
}

} // namespace sonquarry::tags
