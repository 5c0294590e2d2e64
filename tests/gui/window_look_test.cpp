// The window as the user sees it: every icon renders at list and toolbar size, and a list with
// rows of every state draws them. With SQ_SCREENSHOT=FILE (under Xvfb, QT_QPA_PLATFORM=xcb) the
// window is saved as a picture for the README.

#include "app/program_network.h"
#include "support/main_form_seam.h"
#include "support/recording_prompts.h"
#include "support/xdg_sandbox.h"
#include "ui/list/file_list_model.h"
#include "ui/main_window/main_form.h"

#include <QAction>
#include <QApplication>
#include <QImage>
#include <QMenu>
#include <QPixmap>
#include <QScreen>
#include <QTableView>
#include <QTest>
#include <QToolBar>
#include <cstdlib>
#include <gtest/gtest.h>

using namespace sonquarry;
using sonquarry::testing::ListModel;
using sonquarry::testing::ListView;
using sonquarry::testing::PanelText;
using sonquarry::testing::Seam;

namespace {

// Pixels that are neither transparent nor plain background: the icon really drew something.
int Inked(const QPixmap &P) {
  const QImage img = P.toImage().convertToFormat(QImage::Format_ARGB32);
  int n = 0;
  for (int y = 0; y < img.height(); ++y)
    for (int x = 0; x < img.width(); ++x) n += qAlpha(img.pixel(x, y)) > 128;
  return n;
}

} // namespace

TEST(WindowLook, IconsDrawAtSixteenAndTwentyFour) {
  InitUiResources();
  const auto &states = TFileListModel::StateIcons();
  for (int s = 0; s < 4; ++s)
    for (int size : {16, 24}) EXPECT_GT(Inked(states[s].pixmap(size, size)), size * size / 3) << s;
  // The four states differ from each other.
  for (int a = 0; a < 4; ++a)
    for (int b = a + 1; b < 4; ++b)
      EXPECT_NE(states[a].pixmap(16, 16).toImage(), states[b].pixmap(16, 16).toImage());
  for (const char *own : {"search", "stop", "play", "save", "delete", "clear", "find", "options"})
    EXPECT_GT(Inked(QIcon(QString(":/icons/%1.svg").arg(own)).pixmap(24, 24)), 24 * 24 / 5) << own;
}

TEST(WindowLook, ListWithEveryState) {
  sonquarry::testing::TXdgSandbox sandbox;
  sonquarry::testing::TPromptsScope prompts;
  TMainForm form(MakeProgramNetwork());
  const char *artists[] = {"Ambient Works", "Blue Train",       "Café Tacvba",
                           "Deep Purple",   "Echoes & Mirrors", "Fado #3"};
  for (int i = 0; i < 400; ++i) {
    const int pc = i % 5;
    const std::string dir = "\\\\" +
                            std::string(pc < 3    ? "SQALPHA"
                                        : pc == 3 ? "SQBRAVO"
                                                  : "SQCHARLIE") +
                            "\\music\\" + artists[i % 6] + "\\Album " + std::to_string(i % 4);
    Seam(form).FileTree().AddFile(pc == 4 ? "SQGROUP2" : "SQGROUP1", dir,
                                  std::to_string(i % 12 + 1) + " - Track " + std::to_string(i) +
                                      ".mp3");
  }
  for (int i = 0; i < Seam(form).FileTree().Count(); ++i)
    Seam(form).FileTree().File(i).SetState(TNodeState(i % 7 == 0    ? nsNew
                                                      : i % 11 == 0 ? nsInaccessible
                                                      : i % 5 == 3  ? nsUnreached
                                                                    : nsKnown));
  Seam(form).ShowFileCount(Seam(form).FileTree().Count());
  Seam(form).UpdateRemoveCommand();
  ListView(form)->selectRow(2);
  form.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
  QTest::qWait(200);
  const QPixmap shot = form.grab();
  EXPECT_EQ(shot.size(), form.size());
  EXPECT_EQ(PanelText(form, 0).toStdString(), "Files: 400");
  if (const char *file = std::getenv("SQ_SCREENSHOT")) {
    EXPECT_TRUE(shot.save(file));
  }
  // With SQ_SCREENSHOT_DIR, the State column too, shown through the header's menu, sorted by it.
  if (const char *dir = std::getenv("SQ_SCREENSHOT_DIR")) {
    for (QMenu *m : form.findChildren<QMenu *>())
      for (QAction *a : m->actions())
        if (a->text() == "State") a->trigger();
    ASSERT_FALSE(ListView(form)->isColumnHidden(TFileListModel::StateColumn));
    Seam(form).ColumnClick(TFileListModel::StateColumn);
    // Where the found-again rows end and the new ones begin.
    int first = 0;
    while (first < Seam(form).FileTree().Count() - 1 &&
           Seam(form).FileTree().File(first).State() == nsKnown)
      ++first;
    ListView(form)->selectRow(first);
    ListView(form)->scrollTo(ListModel(form)->index(first, 0), QAbstractItemView::PositionAtCenter);
    form.resize(1240, 480);
    QTest::qWait(300);
    EXPECT_TRUE(form.grab().save(QString(dir) + "/state-column.png"));
  }
}
