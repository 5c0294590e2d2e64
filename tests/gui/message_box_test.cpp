// Message boxes: caption, style and line breaks as the user sees them, answered by the recorder.

#include "platform/gui/message_box.h"
#include "support/recording_prompts.h"

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
