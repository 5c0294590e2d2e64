// The "Select computers" dialog over a fake network: busy states, the arrow buttons, the reuse
// within a minute, and releasing it (or ending the program) while the network does not answer.
#include <QApplication>
#include <QComboBox>
#include <QFrame>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <gtest/gtest.h>
#include <thread>
#include <unistd.h>

#include "engine/search_thread.h"
#include "platform/os/main_thread.h"
#include "platform/os/thread.h"
#include "support/fake_net_provider.h"
#include "support/gui_spin.h"
#include "ui/dialogs/comp_search_form.h"

namespace sonquarry {
namespace {

using net::NetResource;
using sonquarry::testing::FakeNetProvider;
using Clock = std::chrono::steady_clock;

std::vector<std::string> Texts(const QListWidget *L) {
  std::vector<std::string> Out;
  for (int i = 0; i < L->count(); ++i) Out.push_back(L->item(i)->text().toStdString());
  return Out;
}

std::vector<std::string> Texts(const QComboBox *C) {
  std::vector<std::string> Out;
  for (int i = 0; i < C->count(); ++i) Out.push_back(C->itemText(i).toStdString());
  return Out;
}

class CompSearchFormTest : public ::testing::Test {
protected:
  void SetUp() override {
    P = std::make_shared<FakeNetProvider>();
    P->Set(FakeNetProvider::Top, {FakeNetProvider::Res(net::NetDisplayNetwork, "Other"),
                                  FakeNetProvider::Res(net::NetDisplayNetwork, "SMB")});
    P->Set("SMB", {FakeNetProvider::Res(net::NetDisplayDomain, "WG1"),
                   FakeNetProvider::Res(net::NetDisplayDomain, "WG2")});
    P->Set("WG1",
           {Server("\\\\ALPHA"), Server("\\\\BRAVO"), Server("\\\\CHARLIE"), Server("\\\\alpha")});
    P->Set("WG2", {});
  }
  void TearDown() override {
    Form.reset();
    P->Open();
    // Every thread of the test has ended before the next begins.
    EXPECT_TRUE(testing::SpinUntil([] { return platform::TThread::FreeThreadCount() == 0; }));
  }
  static net::NetResource Server(const std::string &Name) {
    return FakeNetProvider::Res(net::NetDisplayServer, Name);
  }
  TCompSearchForm &Make() {
    Form = std::make_unique<TCompSearchForm>(nullptr, 0, P);
    Form->SetClock([this] { return Now; });
    return *Form;
  }
  // Shows the dialog and waits for its domains.
  void ShowLoaded() {
    Form->show();
    ASSERT_TRUE(testing::SpinUntil([&] { return !Form->Busy(); }));
  }
  void Choose(int Index) {
    Form->cmbDomain->setCurrentIndex(Index);
    ASSERT_TRUE(testing::SpinUntil([&] { return !Form->Busy(); }));
  }
  void Select(QListWidget *L, std::initializer_list<int> Rows) {
    L->clearSelection();
    for (int R : Rows) L->item(R)->setSelected(true);
  }

  std::shared_ptr<FakeNetProvider> P;
  std::unique_ptr<TCompSearchForm> Form;
  Clock::time_point Now = Clock::time_point() + std::chrono::hours(1);
};

TEST_F(CompSearchFormTest, ListsAreFilledWhileTheDialogBlinksAndStaysUsable) {
  Make();
  P->Close("SMB");
  Form->show();
  ASSERT_TRUE(P->WaitBlocked(5000));
  EXPECT_TRUE(Form->Busy());
  EXPECT_FALSE(Form->pnlMain->isEnabled());
  EXPECT_TRUE(Form->btnOk->isEnabled());
  EXPECT_TRUE(Form->btnCancel->isEnabled());
  EXPECT_EQ(Form->cursor().shape(), Qt::WaitCursor);
  // The domain label blinks, the computer label stays hidden.
  ASSERT_TRUE(testing::SpinUntil([&] { return Form->lblSearchDomains->isVisible(); }));
  ASSERT_TRUE(testing::SpinUntil([&] { return !Form->lblSearchDomains->isVisible(); }));
  EXPECT_FALSE(Form->lblSearchComputers->isVisible());

  P->Open();
  ASSERT_TRUE(testing::SpinUntil([&] { return !Form->Busy(); }));
  EXPECT_EQ(Texts(Form->cmbDomain), (std::vector<std::string>{"WG1", "WG2"}));
  EXPECT_EQ(Form->cmbDomain->currentIndex(), -1);
  EXPECT_TRUE(Form->pnlMain->isEnabled());
  EXPECT_EQ(Form->cursor().shape(), Qt::ArrowCursor);

  P->Close("WG1");
  Form->cmbDomain->setCurrentIndex(0);
  ASSERT_TRUE(P->WaitBlocked(5000));
  EXPECT_FALSE(Form->pnlMain->isEnabled());
  ASSERT_TRUE(testing::SpinUntil([&] { return Form->lblSearchComputers->isVisible(); }));
  EXPECT_FALSE(Form->lblSearchDomains->isVisible());
  P->Open();
  ASSERT_TRUE(testing::SpinUntil([&] { return !Form->Busy(); }));
  EXPECT_EQ(Texts(Form->lbComputers),
            (std::vector<std::string>{"\\\\ALPHA", "\\\\BRAVO", "\\\\CHARLIE", "\\\\alpha"}));
  EXPECT_FALSE(Form->lblSearchComputers->isVisible());

  // An empty domain empties the list and ends the busy state.
  Choose(1);
  EXPECT_EQ(Form->lbComputers->count(), 0);
  EXPECT_TRUE(Form->pnlMain->isEnabled());
}

// The first showing is centred over the owner, and the long first wait says what it is for.
TEST_F(CompSearchFormTest, FirstShowingIsCentredAndTheWaitSaysWhy) {
  QWidget Owner;
  Owner.setGeometry(100, 80, 900, 700);
  Owner.show();
  Form = std::make_unique<TCompSearchForm>(nullptr, 15000, P);
  Form->PlaceOver(Owner).show();
  const QPoint Off = Form->frameGeometry().center() - Owner.frameGeometry().center();
  // Within the frame's few pixels; the layout's size differs from the default by far more.
  EXPECT_LE(std::abs(Off.x()), 3);
  EXPECT_LE(std::abs(Off.y()), 3);
  EXPECT_TRUE(Form->lblSearchDomains->text().contains("waiting 15 s for the network's browse"))
      << Form->lblSearchDomains->text().toStdString();
}

// A wait that ends with no domain says so and what to do, instead of an empty box alone.
TEST_F(CompSearchFormTest, NoDomainAfterTheWaitLeavesAHint) {
  P->Set("SMB", {});
  Make();
  ShowLoaded();
  EXPECT_EQ(Form->cmbDomain->count(), 0);
  EXPECT_TRUE(Form->lblSearchDomains->isVisible());
  EXPECT_TRUE(Form->lblSearchDomains->text().startsWith("no domain found"))
      << Form->lblSearchDomains->text().toStdString();
}

TEST_F(CompSearchFormTest, ArrowButtonsBuildTheSelection) {
  Make();
  ShowLoaded();
  for (QPushButton *B : {Form->btnRemove, Form->btnAdd, Form->btnRemoveAll, Form->btnAddAll})
    EXPECT_GT(B->accessibleName().size(), 10) << B->text().toStdString();
  Choose(1);
  Form->btnAddAll->click(); // ">>" on an empty list
  EXPECT_TRUE(Form->SelectedNames().empty());

  Choose(0);
  Select(Form->lbComputers, {1});
  Form->btnAdd->click();
  // Three selected, one already there: the two others follow in list order.
  Select(Form->lbComputers, {2, 0, 1});
  Form->btnAdd->click();
  EXPECT_EQ(Form->SelectedNames(),
            (std::vector<std::string>{"\\\\BRAVO", "\\\\ALPHA", "\\\\CHARLIE"}));
  // ">>" adds only the one missing: a name differing in case is another name.
  Form->btnAddAll->click();
  EXPECT_EQ(Form->SelectedNames(),
            (std::vector<std::string>{"\\\\BRAVO", "\\\\ALPHA", "\\\\CHARLIE", "\\\\alpha"}));
  Select(Form->lbSelComputers, {0, 2});
  Form->btnRemove->click();
  EXPECT_EQ(Form->SelectedNames(), (std::vector<std::string>{"\\\\ALPHA", "\\\\alpha"}));
  Form->btnRemoveAll->click();
  EXPECT_TRUE(Form->SelectedNames().empty());
}

TEST_F(CompSearchFormTest, AShowingWithinAMinuteKeepsEverythingALaterOneSearchesAgain) {
  Make();
  ShowLoaded();
  Choose(0);
  Select(Form->lbComputers, {0});
  Form->btnAdd->click();
  Form->reject(); // "Cancel" keeps the selection for a reopening
  const size_t Searches = P->Calls().size();

  Now += std::chrono::seconds(60);
  Form->show();
  testing::SpinUntil([] { return false; }, 50);
  EXPECT_FALSE(Form->Busy());
  EXPECT_EQ(P->Calls().size(), Searches);
  EXPECT_EQ(Form->cmbDomain->count(), 2);
  EXPECT_EQ(Form->lbComputers->count(), 4);
  EXPECT_EQ(Form->SelectedNames(), (std::vector<std::string>{"\\\\ALPHA"}));
  Form->accept();

  Now += std::chrono::seconds(1); // 61 s after the search
  P->Close("SMB");
  Form->show();
  EXPECT_TRUE(Form->Busy());
  EXPECT_EQ(Form->cmbDomain->count(), 0);
  EXPECT_EQ(Form->lbComputers->count(), 0);
  EXPECT_TRUE(Form->SelectedNames().empty());
  P->Open();
  ASSERT_TRUE(testing::SpinUntil([&] { return !Form->Busy(); }));
  EXPECT_GT(P->Calls().size(), Searches);
  EXPECT_EQ(Texts(Form->cmbDomain), (std::vector<std::string>{"WG1", "WG2"}));
}

TEST_F(CompSearchFormTest, ClosedWhileBusyTheAnswerStillFillsTheHiddenDialog) {
  Make();
  ShowLoaded();
  P->Close("WG1");
  Form->cmbDomain->setCurrentIndex(0);
  ASSERT_TRUE(P->WaitBlocked(5000));
  Form->reject();
  P->Open();
  ASSERT_TRUE(testing::SpinUntil([&] { return !Form->Busy(); }));
  EXPECT_EQ(Form->lbComputers->count(), 4);
}

TEST_F(CompSearchFormTest, ReleasedWhileTheNetworkDoesNotAnswer) {
  // Released during the domain pause, and while a domain's computers are being listed: no
  // handler of the released dialog runs, and its domain record outlives the thread's use.
  for (bool InPause : {true, false}) {
    SCOPED_TRACE(InPause ? "in the pause" : "listing computers");
    if (InPause) {
      Form = std::make_unique<TCompSearchForm>(nullptr, 60000, P);
      Form->show();
    } else {
      Make();
      ShowLoaded();
      P->Close("WG1");
      Form->cmbDomain->setCurrentIndex(0);
      ASSERT_TRUE(P->WaitBlocked(5000));
    }
    Form.reset();
    P->Open();
    ASSERT_TRUE(testing::SpinUntil([] { return platform::TThread::FreeThreadCount() == 0; }));
  }
}

// The program ends (the dispatcher closed, the threads given a bounded wait, then out as the
// program leaves with a stuck thread) while an enumeration hangs: no crash, no hang.
TEST(CompSearchFormExitTest, TheProgramEndsWhileAnEnumerationHangs) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        auto P = std::make_shared<FakeNetProvider>();
        P->Set(FakeNetProvider::Top, {FakeNetProvider::Res(net::NetDisplayNetwork, "SMB")});
        P->Set("SMB", {FakeNetProvider::Res(net::NetDisplayDomain, "WG1")});
        P->Close("WG1"); // never opened: a host that never answers
        auto *Form = new TCompSearchForm(nullptr, 0, P);
        Form->show();
        if (!testing::SpinUntil([&] { return !Form->Busy(); })) std::exit(3);
        Form->cmbDomain->setCurrentIndex(0);
        if (!P->WaitBlocked(5000)) std::exit(4);
        delete Form;
        platform::MainThread().Close();
        const bool Ended = platform::TThread::WaitForFreeThreads(1000);
        std::fprintf(stderr, Ended ? "all ended\n" : "one still enumerating\n");
        // As the program does when a thread is stuck: out without running destructors.
        std::fflush(nullptr);
        ::_exit(0);
      },
      ::testing::ExitedWithCode(0), "one still enumerating");
}

} // namespace
} // namespace sonquarry
