#pragma once
// A bare table over a TWNetTree (name, domain, directory) with a view and its selection, for the
// tests of the commands that act on the list's rows.

#include "paths/wnet_tree.h"
#include "ui/list/row_ranges.h"

#include <QAbstractTableModel>
#include <QItemSelectionModel>
#include <QTableView>
#include <string>

namespace sonquarry::testing {

class TTreeTable final : public QAbstractTableModel {
public:
  explicit TTreeTable(TWNetTree &ATree) : Tree(ATree) {}
  int rowCount(const QModelIndex &P = {}) const override { return P.isValid() ? 0 : Tree.Count(); }
  int columnCount(const QModelIndex &P = {}) const override { return P.isValid() ? 0 : 3; }
  QVariant data(const QModelIndex &I, int Role) const override {
    if (Role != Qt::DisplayRole) return {};
    const int r = I.row();
    const std::string text = I.column() == scFileName ? std::string(Tree.File(r).Name())
                             : I.column() == scDomain ? Tree.GetDomain(r)
                                                      : Tree.GetDirectory(r);
    return QString::fromStdString(text);
  }
  void Reset() {
    beginResetModel();
    endResetModel();
  }
  TWNetTree &Tree;
};

struct TTreeView {
  TWNetTree Tree;
  TTreeTable Model{Tree};
  QTableView View;
  TTreeView() {
    View.setModel(&Model);
    View.setSelectionBehavior(QAbstractItemView::SelectRows);
    View.setSelectionMode(QAbstractItemView::ExtendedSelection);
  }
  void Add(const std::string &Domain, const std::string &Dir, const std::string &Name) {
    Tree.AddFile(Domain, Dir, Name);
    Model.Reset();
  }
  void Select(std::initializer_list<int> Rows) {
    View.selectionModel()->clearSelection();
    for (int r : Rows)
      View.selectionModel()->select(Model.index(r, 0),
                                    QItemSelectionModel::Select | QItemSelectionModel::Rows);
  }
  TRowRanges Selected() const { return SelectedRowRanges(View.selectionModel()); }
  int Current() const { return View.selectionModel()->currentIndex().row(); }
};

} // namespace sonquarry::testing
