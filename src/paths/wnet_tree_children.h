#pragma once
// What the tree's storage shares with its child lists: the name index of a long child list.

#include "paths/wnet_tree.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace sonquarry {

// A child list gets a name index at this many children and drops it below IndexLow.
inline constexpr size_t IndexThreshold = 16;
inline constexpr size_t IndexLow = 8;

// Index slots hold a node id in the low bits and a few hash bits above it, so that most probes
// that miss are told apart without touching the node.
inline constexpr unsigned IdBits = 26;
inline constexpr uint32_t IdMask = (1u << IdBits) - 1;
inline constexpr uint32_t EmptySlot = 0xFFFFFFFFu;
inline constexpr uint32_t MaxNodes = IdMask; // the id IdMask would look like an empty slot

struct TWNetTree::TNameIndex {
  std::vector<uint32_t> Slots; // power-of-two size, EmptySlot when free
  uint32_t Used = 0;
  bool MayHaveDuplicates = false; // AddNode was given a name already present
};

} // namespace sonquarry
