#pragma once
// The common frame of a test that runs a whole scan: a private log in a temporary folder, a plain
// main-thread queue installed for the scan's hand-overs, and a release that waits for every
// scanning thread, so a test never leaves threads behind for the next.

#include <unistd.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "app/program_network.h"
#include "engine/net_scan.h"
#include "engine/scan_log.h"
#include "platform/os/main_thread.h"
#include "platform/os/thread.h"

namespace sonquarry::testing {

struct TReport {
  std::string Dir;
  std::vector<std::string> Files;
  std::string Domain;
};

class TScanFixture : public ::testing::Test {
protected:
  // Prefix names the temporary folder; ThreadsEndMs bounds the wait for the threads at the end.
  TScanFixture(std::string APrefix, int AThreadsEndMs)
      : Prefix(std::move(APrefix)), ThreadsEndMs(AThreadsEndMs) {}

  void SetUp() override {
    platform::SetMainThread(&Main);
    Dir = std::filesystem::temp_directory_path() /
          (Prefix + std::to_string(::getpid()) + "-" +
           ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::remove_all(Dir);
    std::filesystem::create_directories(Dir);
    LogFile = (Dir / "search.log").string();
    Log.SetFileName(LogFile);
    Log.SetLevel(llAll);
    Scan = std::make_unique<TNetScan>();
    Scan->Network = MakeProgramNetwork();
    Scan->Filter.Extentions = {".mp3"};
  }
  void TearDown() override {
    Scan.reset();
    Main.Close();
    EXPECT_TRUE(platform::TThread::WaitForFreeThreads(ThreadsEndMs));
    platform::SetMainThread(nullptr);
    Log.SetFileName("");
    std::filesystem::remove_all(Dir);
  }

  const std::string Prefix;
  const int ThreadsEndMs;
  platform::TQueueDispatcher Main;
  std::filesystem::path Dir;
  std::string LogFile;
  std::unique_ptr<TNetScan> Scan;
  std::vector<TReport> Reports;
  int Finished = 0;
};

} // namespace sonquarry::testing
