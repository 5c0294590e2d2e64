// A search in the window with both computers' logins in the desktop's keyring, stored beforehand
// as a file manager stores them: both login shares' files come, as the servers' disks hold them,
// no login dialog is asked, and no password reaches a log line, a message or a file the window
// writes. A process of its own: GLib keeps the session bus of the first test that used one.

#include "support/keyring_session.h"
#include "support/recording_prompts.h"
#include "support/window_login_search.h"

#include <filesystem>
#include <gtest/gtest.h>

using namespace sonquarry;
using namespace sonquarry::testing;
namespace fs = std::filesystem;

TEST(WindowKeyringNet, StoredLoginsServeTheWindowsSearchWithoutAQuestion) {
  const auto E = Env::Load();
  ASSERT_EQ(SwitchLogins("").Status, 0);
  const fs::path Dir =
      fs::temp_directory_path() / ("sonquarry-keyring-window-" + std::to_string(getpid()));
  fs::remove_all(Dir);
  OwnHome(Dir);
  TKeyringSession Keyring(Dir / "keyring");
  const std::string AlphaPass = E.Get("SQ_ALPHA_LOGIN_PASSWORD");
  const std::string BravoPass = E.Get("SQ_BRAVO_LOGIN_PASSWORD");
  // Under the address the user typed into the file manager.
  ASSERT_TRUE(Keyring.Store(E.Get("SQ_ALPHA_LOGIN_USER"), E.Get("SQ_WORKGROUP1"),
                            E.Get("SQ_ALPHA_IP"), AlphaPass));
  ASSERT_TRUE(Keyring.Store(E.Get("SQ_BRAVO_LOGIN_USER"), E.Get("SQ_WORKGROUP1"),
                            E.Get("SQ_BRAVO_IP"), BravoPass));
  // Before any thread of the search starts.
  ::setenv("DBUS_SESSION_BUS_ADDRESS", Keyring.Address().c_str(), 1);

  TPromptsScope Prompts;
  const auto Got = SearchLoginSharesInTheWindow(E);

  auto Want = LoginShareOnDisk(E, "ALPHA");
  Want.merge(LoginShareOnDisk(E, "BRAVO"));
  ASSERT_EQ(Want.size(), 4u);
  EXPECT_EQ(Got, Want);
  // What the window said (its boxes) and kept (its log, list and settings).
  std::string Said = KeptText(Dir);
  for (const auto &R : Prompts->Records) {
    EXPECT_NE(R.Kind, "dialog") << "asked: " << R.Caption << " " << R.Text;
    Said += R.Caption + "\n" + R.Text + "\n";
  }
  EXPECT_NE(Said.find("Scan completed"), std::string::npos) << Said; // the texts were read
  for (const auto &P : {AlphaPass, BravoPass}) EXPECT_EQ(Said.find(P), std::string::npos) << Said;
  EXPECT_EQ(SwitchLogins(" --off").Status, 0);
  fs::remove_all(Dir);
}
