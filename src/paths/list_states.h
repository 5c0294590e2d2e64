#pragma once
// The rows' states kept beside the list file, which keeps its format: one character per row,
// '0' to '3' (TNodeState), after a line that ties them to the one list file they were saved
// with (its row count, size and modification time). States of another list are not applied.

#include "paths/wnet_tree.h"

#include <string>

namespace sonquarry {

// "...Sonquarry.lst" -> "...Sonquarry.lst.states".
std::string ListStatesFileName(const std::string &ListFileName);

// Writes the states of Tree's rows, tied to the list file as it is now (just saved). Atomic;
// false with errno on failure.
bool SaveListStates(const std::string &ListFileName, TWNetTree &Tree);
// The same in two steps, so the second may run on another thread after the list's own save:
// the rows' states as they are now, then those written and tied to the list file as it is then.
std::string ListStatesText(TWNetTree &Tree);
bool WriteListStates(const std::string &ListFileName, const std::string &States);
// Applies the saved states to Tree's rows when they were saved with this very list file; false
// (and no state changed) when there are none or they belong to another list.
bool LoadListStates(const std::string &ListFileName, TWNetTree &Tree);

} // namespace sonquarry
