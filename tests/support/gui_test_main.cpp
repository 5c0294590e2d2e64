// The main of every GUI test: one QApplication, the offscreen platform unless a display is asked
// for (QT_QPA_PLATFORM set by the caller, e.g. xcb under Xvfb for screenshots).

#include <QApplication>
#include <cstdlib>
#include <gtest/gtest.h>

int main(int argc, char **argv) {
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  QApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
