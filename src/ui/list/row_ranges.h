#pragma once
// The selected rows of the list as sorted, disjoint ranges: walking ranges instead of listing
// rows keeps "every row selected" of a million-row list cheap.

#include <vector>

class QItemSelection;
class QItemSelectionModel;

namespace sonquarry {

struct TRowRange {
  int First = 0;
  int Last = 0; // inclusive
  bool operator==(const TRowRange &) const = default;
};
using TRowRanges = std::vector<TRowRange>;

// Rows of Selection, sorted, overlapping and adjacent ranges merged.
TRowRanges RowRangesOf(const QItemSelection &Selection);
// The selected rows of Model; empty without a model.
TRowRanges SelectedRowRanges(const QItemSelectionModel *Model);
int RowCountOf(const TRowRanges &Ranges);
// Selects no row. (Qt's clearSelection does nothing where its own ranges are empty, as they are
// in the list's row selection.)
void ClearSelection(QItemSelectionModel &Model);
// The first selected row, -1 when none.
inline int FirstRowOf(const TRowRanges &Ranges) { return Ranges.empty() ? -1 : Ranges[0].First; }

} // namespace sonquarry
