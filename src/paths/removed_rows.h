#pragma once
// Rows taken out of the list by a command (Clear, Delete, Remove), kept so that Undo puts them
// back where they were, with their states and tag entries.

#include "paths/wnet_tree.h"

#include <cstdint>
#include <string>
#include <vector>

namespace sonquarry {

class TRemovedRows {
public:
  // Records rows Indices (ascending) of Tree, before the command removes them. Consecutive rows
  // of one directory share its texts. Without KeepTagRefs (the tags go too) none is put back.
  void Take(TWNetTree &Tree, const std::vector<int> &Indices, bool KeepTagRefs = true);
  // Puts them back: appended, then moved to their old places. The tree must hold the rows it
  // held after the removal; false (the rows appended at the end) when it no longer does.
  bool Restore(TWNetTree &Tree) const;
  int Count() const { return Count_; }

private:
  struct TRow {
    int Index;
    std::string Name;
    TNodeState State;
    uint32_t TagRef;
  };
  struct TDir {
    std::string Domain, Directory;
    std::vector<TRow> Rows;
  };
  std::vector<TDir> Dirs_;
  int Count_ = 0;
};

} // namespace sonquarry
