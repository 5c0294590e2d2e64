// Message boxes: caption, style and line breaks as the user sees them, answered by the recorder;
// Qt's own boxes with their whole caption and the answers of the skip box's buttons.

#include "support/recording_prompts.h"
#include "ui/services/message_box.h"
#include "ui/services/plain_tooltip.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFontMetrics>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QTextDocumentFragment>
#include <QTimer>
#include <cstdlib>
#include <functional>
#include <gtest/gtest.h>

using namespace sonquarry;

TEST(MessageBoxTest, CaptionStyleAndLineBreaks) {
  sonquarry::testing::TPromptsScope prompts;
  SetApplicationTitle("Vantrell Sonquarry");
  struct Case {
    std::function<int()> Show;
    std::string Text;
    unsigned Style;
  } cases[] = {
      {[] { return ShowMessageBox("Rewrite?", MB_ICONQUESTION | MB_YESNO); }, "Rewrite?", 0x40024},
      {[] {
         ShowErrorMessage("a\rb");
         return 0;
       },
       "a\nb", 0x40010},
      {[] {
         ShowInfoMessage("a\r\nb\r\rc");
         return 0;
       },
       "a\nb\n\nc", 0x40040},
  };
  for (const auto &c : cases) c.Show();
  ASSERT_EQ(prompts->Records.size(), 3u);
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(prompts->Records[i].Caption, "Vantrell Sonquarry");
    EXPECT_EQ(prompts->Records[i].Text, cases[i].Text);
    EXPECT_EQ(prompts->Records[i].Style, cases[i].Style);
  }
}

TEST(MessageBoxTest, ReturnsTheAnswer) {
  sonquarry::testing::TPromptsScope prompts;
  prompts->MessageAnswers = {IDYES};
  EXPECT_EQ(ShowMessageBox("q", MB_ICONQUESTION | MB_YESNO), IDYES);
  EXPECT_EQ(ShowMessageBox("q", MB_ICONQUESTION | MB_YESNO), IDNO); // unanswered: no
}

// Text from other machines is shown as it is, never as rich text.
TEST(MessageBoxTest, QtBoxShowsMarkupLiterally) {
  const std::string Text = "Can not copy \\\\PC\\<b>x</b>\\<img src=\"/etc/passwd\">.mp3";
  QString Shown;
  QTimer poll;
  QObject::connect(&poll, &QTimer::timeout, [&] {
    auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
    if (!box || !box->isVisible()) return;
    poll.stop();
    for (auto *L : box->findChildren<QLabel *>())
      if (L->text() == QString::fromStdString(Text) && L->textFormat() == Qt::PlainText)
        Shown = L->text();
    box->accept();
  });
  poll.start(5);
  ShowMessageBox(Text, MB_OK);
  EXPECT_EQ(Shown.toStdString(), Text);
  // A cell's tool tip, rendered as Qt renders rich tips, reads as the name itself.
  EXPECT_EQ(QTextDocumentFragment::fromHtml(PlainToolTip("<b>x</b> & <a href=y>")).toPlainText(),
            "<b>x</b> & <a href=y>");
}

TEST(MessageBoxTest, QtBoxShowsItsWholeCaptionAndEachButtonsAnswer) {
  const std::string caption = "Vantrell Sonquarry: a caption longer than its message";
  SetApplicationTitle(caption);
  struct Case {
    unsigned Style;
    const char *Button;
    int Answer;
  } cases[] = {
      {MB_OK, "OK", IDOK},
      {MB_SKIPSKIPALLCANCEL, "Skip", IDSKIP},
      {MB_SKIPSKIPALLCANCEL, "Skip all", IDSKIPALL},
      {MB_SKIPSKIPALLCANCEL, "Cancel", IDCANCEL},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.Button);
    int width = 0, needed = 0;
    QTimer poll;
    QElapsedTimer seen;
    QObject::connect(&poll, &QTimer::timeout, [&] {
      auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
      if (!box || !box->isVisible()) return;
      // The picture for the README, title bar and all (under Xvfb with a window manager).
      if (const char *dir = std::getenv("SQ_SCREENSHOT_DIR"); dir && c.Answer == IDOK) {
        if (!seen.isValid()) seen.start();
        if (seen.elapsed() < 500) return;
        // Some window managers do not tell their frame: room for a title bar above the box.
        const QRect f = box->frameGeometry().adjusted(-10, -40, 10, 10);
        box->screen()
            ->grabWindow(0, f.x(), f.y(), f.width(), f.height())
            .save(QString(dir) + "/message-caption.png");
      }
      poll.stop();
      width = box->width();
      needed = box->fontMetrics().horizontalAdvance(QString::fromStdString(caption));
      for (auto *b : box->findChildren<QPushButton *>())
        if (b->text().remove('&') == c.Button) b->click();
    });
    poll.start(5);
    EXPECT_EQ(ShowMessageBox("Item already exists in list.", c.Style), c.Answer);
    EXPECT_GT(needed, 0);
    EXPECT_GE(width, needed);
  }
  SetApplicationTitle("");
}
