#include "paths/tree_search.h"

#include "platform/os/exception.h"
#include "text/utf8_text.h"

#include <algorithm>

namespace sonquarry {

TTreeSearch::TTreeSearch(TWNetTree *ATree) : SearchTree(ATree) {
  if (!ATree) throw Exception("TTreeSearch.Create: ATree = nil.");
}

void TTreeSearch::SetSearchText(const std::string &AText) { text::LowerUtf8(AText, Text); }

bool TTreeSearch::Finished() const {
  return Cancelled || Position < 0 || Position > SearchTree->Count() - 1;
}

bool TTreeSearch::Matches(int Index) {
  if (Text.empty()) return false;
  TWNetNode file = SearchTree->File(Index);
  if (Fields & FieldName) {
    text::LowerUtf8(file.Name(), Lowered);
    if (Lowered.find(Text) != std::string::npos) return true;
  }
  if ((Fields & FieldTags) && TagText) {
    text::LowerUtf8(TagText(Index), Lowered);
    if (Lowered.find(Text) != std::string::npos) return true;
  }
  if (!(Fields & (FieldDirectory | FieldDomain))) return false;
  // Rows of one directory follow each other: their lower-cased texts are made once.
  const TNodeId parent = file.Parent().Id();
  if (parent != LowParent) {
    text::LowerUtf8(SearchTree->GetDomain(Index), LowDomain);
    text::LowerUtf8(SearchTree->GetDirectory(Index), LowDirectory);
    LowParent = parent;
  }
  if ((Fields & FieldDirectory) && LowDirectory.find(Text) != std::string::npos) return true;
  return (Fields & FieldDomain) && LowDomain.find(Text) != std::string::npos;
}

bool TTreeSearch::FindNext() {
  const int64_t count = SearchTree->Count();
  if (Cancelled || Position < 0 || Position > count) return false;
  // A negative Step would never move Position on, and the caller's loop would not end.
  const int64_t last = std::min<int64_t>(int64_t{Position} + std::max<int32_t>(Step, 0), count - 1);
  if (last < Position) return false;
  // Nodes may have been freed or reused since the last call.
  LowParent = NoNode;
  for (; Position <= last; ++Position)
    if (Matches(Position)) return true;
  return false;
}

} // namespace sonquarry
