// The "Add IP" / "Edit IP" dialog: what "Ok" accepts, reports and puts in order.
#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
#include <gtest/gtest.h>

#include "discovery/ip_range.h"
#include "support/recording_prompts.h"
#include "ui/dialogs/ip_query_form.h"

namespace sonquarry {
namespace {

TEST(IPQueryFormTest, OkChecksTheFieldsInOrderAndPutsARangeInOrder) {
  struct Case {
    const char *Name;
    bool Range;
    const char *IP1, *IP2;
    bool Accepted;
    int Focus;                   // 1 or 2: the field that gets the focus after the message
    const char *Field1, *Field2; // what the fields read afterwards
    uint32_t First, Last;        // what the caller receives
  };
  const Case Cases[] = {
      {"reversed range", true, "10.0.0.9", "10.0.0.1", true, 0, "10.0.0.1", "10.0.0.9",
       StrIP("10.0.0.1"), StrIP("10.0.0.9")},
      {"single with rubbish hidden", false, "10.0.0.7", "rubbish", true, 0, "10.0.0.7", "rubbish",
       StrIP("10.0.0.7"), StrIP("10.0.0.7")},
      {"bad first reported first", true, "10.0.x.1", "nonsense", false, 1, "10.0.x.1", "nonsense",
       0, 0},
      {"bad second", true, "10.0.0.1", "10.0.0.300", false, 2, "10.0.0.1", "10.0.0.300", 0, 0},
      {"bad single", false, "10.0.0.1x", "10.0.0.1", false, 1, "10.0.0.1x", "10.0.0.1", 0, 0},
      {"network", false, "10.213.77.9/24", "", true, 0, "10.213.77.9/24", "", StrIP("10.213.77.0"),
       StrIP("10.213.77.255")},
      {"prefix too long", false, "10.0.0.0/33", "", false, 1, "10.0.0.0/33", "", 0, 0},
      {"ordered range kept", true, "10.0.0.1", "10.0.1.0", true, 0, "10.0.0.1", "10.0.1.0",
       StrIP("10.0.0.1"), StrIP("10.0.1.0")},
  };
  for (const Case &C : Cases) {
    SCOPED_TRACE(C.Name);
    sonquarry::testing::TPromptsScope prompts;
    TIPQueryForm Form;
    Form.show();
    Form.SetRangeMode(C.Range);
    Form.edtIP1->setText(C.IP1);
    Form.edtIP2->setText(C.IP2);
    Form.btnOK->click();
    EXPECT_EQ(Form.result() == QDialog::Accepted, C.Accepted);
    EXPECT_EQ(Form.edtIP1->text().toStdString(), C.Field1);
    EXPECT_EQ(Form.edtIP2->text().toStdString(), C.Field2);
    if (C.Accepted) {
      EXPECT_TRUE(prompts->Records.empty());
      EXPECT_EQ(Form.FirstAddress(), C.First);
      EXPECT_EQ(Form.LastAddress(), C.Last);
    } else {
      ASSERT_EQ(prompts->Records.size(), 1u);
      EXPECT_EQ(prompts->Records[0].Text, "Invalid IP address.");
      EXPECT_EQ(prompts->Records[0].Style, MB_ICONERROR | MB_TOPMOST);
      EXPECT_TRUE(Form.isVisible());
      EXPECT_EQ(Form.focusWidget(), C.Focus == 1 ? Form.edtIP1 : Form.edtIP2);
    }
  }
}

TEST(IPQueryFormTest, ANewDialogOffersTheLocalSubnetAndAnEditShowsTheEntry) {
  sonquarry::testing::TPromptsScope prompts;
  TIPQueryForm Fresh;
  const QString Subnet = QString::fromStdString(GetLocalSubnet());
  EXPECT_EQ(Fresh.windowTitle(), "Add IP");
  EXPECT_FALSE(Fresh.IsRange());
  EXPECT_EQ(Fresh.edtIP1->text(), Subnet);
  EXPECT_EQ(Fresh.edtIP2->text(), Subnet);
  // The missing last group reads as 0.
  EXPECT_EQ(IPToStr(Fresh.FirstAddress()), Subnet.toStdString() + "0");
  // The user types only the last group: the cursor waits after the subnet, nothing selected.
  Fresh.show();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&Fresh));
  EXPECT_FALSE(Fresh.edtIP1->hasSelectedText());
  QTest::keyClicks(QApplication::focusWidget(), "11");
  EXPECT_EQ(IPToStr(Fresh.FirstAddress()), Subnet.toStdString() + "11");

  TIPQueryForm Edit;
  Edit.SetEditCaption();
  Edit.SetRangeMode(false);
  Edit.SetFirstAddress(StrIP("10.0.0.5"));
  Edit.SetLastAddress(StrIP("10.0.0.5"));
  Edit.show();
  EXPECT_EQ(Edit.windowTitle(), "Edit IP");
  EXPECT_EQ(Edit.focusWidget(), Edit.edtIP1);
  EXPECT_FALSE(Edit.edtIP2->isVisible());
  EXPECT_FALSE(Edit.lblTire->isVisible());
  Edit.rbRange->click();
  EXPECT_TRUE(Edit.IsRange());
  EXPECT_TRUE(Edit.edtIP2->isVisible());
  EXPECT_EQ(Edit.edtIP2->text(), "10.0.0.5");
  Edit.rbAddress->click();
  EXPECT_FALSE(Edit.edtIP2->isVisible());
  EXPECT_EQ(Edit.edtIP1->text(), "10.0.0.5");
}

} // namespace
} // namespace sonquarry
