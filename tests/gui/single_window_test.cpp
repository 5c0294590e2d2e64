// One window per user: a second start of the program brings the first window to the front and
// ends; a list that another program holds is not opened a second time.

#include "platform/files/holder_lock.h"
#include "support/build_paths.h"
#include "support/recording_prompts.h"
#include "support/xdg_sandbox.h"
#include "ui/main_window/single_window.h"

#include <QProcess>
#include <QTest>
#include <QWidget>
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <unistd.h>

using namespace sonquarry;

TEST(SingleWindow, ASecondStartHandsOverToTheFirstWindowAndEnds) {
  sonquarry::testing::TXdgSandbox home;
  const std::string list = WindowListFileName();
  sonquarry::testing::WriteFile(list, "x.mp3\r\nWG\r\n\\\\PC\\s\\\r\n");
  TSingleWindow first;
  ASSERT_TRUE(first.Start(list));
  QWidget window; // hidden, as a window minimised or behind others
  first.Serve(window);

  QProcess second; // the real program, started as the user would start it again
  second.start(QString::fromStdString(sonquarry::testing::BinaryDir() + "/src/app/sonquarry"), {});
  ASSERT_TRUE(QTest::qWaitFor([&] { return second.state() == QProcess::NotRunning; }, 20000));
  EXPECT_EQ(second.exitStatus(), QProcess::NormalExit);
  EXPECT_EQ(second.exitCode(), 0) << second.readAllStandardError().toStdString();
  EXPECT_TRUE(window.isVisible());
  EXPECT_EQ(sonquarry::testing::ReadAll(list), "x.mp3\r\nWG\r\n\\\\PC\\s\\\r\n");
}

TEST(SingleWindow, AListThatAnotherProgramHoldsOrThatCannotBeLockedIsNotOpened) {
  for (const bool Lockable : {true, false}) {
    sonquarry::testing::TXdgSandbox home;
    sonquarry::testing::TPromptsScope prompts;
    const std::string list = WindowListFileName();
    files::THolderLock scan; // sonquarry-scan has it; no window answers
    if (Lockable)
      ASSERT_TRUE(scan.Take(list, "sonquarry-scan") && scan.Held());
    else
      std::filesystem::create_directories(list + ".lock");
    TSingleWindow window;
    EXPECT_FALSE(window.Start(list));
    EXPECT_EQ(window.ExitCode(), 1);
    EXPECT_EQ(prompts->Messages(),
              std::vector<std::string>{
                  Lockable
                      ? "The list file " + list + " is held by sonquarry-scan (process " +
                            std::to_string(getpid()) + ")."
                      : "The list file " + list + " can not be locked against a second writer (" +
                            list + ".lock: Is a directory); it is left alone."});
  }
}
