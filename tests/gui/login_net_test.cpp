// The window's question for a computer's login, against the test network's shares for one user
// each: a search in the whole window through its network and the replaceable prompts, asked once
// per refusing computer; a right answer brings the files, a wrong one twice leaves the computer
// out with a log line, "Remember" puts the entry in the keyring. No password reaches a log line.

#include "support/keyring_session.h"
#include "support/recording_prompts.h"
#include "support/window_login_search.h"
#include "ui/dialogs/login_form.h"

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QTest>
#include <cstdlib>
#include <filesystem>
#include <gtest/gtest.h>

using namespace sonquarry;
using namespace sonquarry::testing;
namespace fs = std::filesystem;

TEST(LoginNet, AskedOncePerComputerRightBringsFilesWrongTwiceLeavesOutRememberKeeps) {
  const auto E = Env::Load();
  ASSERT_EQ(SwitchLogins("").Status, 0);
  const fs::path Dir = fs::temp_directory_path() / ("sonquarry-login-" + std::to_string(getpid()));
  fs::remove_all(Dir);
  OwnHome(Dir);
  TKeyringSession Keyring(Dir / "keyring");
  ASSERT_TRUE(Keyring.Store("nobody-here", "", "unrelated", "x")); // the keyring is up
  // Before any thread of the search starts: GLib's threads read the environment.
  ::setenv("DBUS_SESSION_BUS_ADDRESS", Keyring.Address().c_str(), 1);
  const std::string Alpha = E.Get("SQ_ALPHA_IP"), Bravo = E.Get("SQ_BRAVO_IP");
  const std::string AlphaPass = E.Get("SQ_ALPHA_LOGIN_PASSWORD");
  const std::string BravoPass = E.Get("SQ_BRAVO_LOGIN_PASSWORD");

  TPromptsScope Prompts;
  std::vector<std::string> Titles;
  for (int I = 0; I < 4; ++I)
    Prompts->Dialogs.push_back([&](QDialog &D) {
      auto *Form = dynamic_cast<TfmLogin *>(&D);
      if (!Form) return int(QDialog::Rejected);
      const std::string Title = D.windowTitle().toStdString();
      Titles.push_back(Title);
      const bool IsAlpha = Title.find(Alpha) != std::string::npos;
      EXPECT_TRUE(Form->chkRemember->isEnabled()) << "a keyring is there";
      Form->edtUser->setText(
          QString::fromStdString(E.Get(IsAlpha ? "SQ_ALPHA_LOGIN_USER" : "SQ_BRAVO_LOGIN_USER")));
      Form->edtPassword->setText(QString::fromStdString(IsAlpha ? AlphaPass : "wrong-guess"));
      Form->chkRemember->setChecked(IsAlpha);
      // Under Xvfb (QT_QPA_PLATFORM=xcb) the dialog is kept as a picture.
      if (const char *Shots = std::getenv("SQ_SCREENSHOT_DIR"); Shots && IsAlpha) {
        D.show();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(&D));
        QTest::qWait(300);
        EXPECT_TRUE(D.grab().save(QString::fromUtf8(Shots) + "/login-dialog.png"));
        D.hide();
      }
      return int(QDialog::Accepted);
    });

  const auto Got = SearchLoginSharesInTheWindow(E);

  // Alpha asked once and answered right; Bravo asked twice (once more after the refusal).
  int ForAlpha = 0, ForBravo = 0;
  for (const auto &T : Titles) {
    ForAlpha += T.find(Alpha) != std::string::npos;
    ForBravo += T.find(Bravo) != std::string::npos;
  }
  EXPECT_EQ(ForAlpha, 1);
  EXPECT_EQ(ForBravo, 2);
  EXPECT_EQ(Got, LoginShareOnDisk(E, "ALPHA"));
  // The window's log has the diagnostic lines; it and its boxes hold no password.
  std::string Said = KeptText(Dir);
  bool LeftOut = false;
  for (const auto &L : SplitLines(Said))
    LeftOut =
        LeftOut || (L.find(Bravo) != std::string::npos && L.find("left out") != std::string::npos);
  EXPECT_TRUE(LeftOut) << Said;
  for (const auto &R : Prompts->Records) Said += R.Caption + "\n" + R.Text + "\n";
  for (const auto &P : {AlphaPass, BravoPass, std::string("wrong-guess")})
    EXPECT_EQ(Said.find(P), std::string::npos) << Said;
  // Remembered under the file managers' schema, found by their look-up.
  EXPECT_EQ(Keyring.Lookup(E.Get("SQ_ALPHA_LOGIN_USER"), Alpha), AlphaPass);
  EXPECT_EQ(Keyring.Lookup(E.Get("SQ_BRAVO_LOGIN_USER"), Bravo), "");
  EXPECT_EQ(SwitchLogins(" --off").Status, 0);
  fs::remove_all(Dir);
}
