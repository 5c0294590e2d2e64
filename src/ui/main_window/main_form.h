#pragma once
// The main window: the result list over the path tree, its commands, menus, toolbar, popup menu
// and status bar, and the objects it owns for the life of the process.
//
// Its state and commands are private. Callers build it, connect the Options dialog and close it;
// a command is reached as a user reaches it, by its menu, its shortcut or its QAction's object
// name (the member's name, "actPlay"). Tests reach the rest through one named seam,
// testing::TMainFormSeam (tests/support/main_form_seam.h).
//
// A command whose handler lives elsewhere is connected with ConnectCommand(action, handler);
// until then it stays disabled, whatever the enabling rules say. The enabling rules
// (UpdateListCommands, UpdateSelectionCommands, UpdateRemoveCommand, EnableScanCommands) only
// ever enable connected commands.

#include "engine/diagnostics.h"
#include "engine/net_scan.h"
#include "engine/scan_session.h"
#include "paths/removed_rows.h"
#include "paths/tree_search.h"
#include "paths/wnet_tree.h"
#include "platform/os/thread.h"
#include "settings/settings.h"
#include "ui/list/row_ranges.h"

#include <QMainWindow>
#include <array>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

class QAction;
class QMenu;
class QTableView;
class QTimer;
class QToolBar;

namespace sonquarry {

namespace registry {
class TRegistry;
}
class TFileListModel;
class TListActions;
class TNetwork;
class TTagColumns;
class TStatusPanel;
class TfmOptions;
namespace testing {
class TMainFormSeam;
}

// The window's search: idle, running, or asked to stop and waiting for its threads.
enum TScanState : uint8_t { ssIdle = 0, ssSearching = 1, ssStopping = 2 };

class TMainForm : public QMainWindow {
  Q_OBJECT
public:
  // Network: what the window searches, copies from and reads tags through.
  explicit TMainForm(std::shared_ptr<TNetwork> Network, QWidget *Parent = nullptr);
  ~TMainForm() override;

  // The Options dialog (connected by whoever builds it): runs it on page PageIndex (-1: the
  // page last shown) and returns whether it was closed with OK. "Options..." is enabled once a
  // handler is set.
  void SetOptionsHandler(std::function<bool(int PageIndex)> Handler);
  // The close routine (list file, position, widths, release); runs once, from any close path.
  void Shutdown();

protected:
  bool eventFilter(QObject *Watched, QEvent *Event) override;
  void closeEvent(QCloseEvent *Event) override;
  void changeEvent(QEvent *Event) override;
  bool event(QEvent *Event) override;
  void keyPressEvent(QKeyEvent *Event) override;

private:
  friend class testing::TMainFormSeam;

  // ---- owned for the window's life
  std::unique_ptr<TWNetTree> FileTree;
  std::unique_ptr<TNetScan> Scan;
  std::unique_ptr<TScanSession> Session;   // over Scan and FileTree
  TMainFormSettings Settings;              // PlayListExt, PathForCopy, IPRanges, PlayerCommand
  std::unique_ptr<TTreeSearch> TreeSearch; // after the first "Find item..."
  std::unique_ptr<TfmOptions> OptionsForm; // after the first "Options..."
  std::string ListFileName;                // the program's directory + "Sonquarry.lst"
  // Playlists, reports, copy and find (list_actions.h).
  std::unique_ptr<TListActions> ListActions;

  int SortColumn = -1; // the column the list is sorted by; -1 when the order is the scan's
  bool SortAscending = true;
  // The music tags of the rows (main_form_tags.cpp).
  std::unique_ptr<TTagColumns> Tags;
  QMenu *ColumnsPopup; // the header's: shows and hides columns
  int32_t SelectedCount = 0;

  // ---- commands (menu, popup and toolbar share one action each; object name: the member's)
  // File
  QAction *actSavePlaylist;   // "Save selected to playlist" (Ctrl+S)
  QAction *actSavePlaylistAs; // "Save selected to playlist as..." (Ctrl+Shift+S), toolbar "Save"
  QAction *actCopy;           // "Copy selected files to directory..." (Ctrl+C)
  QAction *actExportHtml;     // Export -> "HTML"
  QAction *actExportText;     // Export -> "Text file"
  QAction *actExit;           // "Exit" (Alt+F4)
  // PlayList
  QAction *actPlay; // "Play selected files" (Ctrl+P), toolbar "Play", Enter, double click
  QAction *actClear;
  QAction *actSelectAll;
  QAction *actInvertSelection;
  QAction *actDelete;
  QAction *actRemoveInaccessible;
  QAction *actUndo;              // "Undo" (Ctrl+Z): puts back the rows Clear, Delete or Remove took
  QAction *actFindItem;          // "Find item..." (Ctrl+F), toolbar "Find"
  QAction *actFindNext;          // "Find next" (F3)
  QAction *actShowFirstSelected; // "Show first selected item" (F4)
  // Scan
  QAction *actSearch;  // F9
  QAction *actStop;    // Ctrl+Alt+A
  QAction *actOptions; // "Options..." (F12)
  // Help
  QAction *actHelpContents; // F1
  QAction *actHelpGettingStarted;
  QAction *actHelpFaq;
  QAction *actAbout;
  // Popup only
  QAction *pmSavePlaylist; // "Save selected to playlist" in the popup: runs actSavePlaylistAs
  QAction *pmAddDenied;    // "Add current computer to denied list"
  QAction *pmRemoveDenied; // "Remove current computer from denied list"

  QMenu *FileMenu;
  QMenu *ExportMenu;
  QMenu *PlayListMenu;
  QMenu *ScanMenu;
  QMenu *HelpMenu;
  QMenu *ListPopup;
  QToolBar *ToolBar;
  QTableView *ListView;
  TFileListModel *Model;

  // Connects Handler to the command and enables it where its rules allow from now on.
  void ConnectCommand(QAction *Action, std::function<void()> Handler);
  bool Connected(QAction *Action) const { return Wired_.count(Action) != 0; }

  bool ShowOptions(int PageIndex = -1); // through the handler; false without one

  // ---- search run control
  TScanState ScanState = ssIdle;
  int32_t ResourceCount = 0;
  std::chrono::steady_clock::time_point StartTime;
  QTimer *Timer;
  // Rows found by the search reach the list at this pace: one insert per interval, not one per
  // directory, keeps the event loop free for painting and input.
  QTimer *RowsTimer;
  static constexpr int RowsInterval = 100; // ms
  // The rows the search added that the list does not show yet.
  void InsertWaitingRows();
  void Search();
  void Stop();
  // The checks before a search, with their messages; no IP address offers the Options page.
  bool SearchAllowed();
  void SetScanState(TScanState State);
  void EnableScanCommands(bool Running);
  void ShowResourceCount(int Count);
  void ShowElapsed(double Seconds);
  void FilesFound(const std::string &Dir, const std::vector<std::string> &FileNames,
                  const std::string &Domain);
  void ResourcesEnumerated(int Children);
  void ScanFinished();
  void ShowScanReport(double Seconds);
  // A warning the user has to act on, from any thread: the main thread shows the lines that came
  // meanwhile in one message box.
  void WarnUser(const std::string &Line);
  // Once the loop runs: the first run asks for the search mode.
  void FirstRunPrompt();

  // ---- the list
  void ShowFileCount(int Count);
  void ShowSelectedCount(int Count);
  void UpdateListCommands();
  void UpdateSelectionCommands();
  void UpdateRemoveCommand();
  void ColumnClick(int Column);
  void Clear();
  void SelectAll();
  void InvertSelection();
  void DeleteSelected();
  void RemoveInaccessible();
  void Undo();

  // What Clear, Delete and Remove took, the last on top; forgotten when the rows are reordered.
  struct TUndoStep {
    QString What; // the command's name
    TRemovedRows Rows;
    bool Cleared = false; // the tags went with the rows: taken again from the cache
  };
  std::vector<TUndoStep> Undo_;
  static constexpr size_t UndoSteps = 10;
  void PushUndo(const char *What, const std::vector<int> &Rows, bool Cleared = false);
  void ForgetUndo();
  void UpdateUndoCommand();
  // A word on what a command did (or why it did nothing), in the status panel.
  void ShowNote(const QString &Note);

  // Selected rows without listing them one by one: ascending, non-overlapping [first, last].
  TRowRanges SelectedRanges() const;
  int SelectedRowCount() const;
  std::vector<int> SelectedRows() const; // ascending
  int FocusedRow() const;                // -1 when no row has the focus
  // Makes Row the one selected and focused row, in the middle of the view.
  void SelectOnly(int Row);
  // \\Computer of the one selected row; empty unless exactly one row is selected.
  std::string CurrentComputerEntry() const;

  // The status bar's panel texts, 0 to 4.
  QString PanelText(int Panel) const;

  // ---- start-up and shut-down
  void LoadList(); // the list file into FileTree, with its messages
  void SaveList(); // FileTree into the list file, with its messages, and the rows' states
  // The same while the window runs (after a search or a command), so that a killed window or
  // an ended session loses nothing; one message per distinct failure.
  void SaveListNow();
  void SaveFailed(std::string Error); // "" for a save that worked
  std::string LastSaveError_;
  void ReadColumnWidths();
  void WriteColumnWidths();
  void CreateTagColumns();
  void SetColumnShown(int Column, bool Shown);
  void ReadTagColumns(registry::TRegistry &Reg);
  void WriteTagColumns(registry::TRegistry &Reg);
  void SortByTag(int Column, bool Ascending);
  // The tag and State columns whose width follows their texts: no stored width, not resized by
  // the user. FitColumns widens them to the texts of the rows in view.
  void FitColumns();
  std::set<int> AutoWidth_;
  bool FittingColumns_ = false;
  bool FitQueued_ = false;
  // The tags of the rows that have none yet, those in view first (when the setting is on).
  void ReadTagsAfterSearch();
  void WritePositionAndWidths();

  const std::shared_ptr<TNetwork> Network_;

  void CreateActions();
  void ConnectListActions(); // main_form_actions.cpp
  void CreateMenus();
  void CreateToolBar();
  void CreateList();
  void CreateStatusBar();
  // Name: the action's object name, the member's name.
  QAction *NewAction(const char *Name, const char *Text, const QKeySequence &Shortcut = {});
  void SetEnabled(QAction *Action, bool Enabled);
  void SelectionChanged();
  // The list's popup menu at At (viewport coordinates).
  void ShowListPopup(const QPoint &At);
  void InsertReleased();
  void FirstActivation();
  void ShowAbout();
  void ShowWarnings();

  // Every warning into the scan log, those to act on to WarnUser; made first, let go first.
  std::unique_ptr<TDiagnosticsChannel> Diagnostics;
  std::mutex WarningsLock_;
  std::vector<std::string> Warnings_;
  bool WarningsQueued_ = false;

  std::function<bool(int PageIndex)> OptionsHandler_;
  std::set<QAction *> Wired_;
  std::array<TStatusPanel *, 5> Panels_{};
  bool Activated = false;
  bool SelectionRefreshQueued_ = false;
  bool Closed_ = false;
  // The mode of the last search in this run (true: neighbourhood); none before the first.
  std::optional<bool> LastSearchNetBios_;
  // The list saves' flushes to disk, off the window's thread; last, so it ends first.
  platform::TSerialJobs Saves_;
};

} // namespace sonquarry
