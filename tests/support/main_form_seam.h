#pragma once
// How tests and benches reach the main window.
//
// First what a user reaches: commands by their QAction's object name, menus, the toolbar, the
// list and the status bar's panels as children of the window. Then TMainFormSeam, the one
// friend of TMainForm: the state a test sets up or reads that no user or caller reaches (the
// tree of rows, the search's options, the settings, the tag columns) and the window's own steps
// that a test drives alone. Keep it to what tests need.

#include "engine/net_scan.h"
#include "paths/tree_search.h"
#include "paths/wnet_tree.h"
#include "settings/settings.h"
#include "ui/list/file_list_model.h"
#include "ui/list/tag_columns.h"
#include "ui/main_window/main_form.h"

#include <QAction>
#include <QLabel>
#include <QMenu>
#include <QTableView>
#include <QToolBar>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace sonquarry::testing {

// A child of Window by object name; a missing one is the test's error, not a crash.
template <class T> T *ChildNamed(const QObject &Window, const char *Name) {
  T *child = Window.findChild<T *>(QString::fromLatin1(Name));
  if (!child) throw std::logic_error(std::string("the window has no child named ") + Name);
  return child;
}

// A command as its menu, toolbar and shortcut trigger it: "actPlay", "pmAddDenied", ...
inline QAction *Command(const QObject &Window, const char *Name) {
  return ChildNamed<QAction>(Window, Name);
}
// "FileMenu", "ExportMenu", "PlayListMenu", "ScanMenu", "HelpMenu", "ListPopup".
inline QMenu *Menu(const QObject &Window, const char *Name) {
  return ChildNamed<QMenu>(Window, Name);
}
inline QToolBar *ToolBar(const QObject &Window) { return ChildNamed<QToolBar>(Window, "ToolBar"); }
inline QTableView *ListView(const QObject &Window) {
  return ChildNamed<QTableView>(Window, "ListView");
}
inline TFileListModel *ListModel(const QObject &Window) {
  auto *model = qobject_cast<TFileListModel *>(ListView(Window)->model());
  if (!model) throw std::logic_error("the window's list shows no file list model");
  return model;
}
// The status bar's panel texts, 0 to 4.
inline QString PanelText(const QObject &Window, int Panel) {
  return ChildNamed<QLabel>(Window, ("Panel" + std::to_string(Panel)).c_str())->text();
}

class TMainFormSeam {
public:
  explicit TMainFormSeam(TMainForm &Form) : F(Form) {}

  // ---- state
  TWNetTree &FileTree() const { return *F.FileTree; }
  TNetScan &Scan() const { return *F.Scan; }
  TMainFormSettings &Settings() const { return F.Settings; }
  TTagColumns &Tags() const { return *F.Tags; }
  std::unique_ptr<TTreeSearch> &TreeSearch() const { return F.TreeSearch; }
  std::string &ListFileName() const { return F.ListFileName; }
  // Returns when the list saves begun so far are on disk.
  void WaitForSaves() const { F.Saves_.Drain(); }
  TScanState ScanState() const { return F.ScanState; }
  int32_t ResourceCount() const { return F.ResourceCount; }
  int SortColumn() const { return F.SortColumn; }
  bool SortAscending() const { return F.SortAscending; }

  // ---- the selection as the window counts it
  std::vector<int> SelectedRows() const { return F.SelectedRows(); }
  int SelectedRowCount() const { return F.SelectedRowCount(); }
  int FocusedRow() const { return F.FocusedRow(); }

  // ---- steps of the window, driven alone
  void ShowFileCount(int Count) const { F.ShowFileCount(Count); }
  void ShowSelectedCount(int Count) const { F.ShowSelectedCount(Count); }
  void ShowResourceCount(int Count) const { F.ShowResourceCount(Count); }
  void ShowElapsed(double Seconds) const { F.ShowElapsed(Seconds); }
  void SetScanState(TScanState State) const { F.SetScanState(State); }
  void UpdateListCommands() const { F.UpdateListCommands(); }
  void UpdateRemoveCommand() const { F.UpdateRemoveCommand(); }
  void ColumnClick(int Column) const { F.ColumnClick(Column); }
  void InvertSelection() const { F.InvertSelection(); }
  void FilesFound(const std::string &Dir, const std::vector<std::string> &FileNames,
                  const std::string &Domain) const {
    F.FilesFound(Dir, FileNames, Domain);
  }
  bool ShowOptions(int PageIndex = -1) const { return F.ShowOptions(PageIndex); }
  // The save that follows a search or a change (the list file and the rows' states).
  void SaveListNow() const { F.SaveListNow(); }

private:
  TMainForm &F;
};

inline TMainFormSeam Seam(TMainForm &Form) { return TMainFormSeam(Form); }

} // namespace sonquarry::testing
