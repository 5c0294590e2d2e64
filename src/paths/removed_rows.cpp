#include "paths/removed_rows.h"

namespace sonquarry {

void TRemovedRows::Take(TWNetTree &Tree, const std::vector<int> &Indices, bool KeepTagRefs) {
  TNodeId lastParent = NoNode;
  for (const int i : Indices) {
    TWNetNode file = Tree.File(i);
    const TNodeId parent = file.Parent().Id();
    if (Dirs_.empty() || parent != lastParent)
      Dirs_.push_back({Tree.GetDomain(i), Tree.GetDirectory(i), {}});
    lastParent = parent;
    Dirs_.back().Rows.push_back(
        {i, std::string(file.Name()), file.State(), KeepTagRefs ? Tree.TagRef(i) : 0u});
    ++Count_;
  }
}

bool TRemovedRows::Restore(TWNetTree &Tree) const {
  const int before = Tree.Count();
  std::vector<int> places;
  places.reserve(static_cast<size_t>(Count_));
  for (const TDir &d : Dirs_)
    for (const TRow &r : d.Rows) {
      const int at = Tree.Count();
      Tree.AddFile(d.Domain, d.Directory, r.Name);
      if (Tree.Count() != at + 1) continue; // the file is in the list again: no row to place
      TWNetNode file = Tree.File(at);
      file.SetState(r.State);
      if (r.TagRef) Tree.SetTagRef(file.Id(), r.TagRef);
      places.push_back(r.Index);
    }
  if (Tree.Count() - before != Count_ || before + Count_ <= (places.empty() ? -1 : places.back()))
    return false;
  Tree.MoveLastFilesTo(places);
  return true;
}

} // namespace sonquarry
