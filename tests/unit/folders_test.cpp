#include "platform/files/folders.h"
#include "support/xdg_sandbox.h"

#include <filesystem>
#include <gtest/gtest.h>

using namespace sonquarry;
using sonquarry::testing::TXdgSandbox;
using sonquarry::testing::WriteFile;

namespace fs = std::filesystem;

TEST(Folders, FollowTheXdgVariables) {
  TXdgSandbox box;
  EXPECT_EQ(files::GetConfigDir(), box.Root() + "/config/sonquarry/");
  EXPECT_FALSE(fs::exists(files::GetConfigDir())); // created by the registry when it saves
  EXPECT_EQ(files::GetProgramDir(), box.Root() + "/data/sonquarry/");
  EXPECT_TRUE(fs::is_directory(box.Root() + "/data/sonquarry"));
  EXPECT_EQ(files::GetCacheFolder(), box.Root() + "/cache/sonquarry/");
  EXPECT_TRUE(fs::is_directory(box.Root() + "/cache/sonquarry"));
}

TEST(Folders, FallBackBelowHomeWhenVariablesAreUnsetOrRelative) {
  TXdgSandbox box;
  const std::string home = box.Root() + "/home";
  box.Set("XDG_CONFIG_HOME", std::nullopt);
  box.Set("XDG_DATA_HOME", "relative/data"); // relative values are ignored
  box.Set("XDG_CACHE_HOME", "");
  EXPECT_EQ(files::GetConfigDir(), home + "/.config/sonquarry/");
  EXPECT_EQ(files::GetProgramDir(), home + "/.local/share/sonquarry/");
  EXPECT_TRUE(fs::is_directory(home + "/.local/share/sonquarry"));
  EXPECT_EQ(files::GetCacheFolder(), home + "/.cache/sonquarry/");
}

TEST(Folders, CacheFolderIsEmptyWhenItCannotBeMade) {
  TXdgSandbox box;
  WriteFile(box.Root() + "/blocker", "a file where a folder should be");
  box.Set("XDG_CACHE_HOME", box.Root() + "/blocker");
  EXPECT_EQ(files::GetCacheFolder(), "");
}

TEST(Folders, PersonalFolderComesFromUserDirs) {
  TXdgSandbox box;
  const std::string home = box.Root() + "/home";
  EXPECT_EQ(files::GetPersonalFolder(), home); // no user-dirs.dirs

  fs::create_directories(home + "/My Docs");
  WriteFile(box.Root() + "/config/user-dirs.dirs", "# written by xdg-user-dirs-update\n"
                                                   "XDG_DESKTOP_DIR=\"$HOME/Desktop\"\n"
                                                   "XDG_DOCUMENTS_DIR=\"$HOME/My Docs/\"\n");
  EXPECT_EQ(files::GetPersonalFolder(), home + "/My Docs");

  fs::create_directories(box.Root() + "/abs \"q\"");
  WriteFile(box.Root() + "/config/user-dirs.dirs",
            "XDG_DOCUMENTS_DIR=\"" + box.Root() + "/abs \\\"q\\\"\"\n");
  EXPECT_EQ(files::GetPersonalFolder(), box.Root() + "/abs \"q\"");

  // A folder that does not exist, or a relative value, falls back to the home folder.
  WriteFile(box.Root() + "/config/user-dirs.dirs", "XDG_DOCUMENTS_DIR=\"$HOME/Gone\"\n");
  EXPECT_EQ(files::GetPersonalFolder(), home);
  WriteFile(box.Root() + "/config/user-dirs.dirs", "XDG_DOCUMENTS_DIR=\"Docs\"\n");
  EXPECT_EQ(files::GetPersonalFolder(), home);
  WriteFile(box.Root() + "/config/user-dirs.dirs", "XDG_DOCUMENTS_DIR=\"$HOMEX/Docs\"\n");
  EXPECT_EQ(files::GetPersonalFolder(), home);
}

TEST(Folders, ForceDirectoriesMakesEveryLevel) {
  TXdgSandbox box;
  EXPECT_TRUE(files::ForceDirectories(box.Root() + "/a/b/c/"));
  EXPECT_TRUE(fs::is_directory(box.Root() + "/a/b/c"));
  EXPECT_TRUE(files::ForceDirectories(box.Root() + "/a/b/c"));
  WriteFile(box.Root() + "/f", "x");
  EXPECT_FALSE(files::ForceDirectories(box.Root() + "/f/sub"));
  EXPECT_FALSE(files::ForceDirectories(""));
}
