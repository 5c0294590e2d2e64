// The main window's list as the user works it: sorting by a header, deleting, removing
// inaccessible files, Insert, which commands are enabled, and the list file's messages.

#include "app/program_network.h"
#include "paths/wnet_tree.h"
#include "platform/files/folders.h"
#include "services/tags/tag_cache.h"
#include "support/build_paths.h"
#include "support/gui_spin.h"
#include "support/main_form_seam.h"
#include "support/recording_prompts.h"
#include "support/xdg_sandbox.h"
#include "ui/export/playlist.h"
#include "ui/list/file_list_model.h"
#include "ui/list/tag_columns.h"
#include "ui/main_window/main_form.h"
#include "ui/services/message_box.h"

#include <QAction>
#include <QApplication>
#include <QHeaderView>
#include <QHelpEvent>
#include <QItemSelectionModel>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QScrollBar>
#include <QStatusBar>
#include <QTableView>
#include <QTest>
#include <QToolBar>
#include <QToolTip>
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

using namespace sonquarry;
using sonquarry::testing::Command;
using sonquarry::testing::ListModel;
using sonquarry::testing::ListView;
using sonquarry::testing::Menu;
using sonquarry::testing::PanelText;
using sonquarry::testing::Seam;
using sonquarry::testing::ToolBar;

namespace {

struct TRow {
  std::string Name, Domain, Dir;
  TNodeState State = nsKnown;
};

class MainFormTest : public ::testing::Test {
protected:
  sonquarry::testing::TXdgSandbox Sandbox;
  sonquarry::testing::TPromptsScope Prompts;
  std::unique_ptr<TMainForm> Form;

  void Open(const std::vector<TRow> &Rows = {}) {
    Form = std::make_unique<TMainForm>(MakeProgramNetwork());
    for (const auto &r : Rows) Seam(*Form).FileTree().AddFile(r.Domain, r.Dir, r.Name);
    for (size_t i = 0; i < Rows.size(); ++i)
      Seam(*Form).FileTree().File(int(i)).SetState(Rows[i].State);
    Seam(*Form).ShowFileCount(Seam(*Form).FileTree().Count());
    Seam(*Form).UpdateRemoveCommand();
  }
  // Rows "t00.mp3" ... in one directory per ten rows.
  void OpenNumbered(int N) {
    std::vector<TRow> rows;
    for (int i = 0; i < N; ++i) {
      char name[32];
      std::snprintf(name, sizeof name, "t%02d.mp3", i);
      rows.push_back({name, "WG", "\\\\PC\\music\\d" + std::to_string(i / 10)});
    }
    Open(rows);
  }
  std::vector<std::string> Names() {
    std::vector<std::string> out;
    for (int i = 0; i < Seam(*Form).FileTree().Count(); ++i)
      out.emplace_back(Seam(*Form).FileTree().File(i).Name());
    return out;
  }
  void Select(int First, int Last) {
    ListView(*Form)->selectionModel()->select(
        QItemSelection(ListModel(*Form)->index(First, 0), ListModel(*Form)->index(Last, 2)),
        QItemSelectionModel::Select | QItemSelectionModel::Rows);
  }
  void Focus(int Row) {
    ListView(*Form)->selectionModel()->setCurrentIndex(ListModel(*Form)->index(Row, 0),
                                                       QItemSelectionModel::NoUpdate);
  }
  std::vector<int> Selected() { return Seam(*Form).SelectedRows(); }
};

} // namespace

TEST_F(MainFormTest, FrameCaptionSizeMenusAndPopupInOrder) {
  Open();
  EXPECT_EQ(Form->windowTitle().toStdString(), "Vantrell Sonquarry");
  EXPECT_EQ(ApplicationTitle(), "Vantrell Sonquarry");
  EXPECT_EQ(Form->size(), QSize(630, 477));
  auto texts = [](const QList<QAction *> &Actions) {
    std::vector<std::string> out;
    for (QAction *a : Actions)
      out.push_back(a->isSeparator() ? "-" : a->text().remove('&').toStdString());
    return out;
  };
  using V = std::vector<std::string>;
  EXPECT_EQ(texts(Form->menuBar()->actions()), (V{"File", "PlayList", "Scan", "Help"}));
  EXPECT_EQ(texts(Menu(*Form, "FileMenu")->actions()),
            (V{"Save selected to playlist", "Save selected to playlist as...", "-",
               "Copy selected files to directory...", "Export", "-", "Exit"}));
  EXPECT_EQ(texts(Menu(*Form, "ExportMenu")->actions()), (V{"HTML", "Text file"}));
  EXPECT_EQ(texts(Menu(*Form, "PlayListMenu")->actions()),
            (V{"Play selected files", "-", "Undo", "Clear", "Select all", "Invert selection",
               "Delete from list", "-", "Remove all inaccessible files", "-", "Find item...",
               "Find next", "Show first selected item"}));
  EXPECT_EQ(texts(Menu(*Form, "ScanMenu")->actions()), (V{"Search", "Stop", "-", "Options..."}));
  EXPECT_EQ(texts(Menu(*Form, "HelpMenu")->actions()),
            (V{"Contents", "Getting started", "FAQ and tips", "-", "About..."}));
  EXPECT_EQ(texts(Menu(*Form, "ListPopup")->actions()),
            (V{"Play selected files", "Save selected to playlist",
               "Copy selected files to directory...", "-", "Clear", "Select all",
               "Invert selection", "Delete from list", "-", "Remove all inaccessible files", "-",
               "Find item...", "Find next", "Show first selected item", "-",
               "Add current computer to denied list", "Remove current computer from denied list"}));
  std::vector<std::string> buttons;
  for (QAction *a : ToolBar(*Form)->actions())
    buttons.push_back(a->isSeparator() ? "-" : a->iconText().toStdString());
  EXPECT_EQ(buttons,
            (V{"Search", "Stop", "-", "Play", "Save", "Delete", "Clear", "-", "Find", "Options"}));
  EXPECT_EQ(ListView(*Form)->columnWidth(0), 150);
  EXPECT_GE(ListView(*Form)->columnWidth(1), 100); // wider where "<<unknown>>" needs it
  EXPECT_EQ(PanelText(*Form, 0).toStdString(), "Files: 0");
  EXPECT_EQ(PanelText(*Form, 1).toStdString(), "Selected files: 0");
  EXPECT_EQ(PanelText(*Form, 4).toStdString(), "Time: 00:00:00");
  EXPECT_TRUE(Prompts->Records.empty()); // no list file yet: no message
}

TEST_F(MainFormTest, StatusPanelsReadableAtTheFirstSize) {
  Open();
  Form->show();
  Seam(*Form).ShowSelectedCount(1000000);
  Seam(*Form).SetScanState(ssSearching);
  Seam(*Form).ShowResourceCount(99999);
  Seam(*Form).ShowElapsed(35999);
  QApplication::processEvents();
  ASSERT_EQ(Form->size(), QSize(630, 477));
  const int barWidth = Form->statusBar()->width();
  for (int i = 0; i < 5; ++i) {
    auto *panel = Form->findChild<QLabel *>(QString("Panel%1").arg(i));
    ASSERT_NE(panel, nullptr);
    SCOPED_TRACE(panel->text().toStdString());
    EXPECT_GE(panel->contentsRect().width(), panel->fontMetrics().horizontalAdvance(panel->text()));
    EXPECT_LE(panel->geometry().right(), barWidth);
  }
  Seam(*Form).SetScanState(ssIdle);
}

TEST_F(MainFormTest, RegistryProblemsShowAMessage) {
  std::filesystem::create_directories(std::filesystem::path(Sandbox.Hive()).parent_path());
  std::ofstream(Sandbox.Hive()) << "not a registry file\n";
  Open();
  // Handed over to the main thread: shown once the loop runs, before the first-run prompt.
  QApplication::processEvents();
  const auto messages = Prompts->Messages();
  ASSERT_GE(messages.size(), 1u);
  EXPECT_EQ(std::count_if(messages.begin(), messages.end(),
                          [](const std::string &M) {
                            return M.find("could not be parsed") != std::string::npos;
                          }),
            1);
  EXPECT_NE(messages[0].find("could not be parsed"), std::string::npos) << messages[0];
  EXPECT_NE(messages[0].find(Sandbox.Hive()), std::string::npos) << messages[0];
  EXPECT_EQ(Prompts->Records[0].Style, MB_ICONWARNING | MB_TOPMOST);
}

TEST_F(MainFormTest, HeaderClicksCycleAndKeepOnlyTheFirstSelectedRow) {
  Open({{"b.mp3", "WG2", "\\\\PC2\\s"},
        {"a.mp3", "WG1", "\\\\PC1\\s"},
        {"c.mp3", "WG3", "\\\\PC0\\s"},
        {"a.mp3", "WG1", "\\\\PC1\\s\\x"}});
  Select(0, 0); // b.mp3
  Select(2, 2); // c.mp3
  Focus(2);
  struct Step {
    int Column;
    bool Ascending;
    std::vector<std::string> Order;
  } steps[] = {
      {0, true, {"a.mp3", "a.mp3", "b.mp3", "c.mp3"}},
      {0, false, {"c.mp3", "b.mp3", "a.mp3", "a.mp3"}},
      {0, true, {"a.mp3", "a.mp3", "b.mp3", "c.mp3"}},
      {1, true, {"a.mp3", "a.mp3", "b.mp3", "c.mp3"}},
      {2, true, {"c.mp3", "a.mp3", "a.mp3", "b.mp3"}},
      {2, false, {"b.mp3", "a.mp3", "a.mp3", "c.mp3"}},
  };
  for (const auto &s : steps) {
    Seam(*Form).ColumnClick(s.Column);
    EXPECT_EQ(Seam(*Form).SortColumn(), s.Column);
    EXPECT_EQ(Seam(*Form).SortAscending(), s.Ascending) << s.Column;
    EXPECT_EQ(Names(), s.Order) << s.Column;
    // Only b.mp3, the first selected row of the first order, stays selected and focused.
    ASSERT_EQ(Selected().size(), 1u);
    EXPECT_EQ(Seam(*Form).FileTree().File(Selected()[0]).Name(), "b.mp3");
    EXPECT_EQ(Seam(*Form).FocusedRow(), Selected()[0]);
  }
  // Two rows with the same texts cannot exist; the first exact match wins among name twins.
  ListView(*Form)->selectionModel()->clear();
  const int second = Names()[1] == "a.mp3" ? 1 : 2;
  Select(second, second);
  const std::string dir = Seam(*Form).FileTree().GetDirectory(second);
  Seam(*Form).ColumnClick(0);
  ASSERT_EQ(Selected().size(), 1u);
  EXPECT_EQ(Seam(*Form).FileTree().GetDirectory(Selected()[0]), dir);
}

TEST_F(MainFormTest, HeaderClickWithFewerThanTwoRowsChangesNothing) {
  for (int n : {0, 1}) {
    OpenNumbered(n);
    Seam(*Form).ColumnClick(0);
    EXPECT_EQ(Seam(*Form).SortColumn(), -1) << n;
  }
}

TEST_F(MainFormTest, DeleteSelectsTheRowAfterTheFocusedOne) {
  struct Case {
    int First, Last, Focused; // -1: no focused row
    int Expected;             // old index of the row selected afterwards, -1: none
  } cases[] = {
      {5, 9, 7, 10},    // the row that was row 10, now row 5
      {5, 9, -1, -1},   // no focus: nothing selected
      {15, 19, 19, 14}, // nothing after it: the new last row
      {0, 19, 3, -1},   // every row deleted
  };
  for (const auto &c : cases) {
    OpenNumbered(20);
    const auto before = Names();
    Select(c.First, c.Last);
    if (c.Focused >= 0) Focus(c.Focused);
    ASSERT_TRUE(Command(*Form, "actDelete")->isEnabled());
    Command(*Form, "actDelete")->trigger();
    const int left = 20 - (c.Last - c.First + 1);
    EXPECT_EQ(Seam(*Form).FileTree().Count(), left);
    EXPECT_EQ(ListModel(*Form)->rowCount(), left);
    EXPECT_EQ(PanelText(*Form, 0).toStdString(), "Files: " + std::to_string(left));
    if (c.Expected < 0) {
      EXPECT_TRUE(Selected().empty()) << c.First;
      EXPECT_EQ(PanelText(*Form, 1).toStdString(), "Selected files: 0");
      EXPECT_FALSE(Command(*Form, "actDelete")->isEnabled());
    } else {
      ASSERT_EQ(Selected().size(), 1u) << c.First;
      EXPECT_EQ(Names()[Selected()[0]], before[c.Expected]);
      EXPECT_EQ(Seam(*Form).FocusedRow(), Selected()[0]);
      EXPECT_EQ(PanelText(*Form, 1).toStdString(), "Selected files: 1");
    }
  }
}

TEST_F(MainFormTest, RemoveInaccessibleKeepsUnreachedRowsAndStaysEnabled) {
  Open({{"a.mp3", "W", "\\\\A\\s", nsUnreached}, {"b.mp3", "W", "\\\\B\\s", nsUnreached}});
  ASSERT_TRUE(Command(*Form, "actRemoveInaccessible")->isEnabled());
  Command(*Form, "actRemoveInaccessible")->trigger();
  EXPECT_EQ(Seam(*Form).FileTree().Count(), 2);
  EXPECT_TRUE(Command(*Form, "actRemoveInaccessible")->isEnabled());
  EXPECT_EQ(PanelText(*Form, 2).toStdString(),
            "Status: Nothing to remove: no file is marked removed or inaccessible");
  EXPECT_FALSE(Command(*Form, "actUndo")->isEnabled()); // nothing was taken

  Open({{"a.mp3", "W", "\\\\A\\s", nsInaccessible},
        {"b.mp3", "W", "\\\\A\\s", nsKnown},
        {"c.mp3", "W", "\\\\B\\s", nsUnreached},
        {"d.mp3", "W", "\\\\B\\t", nsInaccessible},
        {"e.mp3", "W", "\\\\B\\t", nsNew}});
  Select(0, 4);
  Command(*Form, "actRemoveInaccessible")->trigger();
  EXPECT_EQ(Names(), (std::vector<std::string>{"b.mp3", "c.mp3", "e.mp3"}));
  EXPECT_EQ(PanelText(*Form, 0).toStdString(), "Files: 3");
  EXPECT_EQ(PanelText(*Form, 1).toStdString(), "Selected files: 0");

  Open({{"a.mp3", "W", "\\\\A\\s", nsKnown}, {"b.mp3", "W", "\\\\A\\s", nsNew}});
  EXPECT_FALSE(Command(*Form, "actRemoveInaccessible")->isEnabled());
}

// Clear, Delete and Remove write the list at once and can be undone, each row back at its place
// with its state; the list file on disk follows every step.
TEST_F(MainFormTest, UndoPutsBackWhatClearDeleteAndRemoveTookAndTheListFollowsOnDisk) {
  const std::vector<TRow> rows = {{"a.mp3", "W", "\\\\A\\s", nsInaccessible},
                                  {"b.mp3", "W", "\\\\A\\s", nsNew},
                                  {"c.mp3", "V", "\\\\B\\s", nsUnreached},
                                  {"d.mp3", "W", "\\\\A\\t", nsInaccessible},
                                  {"e.mp3", "W", "\\\\A\\t", nsKnown}};
  Open(rows);
  const std::string list = Seam(*Form).ListFileName();
  const auto shown = [&] {
    std::vector<std::string> out;
    for (int i = 0; i < Seam(*Form).FileTree().Count(); ++i)
      out.push_back(Seam(*Form).FileTree().GetDirectory(i) +
                    std::string(Seam(*Form).FileTree().File(i).Name()) + " " +
                    Seam(*Form).FileTree().GetDomain(i) + " " +
                    std::to_string(Seam(*Form).FileTree().File(i).State()));
    return out;
  };
  const auto onDisk = [&] {
    Seam(*Form).WaitForSaves();
    TWNetTree back;
    EXPECT_EQ(LoadListFile(list, back), lfOk);
    std::vector<std::string> out;
    for (int i = 0; i < back.Count(); ++i) out.emplace_back(back.File(i).Name());
    return out;
  };
  const auto original = shown();
  using V = std::vector<std::string>;
  struct {
    const char *What;
    std::function<void()> Do;
    V Left;
  } const steps[] = {
      {"Delete",
       [&] {
         Select(1, 2);
         Command(*Form, "actDelete")->trigger();
       },
       V{"a.mp3", "d.mp3", "e.mp3"}},
      {"Remove", [&] { Command(*Form, "actRemoveInaccessible")->trigger(); },
       V{"b.mp3", "c.mp3", "e.mp3"}},
      {"Clear", [&] { Command(*Form, "actClear")->trigger(); }, V{}},
  };
  for (const auto &step : steps) {
    SCOPED_TRACE(step.What);
    EXPECT_FALSE(Command(*Form, "actUndo")->isEnabled());
    step.Do();
    EXPECT_EQ(Names(), step.Left);
    EXPECT_EQ(onDisk(), step.Left);
    ASSERT_TRUE(Command(*Form, "actUndo")->isEnabled());
    EXPECT_EQ(Command(*Form, "actUndo")->shortcut(), QKeySequence(QKeySequence::Undo));
    Command(*Form, "actUndo")->trigger();
    EXPECT_EQ(shown(), original);
    EXPECT_EQ(onDisk(), (V{"a.mp3", "b.mp3", "c.mp3", "d.mp3", "e.mp3"}));
    EXPECT_EQ(PanelText(*Form, 0).toStdString(), "Files: 5");
    EXPECT_TRUE(Command(*Form, "actRemoveInaccessible")->isEnabled());
  }
  // Two steps come back in turn; a sort forgets them (their places are gone).
  Select(0, 0);
  Command(*Form, "actDelete")->trigger();
  Select(0, 0);
  Command(*Form, "actDelete")->trigger();
  Command(*Form, "actUndo")->trigger();
  Command(*Form, "actUndo")->trigger();
  EXPECT_EQ(shown(), original);
  Select(4, 4);
  Command(*Form, "actDelete")->trigger();
  Seam(*Form).ColumnClick(0);
  EXPECT_FALSE(Command(*Form, "actUndo")->isEnabled());
}

// The list's keys: Tab leaves it, Home and End go to the first and last row without scrolling
// the names sideways out of view.
TEST_F(MainFormTest, TabLeavesTheListAndEndKeepsTheNamesInView) {
  OpenNumbered(60);
  Form->show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(Form.get()));
  QTableView *v = ListView(*Form);
  v->setFocus();
  Focus(0);
  QTest::keyClick(v, Qt::Key_Down);
  EXPECT_EQ(Seam(*Form).FocusedRow(), 1);
  for (const auto key : {Qt::Key_End, Qt::Key_Home, Qt::Key_End}) {
    QTest::keyClick(v, key, Qt::ControlModifier);
    EXPECT_EQ(v->horizontalScrollBar()->value(), 0);
    EXPECT_EQ(v->currentIndex().column(), 0);
  }
  EXPECT_EQ(Seam(*Form).FocusedRow(), 59);
  QTest::keyClick(v, Qt::Key_Tab);
  EXPECT_NE(QApplication::focusWidget(), v);
  EXPECT_EQ(Seam(*Form).FocusedRow(), 59);
}

// Without stored widths the three columns are readable at the first size and no column
// stretches: a wider window leaves every width as it was.
TEST_F(MainFormTest, DefaultWidthsKeepThePathReadableAndNothingStretches) {
  OpenNumbered(5);
  Form->show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(Form.get()));
  QTableView *v = ListView(*Form);
  ASSERT_EQ(Form->size(), QSize(630, 477));
  EXPECT_FALSE(v->horizontalHeader()->stretchLastSection());
  EXPECT_GE(v->columnWidth(scDirectory), 250);
  // At least 250 px of Directory in view at the first size.
  EXPECT_LE(v->columnViewportPosition(scDirectory) + 250, v->viewport()->width());
  std::vector<int> widths;
  for (int c = 0; c < TFileListModel::Columns; ++c) widths.push_back(v->columnWidth(c));
  const int last = TFileListModel::TagColumn + tfLength;
  EXPECT_LT(v->columnWidth(last), 100); // "Length" is as wide as its caption, not the rest
  Form->resize(1400, 477);
  QApplication::processEvents();
  for (int c = 0; c < TFileListModel::Columns; ++c) EXPECT_EQ(v->columnWidth(c), widths[c]) << c;
}

TEST_F(MainFormTest, InsertMovesOnAndTogglesExceptOnTheLastRow) {
  OpenNumbered(5);
  Form->show();
  Select(1, 1);
  Focus(1);
  QTest::keyClick(ListView(*Form), Qt::Key_Insert);
  EXPECT_EQ(Selected(), (std::vector<int>{1, 2}));
  EXPECT_EQ(Seam(*Form).FocusedRow(), 2);
  EXPECT_EQ(PanelText(*Form, 1).toStdString(), "Selected files: 2");
  Focus(4);
  QTest::keyClick(ListView(*Form), Qt::Key_Insert);
  EXPECT_EQ(Selected(), (std::vector<int>{1, 2}));
  EXPECT_EQ(Seam(*Form).FocusedRow(), 4);
  ListView(*Form)->selectionModel()->clear();
  Focus(0);
  QTest::keyClick(ListView(*Form), Qt::Key_Insert); // nothing selected: nothing happens
  EXPECT_TRUE(Selected().empty());
}

TEST_F(MainFormTest, SelectAllAndInvertCountRows) {
  OpenNumbered(30);
  Command(*Form, "actSelectAll")->trigger();
  EXPECT_EQ(PanelText(*Form, 1).toStdString(), "Selected files: 30");
  ListView(*Form)->selectionModel()->clear();
  for (int i = 0; i < 30; i += 2) Select(i, i);
  Command(*Form, "actInvertSelection")->trigger();
  EXPECT_EQ(PanelText(*Form, 1).toStdString(), "Selected files: 15");
  for (int i : Selected()) EXPECT_EQ(i % 2, 1);
  Command(*Form, "actClear")->trigger();
  EXPECT_EQ(PanelText(*Form, 0).toStdString(), "Files: 0");
  EXPECT_EQ(PanelText(*Form, 1).toStdString(), "Selected files: 0");
  EXPECT_EQ(Seam(*Form).SortColumn(), -1);
}

TEST_F(MainFormTest, MouseAndKeysSelectRowsAndSelectedRowsLookSelected) {
  OpenNumbered(8);
  Form->show();
  QTableView *v = ListView(*Form);
  const auto click = [&](int Row, Qt::KeyboardModifiers Mods) {
    QTest::mouseClick(v->viewport(), Qt::LeftButton, Mods,
                      v->visualRect(ListModel(*Form)->index(Row, 1)).center());
  };
  struct TStep {
    const char *What;
    std::function<void()> Do;
    std::vector<int> Rows;
  } steps[] = {
      {"click", [&] { click(1, {}); }, {1}},
      {"Ctrl+click adds", [&] { click(3, Qt::ControlModifier); }, {1, 3}},
      {"Shift+click extends from the anchor", [&] { click(5, Qt::ShiftModifier); }, {1, 3, 4, 5}},
      {"Ctrl+click on a selected row takes it out",
       [&] { click(4, Qt::ControlModifier); },
       {1, 3, 5}},
      {"click on a selected row keeps only it", [&] { click(3, {}); }, {3}},
      {"Shift+Down twice, a row arrives, Shift+Up",
       [&] {
         QTest::keyClick(v, Qt::Key_Down, Qt::ShiftModifier);
         QTest::keyClick(v, Qt::Key_Down, Qt::ShiftModifier);
         Seam(*Form).FileTree().AddFile("WG", "\\\\PC\\new", "new.mp3");
         Seam(*Form).ShowFileCount(Seam(*Form).FileTree().Count());
         QTest::keyClick(v, Qt::Key_Up, Qt::ShiftModifier);
       },
       {3, 4}},
      {"Ctrl+Space toggles the focused row",
       [&] { QTest::keyClick(v, Qt::Key_Space, Qt::ControlModifier); },
       {3}},
      {"Ctrl+A",
       [&] { QTest::keyClick(v, Qt::Key_A, Qt::ControlModifier); },
       {0, 1, 2, 3, 4, 5, 6, 7, 8}},
  };
  for (const TStep &s : steps) {
    s.Do();
    EXPECT_EQ(Selected(), s.Rows) << s.What;
    EXPECT_EQ(PanelText(*Form, 1).toStdString(), "Selected files: " + std::to_string(s.Rows.size()))
        << s.What;
  }
  // Drawn: the highlight behind the selected rows only.
  ListView(*Form)->selectionModel()->clear();
  Select(2, 2);
  const QImage shot = v->viewport()->grab().toImage();
  const auto lit = [&](int Row) {
    const QRect r = v->visualRect(ListModel(*Form)->index(Row, 0));
    const QColor c = shot.pixelColor(r.right() - 2, r.center().y());
    return c == v->palette().color(QPalette::Active, QPalette::Highlight) ||
           c == v->palette().color(QPalette::Inactive, QPalette::Highlight);
  };
  EXPECT_TRUE(lit(2));
  EXPECT_FALSE(lit(1));
  EXPECT_FALSE(lit(3));
}

TEST_F(MainFormTest, CommandGroupsFollowRowsSelectionAndConnection) {
  OpenNumbered(0);
  auto listGroup = [&] {
    std::vector<bool> out;
    for (QAction *a : {Command(*Form, "actClear"), Command(*Form, "actSelectAll"),
                       Command(*Form, "actInvertSelection"), Command(*Form, "pmAddDenied"),
                       Command(*Form, "pmRemoveDenied")})
      out.push_back(a->isEnabled());
    return out;
  };
  EXPECT_EQ(listGroup(), std::vector<bool>(5, false));
  OpenNumbered(3);
  EXPECT_EQ(listGroup(), std::vector<bool>(5, true));
  // Find next also needs a find.
  for (QAction *a : {Command(*Form, "actFindItem"), Command(*Form, "actExportHtml"),
                     Command(*Form, "actExportText")})
    EXPECT_TRUE(a->isEnabled()) << a->text().toStdString();
  EXPECT_FALSE(Command(*Form, "actFindNext")->isEnabled());
  Seam(*Form).TreeSearch() = std::make_unique<TTreeSearch>(&Seam(*Form).FileTree());
  Seam(*Form).UpdateListCommands();
  EXPECT_TRUE(Command(*Form, "actFindNext")->isEnabled());

  const std::vector<QAction *> selectionGroup = {
      Command(*Form, "actDelete"),           Command(*Form, "actPlay"),
      Command(*Form, "actSavePlaylist"),     Command(*Form, "actSavePlaylistAs"),
      Command(*Form, "pmSavePlaylist"),      Command(*Form, "actCopy"),
      Command(*Form, "actShowFirstSelected")};
  for (QAction *a : selectionGroup) EXPECT_FALSE(a->isEnabled()) << a->text().toStdString();
  Select(1, 1);
  for (QAction *a : selectionGroup) EXPECT_TRUE(a->isEnabled()) << a->text().toStdString();
  ListView(*Form)->selectionModel()->clear();
  for (QAction *a : selectionGroup) EXPECT_FALSE(a->isEnabled()) << a->text().toStdString();
}

TEST_F(MainFormTest, EnterAndDoubleClickPlay) {
  OpenNumbered(3);
  Form->show();
  int played = 0;
  const TPlayListOpener previous = SetPlayListOpener(
      [&](const std::string &, const std::string &, const TPlayFailed &) { ++played; });
  Select(0, 0);
  Focus(0);
  QTest::keyClick(ListView(*Form), Qt::Key_Return);
  EXPECT_EQ(played, 1);
  SetPlayListOpener(previous);
}

TEST_F(MainFormTest, DeniedListPopupCommands) {
  Open({{"a.mp3", "W", "\\\\Computer1\\Music\\Trance"}, {"b.mp3", "W", "\\\\Other\\x"}});
  auto &denied = Seam(*Form).Scan().Filter.DeniedComps;
  denied.clear();
  Select(0, 1);
  Command(*Form, "pmAddDenied")->trigger(); // two rows: nothing
  EXPECT_TRUE(denied.empty());
  ListView(*Form)->selectionModel()->clear();
  Select(0, 0);
  Command(*Form, "pmAddDenied")->trigger();
  Command(*Form, "pmAddDenied")->trigger();
  EXPECT_EQ(denied, (std::vector<std::string>{"\\\\Computer1"}));
  ListView(*Form)->selectionModel()->clear();
  Select(1, 1);
  Command(*Form, "pmAddDenied")->trigger();
  ListView(*Form)->selectionModel()->clear();
  Select(0, 0);
  Command(*Form, "pmRemoveDenied")->trigger();
  EXPECT_EQ(denied, (std::vector<std::string>{"\\\\Other"}));
  // Removing wrote every setting at once, the unsaved \\Other too.
  TScanOptions stored;
  TMainFormSettings form;
  TNetScan target;
  LoadSettings(stored, form, target);
  EXPECT_EQ(stored.Filter.DeniedComps, (std::vector<std::string>{"\\\\Other"}));
}

TEST_F(MainFormTest, ListFileLoadedAtStartAndWrittenAtClose) {
  const std::string list = files::GetProgramDir() + "Sonquarry.lst";
  {
    std::ofstream f(list, std::ios::binary);
    f << "x.mp3\r\nWG\r\n\\\\PC\\s\\\r\ny.mp3\r\nWG\r\n\\\\PC\\s\\d\\\r\n";
  }
  Open();
  EXPECT_EQ(PanelText(*Form, 0).toStdString(), "Files: 2");
  EXPECT_EQ(Seam(*Form).FileTree().File(0).State(), nsKnown);
  Seam(*Form).FileTree().AddFile("WG", "\\\\PC\\t", "z.mp3");
  Seam(*Form).ShowFileCount(3);
  Form->close();
  TWNetTree back;
  EXPECT_EQ(LoadListFile(list, back), 0);
  EXPECT_EQ(back.Count(), 3);
  EXPECT_TRUE(Prompts->Records.empty());

  // A list directory that has gone: the close says so and still closes.
  Open();
  Seam(*Form).ListFileName() = files::GetProgramDir() + "gone/Sonquarry.lst";
  Form->close();
  ASSERT_EQ(Prompts->Messages().size(), 1u);
  EXPECT_EQ(Prompts->Messages()[0], "Can not write list file. Directory " + files::GetProgramDir() +
                                        "gone does not exist.");
  EXPECT_EQ(Prompts->Records[0].Style, MB_ICONERROR | MB_TOPMOST);

  // A list file that cannot be read.
  std::filesystem::remove(list);
  std::filesystem::create_directory(list);
  Prompts->Records.clear();
  Open();
  ASSERT_EQ(Prompts->Messages().size(), 1u);
  EXPECT_NE(Prompts->Messages()[0].find(list), std::string::npos);
  EXPECT_EQ(PanelText(*Form, 0).toStdString(), "Files: 0");
}

// A list loaded at start-up shows what the tag cache holds for its rows, and sorts by it: texts
// folded, rows without tags first, equal keys in the order the rows had.
TEST_F(MainFormTest, LoadedListShowsCachedTagsAndSortsByThem) {
  {
    std::ofstream f(files::GetProgramDir() + "Sonquarry.lst", std::ios::binary);
    for (const char *n : {"a.mp3", "b.mp3", "c.mp3", "d.mp3", "e.mp3"})
      f << n << "\r\nWG\r\n\\\\PC\\s\\d\\\r\n";
  }
  {
    tags::TTagCache cache;
    cache.Put("\\\\PC\\s\\d\\a.mp3", 1, 1, {"the long shared artist name B", "Ta", "", 2001, 61});
    cache.Put("\\\\PC\\s\\d\\b.mp3", 1, 1, {"The Long Shared Artist Name a", "Tb", "X", 0, -1});
    cache.Put("\\\\PC\\s\\d\\c.mp3", 1, 1, {"THE LONG SHARED ARTIST NAME B", "Tc", "", 1999, 600});
    cache.Put("\\\\PC\\s\\e.mp3", 1, 1, {"Elsewhere", "", "", 0, 1}); // no row of the list
  }
  Open();
  ASSERT_TRUE(sonquarry::testing::SpinUntil([&] { return !Seam(*Form).Tags().Busy(); }));
  const auto cells = [&](int Row) {
    std::vector<std::string> out;
    for (int f = 0; f < TagFieldCount; ++f)
      out.push_back(ListModel(*Form)
                        ->index(Row, TFileListModel::TagColumn + f)
                        .data()
                        .toString()
                        .toStdString());
    return out;
  };
  using V = std::vector<std::string>;
  EXPECT_EQ(cells(0), (V{"the long shared artist name B", "Ta", "", "2001", "1:01"}));
  EXPECT_EQ(cells(1), (V{"The Long Shared Artist Name a", "Tb", "X", "", ""}));
  EXPECT_EQ(cells(2), (V{"THE LONG SHARED ARTIST NAME B", "Tc", "", "1999", "10:00"}));
  EXPECT_EQ(cells(3), (V{"", "", "", "", ""}));

  // Without a stored width the column fits its texts.
  QApplication::processEvents();
  EXPECT_GE(ListView(*Form)->columnWidth(TFileListModel::TagColumn + tfArtist),
            ListView(*Form)->fontMetrics().horizontalAdvance("THE LONG SHARED ARTIST NAME B"));
  Seam(*Form).ColumnClick(TFileListModel::TagColumn + tfArtist);
  EXPECT_EQ(Names(), (V{"d.mp3", "e.mp3", "b.mp3", "a.mp3", "c.mp3"}));
  Seam(*Form).ColumnClick(TFileListModel::TagColumn + tfArtist);
  EXPECT_EQ(Names(), (V{"a.mp3", "c.mp3", "b.mp3", "d.mp3", "e.mp3"}));
  Seam(*Form).ColumnClick(TFileListModel::TagColumn + tfLength);
  EXPECT_EQ(Names(), (V{"d.mp3", "e.mp3", "b.mp3", "a.mp3", "c.mp3"}));
}

// The state icon names its state in a tooltip; the State column, hidden until the header's menu
// shows it, names it too and sorts by it.
TEST_F(MainFormTest, StateIconsSayTheirStateAndTheStateColumnSorts) {
  Open({{"a.mp3", "W", "\\\\A\\s", nsUnreached},
        {"b.mp3", "W", "\\\\A\\s", nsNew},
        {"c.mp3", "W", "\\\\A\\s", nsInaccessible},
        {"d.mp3", "W", "\\\\A\\s", nsKnown},
        {"e.mp3", "W", "\\\\A\\s", nsNew}});
  Form->show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(Form.get()));
  QTableView *v = ListView(*Form);
  const int state = TFileListModel::StateColumn;
  EXPECT_TRUE(v->isColumnHidden(state));
  EXPECT_EQ(ListModel(*Form)->headerData(state, Qt::Horizontal, Qt::DisplayRole).toString(),
            "State");
  const QStringList names = {"Unknown (computer not found)", "New", "Removed (or inaccessible)",
                             "Found again", "New"};
  for (int row = 0; row < 5; ++row) {
    const QRect cell = v->visualRect(ListModel(*Form)->index(row, 0));
    const QPoint icon(cell.left() + 4 + v->iconSize().width() / 2, cell.center().y());
    QHelpEvent help(QEvent::ToolTip, icon, v->viewport()->mapToGlobal(icon));
    QApplication::sendEvent(v->viewport(), &help);
    EXPECT_TRUE(QToolTip::isVisible()) << row;
    EXPECT_TRUE(QToolTip::text().contains(names[row])) << QToolTip::text().toStdString();
    EXPECT_EQ(ListModel(*Form)->index(row, state).data().toString(), names[row]);
    // A name reads from the left, not pushed to the column's far edge as the numbers are.
    EXPECT_FALSE(ListModel(*Form)->index(row, state).data(Qt::TextAlignmentRole).toInt() &
                 Qt::AlignRight);
  }
  QToolTip::hideText();
  // Shown through the header's menu, as the tag columns are.
  QMenu *columns = nullptr;
  for (QMenu *m : Form->findChildren<QMenu *>())
    for (QAction *a : m->actions())
      if (a->text() == "State") columns = m;
  ASSERT_NE(columns, nullptr);
  for (QAction *a : columns->actions())
    if (a->text() == "State") a->trigger();
  EXPECT_FALSE(v->isColumnHidden(state));
  QApplication::processEvents();
  EXPECT_GE(v->columnWidth(state), v->fontMetrics().horizontalAdvance(names[0]));
  Seam(*Form).ColumnClick(state);
  EXPECT_EQ(Names(), (std::vector<std::string>{"d.mp3", "b.mp3", "e.mp3", "c.mp3", "a.mp3"}));
  Seam(*Form).ColumnClick(state);
  EXPECT_EQ(Names(), (std::vector<std::string>{"a.mp3", "c.mp3", "b.mp3", "e.mp3", "d.mp3"}));
}

// Esc closes the window only when nothing else was meant: a menu or popup takes its own Esc.
// Shift+F10 opens the popup as the Menu key does.
TEST_F(MainFormTest, EscClosesOnlyTheWindowItselfAndShiftF10OpensThePopup) {
  struct TCase {
    const char *What;
    std::function<QWidget *()> Open; // returns the widget that gets the Esc
    bool Closes;
    bool ListPopup = false; // Open shows the list's popup menu
  };
  const TCase cases[] = {
      {"the list", [&] { return static_cast<QWidget *>(ListView(*Form)); }, true},
      {"the popup",
       [&] {
         Menu(*Form, "ListPopup")->popup(Form->mapToGlobal(QPoint(20, 80)));
         return QApplication::activePopupWidget();
       },
       false, true},
      {"the File menu",
       [&] {
         Form->menuBar()->setActiveAction(Menu(*Form, "FileMenu")->menuAction());
         return QApplication::activePopupWidget();
       },
       false},
      {"the popup by Shift+F10",
       [&] {
         QTest::keyClick(ListView(*Form), Qt::Key_F10, Qt::ShiftModifier);
         return QApplication::activePopupWidget();
       },
       false, true},
      {"the menu bar after Alt",
       [&] {
         QTest::keyClick(Form->menuBar(), Qt::Key_Alt);
         Form->menuBar()->setActiveAction(Menu(*Form, "FileMenu")->menuAction());
         QTest::keyClick(QApplication::activePopupWidget(), Qt::Key_Escape);
         return QApplication::focusWidget();
       },
       false},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.What);
    OpenNumbered(3);
    Form->show();
    Form->activateWindow();
    ListView(*Form)->setFocus();
    ASSERT_TRUE(QTest::qWaitForWindowActive(Form.get()));
    QWidget *target = c.Open();
    ASSERT_NE(target, nullptr);
    if (!c.Closes) {
      EXPECT_NE(target, static_cast<QWidget *>(ListView(*Form)));
    }
    if (c.ListPopup) {
      EXPECT_EQ(target, Menu(*Form, "ListPopup"));
    }
    QTest::keyClick(target, Qt::Key_Escape);
    EXPECT_EQ(Form->isVisible(), !c.Closes);
    EXPECT_EQ(QApplication::activePopupWidget(), nullptr);
    Form.reset();
  }
}

// Texts the user reads carry none of the misspellings that earlier versions showed.
TEST_F(MainFormTest, NoMisspelledWordInShownTexts) {
  Open();
  std::vector<std::string> texts;
  for (QAction *a : Form->findChildren<QAction *>())
    texts.push_back((a->text() + " " + a->toolTip() + " " + a->statusTip()).toStdString());
  for (QWidget *w : Form->findChildren<QWidget *>())
    texts.push_back((w->property("text").toString() + " " + w->toolTip()).toStdString());
  for (TSearchBlock b : {TSearchBlock::SameComps, TSearchBlock::SameRes, TSearchBlock::NoAddresses})
    texts.push_back(TScanSession::Message(b));
  texts.push_back(
      SaveListWithMessage(Sandbox.Root() + "/missing/Sonquarry.lst", Seam(*Form).FileTree()));
  for (const auto &page :
       std::filesystem::directory_iterator(sonquarry::testing::SourceDir() + "/docs/help")) {
    std::ifstream in(page.path());
    texts.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  ASSERT_GT(texts.size(), 40u);
  for (const char *wrong : {"neibour", "extention", "coumputer", "to scanning", "form denied",
                            "compurer", "dirrectory", "f.e."})
    for (const auto &t : texts)
      EXPECT_EQ(QString::fromStdString(t).indexOf(wrong, 0, Qt::CaseInsensitive), -1)
          << wrong << " in: " << t.substr(0, 200);
}

TEST_F(MainFormTest, LinksThatAnotherUserPlantedAreNotWrittenThrough) {
  if (::geteuid() != 0) GTEST_SKIP() << "a link of another user needs root to make";
  // A shared sticky folder as the current one (Exit writes scan.lst there) and as the list's.
  const std::string shared = Sandbox.Root() + "/tmp", victim = Sandbox.Root() + "/home/.bashrc";
  std::filesystem::create_directory(shared);
  ::chmod(shared.c_str(), 01777);
  const std::string before = std::filesystem::current_path();
  std::filesystem::current_path(shared);
  for (const bool exit : {true, false}) {
    const std::string link = shared + (exit ? "/scan.lst" : "/Sonquarry.lst");
    sonquarry::testing::WriteFile(victim, "mine");
    std::filesystem::create_symlink(victim, link);
    ASSERT_EQ(::lchown(link.c_str(), 65534, 65534), 0);
    Prompts->Records.clear();
    Open({{"x;echo PWNED;#.mp3", "WG", "\\\\PC\\s\\"}});
    if (exit) {
      Command(*Form, "actExit")->trigger();
    } else {
      Seam(*Form).ListFileName() = link;
      Form->close();
    }
    EXPECT_EQ(sonquarry::testing::ReadAll(victim), "mine");
    EXPECT_EQ(Prompts->Messages(),
              std::vector<std::string>{"Can not create list file " + (exit ? "scan.lst" : link) +
                                       ": a symbolic link on the way to it is owned by another "
                                       "user."});
    std::filesystem::remove(link);
  }
  std::filesystem::current_path(before);
}
