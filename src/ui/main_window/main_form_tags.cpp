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
#include <string>

namespace sonquarry {

namespace {

constexpr int TagColumnWidths[TagFieldCount] = {140, 180, 140, 50, 55};

std::string WidthValue(int Column) { return "Col" + std::to_string(Column + 1) + "Width"; }
std::string VisibleValue(int Column) { return "Col" + std::to_string(Column + 1) + "Visible"; }

} // namespace

void TMainForm::CreateTagColumns() {
  Tags = std::make_unique<TTagColumns>(*FileTree, *Model, Network_);
  Model->SetTags(&Tags->Table);
  for (int f = 0; f < TagFieldCount; ++f)
    ListView->setColumnWidth(TFileListModel::TagColumn + f, TagColumnWidths[f]);
  QHeaderView *cols = ListView->horizontalHeader();
  cols->setContextMenuPolicy(Qt::CustomContextMenu);
  ColumnsPopup = new QMenu(this);
  // Every column but the file name's may be hidden.
  for (int c = 1; c < TFileListModel::Columns; ++c) {
    QAction *a =
        ColumnsPopup->addAction(Model->headerData(c, Qt::Horizontal, Qt::DisplayRole).toString());
    a->setCheckable(true);
    a->setChecked(true);
    connect(a, &QAction::toggled, this, [this, c](bool On) { ListView->setColumnHidden(c, !On); });
  }
  connect(cols, &QWidget::customContextMenuRequested, this,
          [this, cols](const QPoint &At) { ColumnsPopup->popup(cols->mapToGlobal(At)); });
}

void TMainForm::SetColumnShown(int Column, bool Shown) {
  if (Column < 1 || Column >= TFileListModel::Columns) return;
  ColumnsPopup->actions()[Column - 1]->setChecked(Shown);
}

void TMainForm::ReadTagColumns(registry::TRegistry &Reg) {
  for (int c = TFileListModel::TagColumn; c < TFileListModel::Columns; ++c)
    if (Reg.ValueExists(WidthValue(c))) ListView->setColumnWidth(c, Reg.ReadInteger(WidthValue(c)));
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
