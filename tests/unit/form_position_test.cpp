#include "platform/os/exception.h"
#include "platform/registry/registry.h"
#include "settings/form_position.h"
#include "settings/settings.h"
#include "support/test_support.h"
#include "support/xdg_sandbox.h"

#include <climits>
#include <gtest/gtest.h>

using namespace sonquarry;
using namespace sonquarry::testing;

namespace {

constexpr TScreenSize kScreen{1024, 738};

struct TStored {
  int32_t Top, Left, Width, Height;
};

class FormPositionTest : public ::testing::Test {
protected:
  void Store(const TStored &S) {
    registry::TRegistry reg;
    const TFormPosition f{S.Left, S.Top, S.Width, S.Height, false};
    WriteFormPosition(&f, &reg, MainFormKey);
  }

  TFormPosition Read(TFormPosition Start = {10, 10, 300, 200, false}) {
    registry::TRegistry reg;
    ReadFormPosition(&Start, &reg, MainFormKey, kScreen);
    EXPECT_FALSE(reg.HasCurrentKey());
    return Start;
  }

  TXdgSandbox Sandbox;
};

} // namespace

TEST_F(FormPositionTest, ClampsToTheScreen) {
  struct Case {
    TStored Stored;
    TFormPosition Expected;
  } cases[] = {
      {{50, -20, 400, 300}, {0, 50, 400, 300, false}},       // left -20
      {{50, 100, 0, 300}, {0, 50, 1019, 300, false}},        // width 0: screen less 5
      {{50, 100, 400, -1}, {100, 0, 400, 703, false}},       // height -1: screen less 35
      {{50, 900, 400, 300}, {0, 50, 400, 300, false}},       // off the right edge
      {{50, 100, 2000, 300}, {0, 50, 1024, 300, false}},     // wider than the screen
      {{500, 100, 400, 900}, {100, 0, 400, 738, false}},     // taller than the screen
      {{-5, 624, 400, 738}, {624, 0, 400, 738, false}},      // fits exactly
      {{0, INT_MAX, 100, 100}, {0, 0, 100, 100, false}},     // no overflow at the limit
      {{INT_MAX, 0, 100, INT_MAX}, {0, 0, 100, 738, false}}, // both off the bottom
  };
  for (const Case &c : cases) {
    Store(c.Stored);
    const TFormPosition got = Read();
    EXPECT_EQ(got.Left, c.Expected.Left) << c.Stored.Left << " " << c.Stored.Width;
    EXPECT_EQ(got.Top, c.Expected.Top) << c.Stored.Top << " " << c.Stored.Height;
    EXPECT_EQ(got.Width, c.Expected.Width) << c.Stored.Width;
    EXPECT_EQ(got.Height, c.Expected.Height) << c.Stored.Height;
    EXPECT_FALSE(got.Maximized);
  }
}

TEST_F(FormPositionTest, AMaximizedWindowKeepsTheLastNormalBounds) {
  Store({20, 30, 640, 480});
  {
    registry::TRegistry reg;
    const TFormPosition maximized{0, 0, 1024, 738, true};
    WriteFormPosition(&maximized, &reg, MainFormKey);
  }
  registry::TRegistry reg;
  ASSERT_TRUE(reg.OpenKeyReadOnly(MainFormKey));
  EXPECT_EQ(reg.GetValueNames(),
            (std::vector<std::string>{"Maximized", "Top", "Left", "Width", "Height"}));
  EXPECT_EQ(reg.ReadInteger("Maximized"), 1);
  EXPECT_EQ(reg.ReadInteger("Width"), 640);
  reg.CloseKey();
  // Restored maximized, the designed bounds untouched.
  const TFormPosition got = Read({1, 2, 3, 4, false});
  EXPECT_TRUE(got.Maximized);
  EXPECT_EQ(got.Left, 1);
  EXPECT_EQ(got.Width, 3);
}

TEST_F(FormPositionTest, MissingKeyOrValuesKeepTheDesignedBounds) {
  EXPECT_EQ(Read().Width, 300);
  {
    registry::TRegistry reg;
    ASSERT_TRUE(reg.OpenKey(MainFormKey, true));
    reg.WriteInteger("Width", 500); // only the width is stored
  }
  const TFormPosition got = Read({900, 10, 300, 200, false});
  EXPECT_EQ(got.Width, 500);
  EXPECT_EQ(got.Left, 0); // the designed left plus the stored width leave the screen
  EXPECT_EQ(got.Top, 10);
  EXPECT_EQ(got.Height, 200);
}

TEST_F(FormPositionTest, ErrorsPassOnToTheCaller) {
  registry::TRegistry reg;
  TFormPosition f;
  EXPECT_EQ(ErrorOf([&] { WriteFormPosition(nullptr, &reg, MainFormKey); }),
            "WriteFormPosition: Form = nil.");
  EXPECT_EQ(ErrorOf([&] { WriteFormPosition(nullptr, nullptr, MainFormKey); }),
            "WriteFormPosition: Form = nil.");
  EXPECT_EQ(ErrorOf([&] { WriteFormPosition(&f, nullptr, MainFormKey); }),
            "WriteFormPosition: Reg = nil.");
  EXPECT_EQ(ErrorOf([&] { ReadFormPosition(nullptr, &reg, MainFormKey, kScreen); }),
            "ReadFormPosition: Form = nil.");
  EXPECT_EQ(ErrorOf([&] { ReadFormPosition(&f, nullptr, MainFormKey, kScreen); }),
            "ReadFormPosition: Reg = nil.");
  ASSERT_TRUE(reg.OpenKey(MainFormKey, true));
  reg.WriteString("Top", "12");
  reg.CloseKey();
  EXPECT_THROW(ReadFormPosition(&f, &reg, MainFormKey, kScreen), Exception);
  EXPECT_FALSE(reg.HasCurrentKey());
}
