#pragma once
// Incremental, case-insensitive substring search over the rows of a TWNetTree, done in slices so
// that a long list never blocks the window for long.

#include "paths/wnet_tree.h"

#include <cstdint>
#include <functional>
#include <string>

namespace sonquarry {

class TTreeSearch {
public:
  // Bits of Fields: which texts of a row are searched.
  static constexpr uint32_t FieldName = 1, FieldDirectory = 2, FieldDomain = 4, FieldTags = 8;

  explicit TTreeSearch(TWNetTree *ATree); // raises "TTreeSearch.Create: ATree = nil."

  // Set by the owner.
  bool Cancelled = false;
  bool SelectAll = false; // kept for the owner; the search does not read it
  uint32_t Fields = FieldName;
  int32_t Position = 0; // the next row to test
  int32_t Step = 100;   // one FindNext tests up to Step + 1 rows
  // The texts of a row's music tags, for FieldTags (the tree does not keep them).
  std::function<std::string(int Index)> TagText;

  TWNetTree *Tree() const { return SearchTree; }
  const std::string &SearchText() const { return Text; }
  void SetSearchText(const std::string &AText); // stored lower-cased

  bool Finished() const;
  // Tests the rows from Position on, one slice; true with Position on the first match.
  bool FindNext();

private:
  bool Matches(int Index);

  TWNetTree *SearchTree;
  std::string Text;
  std::string Lowered;
  std::string LowDomain, LowDirectory; // of the row last tested
  TNodeId LowParent = NoNode;
};

} // namespace sonquarry
