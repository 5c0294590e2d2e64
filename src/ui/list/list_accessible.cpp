#include "ui/list/list_accessible.h"

#include "ui/list/row_ranges.h"
#include "ui/list/row_selection.h"

#include <QAccessibleWidget>
#include <QHash>
#include <QHeaderView>
#include <QPointer>
#include <QTableView>
#include <memory>

namespace sonquarry {
namespace {

bool RowSelected(const QTableView *View, int Row) {
  const QItemSelectionModel *s = View->selectionModel();
  if (const auto *rows = qobject_cast<const TRowSelectionModel *>(s)) return rows->RowSelected(Row);
  return s && s->isRowSelected(Row, {});
}

int Columns(const QTableView *View) { return View->model() ? View->model()->columnCount() : 0; }
int Rows(const QTableView *View) { return View->model() ? View->model()->rowCount() : 0; }

// Qt's numbering of a table view's children: the header row and the header column first.
int ChildIndex(const QTableView *View, int Row, int Column) {
  return (Row + 1) * (Columns(View) + 1) + Column + 1;
}

// One cell; Row -1 is the column headers', Column -1 the (hidden) row headers'.
class TListCell final : public QAccessibleInterface, public QAccessibleTableCellInterface {
public:
  TListCell(QTableView *View, int Row, int Column) : View_(View), Row_(Row), Column_(Column) {}

  bool isValid() const override {
    return View_ && Row_ < Rows(View_) && Column_ < Columns(View_) && Row_ >= -1 && Column_ >= -1;
  }
  QObject *object() const override { return nullptr; }
  QWindow *window() const override { return View_ ? View_->window()->windowHandle() : nullptr; }
  QAccessibleInterface *childAt(int, int) const override { return nullptr; }
  QAccessibleInterface *parent() const override {
    return View_ ? QAccessible::queryAccessibleInterface(View_.data()) : nullptr;
  }
  QAccessibleInterface *child(int) const override { return nullptr; }
  int childCount() const override { return 0; }
  int indexOfChild(const QAccessibleInterface *) const override { return -1; }
  QString text(QAccessible::Text T) const override {
    if (T != QAccessible::Name || !isValid() || Column_ < 0) return {};
    if (Row_ < 0) return View_->model()->headerData(Column_, Qt::Horizontal).toString();
    return View_->model()->index(Row_, Column_).data().toString();
  }
  void setText(QAccessible::Text, const QString &) override {}
  QRect rect() const override {
    if (!isValid() || Column_ < 0) return {};
    if (Row_ < 0) {
      const QHeaderView *h = View_->horizontalHeader();
      return QRect(h->mapToGlobal(QPoint(h->sectionViewportPosition(Column_), 0)),
                   QSize(h->sectionSize(Column_), h->height()));
    }
    const QRect r = View_->visualRect(View_->model()->index(Row_, Column_));
    return QRect(View_->viewport()->mapToGlobal(r.topLeft()), r.size());
  }
  QAccessible::Role role() const override {
    return Row_ < 0 ? QAccessible::ColumnHeader
                    : (Column_ < 0 ? QAccessible::RowHeader : QAccessible::Cell);
  }
  QAccessible::State state() const override {
    QAccessible::State s;
    if (!isValid() || Row_ < 0 || Column_ < 0) return s;
    s.selectable = s.multiSelectable = s.focusable = true;
    s.selected = RowSelected(View_, Row_);
    const QModelIndex current = View_->currentIndex();
    s.focused = View_->hasFocus() && current.row() == Row_ && current.column() == Column_;
    return s;
  }
  void *interface_cast(QAccessible::InterfaceType T) override {
    return T == QAccessible::TableCellInterface ? static_cast<QAccessibleTableCellInterface *>(this)
                                                : nullptr;
  }

  bool isSelected() const override { return isValid() && Row_ >= 0 && RowSelected(View_, Row_); }
  int columnExtent() const override { return 1; }
  int rowExtent() const override { return 1; }
  QList<QAccessibleInterface *> columnHeaderCells() const override { return {}; }
  QList<QAccessibleInterface *> rowHeaderCells() const override { return {}; }
  int columnIndex() const override { return Column_; }
  int rowIndex() const override { return Row_; }
  QAccessibleInterface *table() const override { return parent(); }

private:
  QPointer<QTableView> View_;
  const int Row_, Column_;
};

class TListAccessible final : public QAccessibleWidget, public QAccessibleTableInterface {
public:
  explicit TListAccessible(QTableView *View)
      : QAccessibleWidget(View, QAccessible::Table), Guard_(std::make_unique<QObject>()) {
    // Rows that moved or went away: their cells are made again when asked for.
    if (QAbstractItemModel *m = View->model()) {
      const auto forget = [this] { ForgetCells(); };
      QObject::connect(m, &QAbstractItemModel::modelReset, Guard_.get(), forget);
      QObject::connect(m, &QAbstractItemModel::layoutChanged, Guard_.get(), forget);
      QObject::connect(m, &QAbstractItemModel::rowsRemoved, Guard_.get(), forget);
      QObject::connect(m, &QAbstractItemModel::rowsInserted, Guard_.get(), forget);
    }
  }
  ~TListAccessible() override { ForgetCells(); }

  QTableView *View() const { return static_cast<QTableView *>(object()); }

  int childCount() const override { return (Rows(View()) + 1) * (Columns(View()) + 1); }
  QAccessibleInterface *child(int Index) const override {
    if (Index < 0 || Index >= childCount()) return nullptr;
    const int perRow = Columns(View()) + 1;
    return Cell(Index / perRow - 1, Index % perRow - 1);
  }
  int indexOfChild(const QAccessibleInterface *Child) const override {
    auto *cell = Child ? const_cast<QAccessibleInterface *>(Child)->tableCellInterface() : nullptr;
    if (!cell || cell->table() != this) return -1;
    return ChildIndex(View(), cell->rowIndex(), cell->columnIndex());
  }
  QAccessibleInterface *childAt(int X, int Y) const override {
    const QModelIndex i = View()->indexAt(View()->viewport()->mapFromGlobal(QPoint(X, Y)));
    return i.isValid() ? Cell(i.row(), i.column()) : nullptr;
  }
  QAccessibleInterface *focusChild() const override {
    const QModelIndex i = View()->currentIndex();
    return i.isValid() ? Cell(i.row(), i.column()) : nullptr;
  }
  void *interface_cast(QAccessible::InterfaceType T) override {
    if (T == QAccessible::TableInterface) return static_cast<QAccessibleTableInterface *>(this);
    return QAccessibleWidget::interface_cast(T);
  }

  QAccessibleInterface *caption() const override { return nullptr; }
  QAccessibleInterface *summary() const override { return nullptr; }
  QAccessibleInterface *cellAt(int Row, int Column) const override {
    if (Row < 0 || Row >= rowCount() || Column < 0 || Column >= columnCount()) return nullptr;
    return Cell(Row, Column);
  }
  int selectedCellCount() const override { return selectedRowCount() * columnCount(); }
  QList<QAccessibleInterface *> selectedCells() const override {
    QList<QAccessibleInterface *> out;
    for (const TRowRange &r : SelectedRowRanges(View()->selectionModel()))
      for (int row = r.First; row <= r.Last; ++row)
        for (int c = 0; c < columnCount(); ++c) out.push_back(Cell(row, c));
    return out;
  }
  QString columnDescription(int Column) const override {
    return View()->model()->headerData(Column, Qt::Horizontal).toString();
  }
  QString rowDescription(int) const override { return {}; }
  int selectedColumnCount() const override { return 0; }
  int selectedRowCount() const override {
    return RowCountOf(SelectedRowRanges(View()->selectionModel()));
  }
  int columnCount() const override { return Columns(View()); }
  int rowCount() const override { return Rows(View()); }
  QList<int> selectedColumns() const override { return {}; }
  QList<int> selectedRows() const override {
    QList<int> out;
    for (const TRowRange &r : SelectedRowRanges(View()->selectionModel()))
      for (int row = r.First; row <= r.Last; ++row) out.push_back(row);
    return out;
  }
  bool isColumnSelected(int) const override { return false; }
  bool isRowSelected(int Row) const override { return RowSelected(View(), Row); }
  bool selectRow(int Row) override { return SelectRow(Row, QItemSelectionModel::Select); }
  bool unselectRow(int Row) override { return SelectRow(Row, QItemSelectionModel::Deselect); }
  bool selectColumn(int) override { return false; }
  bool unselectColumn(int) override { return false; }
  void modelChange(QAccessibleTableModelChangeEvent *) override { ForgetCells(); }

private:
  QAccessibleInterface *Cell(int Row, int Column) const {
    const int key = ChildIndex(View(), Row, Column);
    if (const auto it = Cells_.constFind(key); it != Cells_.constEnd())
      if (QAccessibleInterface *known = QAccessible::accessibleInterface(*it)) return known;
    auto *cell = new TListCell(View(), Row, Column);
    Cells_.insert(key, QAccessible::registerAccessibleInterface(cell));
    return cell;
  }
  void ForgetCells() {
    for (const QAccessible::Id id : std::as_const(Cells_))
      QAccessible::deleteAccessibleInterface(id);
    Cells_.clear();
  }
  bool SelectRow(int Row, QItemSelectionModel::SelectionFlags How) {
    if (Row < 0 || Row >= rowCount() || !View()->selectionModel()) return false;
    View()->selectionModel()->select(View()->model()->index(Row, 0),
                                     How | QItemSelectionModel::Rows);
    return true;
  }

  mutable QHash<int, QAccessible::Id> Cells_;
  std::unique_ptr<QObject> Guard_; // the model connections end with the interface
};

QAccessibleInterface *ListFactory(const QString &ClassName, QObject *Object) {
  if (ClassName != QLatin1String(TListView::staticMetaObject.className())) return nullptr;
  auto *view = qobject_cast<QTableView *>(Object);
  return view ? new TListAccessible(view) : nullptr;
}

} // namespace

void InstallListAccessibility() {
  static const bool installed = (QAccessible::installFactory(ListFactory), true);
  (void)installed;
}

TAccessibleEventSink &Sink() {
  static TAccessibleEventSink sink;
  return sink;
}

void NotifyListSelection(QTableView &View, const QItemSelection &Changed) {
  if (!(Sink() || QAccessible::isActive()) || Changed.isEmpty()) return;
  const auto send = [](QAccessibleEvent &E) {
    if (Sink())
      Sink()(E);
    else
      QAccessible::updateAccessibility(&E);
  };
  const TRowRanges rows = RowRangesOf(Changed);
  if (rows.size() == 1 && rows[0].First == rows[0].Last) {
    const int row = rows[0].First;
    QAccessibleEvent e(&View, RowSelected(&View, row) ? QAccessible::SelectionAdd
                                                      : QAccessible::SelectionRemove);
    e.setChild(ChildIndex(&View, row, 0));
    send(e);
    return;
  }
  // A change of many rows is one event; the reader asks for the rows it wants.
  QAccessibleEvent e(&View, QAccessible::SelectionWithin);
  send(e);
}

TAccessibleEventSink SetListEventSink(TAccessibleEventSink ASink) {
  TAccessibleEventSink previous = std::move(Sink());
  Sink() = std::move(ASink);
  return previous;
}

} // namespace sonquarry
