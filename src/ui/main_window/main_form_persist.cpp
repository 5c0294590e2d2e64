// The main window's persistence: the list file at start and close, the window's position and
// column widths, and the close routine.

#include "engine/scan_session.h"
#include "paths/list_states.h"
#include "platform/files/atomic_file.h"
#include "platform/registry/registry.h"
#include "ui/list/file_list_model.h"
#include "ui/main_window/main_form.h"
#include "ui/services/message_box.h"
#include "ui/services/shell_services.h"
#include "ui/services/window_services.h"

#include <QCloseEvent>
#include <QItemSelectionModel>
#include <QTableView>
#include <QTimer>

namespace sonquarry {

namespace {

const char *const ColumnWidthValues[3] = {"Col1Width", "Col2Width", "Col3Width"};

} // namespace

// ---- list file, window position, column widths

void TMainForm::LoadList() {
  const std::string error = LoadListWithMessage(ListFileName, *FileTree);
  if (!error.empty())
    ShowErrorMessage(error);
  else if (FileTree->Count() > 0)
    LoadListStates(ListFileName, *FileTree); // none, or another list's: every row known
  ShowFileCount(FileTree->Count());
}

void TMainForm::SaveList() {
  Saves_.Drain(); // the last save is the one that stays
  const std::string error = SaveListWithMessage(ListFileName, *FileTree);
  if (!error.empty())
    ShowErrorMessage(error);
  else
    SaveListStates(ListFileName, *FileTree); // without them the rows come back as known
}

void TMainForm::SaveListNow() {
  // The rows are written here; the flush to disk and the rename (a tenth of a second at a
  // million rows) and the states that depend on them follow on the saves' thread.
  std::shared_ptr<files::TAtomicFile> unsynced;
  std::string error = SaveListWithMessage(ListFileName, *FileTree, &unsynced);
  if (!error.empty() || !unsynced) {
    if (error.empty()) SaveListStates(ListFileName, *FileTree);
    SaveFailed(std::move(error));
    return;
  }
  Saves_.Post([this, file = ListFileName, unsynced, states = ListStatesText(*FileTree)] {
    std::string error;
    if (!unsynced->Commit())
      error = ListWriteFailedMessage(file);
    else
      WriteListStates(file, states);
    QMetaObject::invokeMethod(
        this, [this, error = std::move(error)]() mutable { SaveFailed(std::move(error)); },
        Qt::QueuedConnection);
  });
}

void TMainForm::SaveFailed(std::string Error) {
  if (!Error.empty() && Error != LastSaveError_) ShowErrorMessage(Error);
  LastSaveError_ = std::move(Error);
}

void TMainForm::ReadColumnWidths() {
  registry::TRegistry reg;
  if (!reg.OpenKeyReadOnly(SettingsKey)) return;
  for (int c = 0; c < 3; ++c) {
    if (reg.ValueExists(ColumnWidthValues[c]))
      ListView->setColumnWidth(c, reg.ReadInteger(ColumnWidthValues[c]));
  }
  ReadTagColumns(reg);
}

void TMainForm::WriteColumnWidths() {
  registry::TRegistry reg;
  if (!reg.OpenKey(SettingsKey, true)) return;
  reg.WriteString("PathForCopy", Settings.PathForCopy);
  for (int c = 0; c < 3; ++c)
    if (!ListView->isColumnHidden(c))
      reg.WriteInteger(ColumnWidthValues[c], ListView->columnWidth(c));
  WriteTagColumns(reg);
}

void TMainForm::WritePositionAndWidths() {
  try {
    registry::TRegistry reg;
    WriteFormPosition(this, &reg, MainFormKey);
  } catch (...) {
  }
  try {
    WriteColumnWidths();
  } catch (...) {
  }
}

void TMainForm::FirstActivation() {
  try {
    registry::TRegistry reg;
    ReadFormPosition(this, &reg, MainFormKey);
  } catch (...) {
  }
  FitToScreen(this); // also the first size, which a screen at 200 % cannot hold
  try {
    ReadColumnWidths();
  } catch (...) {
  }
  Activated = true;
}

bool TMainForm::event(QEvent *Event) {
  if (!Activated && (Event->type() == QEvent::Show || Event->type() == QEvent::WindowActivate))
    FirstActivation();
  return QMainWindow::event(Event);
}

void TMainForm::changeEvent(QEvent *Event) { QMainWindow::changeEvent(Event); }

void TMainForm::closeEvent(QCloseEvent *Event) {
  Event->accept(); // closing is never refused
  Shutdown();
}

void TMainForm::Shutdown() {
  if (Closed_) return;
  Closed_ = true;
  if (ScanState != ssIdle) {
    // The user sees the window go at once; the threads end on their own.
    hide();
    Scan->Stop();
  }
  Timer->stop();
  SaveList();
  WritePositionAndWidths();
  CloseHelpWindow();
  try {
    ListView->selectionModel()->clear();
    FileTree->Clear();
    Model->Reload();
  } catch (...) {
  }
  try {
    // Cuts the threads' hand-overs: no handler of this window runs from here on. The object
    // itself stays: a dialog open when the session ended may still be on the stack above us.
    Scan->Detach();
  } catch (...) {
  }
}

} // namespace sonquarry
