// The main window's list: the counts in the status bar, the selection, and the commands that
// sort, select and remove rows.

#include "ui/list/file_list_model.h"
#include "ui/list/row_selection.h"
#include "ui/list/tag_columns.h"
#include "ui/main_window/main_form.h"
#include "ui/main_window/status_panel.h"
#include "ui/services/window_services.h"

#include <QAction>
#include <QApplication>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QKeyEvent>
#include <QMenu>
#include <QTableView>
#include <algorithm>
#include <functional>

namespace sonquarry {

namespace {
// Runs its action when it goes, also when the change in between raises: the list then shows the
// tree as it is.
struct TCountAfter {
  std::function<void()> Then;
  ~TCountAfter() { Then(); }
};
} // namespace

namespace {

QString Files(size_t N) { return N == 1 ? QString("1 file") : QString("%1 files").arg(N); }

// The hourglass for a long list operation, restored on every way out.
class TWaitCursor {
public:
  TWaitCursor() { QApplication::setOverrideCursor(Qt::WaitCursor); }
  ~TWaitCursor() { QApplication::restoreOverrideCursor(); }
  TWaitCursor(const TWaitCursor &) = delete;
  TWaitCursor &operator=(const TWaitCursor &) = delete;
};

// No redraw while rows are rebuilt; the view is redrawn, enabled and focused on the way out.
class TViewFrozen {
public:
  explicit TViewFrozen(QTableView *V) : View(V) { View->setUpdatesEnabled(false); }
  ~TViewFrozen() {
    View->setUpdatesEnabled(true);
    View->viewport()->update();
    View->setFocus();
  }
  TViewFrozen(const TViewFrozen &) = delete;
  TViewFrozen &operator=(const TViewFrozen &) = delete;

private:
  QTableView *View;
};

} // namespace

void TMainForm::ShowFileCount(int Count) {
  Model->SetRowCount(Count);
  Panels_[0]->setText(QString("Files: %1").arg(Count));
  UpdateListCommands();
}

void TMainForm::ShowSelectedCount(int Count) {
  SelectedCount = Count;
  Panels_[1]->setText(QString("Selected files: %1").arg(Count));
}

QString TMainForm::PanelText(int Panel) const { return Panels_.at(Panel)->text(); }

// A selection change from the mouse, the keyboard or a command: the count and the commands
// that need a selection follow at once.
void TMainForm::SelectionChanged() {
  UpdateSelectionCommands();
  ShowSelectedCount(SelectedRowCount());
}

// ---- selection

TRowRanges TMainForm::SelectedRanges() const {
  return SelectedRowRanges(ListView->selectionModel());
}

int TMainForm::SelectedRowCount() const { return RowCountOf(SelectedRanges()); }

std::vector<int> TMainForm::SelectedRows() const {
  std::vector<int> rows;
  for (const TRowRange &r : SelectedRanges())
    for (int i = r.First; i <= r.Last; ++i) rows.push_back(i);
  return rows;
}

int TMainForm::FocusedRow() const {
  const QModelIndex i = ListView->selectionModel()->currentIndex();
  return i.isValid() ? i.row() : -1;
}

// \\Computer of the one selected row; empty unless exactly one row is selected.
std::string TMainForm::CurrentComputerEntry() const {
  const auto ranges = SelectedRanges();
  if (ranges.size() != 1 || ranges[0].First != ranges[0].Last) return {};
  const std::string dir = FileTree->GetDirectory(ranges[0].First);
  const size_t start = dir.rfind("\\\\", 0) == 0 ? 2 : 0;
  const size_t end = dir.find('\\', start);
  return "\\\\" + dir.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

void TMainForm::SelectOnly(int Row) {
  const QModelIndex i = Model->index(Row, 0);
  ListView->selectionModel()->setCurrentIndex(i, QItemSelectionModel::ClearAndSelect |
                                                     QItemSelectionModel::Rows);
  CenterListItem(Row, ListView);
}

// ---- the list's commands

void TMainForm::ColumnClick(int Column) {
  if (Column < 0 || Column >= TFileListModel::Columns || Model->RowCount() <= 1) return;
  TWaitCursor wait;
  TViewFrozen frozen(ListView);
  bool remembered = false;
  std::string name, domain, directory; // of the first selected row
  const auto ranges = SelectedRanges();
  if (!ranges.empty()) {
    const int first = ranges.front().First;
    name = FileTree->File(first).Name();
    domain = FileTree->GetDomain(first);
    directory = FileTree->GetDirectory(first);
    remembered = true;
  }
  ListView->selectionModel()->clear();
  ForgetUndo(); // the rows taken have no places in the new order
  // A second click on the same column reverses its order.
  SortAscending = !(SortColumn == Column && SortAscending);
  SortColumn = Column;
  Model->BeginReorder();
  try {
    if (Column == TFileListModel::StateColumn)
      FileTree->SortByState(SortAscending);
    else if (Column >= TFileListModel::TagColumn)
      SortByTag(Column, SortAscending);
    else
      FileTree->Sort(Column, SortAscending);
  } catch (...) {
    Model->EndReorder();
    throw;
  }
  Model->EndReorder();
  ListView->horizontalHeader()->setSortIndicatorShown(true);
  ListView->horizontalHeader()->setSortIndicator(Column, SortAscending ? Qt::AscendingOrder
                                                                       : Qt::DescendingOrder);
  if (remembered) {
    const int n = FileTree->Count();
    for (int i = 0; i < n; ++i) {
      if (FileTree->File(i).Name() != name) continue;
      if (FileTree->GetDirectory(i) != directory || FileTree->GetDomain(i) != domain) continue;
      SelectOnly(i);
      break;
    }
  }
}

void TMainForm::SelectAll() {
  TWaitCursor wait;
  TViewFrozen frozen(ListView);
  if (Model->RowCount() > 0) ListView->selectAll();
  ShowSelectedCount(SelectedRowCount());
}

void TMainForm::InvertSelection() {
  TWaitCursor wait;
  if (Model->RowCount() > 0) {
    TViewFrozen frozen(ListView);
    static_cast<TRowSelectionModel *>(ListView->selectionModel())->Invert();
  }
  ShowSelectedCount(SelectedRowCount());
}

void TMainForm::DeleteSelected() {
  const std::vector<int> rows = SelectedRows();
  if (rows.empty()) return;
  int next = -1;
  if (const int focused = FocusedRow(); focused >= 0) next = focused + 1;
  TWaitCursor wait;
  {
    TViewFrozen frozen(ListView);
    ListView->selectionModel()->clear();
    if (next != -1)
      next -= static_cast<int>(std::lower_bound(rows.begin(), rows.end(), next) - rows.begin());
    const TCountAfter countAfter{[this] {
      Model->Reload();
      ShowFileCount(FileTree->Count());
    }};
    PushUndo("Delete from list", rows);
    FileTree->RemoveFiles(rows);
  }
  const int n = FileTree->Count();
  if (n > 0 && next != -1) SelectOnly(std::min(next, n - 1));
  UpdateSelectionCommands();
  UpdateRemoveCommand();
  ShowSelectedCount(SelectedRowCount());
  ShowNote(QString("%1 deleted from the list (Ctrl+Z puts back)").arg(Files(rows.size())));
  SaveListNow();
}

void TMainForm::RemoveInaccessible() {
  std::vector<int> rows;
  for (int i = 0, n = FileTree->Count(); i < n; ++i)
    if (FileTree->File(i).State() == nsInaccessible) rows.push_back(i);
  if (rows.empty()) {
    ShowNote("Nothing to remove: no file is marked removed or inaccessible");
    return;
  }
  {
    TWaitCursor wait;
    TViewFrozen frozen(ListView);
    ListView->selectionModel()->clear();
    PushUndo("Remove all inaccessible files", rows);
    FileTree->RemoveFiles(rows);
    Model->Reload();
    ShowFileCount(FileTree->Count());
    ShowSelectedCount(SelectedRowCount());
  }
  ShowNote(QString("%1 removed (Ctrl+Z puts back)").arg(Files(rows.size())));
  SaveListNow();
}

void TMainForm::Clear() {
  const int n = FileTree->Count();
  {
    TWaitCursor wait;
    TViewFrozen frozen(ListView);
    ListView->selectionModel()->clear();
    if (n > 0) {
      std::vector<int> rows(static_cast<size_t>(n));
      for (int i = 0; i < n; ++i) rows[i] = i;
      PushUndo("Clear", rows, true);
    }
    Tags->Cleared();
    FileTree->Clear();
    ShowFileCount(0);
    UpdateSelectionCommands();
    UpdateRemoveCommand();
    ShowSelectedCount(SelectedRowCount());
  }
  if (n > 0) ShowNote(QString("List cleared: %1 (Ctrl+Z puts back)").arg(Files(n)));
  SaveListNow();
}

void TMainForm::PushUndo(const char *What, const std::vector<int> &Rows, bool Cleared) {
  TUndoStep step;
  step.What = QString::fromLatin1(What);
  step.Cleared = Cleared;
  step.Rows.Take(*FileTree, Rows, !Cleared);
  if (Undo_.size() >= UndoSteps) Undo_.erase(Undo_.begin());
  Undo_.push_back(std::move(step));
  UpdateUndoCommand();
}

void TMainForm::ForgetUndo() {
  Undo_.clear();
  UpdateUndoCommand();
}

void TMainForm::UpdateUndoCommand() {
  actUndo->setText(Undo_.empty() ? QString("Undo") : "Undo " + Undo_.back().What);
  SetEnabled(actUndo, !Undo_.empty());
}

void TMainForm::Undo() {
  if (Undo_.empty()) return;
  TUndoStep step = std::move(Undo_.back());
  Undo_.pop_back();
  bool placed = true;
  {
    TWaitCursor wait;
    TViewFrozen frozen(ListView);
    ListView->selectionModel()->clear();
    const TCountAfter countAfter{[this] {
      Model->Reload();
      ShowFileCount(FileTree->Count());
    }};
    placed = step.Rows.Restore(*FileTree);
  }
  if (step.Cleared) Tags->LoadCached();
  UpdateSelectionCommands();
  UpdateRemoveCommand();
  UpdateUndoCommand();
  ShowSelectedCount(SelectedRowCount());
  ShowNote(QString("%1 undone: %2 back%3")
               .arg(step.What, Files(step.Rows.Count()),
                    placed ? QString() : QString(" at the end of the list")));
  SaveListNow();
}

void TMainForm::ShowNote(const QString &Note) {
  Panels_[2]->setText("Status: " + Note);
  Panels_[2]->setToolTip(Note);
}

void TMainForm::InsertReleased() {
  const int n = Model->RowCount();
  const int focused = FocusedRow();
  if (SelectedRowCount() == 0 || focused < 0 || focused >= n - 1) return;
  const QModelIndex next = Model->index(focused + 1, 0);
  auto *sm = ListView->selectionModel();
  sm->setCurrentIndex(next, QItemSelectionModel::NoUpdate);
  sm->select(next, QItemSelectionModel::Toggle | QItemSelectionModel::Rows);
  ListView->scrollTo(next);
}

bool TMainForm::eventFilter(QObject *Watched, QEvent *Event) {
  if (Watched == ListView) {
    if (Event->type() == QEvent::KeyPress) {
      const auto *k = static_cast<QKeyEvent *>(Event);
      if (k->key() == Qt::Key_Return || k->key() == Qt::Key_Enter) {
        if (Connected(actPlay)) actPlay->trigger();
        return true;
      }
      // Shift+F10 is the keyboard's other way to the popup menu; the platform maps only the
      // Menu key.
      if (k->key() == Qt::Key_F10 && k->modifiers() == Qt::ShiftModifier) {
        const QRect cell = ListView->visualRect(ListView->currentIndex());
        ShowListPopup(cell.isValid() ? cell.bottomLeft() : QPoint(0, 0));
        return true;
      }
    } else if (Event->type() == QEvent::KeyRelease) {
      const auto *k = static_cast<QKeyEvent *>(Event);
      if (k->key() == Qt::Key_Insert && !k->isAutoRepeat()) InsertReleased();
      ShowSelectedCount(SelectedRowCount());
    }
  }
  return QMainWindow::eventFilter(Watched, Event);
}

void TMainForm::ShowListPopup(const QPoint &At) {
  ListPopup->popup(ListView->viewport()->mapToGlobal(At));
}

// Esc reaches here only when no child took it and no menu, popup or dialog had the keyboard:
// a window shortcut would fire even for an Esc meant to dismiss something else.
void TMainForm::keyPressEvent(QKeyEvent *Event) {
  if (Event->key() == Qt::Key_Escape && Event->modifiers() == Qt::NoModifier &&
      QApplication::activePopupWidget() == nullptr &&
      QApplication::activeModalWidget() == nullptr) {
    close();
    return;
  }
  QMainWindow::keyPressEvent(Event);
}

} // namespace sonquarry
