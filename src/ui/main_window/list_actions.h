#pragma once
// The commands that act on the rows of the list: play and save playlists, export reports, find,
// and copy the files. The main window owns one TListActions and calls its handlers.

#include "paths/tree_search.h"
#include "ui/list/row_ranges.h"
#include "ui/services/user_prompts.h"

#include <QPointer>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class QAbstractItemView;
class QAction;
class QWidget;

namespace sonquarry {

class TNetwork;
class TWNetTree;
class TRowTags;
class TSearchForm;
struct TMainFormSettings;

class TListActions {
public:
  // TreeSearch is the main window's: created by the first confirmed "Find item...".
  TListActions(QWidget *Owner, QAbstractItemView *View, TWNetTree &Tree,
               TMainFormSettings &Settings, std::unique_ptr<TTreeSearch> &TreeSearch);
  ~TListActions();

  // Set by the main window. SelectionChanged shows the selected count and refreshes the
  // commands that depend on it; CenterRow scrolls a row to the middle of the view.
  std::function<void()> SelectionChanged;
  std::function<void(int Row)> CenterRow;
  // A word on what a command did, for the status bar.
  std::function<void(const std::string &Note)> Note;
  // What the files are copied through: the program's network.
  std::shared_ptr<TNetwork> Network;
  // The main menu entries disabled while their command runs.
  QPointer<QAction> FindItemAction;
  QPointer<QAction> FindNextAction;

  std::string PlayListFileName; // the file chosen last in the playlist save dialog
  TFileDialogRequest SaveDialog;
  TFileDialogRequest sdTXTReport;
  TFileDialogRequest sdHTMLReport;

  void Play();
  void Save();
  void SaveAs();
  void ExportHtml();
  void ExportText();

  void FindItem();
  void FindNext();
  void ShowFirstSelected();
  // Ends a running find after its current slice (the progress window's Cancel).
  void CancelFind();
  bool Finding() const { return FindDepth > 0; }

  // Copies the files of the selected rows into a folder the user picks (PathForCopy).
  void CopySelected();
  // The paths of the selected rows in row order; Files must have one entry per selected row,
  // else "GetFileListForCopy2" is raised.
  void GetFileListForCopy2(std::vector<std::string> &Files) const;

  TSearchForm *SearchForm() const { return SearchFormPtr.get(); }

  const TRowTags *Tags = nullptr; // the rows' music tags, for playlists and reports

private:
  TRowRanges Selected() const;
  void Center(int Row);
  void SelectRows(const TRowRanges &Rows, int Current);
  void NotifySelection();
  bool RunFindNext();

  QWidget *Owner;
  QAbstractItemView *View;
  TWNetTree &Tree;
  TMainFormSettings &Settings;
  std::unique_ptr<TSearchForm> SearchFormPtr;
  std::unique_ptr<TTreeSearch> &TreeSearchPtr;
  int FindDepth = 0;
};

} // namespace sonquarry
