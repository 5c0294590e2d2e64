// Find item, Find next and the "Find Item" dialog as the user drives them.

#include "support/list_actions_fixture.h"
#include "ui/dialogs/search_form.h"
#include "ui/list/row_tags.h"
#include "ui/services/message_box.h"

#include <QAbstractButton>
#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <gtest/gtest.h>

using namespace sonquarry;

namespace {

struct Fixture : sonquarry::testing::TListActionsFixture {
  QAction FindItemEntry, FindNextEntry;
  int Notified = 0;

  Fixture() {
    Actions.FindItemAction = &FindItemEntry;
    Actions.FindNextAction = &FindNextEntry;
    Actions.SelectionChanged = [this] { ++Notified; };
  }
  // Answers the next "Find Item" dialog: the word, the two options, then OK (or Cancel).
  void Answer(const std::string &Word, bool SelectAll, bool FromCurrent = false, bool Ok = true) {
    Prompts->Dialogs.push_back([=, this](QDialog &D) {
      auto &f = static_cast<TSearchForm &>(D);
      EXPECT_FALSE(FindItemEntry.isEnabled()); // disabled while the command runs
      f.cmbWord->setEditText(QString::fromStdString(Word));
      f.chbSelAll->setChecked(SelectAll);
      f.chbCurrentPosition->setChecked(FromCurrent);
      (Ok ? f.btnOK : f.btnCancel)->click();
      return f.result();
    });
  }
  std::vector<std::string> History() const {
    std::vector<std::string> out;
    for (int i = 0; i < Actions.SearchForm()->cmbWord->count(); ++i)
      out.push_back(Actions.SearchForm()->cmbWord->itemText(i).toStdString());
    return out;
  }
};

} // namespace

TEST_F(Fixture, SelectAllFindsByNameAndByDirectory) {
  List.Add("W", "\\\\PC\\Music\\", "Track1.mp3");
  List.Add("W", "\\\\PC\\Other\\", "Song.mp3");
  List.Add("W", "\\\\PC\\Track\\", "Intro.mp3");
  List.Select({1});
  Answer("track", true);
  Actions.FindItem();
  EXPECT_EQ(List.Selected(), (TRowRanges{{0, 0}, {2, 2}}));
  EXPECT_TRUE(Prompts->Messages().empty());
  EXPECT_EQ(Notified, 1);
  EXPECT_TRUE(FindItemEntry.isEnabled());
}

TEST_F(Fixture, SelectAllSelectsEveryMatchOfALongList) {
  TRowRanges expected;
  for (int i = 0; i < 5000; ++i) {
    const bool match = (i / 7) % 3 == 0; // runs of seven rows
    List.Tree.AddFile("W", "\\\\PC\\S\\", (match ? "hit " : "miss ") + std::to_string(i));
    if (match) {
      if (!expected.empty() && expected.back().Last + 1 == i)
        expected.back().Last = i;
      else
        expected.push_back({i, i});
    }
  }
  List.Model.Reset();
  Answer("HIT", true);
  Actions.FindItem();
  EXPECT_EQ(List.Selected(), expected);
  EXPECT_EQ(List.Current(), expected.back().Last);
}

TEST_F(Fixture, FindNextWalksTheMatchesAndStopsAfterTheLast) {
  for (int i = 0; i < 30; ++i)
    List.Tree.AddFile("W", "\\\\PC\\S\\", (i % 10 == 3 ? "hit " : "row ") + std::to_string(i));
  List.Model.Reset();
  List.Select({10});
  Answer("hit", false, true); // from the current position: the first match at row 10 or later
  Actions.FindItem();
  EXPECT_EQ(List.Selected(), (TRowRanges{{13, 13}}));
  EXPECT_EQ(List.Current(), 13);
  Actions.FindNext();
  EXPECT_EQ(List.Selected(), (TRowRanges{{23, 23}}));
  EXPECT_TRUE(Prompts->Messages().empty());
  Actions.FindNext(); // after the last match
  EXPECT_EQ(Prompts->Messages(), std::vector<std::string>{"Search string 'hit' not found."});
  EXPECT_EQ(List.Selected(), (TRowRanges{{23, 23}}));
  EXPECT_TRUE(FindNextEntry.isEnabled());
}

TEST_F(Fixture, NoMatchClearsTheSelectionAndSaysSo) {
  List.Add("W", "\\\\PC\\S\\", "a.mp3");
  List.Select({0});
  for (bool selectAll : {true, false}) {
    Prompts->Records.clear();
    Answer("nothing", selectAll);
    Actions.FindItem();
    EXPECT_TRUE(List.Selected().empty());
    EXPECT_EQ(Prompts->Messages(), std::vector<std::string>{"Search string 'nothing' not found."});
  }
}

TEST_F(Fixture, DialogRefusesBlankWordAndKeepsHistory) {
  List.Add("W", "\\\\PC\\S\\", "a.mp3");
  bool stayedOpen = false;
  Prompts->Dialogs.push_back([&](QDialog &D) {
    auto &f = static_cast<TSearchForm &>(D);
    f.cmbWord->setEditText("");
    f.show();
    f.btnOK->click();
    stayedOpen = f.isVisible() && f.result() != QDialog::Accepted;
    f.btnCancel->click();
    return f.result();
  });
  Actions.FindItem();
  EXPECT_TRUE(stayedOpen);
  EXPECT_EQ(Prompts->Messages(), std::vector<std::string>{"Search string cannot be blank."});

  Answer("Word", true, false, /*Ok=*/false); // cancelled: kept in the history, nothing searched
  Actions.FindItem();
  EXPECT_EQ(Search.get(), nullptr);
  Answer("other", true);
  Actions.FindItem();
  Answer("WORD", true);
  Actions.FindItem();
  EXPECT_EQ(History(), (std::vector<std::string>{"other", "Word"}));
}

TEST_F(Fixture, ColumnBoxesFollowAllItemsAndResetAtEveryOpening) {
  List.Add("W", "\\\\PC\\S\\", "track.mp3");
  Prompts->Dialogs.push_back([](QDialog &D) {
    auto &f = static_cast<TSearchForm &>(D);
    f.chbFileName->click();
    EXPECT_FALSE(f.chbAllColumns->isChecked());
    EXPECT_TRUE(f.chbDomain->isChecked());
    f.chbAllColumns->click(); // back to all three
    EXPECT_TRUE(f.chbFileName->isChecked() && f.chbDomain->isChecked());
    f.chbAllColumns->click();
    EXPECT_FALSE(f.chbFileName->isChecked() || f.chbDomain->isChecked() ||
                 f.chbDirectory->isChecked());
    EXPECT_TRUE(f.chbTags->isChecked()); // "All items" is the three columns
    f.chbTags->setChecked(false);
    f.cmbWord->setEditText("track");
    f.btnOK->click(); // refused: no text to search
    EXPECT_EQ(f.result(), QDialog::Rejected);
    return int(QDialog::Rejected);
  });
  Actions.FindItem();
  EXPECT_EQ(
      Prompts->Messages(),
      std::vector<std::string>{"Tick at least one of File name, Domain, Directory and Tags."});
  Prompts->Dialogs.push_back([](QDialog &D) {
    auto &f = static_cast<TSearchForm &>(D);
    EXPECT_TRUE(f.chbAllColumns->isChecked() && f.chbFileName->isChecked() &&
                f.chbTags->isChecked());
    return int(QDialog::Rejected);
  });
  Actions.FindItem();
}

// Each box narrows the find to its own text: a workgroup's name is not found with Domain off.
TEST_F(Fixture, ColumnAndTagBoxesChooseTheTextsSearched) {
  TRowTags tags;
  List.Add("TRACKERS", "\\\\PC\\S\\", "a.mp3");
  List.Add("W", "\\\\PC\\Track\\", "b.mp3");
  List.Add("W", "\\\\PC\\S\\", "track.mp3");
  List.Add("W", "\\\\PC\\S\\", "c.mp3");
  List.Tree.SetTagRef(List.Tree.File(3).Id(), tags.Add("Trackmen", "Song", "", 0, -1));
  Actions.Tags = &tags;
  struct {
    bool Name, Domain, Directory, Tags;
    TRowRanges Found;
  } const cases[] = {
      {true, true, true, true, {{0, 3}}},    {true, false, false, false, {{2, 2}}},
      {false, true, false, false, {{0, 0}}}, {false, false, true, false, {{1, 1}}},
      {false, false, false, true, {{3, 3}}}, {true, false, true, false, {{1, 2}}},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(::testing::Message() << c.Name << c.Domain << c.Directory << c.Tags);
    Prompts->Dialogs.push_back([&c](QDialog &D) {
      auto &f = static_cast<TSearchForm &>(D);
      f.cmbWord->setEditText("TRACK");
      f.chbSelAll->setChecked(true);
      for (auto [box, on] : {std::pair{f.chbFileName, c.Name},
                             {f.chbDomain, c.Domain},
                             {f.chbDirectory, c.Directory},
                             {f.chbTags, c.Tags}})
        if (box->isChecked() != on) box->click();
      f.btnOK->click();
      return f.result();
    });
    Actions.FindItem();
    EXPECT_EQ(List.Selected(), c.Found);
  }
  EXPECT_TRUE(Prompts->Messages().empty());
}

TEST_F(Fixture, LongFindCanBeCancelled) {
  for (int i = 0; i < 300000; ++i)
    List.Tree.AddFile("W", "\\\\PC\\S" + std::to_string(i / 1000) + "\\", std::to_string(i));
  List.Model.Reset();
  Answer("", true);
  Prompts->Dialogs.back() = [](QDialog &D) {
    auto &f = static_cast<TSearchForm &>(D);
    f.cmbWord->setEditText("pc");
    f.btnOK->click();
    return f.result();
  };
  bool finding = false;
  QTimer::singleShot(0, [&] {
    finding = Actions.Finding();
    Actions.CancelFind();
  });
  Actions.FindItem();
  EXPECT_TRUE(finding);
  const TRowRanges selected = List.Selected();
  ASSERT_FALSE(selected.empty());
  EXPECT_EQ(selected.front().First, 0);
  EXPECT_LT(RowCountOf(selected), List.Tree.Count());
  EXPECT_TRUE(Prompts->Messages().empty());
}

TEST_F(Fixture, ShowFirstSelectedCentersIt) {
  for (int i = 0; i < 100; ++i) List.Tree.AddFile("W", "\\\\PC\\S\\", std::to_string(i));
  List.Model.Reset();
  std::vector<int> centered;
  Actions.CenterRow = [&](int Row) { centered.push_back(Row); };
  Actions.ShowFirstSelected();
  List.Select({70, 40});
  Actions.ShowFirstSelected();
  EXPECT_EQ(centered, std::vector<int>{40});
}

// The dialog takes the size its controls need, at the normal font and at twice its size (200 %).
TEST(FindItemDialog, EveryControlShowsWholeAtOneAndTwoTimesTheFont) {
  for (const double scale : {1.0, 2.0}) {
    SCOPED_TRACE(scale);
    TSearchForm form;
    QFont font = form.font();
    font.setPointSizeF(font.pointSizeF() * scale);
    form.setFont(font);
    form.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
    if (const char *dir = std::getenv("SQ_SCREENSHOT_DIR"))
      form.grab().save(QString("%1/find-item-%2.png").arg(dir).arg(scale));
    const QList<QWidget *> controls = form.findChildren<QWidget *>();
    ASSERT_GE(controls.size(), 8);
    for (QWidget *w : controls) {
      if (!w->isVisible() || !(qobject_cast<QAbstractButton *>(w) || qobject_cast<QComboBox *>(w) ||
                               qobject_cast<QLabel *>(w)))
        continue;
      SCOPED_TRACE(w->metaObject()->className() +
                   (" " + w->property("text").toString()).toStdString());
      EXPECT_GE(w->width(), w->sizeHint().width());
      EXPECT_GE(w->height(), w->sizeHint().height());
      const QRect inParent = w->geometry();
      EXPECT_TRUE(w->parentWidget()->contentsRect().contains(inParent));
      EXPECT_TRUE(form.rect().contains(QRect(w->mapTo(&form, QPoint(0, 0)), w->size())));
    }
  }
}
