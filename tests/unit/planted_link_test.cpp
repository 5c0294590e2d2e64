// Writes into a shared sticky folder such as /tmp, where another user may have planted a symbolic
// link to one of the user's own files: every writer refuses a link that another user owns and
// keeps following the links the user made.

#include "engine/scan_log.h"
#include "paths/wnet_tree.h"
#include "platform/registry/registry.h"
#include "support/xdg_sandbox.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <sys/stat.h>
#include <unistd.h>

using namespace sonquarry;
namespace fs = std::filesystem;

namespace {

constexpr uid_t Nobody = 65534;
// The user's file, one that every writer can take as its own (an empty hive, for one).
const std::string Mine = "Windows Registry Editor Version 5.00\r\n\r\n";

// Each writer puts something into Path; true when it says it did.
const struct {
  const char *Name;
  std::function<bool(const std::string &)> Write;
} Writers[] = {
    {"list file",
     [](const std::string &Path) {
       TWNetTree tree;
       tree.AddFile("D", "\\\\PC\\S\\", "x;echo PWNED;#.mp3");
       return SaveListFile(Path, tree) == 0;
     }},
    {"hive",
     [](const std::string &Path) {
       try {
         registry::TRegistry reg(Path);
         reg.OpenKey("Software\\Test", true);
         reg.WriteString("Value", "x");
         reg.Flush();
         return true;
       } catch (const std::exception &) {
         return false;
       }
     }},
    {"scan log",
     [](const std::string &Path) {
       TLog log;
       log.SetFileName(Path);
       log.SetLevel(1);
       log.Add(1, "line");
       return log.Errors().empty();
     }},
};

} // namespace

TEST(PlantedLink, AnotherUsersLinkIsRefusedTheUsersOwnIsFollowed) {
  if (::geteuid() != 0) GTEST_SKIP() << "a link of another user needs root to make";
  sonquarry::testing::TXdgSandbox home;
  const std::string shared = home.Root() + "/tmp", victim = home.Root() + "/home/.bashrc";
  fs::create_directory(shared);
  ASSERT_EQ(::chmod(shared.c_str(), 01777), 0);
  for (const auto &w : Writers) {
    for (const bool planted : {true, false}) {
      SCOPED_TRACE(std::string(w.Name) + (planted ? ", planted link" : ", own link"));
      sonquarry::testing::WriteFile(victim, Mine);
      const std::string link = shared + "/scan.lst";
      fs::remove(link);
      fs::create_symlink(victim, link);
      if (planted) {
        ASSERT_EQ(::lchown(link.c_str(), Nobody, Nobody), 0);
      }
      EXPECT_EQ(w.Write(link), !planted);
      EXPECT_TRUE(fs::is_symlink(link));
      EXPECT_EQ(sonquarry::testing::ReadAll(victim) == Mine, planted);
    }
  }
}
