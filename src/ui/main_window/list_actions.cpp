#include "ui/main_window/list_actions.h"

#include "engine/network.h"
#include "ui/list/row_tags.h"

#include "paths/wnet_tree.h"
#include "platform/files/folders.h"
#include "platform/os/exception.h"
#include "settings/settings.h"
#include "ui/dialogs/search_form.h"
#include "ui/export/playlist.h"
#include "ui/export/report.h"
#include "ui/services/copy_files.h"
#include "ui/services/message_box.h"
#include "ui/services/shell_services.h"

#include <QAbstractItemView>
#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QElapsedTimer>
#include <QItemSelectionModel>
#include <QProgressDialog>

namespace sonquarry {
namespace {

// How long a find works before it lets the window process its input.
constexpr qint64 FindSliceMs = 8;

// Disables a menu entry for the life of the object, then gives it back its state.
class TDisabledAction {
public:
  explicit TDisabledAction(QAction *A) : Action(A), WasEnabled(A && A->isEnabled()) {
    if (Action) Action->setEnabled(false);
  }
  ~TDisabledAction() {
    if (Action) Action->setEnabled(WasEnabled);
  }

private:
  QPointer<QAction> Action;
  bool WasEnabled;
};

class TWaitCursor {
public:
  TWaitCursor() { QApplication::setOverrideCursor(Qt::WaitCursor); }
  ~TWaitCursor() { QApplication::restoreOverrideCursor(); }
};

// Appends Row to Rows, extending the last range when it is the next row.
void AddRow(TRowRanges &Rows, int Row) {
  if (!Rows.empty() && Rows.back().Last + 1 == Row)
    Rows.back().Last = Row;
  else
    Rows.push_back({Row, Row});
}

} // namespace

// The progress window of a long find: shown only when the find takes a while; its Cancel ends it.
class TFindProgress {
public:
  TFindProgress(QWidget *Owner, TListActions &Actions, int Rows)
      : Dialog("Searching...", "Cancel", 0, std::max(Rows, 1), Owner) {
    Dialog.setWindowTitle("Find Item");
    Dialog.setWindowModality(Qt::WindowModal);
    Dialog.setMinimumDuration(400);
    Dialog.setAutoReset(false);
    Dialog.setAutoClose(false);
    QObject::connect(&Dialog, &QProgressDialog::canceled, [&Actions] { Actions.CancelFind(); });
  }
  void Show(int Position) { Dialog.setValue(std::clamp(Position, 0, Dialog.maximum())); }

private:
  QProgressDialog Dialog;
};

TListActions::TListActions(QWidget *AOwner, QAbstractItemView *AView, TWNetTree &ATree,
                           TMainFormSettings &ASettings, std::unique_ptr<TTreeSearch> &ATreeSearch)
    : Owner(AOwner), View(AView), Tree(ATree), Settings(ASettings), TreeSearchPtr(ATreeSearch) {
  SaveDialog.DefaultExt = "m3u";
  SaveDialog.Filters = {{"*.m3u", "*.m3u"}, {"*.*", "*.*"}};
  sdTXTReport = TextReportDialog();
  sdHTMLReport = HtmlReportDialog();
}

TListActions::~TListActions() = default;

TRowRanges TListActions::Selected() const {
  return SelectedRowRanges(View ? View->selectionModel() : nullptr);
}

void TListActions::Center(int Row) {
  if (Row < 0) return;
  if (CenterRow) {
    CenterRow(Row);
  } else if (View && View->model()) {
    View->scrollTo(View->model()->index(Row, 0), QAbstractItemView::PositionAtCenter);
  }
}

void TListActions::NotifySelection() {
  if (SelectionChanged) SelectionChanged();
}

void TListActions::SelectRows(const TRowRanges &Rows, int Current) {
  QItemSelectionModel *sel = View ? View->selectionModel() : nullptr;
  if (!sel) return;
  const QAbstractItemModel *model = View->model();
  const int count = model->rowCount();
  QItemSelection items;
  for (const TRowRange &r : Rows) {
    if (r.First >= count) continue;
    items.select(model->index(r.First, 0), model->index(std::min(r.Last, count - 1), 0));
  }
  if (!items.isEmpty()) sel->select(items, QItemSelectionModel::Select | QItemSelectionModel::Rows);
  if (Current >= 0 && Current < count)
    sel->setCurrentIndex(model->index(Current, 0), QItemSelectionModel::NoUpdate);
}

void TListActions::Play() {
  const std::string name = TemporaryPlayListName();
  if (name.empty()) {
    ShowErrorMessage(CannotPlayMessage("The cache folder, where the playlist for the player goes, "
                                       "could not be made."));
    return;
  }
  if (!WritePlayList(name, Tree, Selected(), Tags)) return;
  OpenPlayList(name, Settings.PlayerCommand,
               [](const std::string &Why) { ShowErrorMessage(CannotPlayMessage(Why)); });
}

void TListActions::Save() {
  if (PlayListFileName.empty()) {
    SaveAs();
    return;
  }
  WritePlayList(PlayListFileName, Tree, Selected(), Tags);
}

void TListActions::SaveAs() {
  SaveDialog.OverwritePrompt = false;
  const auto chosen = UserPrompts().SaveFileName(SaveDialog);
  if (!chosen) return;
  SaveDialog.FileName = *chosen;
  PlayListFileName = *chosen;
  WritePlayList(PlayListFileName, Tree, Selected(), Tags);
}

void TListActions::ExportHtml() {
  TWaitCursor wait;
  ExportHtmlReport(Tree, sdHTMLReport, Tags);
}

void TListActions::ExportText() {
  TWaitCursor wait;
  ExportTextReport(Tree, sdTXTReport, Tags);
}

void TListActions::CancelFind() {
  if (TreeSearchPtr && FindDepth > 0) TreeSearchPtr->Cancelled = true;
}

void TListActions::FindItem() {
  if (FindDepth > 0) return; // a find is running: its slices let input through
  TDisabledAction busy(FindItemAction);
  if (!SearchFormPtr) SearchFormPtr = std::make_unique<TSearchForm>(Owner);
  SearchFormPtr->CheckAllColumns();
  if (UserPrompts().ExecDialog(*SearchFormPtr) != QDialog::Accepted) return;
  if (!TreeSearchPtr) TreeSearchPtr = std::make_unique<TTreeSearch>(&Tree);
  TTreeSearch &search = *TreeSearchPtr;
  search.Fields = SearchFormPtr->Fields();
  if (!Tags) search.Fields &= ~TTreeSearch::FieldTags;
  if (Tags) {
    search.TagText = [this](int Index) {
      const uint32_t ref = Tree.TagRef(Index);
      if (!Tags->Has(ref)) return std::string();
      return std::string(Tags->Text(ref, tfArtist)) + '\n' + std::string(Tags->Text(ref, tfTitle)) +
             '\n' + std::string(Tags->Text(ref, tfAlbum));
    };
  }
  search.SetSearchText(SearchFormPtr->Word());
  search.Cancelled = false;
  const int first = FirstRowOf(Selected());
  search.Position = first < 0 ? 0 : first;
  search.SelectAll = SearchFormPtr->chbSelAll->isChecked();
  if (QItemSelectionModel *sel = View->selectionModel()) ClearSelection(*sel);
  if (!SearchFormPtr->chbCurrentPosition->isChecked()) search.Position = 0;
  if (!search.SelectAll) {
    FindNext();
    return;
  }

  ++FindDepth;
  bool found = false;
  TRowRanges pending;
  int last = -1;
  {
    TFindProgress progress(Owner, *this, Tree.Count());
    QElapsedTimer slice;
    slice.start();
    while (!search.Finished()) {
      if (search.FindNext()) {
        AddRow(pending, search.Position);
        last = search.Position;
        ++search.Position;
        found = true;
      }
      if (slice.elapsed() >= FindSliceMs) {
        // Matches go to the view in batches: one selection change per slice, not per row.
        SelectRows(pending, last);
        pending.clear();
        progress.Show(search.Position);
        QApplication::processEvents();
        slice.restart();
      }
    }
    SelectRows(pending, last);
  }
  --FindDepth;
  if (!found && !search.Cancelled)
    ShowInfoMessage(FormatMessage("Search string '%s' not found.", SearchFormPtr->Word()));
  Center(FirstRowOf(Selected()));
  NotifySelection();
}

void TListActions::FindNext() {
  if (!TreeSearchPtr || FindDepth > 0) return;
  TDisabledAction busy(FindNextAction);
  TTreeSearch &search = *TreeSearchPtr;
  const int first = FirstRowOf(Selected());
  if (first >= 0) search.Position = first + 1;
  search.Cancelled = false;
  if (RunFindNext()) return;
  if (!search.Cancelled)
    ShowInfoMessage(FormatMessage("Search string '%s' not found.",
                                  SearchFormPtr ? SearchFormPtr->Word() : std::string()));
}

bool TListActions::RunFindNext() {
  TTreeSearch &search = *TreeSearchPtr;
  ++FindDepth;
  struct TDepth {
    int &D;
    ~TDepth() { --D; }
  } depth{FindDepth};
  TFindProgress progress(Owner, *this, Tree.Count());
  QElapsedTimer slice;
  slice.start();
  while (!search.Finished()) {
    if (search.FindNext()) {
      QItemSelectionModel *sel = View->selectionModel();
      if (!search.SelectAll && sel) ClearSelection(*sel);
      SelectRows({{search.Position, search.Position}}, search.Position);
      Center(search.Position);
      NotifySelection();
      return true;
    }
    if (slice.elapsed() >= FindSliceMs) {
      progress.Show(search.Position);
      QApplication::processEvents();
      slice.restart();
    }
  }
  return false;
}

void TListActions::ShowFirstSelected() { Center(FirstRowOf(Selected())); }

void TListActions::GetFileListForCopy2(std::vector<std::string> &Files) const {
  const TRowRanges rows = Selected();
  if (static_cast<size_t>(RowCountOf(rows)) != Files.size()) throw Exception("GetFileListForCopy2");
  size_t n = 0;
  for (const TRowRange &r : rows)
    for (int i = r.First; i <= r.Last; ++i)
      Files[n++] = Tree.GetDirectory(i) + std::string(Tree.File(i).Name());
}

void TListActions::CopySelected() {
  const TRowRanges rows = Selected();
  if (rows.empty()) return;
  if (Settings.PathForCopy.empty()) Settings.PathForCopy = files::GetPersonalFolder();
  const std::string dir = BrowseForFolder(Owner, "Select directory", Settings.PathForCopy);
  if (dir.empty()) return;
  Settings.PathForCopy = dir;
  std::vector<std::string> files(static_cast<size_t>(RowCountOf(rows)));
  GetFileListForCopy2(files);
  bool isError = false;
  const TCopyOutcome outcome = CopyFiles(Owner, Network ? Network->Files() : nullptr, files, dir);
  const std::string said = CopyOutcomeMessage(outcome, files.size(), isError);
  if (Note)
    Note(std::to_string(outcome.Copied) + (outcome.Copied == 1 ? " file" : " files") +
         " copied to " + dir);
  if (!said.empty()) ShowMessageBox(said, isError ? MB_ICONERROR : MB_ICONINFORMATION);
}

} // namespace sonquarry
