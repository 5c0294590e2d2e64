#pragma once
// The result list's selection, one flag per row. Qt's own selection model keeps a list of
// ranges and scans all of them for every drawn cell, so a selection of every other row of a
// million rows made each redraw take most of a second. TRowSelectionModel takes every change
// the view and the window make (select, clear, reset are virtual) and keeps the rows itself;
// the delegate draws from it and the window reads it through SelectedRowRanges. The ranges of
// the base class stay empty, except while the view handles a press on a selected row (Qt asks
// the base class then; TListView sees to that).

#include "ui/list/row_ranges.h"

#include <QItemSelectionModel>
#include <QStyledItemDelegate>
#include <QTableView>
#include <cstdint>
#include <vector>

namespace sonquarry {

class TRowSelectionModel final : public QItemSelectionModel {
  Q_OBJECT
public:
  explicit TRowSelectionModel(QAbstractItemModel *Model, QObject *Parent = nullptr);

  void select(const QModelIndex &Index, QItemSelectionModel::SelectionFlags Command) override;
  void select(const QItemSelection &Selection,
              QItemSelectionModel::SelectionFlags Command) override;
  void clear() override;
  void reset() override;

  // Every row selected that was not, and the other way round (one change).
  void Invert();
  bool RowSelected(int Row) const;
  TRowRanges Ranges() const;

  // While a mouse press or release on Row is handled: the base class holds Row if selected.
  void BeginPress(int Row);
  void EndPress();

private:
  void Finish(); // applies the pending change to Rows_
  void Changed(int First, int Last);
  void Resize(int Count);

  std::vector<uint8_t> Rows_; // 1 = selected, before the pending change
  // The change still open to replacement by a command with Current (a drag, Shift+arrows).
  TRowRanges Pending_;
  QItemSelectionModel::SelectionFlags PendingCommand_ = NoUpdate;
  bool Pressed_ = false;
};

// Draws a row selected when the model says so; a cell too narrow for its text shows the whole
// text as its tooltip.
class TRowSelectionDelegate final : public QStyledItemDelegate {
  Q_OBJECT
public:
  TRowSelectionDelegate(const TRowSelectionModel &Selection, QObject *Parent);
  bool helpEvent(QHelpEvent *Event, QAbstractItemView *View, const QStyleOptionViewItem &Option,
                 const QModelIndex &Index) override;

protected:
  void initStyleOption(QStyleOptionViewItem *Option, const QModelIndex &Index) const override;

private:
  const TRowSelectionModel &Selection_;
};

// Puts a TRowSelectionModel and its delegate on View (after setModel) and returns it.
TRowSelectionModel *InstallRowSelection(QTableView &View);

// The list view over a TRowSelectionModel with its delegate, seen by assistive technology through
// list_accessible.h.
class TListView final : public QTableView {
  Q_OBJECT
public:
  explicit TListView(QWidget *Parent = nullptr);
  // After setModel: puts a TRowSelectionModel in place.
  void UseRowSelection();

protected:
  void mousePressEvent(QMouseEvent *Event) override;
  void mouseReleaseEvent(QMouseEvent *Event) override;
  void selectionChanged(const QItemSelection &Selected, const QItemSelection &Deselected) override;
  QModelIndex moveCursor(CursorAction Action, Qt::KeyboardModifiers Modifiers) override;

private:
  TRowSelectionModel *Rows_ = nullptr;
};

} // namespace sonquarry
