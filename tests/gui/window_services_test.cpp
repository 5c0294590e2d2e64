// The window services on real widgets: position in the registry, list and radio helpers,
// centring a row, the folder browser's start folder and the help window (over a modal dialog too).

#include "platform/registry/registry.h"
#include "support/recording_prompts.h"
#include "support/test_support.h"
#include "support/xdg_sandbox.h"
#include "ui/services/shell_services.h"
#include "ui/services/window_services.h"

#include <QDialog>
#include <QDir>
#include <QGuiApplication>
#include <QHeaderView>
#include <QListWidget>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QScrollBar>
#include <QStandardItemModel>
#include <QTableView>
#include <QTest>
#include <QTextBrowser>
#include <QWidget>
#include <gtest/gtest.h>

using namespace sonquarry;

namespace {
const std::string Key = "\\Software\\Vantrell Software\\Sonquarry\\MainForm";
}

TEST(WindowPosition, RoundTripMaximizedAndClamped) {
  sonquarry::testing::TXdgSandbox sandbox;
  const QRect area = QGuiApplication::primaryScreen()->availableGeometry();
  QWidget w;
  w.move(40, 30);
  w.resize(300, 200);
  {
    registry::TRegistry reg;
    WriteFormPosition(&w, &reg, Key);
  }
  QWidget back;
  {
    registry::TRegistry reg;
    ReadFormPosition(&back, &reg, Key);
  }
  EXPECT_EQ(back.pos(), QPoint(40, 30));
  EXPECT_EQ(back.size(), QSize(300, 200));

  // Maximized: only the flag is written, the old bounds stay.
  w.showMaximized();
  {
    registry::TRegistry reg;
    WriteFormPosition(&w, &reg, Key);
  }
  {
    registry::TRegistry reg;
    ASSERT_TRUE(reg.OpenKeyReadOnly(Key));
    EXPECT_EQ(reg.ReadInteger("Maximized"), 1);
    EXPECT_EQ(reg.ReadInteger("Left"), 40);
  }
  QWidget maxed;
  {
    registry::TRegistry reg;
    ReadFormPosition(&maxed, &reg, Key);
  }
  EXPECT_TRUE(maxed.windowState() & Qt::WindowMaximized);

  // Off the right edge and wider than the screen: cut to the screen at the left edge.
  {
    registry::TRegistry reg;
    reg.OpenKey(Key, true);
    reg.WriteInteger("Maximized", 0);
    reg.WriteInteger("Left", -20);
    reg.WriteInteger("Width", area.width() + 500);
    reg.WriteInteger("Height", 0);
  }
  QWidget clamped;
  {
    registry::TRegistry reg;
    ReadFormPosition(&clamped, &reg, Key);
  }
  EXPECT_EQ(clamped.x(), 0);
  EXPECT_EQ(clamped.width(), area.width());
  EXPECT_EQ(clamped.height(), area.height() - 35);
  EXPECT_EQ(sonquarry::testing::ErrorOf(
                [] { ReadFormPosition(static_cast<QWidget *>(nullptr), nullptr, Key); }),
            "ReadFormPosition: Form = nil.");
  EXPECT_EQ(sonquarry::testing::ErrorOf([&] { WriteFormPosition(&w, nullptr, Key); }),
            "WriteFormPosition: Reg = nil.");
}

TEST(ControlHelpers, ListBoxRadioButtonAndCentredRow) {
  QListWidget lb;
  lb.addItems({"a", "b", "c", "d", "e"});
  LBDeleteItem(&lb, 4);
  EXPECT_EQ(lb.count(), 4);
  EXPECT_EQ(lb.currentRow(), 3);
  LBDeleteItem(&lb, 1);
  EXPECT_EQ(lb.currentItem()->text().toStdString(), "c");
  QListWidget one;
  one.addItem("only");
  LBDeleteItem(&one, 0);
  EXPECT_EQ(one.count(), 0);
  EXPECT_EQ(one.currentRow(), -1);

  QRadioButton rb;
  int handled = 0;
  QObject::connect(&rb, &QRadioButton::toggled, [&] { ++handled; });
  SetRBCheck(&rb, true);
  EXPECT_TRUE(rb.isChecked());
  EXPECT_EQ(handled, 0);
  EXPECT_EQ(sonquarry::testing::ErrorOf([] { SetRBCheck(nullptr, true); }),
            "SetRBCheck: RB = nil.");

  QStandardItemModel m(500, 1);
  QTableView v;
  v.setModel(&m);
  v.resize(300, 200);
  v.show();
  CenterListItem(250, &v);
  const int top = v.rowAt(0), bottom = v.rowAt(v.viewport()->height() - 1);
  EXPECT_LE(top, 250);
  EXPECT_GE(bottom, 250);
  EXPECT_LE(std::abs((top + bottom) / 2 - 250), 1);
  CenterListItem(0, &v);
  EXPECT_EQ(v.verticalScrollBar()->value(), 0);
}

TEST(ShellServices, BrowserStartsAtTheCurrentDirectoryAndHelpShowsPages) {
  sonquarry::testing::TPromptsScope prompts;
  prompts->Directories = {"/tmp/chosen"};
  EXPECT_EQ(BrowseForFolder(nullptr, "Select directory", ""), "/tmp/chosen");
  ASSERT_EQ(prompts->Records.size(), 1u);
  EXPECT_EQ(prompts->Records[0].Text, QDir::currentPath().toStdString());
  EXPECT_EQ(BrowseForFolder(nullptr, "Select directory", "/srv"), "");
  EXPECT_EQ(prompts->Records[1].Text, "/srv");

  const QString cwd = QDir::currentPath();
  for (const char *page : {"info.htm", "gettingstarted.htm", "faq.htm", "options.htm"}) {
    ShowHelpTopic(page);
    ASSERT_NE(HelpBrowser(), nullptr);
    EXPECT_TRUE(HelpBrowser()->source().path().endsWith(page)) << page;
    EXPECT_GT(HelpBrowser()->toPlainText().size(), 200) << page;
  }
  EXPECT_EQ(QDir::currentPath(), cwd);
  ShowHelpTopic("nothing.htm");
  EXPECT_TRUE(HelpBrowser()->toPlainText().contains("nothing.htm"));
  CloseHelpWindow();
  EXPECT_EQ(HelpBrowser(), nullptr);
}

// F1 in a modal dialog: the help window answers clicks while the dialog stays open, and stays
// a window of its own once opened without one.
TEST(ShellServices, HelpOverAModalDialogIsUsable) {
  QDialog modal;
  modal.setModal(true);
  modal.show();
  ShowHelpTopic("options.htm");
  QWidget *help = HelpBrowser()->window();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(help));
  QPushButton *close = nullptr;
  for (auto *b : help->findChildren<QPushButton *>())
    if (b->text() == "Close") close = b;
  ASSERT_NE(close, nullptr);
  // Through the window system, as a user's click comes: a window that a modal dialog blocks
  // never gets it.
  QTest::mouseClick(help->windowHandle(), Qt::LeftButton, {},
                    close->mapTo(help, close->rect().center()));
  EXPECT_FALSE(help->isVisible());
  EXPECT_TRUE(modal.isVisible());
  modal.hide();
  ShowHelpTopic("info.htm");
  EXPECT_EQ(HelpBrowser()->window()->parentWidget(), nullptr);
  CloseHelpWindow();
}
