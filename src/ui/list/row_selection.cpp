#include "ui/list/row_selection.h"

#include "ui/list/list_accessible.h"
#include "ui/services/plain_tooltip.h"

#include <QApplication>
#include <QHelpEvent>
#include <QMouseEvent>
#include <QSignalBlocker>
#include <QStyle>
#include <QToolTip>
#include <algorithm>
#include <climits>

namespace sonquarry {

namespace {

using Flags = QItemSelectionModel::SelectionFlags;

// Row state after a command: the same order of precedence as Qt's selection model.
bool Apply(Flags Command, bool Selected) {
  if (Command & QItemSelectionModel::Deselect) return false;
  if (Command & QItemSelectionModel::Toggle) return !Selected;
  return (Command & QItemSelectionModel::Select) ? true : Selected;
}

// The rows of A changed by Command on the rows of B, both sorted and disjoint.
TRowRanges Combine(const TRowRanges &A, const TRowRanges &B, Flags Command) {
  std::vector<int> pa, pb; // where membership flips
  for (const TRowRange &r : A) pa.push_back(r.First), pa.push_back(r.Last + 1);
  for (const TRowRange &r : B) pb.push_back(r.First), pb.push_back(r.Last + 1);
  TRowRanges out;
  size_t i = 0, j = 0;
  bool inA = false, inB = false, on = false;
  int start = 0;
  while (i < pa.size() || j < pb.size()) {
    const int p = std::min(i < pa.size() ? pa[i] : INT_MAX, j < pb.size() ? pb[j] : INT_MAX);
    for (; i < pa.size() && pa[i] == p; ++i) inA = !inA;
    for (; j < pb.size() && pb[j] == p; ++j) inB = !inB;
    const bool v = inB ? Apply(Command, inA) : inA;
    if (v && !on) start = p;
    if (!v && on) out.push_back({start, p - 1});
    on = v;
  }
  return out;
}

} // namespace

TRowSelectionModel::TRowSelectionModel(QAbstractItemModel *Model, QObject *Parent)
    : QItemSelectionModel(Model, Parent) {
  Rows_.assign(static_cast<size_t>(Model->rowCount()), 0);
  connect(Model, &QAbstractItemModel::rowsInserted, this,
          [this](const QModelIndex &P, int First, int Last) {
            if (P.isValid()) return;
            const int n = Last - First + 1;
            Rows_.insert(Rows_.begin() + First, static_cast<size_t>(n), 0);
            // As Qt's ranges do: one that reaches over the new rows takes them in.
            for (TRowRange &r : Pending_) {
              if (r.First >= First) r.First += n;
              if (r.Last >= First) r.Last += n;
            }
          });
  connect(Model, &QAbstractItemModel::rowsRemoved, this,
          [this](const QModelIndex &P, int First, int Last) {
            if (P.isValid()) return;
            const int n = Last - First + 1;
            Rows_.erase(Rows_.begin() + First, Rows_.begin() + Last + 1);
            TRowRanges kept;
            for (const TRowRange &r : Pending_) {
              const int f = r.First < First ? r.First : r.First > Last ? r.First - n : First;
              const int l = r.Last < First ? r.Last : r.Last > Last ? r.Last - n : First - 1;
              if (f <= l) kept.push_back({f, l});
            }
            Pending_ = std::move(kept);
          });
  // Rows replaced or reordered: their flags no longer belong to them (the window clears the
  // selection before it sorts).
  connect(Model, &QAbstractItemModel::modelReset, this, [this] { Resize(-1); });
  connect(Model, &QAbstractItemModel::layoutChanged, this, [this] { Resize(-1); });
}

void TRowSelectionModel::Resize(int Count) {
  if (Count < 0) {
    Rows_.assign(static_cast<size_t>(model()->rowCount()), 0);
    Pending_.clear();
  } else if (static_cast<size_t>(Count) != Rows_.size()) {
    Finish();
    Rows_.resize(static_cast<size_t>(Count), 0);
  }
}

void TRowSelectionModel::select(const QModelIndex &Index, Flags Command) {
  select(QItemSelection(Index, Index), Command);
}

void TRowSelectionModel::select(const QItemSelection &Selection, Flags Command) {
  if (Command == NoUpdate) return;
  Resize(model()->rowCount());
  const int n = static_cast<int>(Rows_.size());
  TRowRanges rows;
  for (TRowRange r : RowRangesOf(Selection)) {
    r.First = std::max(r.First, 0), r.Last = std::min(r.Last, n - 1);
    if (r.First <= r.Last) rows.push_back(r);
  }
  int first = INT_MAX, last = -1; // rows that may look different now
  const auto widen = [&](const TRowRanges &R) {
    if (!R.empty()) first = std::min(first, R.front().First), last = std::max(last, R.back().Last);
  };
  if (Command & Clear) {
    widen(Ranges());
    std::fill(Rows_.begin(), Rows_.end(), 0);
    Pending_.clear();
  }
  // Without Current the open change is final; with it, a new one replaces it.
  if (!(Command & Current)) Finish();
  if (Command & (Toggle | Select | Deselect)) {
    widen(Pending_);
    widen(rows);
    Pending_ = std::move(rows);
    PendingCommand_ = Command;
  }
  if (last >= 0) Changed(first, last);
}

void TRowSelectionModel::clear() {
  select(QItemSelection(), Clear);
  clearCurrentIndex();
}

void TRowSelectionModel::reset() {
  Resize(-1);
  QItemSelectionModel::reset();
}

void TRowSelectionModel::Finish() {
  for (const TRowRange &r : Pending_)
    for (int i = r.First; i <= r.Last && i < static_cast<int>(Rows_.size()); ++i)
      Rows_[static_cast<size_t>(i)] = Apply(PendingCommand_, Rows_[static_cast<size_t>(i)] != 0);
  Pending_.clear();
}

void TRowSelectionModel::Changed(int First, int Last) {
  const int columns = model()->columnCount();
  if (columns <= 0) return;
  emit selectionChanged(QItemSelection(model()->index(First, 0), model()->index(Last, columns - 1)),
                        QItemSelection());
}

void TRowSelectionModel::Invert() {
  Finish();
  for (uint8_t &r : Rows_) r ^= 1;
  if (!Rows_.empty()) Changed(0, static_cast<int>(Rows_.size()) - 1);
}

bool TRowSelectionModel::RowSelected(int Row) const {
  if (Row < 0 || static_cast<size_t>(Row) >= Rows_.size()) return false;
  const bool selected = Rows_[static_cast<size_t>(Row)] != 0;
  const auto it = std::lower_bound(Pending_.begin(), Pending_.end(), Row,
                                   [](const TRowRange &R, int V) { return R.Last < V; });
  if (it == Pending_.end() || it->First > Row) return selected;
  return Apply(PendingCommand_, selected);
}

TRowRanges TRowSelectionModel::Ranges() const {
  TRowRanges rows;
  const auto begin = Rows_.begin(), end = Rows_.end();
  for (auto i = std::find(begin, end, 1); i != end;) {
    const auto j = std::find(i, end, 0);
    rows.push_back({static_cast<int>(i - begin), static_cast<int>(j - begin) - 1});
    i = std::find(j, end, 1);
  }
  return Pending_.empty() ? rows : Combine(rows, Pending_, PendingCommand_);
}

void TRowSelectionModel::BeginPress(int Row) {
  if (Pressed_ || !RowSelected(Row)) return;
  const QSignalBlocker quiet(this);
  // Qualified: the base class's own ranges, not this model's rows.
  QItemSelectionModel::select(
      QItemSelection(model()->index(Row, 0), model()->index(Row, model()->columnCount() - 1)),
      Select);
  Pressed_ = true;
}

void TRowSelectionModel::EndPress() {
  if (!Pressed_) return;
  const QSignalBlocker quiet(this);
  QItemSelectionModel::select(QItemSelection(), Clear);
  Pressed_ = false;
}

TRowSelectionDelegate::TRowSelectionDelegate(const TRowSelectionModel &Selection, QObject *Parent)
    : QStyledItemDelegate(Parent), Selection_(Selection) {}

void TRowSelectionDelegate::initStyleOption(QStyleOptionViewItem *Option,
                                            const QModelIndex &Index) const {
  QStyledItemDelegate::initStyleOption(Option, Index);
  if (Selection_.RowSelected(Index.row()))
    Option->state |= QStyle::State_Selected;
  else
    Option->state &= ~QStyle::State_Selected;
}

bool TRowSelectionDelegate::helpEvent(QHelpEvent *Event, QAbstractItemView *View,
                                      const QStyleOptionViewItem &Option,
                                      const QModelIndex &Index) {
  if (Event->type() != QEvent::ToolTip)
    return QStyledItemDelegate::helpEvent(Event, View, Option, Index);
  QStyleOptionViewItem opt = Option;
  initStyleOption(&opt, Index);
  const QStyle *style = opt.widget ? opt.widget->style() : QApplication::style();
  // Over the state icon: the state's name (the model's tool tip of the cell that draws it).
  const QVariant tip = Index.data(Qt::ToolTipRole);
  if (tip.isValid() && (opt.features & QStyleOptionViewItem::HasDecoration) &&
      style->subElementRect(QStyle::SE_ItemViewItemDecoration, &opt, opt.widget)
          .contains(Event->pos())) {
    QToolTip::showText(Event->globalPos(), PlainToolTip(tip.toString()), View->viewport(),
                       Option.rect);
    return true;
  }
  const int margin = style->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, opt.widget) + 1;
  const int room =
      style->subElementRect(QStyle::SE_ItemViewItemText, &opt, opt.widget).width() - 2 * margin;
  if (!opt.text.isEmpty() && opt.fontMetrics.horizontalAdvance(opt.text) > room) {
    QToolTip::showText(Event->globalPos(), PlainToolTip(opt.text), View->viewport(), Option.rect);
    return true;
  }
  QToolTip::hideText();
  return false;
}

TListView::TListView(QWidget *Parent) : QTableView(Parent) {
  InstallListAccessibility();
  setTabKeyNavigation(false); // Tab leaves the list; the arrow keys move within it
}

QModelIndex TListView::moveCursor(CursorAction Action, Qt::KeyboardModifiers Modifiers) {
  // Home and End go to the first and last row, as in a list: the table's own go to the first
  // and last column and scroll the names and state icons out of view.
  if ((Action == MoveHome || Action == MoveEnd) && model() && model()->rowCount() > 0) {
    const int column = std::max(currentIndex().column(), 0);
    return model()->index(Action == MoveHome ? 0 : model()->rowCount() - 1, column);
  }
  return QTableView::moveCursor(Action, Modifiers);
}

void TListView::selectionChanged(const QItemSelection &Selected, const QItemSelection &Deselected) {
  // Not QTableView's own: for its accessibility event it lists every index of the change.
  NotifyListSelection(*this, Selected);
  NotifyListSelection(*this, Deselected);
  QAbstractItemView::selectionChanged(Selected, Deselected);
}

TRowSelectionModel *InstallRowSelection(QTableView &View) {
  QItemSelectionModel *old = View.selectionModel();
  auto *rows = new TRowSelectionModel(View.model(), &View);
  View.setSelectionModel(rows);
  delete old;
  View.setItemDelegate(new TRowSelectionDelegate(*rows, &View));
  return rows;
}

void TListView::UseRowSelection() { Rows_ = InstallRowSelection(*this); }

namespace {
struct TPressScope {
  TRowSelectionModel *Rows;
  TPressScope(TRowSelectionModel *R, int Row) : Rows(R) {
    if (Rows) Rows->BeginPress(Row);
  }
  ~TPressScope() {
    if (Rows) Rows->EndPress();
  }
};
} // namespace

void TListView::mousePressEvent(QMouseEvent *Event) {
  const TPressScope scope(Rows_, indexAt(Event->position().toPoint()).row());
  QTableView::mousePressEvent(Event);
}

void TListView::mouseReleaseEvent(QMouseEvent *Event) {
  const TPressScope scope(Rows_, indexAt(Event->position().toPoint()).row());
  QTableView::mouseReleaseEvent(Event);
}

} // namespace sonquarry
