// The main window's commands that act on the rows: playlists, reports, copy and find.

#include "ui/list/tag_columns.h"
#include "ui/main_window/list_actions.h"
#include "ui/main_window/main_form.h"
#include "ui/services/window_services.h"

#include <QAction>
#include <QTableView>

namespace sonquarry {

void TMainForm::ConnectListActions() {
  ListActions = std::make_unique<TListActions>(this, ListView, *FileTree, Settings, TreeSearch);
  ListActions->Network = Network_;
  ListActions->Tags = &Tags->Table;
  ListActions->SelectionChanged = [this] {
    SelectionChanged();
    UpdateListCommands(); // "Find next" once a find exists
  };
  ListActions->CenterRow = [this](int Row) { CenterListItem(Row, ListView); };
  ListActions->Note = [this](const std::string &Note) { ShowNote(QString::fromStdString(Note)); };
  ListActions->FindItemAction = actFindItem;
  ListActions->FindNextAction = actFindNext;
  ConnectCommand(actPlay, [this] { ListActions->Play(); });
  ConnectCommand(actSavePlaylist, [this] { ListActions->Save(); });
  ConnectCommand(actSavePlaylistAs, [this] { ListActions->SaveAs(); });
  ConnectCommand(actExportHtml, [this] { ListActions->ExportHtml(); });
  ConnectCommand(actExportText, [this] { ListActions->ExportText(); });
  ConnectCommand(actCopy, [this] { ListActions->CopySelected(); });
  ConnectCommand(actFindItem, [this] { ListActions->FindItem(); });
  ConnectCommand(actFindNext, [this] { ListActions->FindNext(); });
  ConnectCommand(actShowFirstSelected, [this] { ListActions->ShowFirstSelected(); });
}

} // namespace sonquarry
