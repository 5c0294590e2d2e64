// The main window's music tag columns: the header's popup menu that shows and hides columns,
// their widths and visibility in the registry, sorting by a tag, and the reading of tags after a
// search and from the cache at start-up.

#include "platform/registry/registry.h"
#include "settings/settings.h"
#include "ui/list/file_list_model.h"
#include "ui/list/tag_columns.h"
#include "ui/main_window/main_form.h"

#include <QAction>
#include <QHeaderView>
#include <QMenu>
#include <QTableView>
#include <QTimer>
#include <algorithm>
#include <string>

namespace sonquarry {

namespace {

// A tag column fitted to its texts grows up to this many average characters.
constexpr int FittedChars = 40;
// How many rows a fit reads (those in view first): bounded at any length of the list.
constexpr int FitRows = 300;

std::string WidthValue(int Column) { return "Col" + std::to_string(Column + 1) + "Width"; }
std::string VisibleValue(int Column) { return "Col" + std::to_string(Column + 1) + "Visible"; }

} // namespace

void TMainForm::CreateTagColumns() {
  Tags = std::make_unique<TTagColumns>(*FileTree, *Model, Network_);
  Model->SetTags(&Tags->Table);
  QHeaderView *cols = ListView->horizontalHeader();
  cols->setResizeContentsPrecision(FitRows);
  // Until tags come, a column is as wide as its caption; then as its texts (FitColumns).
  FittingColumns_ = true;
  for (int c = TFileListModel::TagColumn; c < TFileListModel::Columns; ++c) {
    ListView->setColumnWidth(c, cols->sectionSizeHint(c));
    AutoWidth_.insert(c);
  }
  FittingColumns_ = false;
  connect(cols, &QHeaderView::sectionResized, this, [this](int Column) {
    if (!FittingColumns_) AutoWidth_.erase(Column); // the user's width stays
  });
  connect(Model, &QAbstractItemModel::dataChanged, this,
          [this](const QModelIndex &, const QModelIndex &To) {
            if (To.column() < TFileListModel::TagColumn || FitQueued_ || AutoWidth_.empty()) return;
            FitQueued_ = true;
            QTimer::singleShot(0, this, [this] { FitColumns(); });
          });
  cols->setContextMenuPolicy(Qt::CustomContextMenu);
  ColumnsPopup = new QMenu(this);
  // Every column but the file name's may be hidden; State starts hidden.
  for (int c = 1; c < TFileListModel::Columns; ++c) {
    QAction *a =
        ColumnsPopup->addAction(Model->headerData(c, Qt::Horizontal, Qt::DisplayRole).toString());
    a->setCheckable(true);
    a->setChecked(true);
    connect(a, &QAction::toggled, this, [this, c](bool On) {
      FittingColumns_ = true; // hiding and showing resize the section: not the user's width
      ListView->setColumnHidden(c, !On);
      FittingColumns_ = false;
      if (On && AutoWidth_.count(c)) FitColumns();
    });
  }
  SetColumnShown(TFileListModel::StateColumn, false);
  connect(cols, &QWidget::customContextMenuRequested, this,
          [this, cols](const QPoint &At) { ColumnsPopup->popup(cols->mapToGlobal(At)); });
}

void TMainForm::FitColumns() {
  FitQueued_ = false;
  const int most = ListView->fontMetrics().averageCharWidth() * FittedChars;
  FittingColumns_ = true;
  for (const int c : AutoWidth_) {
    if (ListView->isColumnHidden(c)) continue;
    const int need =
        std::max(ListView->horizontalHeader()->sectionSizeHint(c),
                 std::min(static_cast<QAbstractItemView *>(ListView)->sizeHintForColumn(c), most));
    // Only wider: a column that jumps back and forth while tags come cannot be read.
    if (need > ListView->columnWidth(c)) ListView->setColumnWidth(c, need);
  }
  FittingColumns_ = false;
}

void TMainForm::SetColumnShown(int Column, bool Shown) {
  if (Column < 1 || Column >= TFileListModel::Columns) return;
  ColumnsPopup->actions()[Column - 1]->setChecked(Shown);
}

void TMainForm::ReadTagColumns(registry::TRegistry &Reg) {
  for (int c = TFileListModel::TagColumn; c < TFileListModel::Columns; ++c)
    if (Reg.ValueExists(WidthValue(c))) {
      ListView->setColumnWidth(c, Reg.ReadInteger(WidthValue(c)));
      AutoWidth_.erase(c);
    }
  for (int c = 1; c < TFileListModel::Columns; ++c)
    if (Reg.ValueExists(VisibleValue(c))) SetColumnShown(c, Reg.ReadBool(VisibleValue(c)));
}

void TMainForm::WriteTagColumns(registry::TRegistry &Reg) {
  for (int c = 1; c < TFileListModel::Columns; ++c) {
    const bool shown = !ListView->isColumnHidden(c);
    Reg.WriteBool(VisibleValue(c), shown);
    // A hidden column keeps the width it had when it was shown.
    if (shown && c >= TFileListModel::TagColumn)
      Reg.WriteInteger(WidthValue(c), ListView->columnWidth(c));
  }
}

void TMainForm::SortByTag(int Column, bool Ascending) {
  FileTree->SortByTagRef(Tags->Table.SortKeys(TTagField(Column - TFileListModel::TagColumn)),
                         Ascending);
}

void TMainForm::ReadTagsAfterSearch() {
  if (!Settings.ReadTags || FileTree->Count() == 0) {
    Tags->Stamps.Clear();
    return;
  }
  const int first = ListView->rowAt(0);
  int last = ListView->rowAt(ListView->viewport()->height() - 1);
  if (last < 0) last = FileTree->Count() - 1;
  Tags->ReadMissing(first, last, Scan->MaxThreadCount);
}

} // namespace sonquarry
