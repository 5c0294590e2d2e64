// Windows on a small screen at 200 % (1600 x 1000 pixels, 800 x 500 to the layouts): Options fits
// with OK and Cancel and every page's buttons in reach, so do the other dialogs, a stored
// position comes back onto the screen with its title bar, and the help opened from a dialog
// leaves the dialog's buttons in sight. Each runs as a process of its own on such a screen (Qt's
// offscreen platform with a screen of that size, QT_SCALE_FACTOR=2). With SQ_SCREENSHOT_DIR set
// under Xvfb (a 1600x1000 screen) the children run on it and Options is kept as a picture.

#include "app/program_network.h"
#include "engine/net_scan.h"
#include "platform/registry/registry.h"
#include "settings/settings.h"
#include "support/gui_child.h"
#include "support/gui_spin.h"
#include "support/main_form_seam.h"
#include "support/recording_prompts.h"
#include "support/xdg_sandbox.h"
#include "ui/dialogs/options_form.h"
#include "ui/main_window/main_form.h"
#include "ui/services/shell_services.h"
#include "ui/services/user_prompts.h"

#include <QApplication>
#include <QDialogButtonBox>
#include <QGuiApplication>
#include <QPixmap>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QTabWidget>
#include <QTest>
#include <QTextBrowser>
#include <QVBoxLayout>
#include <QWindow>
#include <cstdio>
#include <cstdlib>
#include <gtest/gtest.h>
#include <memory>
#include <vector>

using namespace sonquarry;
using namespace sonquarry::testing;

namespace {

QRect Area() { return QGuiApplication::primaryScreen()->availableGeometry(); }
// Where the window system shows W, its frame included.
QRect Frame(const QWidget *W) { return W->windowHandle()->frameGeometry(); }
QRect Global(const QWidget *W) { return QRect(W->mapToGlobal(QPoint(0, 0)), W->size()); }
std::string Text(const QRect &R) {
  return std::to_string(R.x()) + "," + std::to_string(R.y()) + " " + std::to_string(R.width()) +
         "x" + std::to_string(R.height());
}

// Runs Child on the small screen at 200 %; its exit status.
int OnSmallScreen(const TXdgSandbox &Home, const char *Child) {
  const bool shots = std::getenv("SQ_SCREENSHOT_DIR") && std::getenv("DISPLAY");
  const std::string config = Home.Root() + "/screen.json";
  WriteFile(config, R"({"screens": [{"name": "Small", "x": 0, "y": 0, "width": 1600,)"
                    R"( "height": 1000, "logicalDpi": 96, "dpr": 1}]})");
  return RunGuiChild(
      Child, {shots ? "QT_QPA_PLATFORM=xcb" : "QT_QPA_PLATFORM=offscreen:configfile=" + config,
              "QT_SCALE_FACTOR=2"});
}

// Options opened from the window: the dialog and its OK and Cancel on the screen, and on each page
// every button scrolled into sight.
void OptionsFit() {
  ASSERT_EQ(Area().size(), QSize(800, 500)); // the layouts' pixels of the small screen
  TPromptsScope prompts;
  TMainForm form(MakeProgramNetwork());
  Seam(form).Settings().ScanMethodUnset = false;
  form.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
  EXPECT_TRUE(Area().contains(Frame(&form))) << Text(Frame(&form));
  int pages = 0;
  prompts->Dialogs.push_back([&](QDialog &D) {
    auto &f = static_cast<TfmOptions &>(D);
    f.show();
    EXPECT_TRUE(QTest::qWaitForWindowExposed(&f));
    EXPECT_TRUE(Area().contains(Frame(&f))) << Text(Frame(&f));
    for (const QPushButton *b : {f.btnOK, f.btnCancel}) {
      EXPECT_TRUE(b->isVisible());
      EXPECT_TRUE(Area().contains(Global(b)))
          << b->text().toStdString() << " at " << Text(Global(b));
    }
    for (int p = 0; p < f.Pages->count(); ++p, ++pages) {
      f.Pages->setCurrentIndex(p);
      auto *scroll = qobject_cast<QScrollArea *>(f.Pages->widget(p));
      if (!scroll) {
        ADD_FAILURE() << "page " << p << " does not scroll";
        continue;
      }
      QTest::qWait(20);
      for (QAbstractButton *b : scroll->widget()->findChildren<QAbstractButton *>()) {
        scroll->ensureWidgetVisible(b, 0, 0);
        EXPECT_TRUE(Global(scroll->viewport()).contains(Global(b)))
            << p << ": " << b->text().toStdString();
        EXPECT_TRUE(Area().contains(Global(b))) << p << ": " << b->text().toStdString();
      }
      scroll->ensureVisible(0, 0);
    }
    if (const char *dir = std::getenv("SQ_SCREENSHOT_DIR")) {
      f.Pages->setCurrentIndex(TfmOptions::NetworkOptionsPage);
      QTest::qWait(300);
      EXPECT_TRUE(f.grab().save(QString(dir) + "/options-network-200.png"));
      EXPECT_TRUE(QGuiApplication::primaryScreen()->grabWindow(0).save(
          QString(dir) + "/options-200-small-screen.png"));
    }
    f.hide();
    return int(QDialog::Rejected);
  });
  EXPECT_FALSE(Seam(form).ShowOptions(TfmOptions::SearchOptionsPage));
  EXPECT_EQ(pages, 4);
}
const TGuiChild OptionsFitEntry("options-fit", OptionsFit);

// The window at its stored position (SQ_STORED_SIZE="W H": the stored size it must keep, or
// "-" where it cannot).
void StoredPosition() {
  TPromptsScope prompts;
  TMainForm form(MakeProgramNetwork());
  Seam(form).Settings().ScanMethodUnset = false;
  form.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
  QTest::qWait(50);
  EXPECT_TRUE(Area().contains(Frame(&form))) << Text(Frame(&form)) << " on " << Text(Area());
  const std::string kept = std::getenv("SQ_STORED_SIZE");
  if (kept != "-") {
    int w = 0, h = 0;
    ASSERT_EQ(std::sscanf(kept.c_str(), "%d %d", &w, &h), 2);
    EXPECT_EQ(form.size(), QSize(w, h));
  }
}
const TGuiChild StoredPositionEntry("stored-position", StoredPosition);

// Help opened from a dialog: on the screen and clear of each of Keep.
void HelpClearOf(const std::vector<QRect> &Keep) {
  ShowHelpTopic("options.htm");
  QWidget *help = HelpBrowser()->window();
  EXPECT_TRUE(QTest::qWaitForWindowExposed(help));
  for (const QRect &k : Keep)
    EXPECT_FALSE(Frame(help).intersects(k)) << Text(Frame(help)) << " over " << Text(k);
  EXPECT_TRUE(Area().contains(Frame(help))) << Text(Frame(help));
  CloseHelpWindow();
}

// The help from a dialog beside a small dialog at the screen's left, and over Options (which
// fills the screen) but clear of its OK and Cancel.
void HelpBeside() {
  TPromptsScope prompts;
  {
    QDialog small;
    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, &small);
    (new QVBoxLayout(&small))->addWidget(buttons);
    small.resize(300, 200);
    small.move(10, 10);
    small.setModal(true);
    small.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&small));
    HelpClearOf({Frame(&small)});
  }
  TNetScan scan;
  TMainFormSettings settings;
  ApplyMainFormDefaults(scan, settings);
  TfmOptions options;
  prompts->Dialogs.push_back([&](QDialog &D) {
    D.setModal(true);
    D.show();
    EXPECT_TRUE(QTest::qWaitForWindowExposed(&D));
    HelpClearOf({Global(options.btnOK), Global(options.btnCancel)});
    D.hide();
    return int(QDialog::Rejected);
  });
  ShowOptions(options, nullptr, scan, settings, TfmOptions::NetworkOptionsPage);
  EXPECT_TRUE(prompts->Dialogs.empty());
}
const TGuiChild HelpBesideEntry("help-beside", HelpBeside);

} // namespace

// Options at 200 %, with OK and Cancel in reach; help from a dialog leaving its buttons in sight.
TEST(ScreenFit, OptionsAndHelpAt200PercentKeepTheirButtonsInReach) {
  for (const char *child : {"options-fit", "help-beside"}) {
    SCOPED_TRACE(child);
    TXdgSandbox home;
    EXPECT_EQ(OnSmallScreen(home, child), 0);
  }
}

// A position stored at 100 % on this screen, and one on a screen to the right that is gone.
TEST(ScreenFit, StoredPositionComesBackOntoTheScreenWithItsTitleBar) {
  struct TCase {
    const char *Name;
    int Left, Top, Width, Height;
    const char *Kept;
  } cases[] = {
      {"saved at 100 %", 300, 80, 1200, 900, "-"},
      {"on a screen that is gone", 2400, 100, 600, 400, "600 400"},
  };
  for (const TCase &c : cases) {
    SCOPED_TRACE(c.Name);
    TXdgSandbox home;
    {
      registry::TRegistry reg;
      ASSERT_TRUE(reg.OpenKey(MainFormKey, true));
      reg.WriteInteger("Maximized", 0);
      reg.WriteInteger("Left", c.Left);
      reg.WriteInteger("Top", c.Top);
      reg.WriteInteger("Width", c.Width);
      reg.WriteInteger("Height", c.Height);
    }
    home.Set("SQ_STORED_SIZE", c.Kept);
    EXPECT_EQ(OnSmallScreen(home, "stored-position"), 0);
  }
}
