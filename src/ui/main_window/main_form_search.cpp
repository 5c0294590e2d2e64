// The main window's search control: the checks before a search, its start and stop, the rows
// and counts while it runs, the report at its end, and the warnings the user has to act on.

#include "engine/scan_report.h"
#include "engine/scan_session.h"
#include "ui/list/file_list_model.h"
#include "ui/list/tag_columns.h"
#include "ui/main_window/main_form.h"
#include "ui/main_window/status_panel.h"
#include "ui/services/desktop_notice.h"
#include "ui/services/message_box.h"

#include <QAction>
#include <QApplication>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QLocale>
#include <QMetaObject>
#include <QTableView>
#include <QTime>
#include <QTimer>
#include <algorithm>

namespace sonquarry {

// ---- search run control

void TMainForm::SetScanState(TScanState State) {
  static const char *const texts[] = {"Status: ", "Status: searching...", "Status: stopping..."};
  ScanState = State;
  Panels_[2]->setText(texts[State]);
}

void TMainForm::EnableScanCommands(bool Running) {
  SetEnabled(actSearch, !Running);
  SetEnabled(actOptions, !Running && OptionsHandler_ != nullptr);
  SetEnabled(actStop, Running);
}

void TMainForm::ShowResourceCount(int Count) {
  ResourceCount = Count;
  Panels_[3]->setText(QString("Resources: %1").arg(Count));
}

void TMainForm::ShowElapsed(double Seconds) {
  Panels_[4]->setText(QString::fromStdString("Time: " + FormatHMS(Seconds)));
}

bool TMainForm::SearchAllowed() {
  for (;;) {
    const TSearchBlock block = Session->Check();
    if (block == TSearchBlock::None) return true;
    if (block != TSearchBlock::NoAddresses) {
      ShowMessageBox(TScanSession::Message(block), MB_ICONINFORMATION);
      return false;
    }
    ShowInfoMessage(TScanSession::Message(block));
    if (!ShowOptions(1)) return false;
  }
}

void TMainForm::Search() {
  if (ScanState != ssIdle) return; // a second search waits for the end of the first
  if (!SearchAllowed()) return;
  // The workers of a tag reading are the search's to use now.
  Tags->Stop();
  // Rows of the other mode name their computers differently (\\NAME against \\a.b.c.d): kept,
  // the same file would show twice, once as unreached.
  if (LastSearchNetBios_ && *LastSearchNetBios_ != Scan->NetBios && !Scan->IsClearBefor &&
      FileTree->Count() > 0 &&
      ShowMessageBox("The search mode changed since the last search. Clear the list first?",
                     MB_YESNO | MB_ICONQUESTION) == IDYES)
    Clear();
  LastSearchNetBios_ = Scan->NetBios;
  StartTime = std::chrono::steady_clock::now();
  try {
    EnableScanCommands(true);
    ShowResourceCount(0);
    const bool clear = Scan->IsClearBefor;
    if (clear) Tags->Cleared();
    if (clear) ForgetUndo(); // the places of the rows taken are gone with the list
    if (clear) {
      // The view lets go of the rows before the tree does.
      ListView->selectionModel()->clear();
      ShowFileCount(0);
    }
    Session->PrepareList();
    if (clear) ShowSelectedCount(SelectedRowCount());
    Model->RefreshAll();
    try {
      Session->Start();
    } catch (...) {
      SetScanState(ssIdle);
      throw;
    }
    SetScanState(ssSearching);
    StartTime = std::chrono::steady_clock::now();
    Timer->start();
  } catch (...) {
    ScanFinished();
    throw;
  }
}

void TMainForm::Stop() {
  if (ScanState == ssIdle) return;
  SetScanState(ssStopping);
  Scan->Stop();
}

void TMainForm::FilesFound(const std::string &Dir, const std::vector<std::string> &FileNames,
                           const std::string &Domain) {
  const int before = FileTree->Count();
  for (const auto &name : FileNames) FileTree->AddFile(Domain, Dir, name);
  const int after = FileTree->Count();
  if (after != before) {
    // The count at once, the rows with the next insert.
    Panels_[0]->setText(QString("Files: %1").arg(after));
    if (!RowsTimer->isActive()) RowsTimer->start();
  }
  if (after != before && SortColumn >= 0) {
    // New rows go to the end: the list is no longer sorted.
    SortColumn = -1;
    ListView->horizontalHeader()->setSortIndicatorShown(false);
  }
}

void TMainForm::ResourcesEnumerated(int Children) { ShowResourceCount(ResourceCount + Children); }

void TMainForm::ScanFinished() {
  Timer->stop();
  InsertWaitingRows();
  EnableScanCommands(false);
  SetScanState(ssIdle);
  Session->Finish();
  // Before anyone removes rows: what the search could not read is told in the log.
  const QString Note = QString::fromStdString(Session->UnreadNote());
  if (!Note.isEmpty()) Panels_[2]->setText("Status: " + Note);
  Panels_[2]->setToolTip(Note);
  Model->RefreshAll();
  UpdateRemoveCommand();
  SaveListNow(); // a window killed after the search keeps its rows and their states
  // A search's rows are worth the wait for the disk: the report box comes after it anyway.
  Saves_.Drain();
  ReadTagsAfterSearch();
  ShowScanReport(
      std::chrono::duration<double>(std::chrono::steady_clock::now() - StartTime).count());
}

void TMainForm::ShowScanReport(double Seconds) {
  // The search time as a time of day in the locale's long format (without a time zone).
  QString format = QLocale().timeFormat(QLocale::LongFormat);
  format.remove('t');
  const QTime time = QTime(0, 0).addMSecs(static_cast<int>(Seconds * 1000) % 86400000);
  const TScanSummary s = Session->Summary(QLocale().toString(time, format.trimmed()).toStdString());
  // The user works in another program: the box alone would wait unseen behind its windows.
  if (!QApplication::activeWindow()) {
    const int found = s.AllFiles - s.RemovedFiles - s.UnknownFiles;
    NotifyDesktop("Search finished", QString("%1 %2 found, %3 new")
                                         .arg(QLocale().toString(found))
                                         .arg(found == 1 ? "music file" : "music files")
                                         .arg(QLocale().toString(s.NewFiles)));
  }
  ShowMessageBox(ScanReportText(s), MB_ICONINFORMATION);
}

void TMainForm::InsertWaitingRows() {
  RowsTimer->stop();
  if (Model->RowCount() != FileTree->Count()) ShowFileCount(FileTree->Count());
}

// ---- warnings the user has to act on

void TMainForm::WarnUser(const std::string &Line) {
  {
    std::lock_guard<std::mutex> lock(WarningsLock_);
    if (std::find(Warnings_.begin(), Warnings_.end(), Line) == Warnings_.end())
      Warnings_.push_back(Line);
    if (WarningsQueued_) return;
    WarningsQueued_ = true;
  }
  // From any thread: the box is shown by the main thread, once for the lines that came meanwhile.
  QMetaObject::invokeMethod(
      this, [this] { ShowWarnings(); }, Qt::QueuedConnection);
}

void TMainForm::ShowWarnings() {
  std::vector<std::string> lines;
  {
    std::lock_guard<std::mutex> lock(WarningsLock_);
    lines.swap(Warnings_);
    WarningsQueued_ = false;
  }
  if (lines.empty() || Closed_) return;
  std::string text = lines.front();
  for (size_t i = 1; i < lines.size(); ++i) text += '\r' + lines[i];
  ShowMessageBox(text, MB_ICONWARNING);
}

} // namespace sonquarry
