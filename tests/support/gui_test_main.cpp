// The main of every GUI test: one QApplication, the offscreen platform unless a display is asked
// for (QT_QPA_PLATFORM set by the caller, e.g. xcb under Xvfb for screenshots).

#include <QApplication>
#include <cstdlib>
#include <gtest/gtest.h>

#include "support/gui_child.h"

int main(int argc, char **argv) {
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  QApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  if (const char *child = std::getenv("SQ_GUI_CHILD")) {
    const auto &children = sonquarry::testing::GuiChildren();
    const auto it = children.find(child);
    if (it == children.end()) return 2;
    it->second();
    return ::testing::UnitTest::GetInstance()->Failed() ? 1 : 0;
  }
  return RUN_ALL_TESTS();
}
