// The result list as a reader of it meets it: tooltips with the whole text of cut-off cells, the
// columns' widths, and the selection as assistive technology sees it.

#include "app/program_network.h"
#include "support/main_form_seam.h"
#include "support/recording_prompts.h"
#include "support/xdg_sandbox.h"
#include "ui/list/file_list_model.h"
#include "ui/list/list_accessible.h"
#include "ui/main_window/main_form.h"

#include <QAccessible>
#include <QApplication>
#include <QHelpEvent>
#include <QItemSelectionModel>
#include <QTableView>
#include <QTest>
#include <QTextDocumentFragment>
#include <QToolTip>
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

using namespace sonquarry;
using sonquarry::testing::ListModel;
using sonquarry::testing::ListView;
using sonquarry::testing::Seam;

namespace {

struct ListViewTest : ::testing::Test {
  sonquarry::testing::TXdgSandbox Sandbox;
  sonquarry::testing::TPromptsScope Prompts;
  TMainForm Form{MakeProgramNetwork()};

  // Rows of (domain, directory, name).
  void Fill(const std::vector<std::vector<std::string>> &Rows) {
    for (const auto &r : Rows) Seam(Form).FileTree().AddFile(r[0], r[1], r[2]);
    Seam(Form).ShowFileCount(Seam(Form).FileTree().Count());
  }
  void Select(int First, int Last) {
    ListView(Form)->selectionModel()->select(
        QItemSelection(ListModel(Form)->index(First, 0), ListModel(Form)->index(Last, 2)),
        QItemSelectionModel::Select | QItemSelectionModel::Rows);
  }
};

std::vector<std::pair<QAccessible::Event, int>> Heard; // what assistive technology was told

} // namespace

// A cut-off cell shows its whole text as a tooltip, a whole one none.
TEST_F(ListViewTest, CutOffCellsHaveTheirWholeTextAsTooltip) {
  Fill({{"<<unknown>>", "\\\\PC\\music\\" + std::string(120, 'd'), "a.mp3"},
        {"WG", "\\\\PC\\m", "<b>" + std::string(80, 'n') + "</b>.mp3"}});
  Form.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&Form));
  QTableView *v = ListView(Form);
  struct {
    int Row, Column;
    bool Tip;
  } cases[] = {{0, 2, true}, {1, 0, true}, {0, 0, false}, {0, 1, false}, {1, 2, false}};
  for (const auto &c : cases) {
    SCOPED_TRACE(c.Row * 10 + c.Column);
    QToolTip::hideText();
    ASSERT_TRUE(QTest::qWaitFor([] { return !QToolTip::isVisible(); }));
    const QModelIndex i = ListModel(Form)->index(c.Row, c.Column);
    const QPoint at = v->visualRect(i).center();
    QHelpEvent e(QEvent::ToolTip, at, v->viewport()->mapToGlobal(at));
    QApplication::sendEvent(v->viewport(), &e);
    // Read as Qt renders a rich tip: the name itself, whatever markup it holds.
    EXPECT_EQ(QToolTip::isVisible()
                  ? QTextDocumentFragment::fromHtml(QToolTip::text()).toPlainText()
                  : QString(),
              c.Tip ? i.data().toString() : QString());
  }
  QToolTip::hideText();
}

// Assistive technology sees the selected rows and cells, and hears of each change once.
TEST_F(ListViewTest, SelectionReachesAssistiveTechnology) {
  for (int i = 0; i < 30; ++i)
    Fill({{"WG", "\\\\PC\\music",
           "t" + std::string(i < 10 ? "0" : "") + std::to_string(i) + ".mp3"}});
  // The offscreen platform has no accessibility bridge to turn on: the events are taken where
  // they would go to it.
  Heard.clear();
  const TAccessibleEventSink before =
      SetListEventSink([](QAccessibleEvent &E) { Heard.emplace_back(E.type(), E.child()); });
  QAccessibleInterface *list = QAccessible::queryAccessibleInterface(ListView(Form));
  ASSERT_TRUE(list && list->tableInterface());
  QAccessibleTableInterface *table = list->tableInterface();
  Select(2, 3);
  Select(7, 7);
  EXPECT_EQ(table->selectedRows(), (QList<int>{2, 3, 7}));
  const int columns = TFileListModel::Columns;
  EXPECT_EQ(table->selectedCellCount(), 3 * columns);
  EXPECT_TRUE(table->isRowSelected(3));
  EXPECT_TRUE(table->cellAt(7, 1)->state().selected);
  EXPECT_FALSE(table->cellAt(6, 1)->state().selected);
  EXPECT_EQ(table->cellAt(7, 0)->text(QAccessible::Name), "t07.mp3");
  // Qt's number of a table view's cell: (row + 1) * (columns + 1) + column + 1.
  const int cell70 = 8 * (columns + 1) + 1;
  EXPECT_EQ(list->indexOfChild(table->cellAt(7, 0)), cell70);
  Seam(Form).InvertSelection();
  EXPECT_EQ(table->selectedRowCount(), 27);
  SetListEventSink(before);
  EXPECT_EQ(Heard,
            (std::vector<std::pair<QAccessible::Event, int>>{{QAccessible::SelectionWithin, -1},
                                                             {QAccessible::SelectionAdd, cell70},
                                                             {QAccessible::SelectionWithin, -1}}));
}

// At twice the font: no column stretches over the rest of the window, also after a resize (the
// values of the last would stand far from its header), and "<<unknown>>" shows whole in the
// Domain column.
TEST(ListColumns, NoColumnStretchesAndTheUnknownDomainFits) {
  const QFont normal = QApplication::font();
  QFont big = normal;
  big.setPointSizeF(normal.pointSizeF() * 2);
  QApplication::setFont(big);
  {
    sonquarry::testing::TXdgSandbox sandbox;
    sonquarry::testing::TPromptsScope prompts;
    TMainForm form(MakeProgramNetwork());
    Seam(form).FileTree().AddFile("<<unknown>>", "\\\\PC\\m", "a.mp3");
    Seam(form).ShowFileCount(1);
    form.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
    QTableView *v = ListView(form);
    int last = TFileListModel::Columns - 1; // the last column shown
    while (last > 0 && v->isColumnHidden(last)) --last;
    const int before = v->columnWidth(last);
    form.resize(2400, form.height());
    QTest::qWait(50);
    form.resize(form.width() + 200, form.height());
    QTest::qWait(50);
    EXPECT_EQ(v->columnWidth(last), before);
    EXPECT_LT(v->columnViewportPosition(last) + v->columnWidth(last), v->viewport()->width());
    EXPECT_GE(v->columnWidth(1), v->fontMetrics().horizontalAdvance("<<unknown>>"));
  }
  QApplication::setFont(normal);
}
