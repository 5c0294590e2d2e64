#include "ui/list/row_ranges.h"

#include "ui/list/row_selection.h"

#include <QItemSelectionModel>
#include <algorithm>

namespace sonquarry {

TRowRanges RowRangesOf(const QItemSelection &Selection) {
  TRowRanges out;
  out.reserve(static_cast<size_t>(Selection.size()));
  for (const QItemSelectionRange &r : Selection)
    if (r.isValid()) out.push_back({r.top(), r.bottom()});
  std::sort(out.begin(), out.end(),
            [](const TRowRange &a, const TRowRange &b) { return a.First < b.First; });
  // Whole-row selections of several columns may come as overlapping ranges; merge them.
  size_t n = 0;
  for (const TRowRange &r : out) {
    if (n > 0 && r.First <= out[n - 1].Last + 1)
      out[n - 1].Last = std::max(out[n - 1].Last, r.Last);
    else
      out[n++] = r;
  }
  out.resize(n);
  return out;
}

TRowRanges SelectedRowRanges(const QItemSelectionModel *Model) {
  if (const auto *rows = qobject_cast<const TRowSelectionModel *>(Model)) return rows->Ranges();
  return Model ? RowRangesOf(Model->selection()) : TRowRanges{};
}

void ClearSelection(QItemSelectionModel &Model) {
  Model.select(QItemSelection(), QItemSelectionModel::Clear);
}

int RowCountOf(const TRowRanges &Ranges) {
  int n = 0;
  for (const TRowRange &r : Ranges) n += r.Last - r.First + 1;
  return n;
}

} // namespace sonquarry
