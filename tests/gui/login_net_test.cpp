// The window's question for a computer's login, against the test network's shares for one user
// each: through the window's network and the replaceable prompts, once per refusing computer;
// a right answer brings the files, a wrong one twice leaves the computer out with a log line,
// "Remember" puts the entry in the keyring. No password reaches a log line.

#include "app/program_network.h"
#include "discovery/ip_range.h"
#include "engine/net_scan.h"
#include "platform/os/diag.h"
#include "platform/os/thread.h"
#include "support/gui_spin.h"
#include "support/keyring_session.h"
#include "support/recording_prompts.h"
#include "support/run_program.h"
#include "support/testnet_env.h"
#include "ui/dialogs/login_form.h"
#include "ui/services/qt_dispatcher.h"

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QTest>
#include <cstdlib>
#include <filesystem>
#include <gtest/gtest.h>
#include <mutex>

using namespace sonquarry;
using namespace sonquarry::testing;
namespace fs = std::filesystem;

namespace {

void Logins(const std::string &Off) {
  const auto R = RunProgram(
      {"/bin/sh", "-c", TestnetTool() + " logins --dir \"$SQ_TESTNET_DIR\"" + Off + " 2>&1"});
  ASSERT_EQ(R.Status, 0) << R.Out;
}

} // namespace

TEST(LoginNet, AskedOncePerComputerRightBringsFilesWrongTwiceLeavesOutRememberKeeps) {
  const auto E = Env::Load();
  Logins("");
  const fs::path Dir = fs::temp_directory_path() / ("sonquarry-login-" + std::to_string(getpid()));
  fs::remove_all(Dir);
  TKeyringSession Keyring(Dir / "keyring");
  ASSERT_TRUE(Keyring.Store("nobody-here", "", "unrelated", "x")); // the keyring is up
  // Before any thread of the search starts: GLib's threads read the environment.
  ::setenv("DBUS_SESSION_BUS_ADDRESS", Keyring.Address().c_str(), 1);
  const std::string Alpha = E.Get("SQ_ALPHA_IP"), Bravo = E.Get("SQ_BRAVO_IP");
  const std::string AlphaPass = E.Get("SQ_ALPHA_LOGIN_PASSWORD");
  const std::string BravoPass = E.Get("SQ_BRAVO_LOGIN_PASSWORD");

  std::mutex Lock;
  std::vector<std::string> Lines;
  const auto OldSink = platform::SetDiagnosticSink([&](platform::TDiagLevel, const std::string &L) {
    std::lock_guard<std::mutex> G(Lock);
    Lines.push_back(L);
  });
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

  TQtDispatcher Dispatcher;
  platform::SetMainThread(&Dispatcher);
  std::vector<std::string> Found;
  int Finished = 0;
  {
    smb::SmbProviderOptions O;
    O.CredentialsFile = "-";
    TNetScan Scan;
    Scan.Network = MakeWindowNetwork(O);
    Scan.NetBios = false;
    Scan.MaxThreadCount = 4;
    Scan.AddIP(StrIP(Alpha));
    Scan.AddIP(StrIP(Bravo));
    Scan.Filter.AllowedRes = {E.Get("SQ_ALPHA_LOGIN_SHARE"), E.Get("SQ_BRAVO_LOGIN_SHARE")};
    Scan.Filter.Extentions = {".mp3"};
    Scan.OnFilesFound = [&](TScanResThread *, const std::string &D,
                            const std::vector<std::string> &Files, const std::string &) {
      for (const auto &F : Files) Found.push_back(D + "\\" + F);
    };
    Scan.OnFinish = [&](TNetScan *) { ++Finished; };
    Scan.Start();
    ASSERT_TRUE(SpinUntil([&] { return Finished > 0; }, 180000));
  }
  Dispatcher.Close();
  EXPECT_TRUE(platform::TThread::WaitForFreeThreads(60000));
  platform::SetMainThread(nullptr);
  platform::SetDiagnosticSink(OldSink);

  // Alpha asked once and answered right; Bravo asked twice (once more after the refusal).
  int ForAlpha = 0, ForBravo = 0;
  for (const auto &T : Titles) {
    ForAlpha += T.find(Alpha) != std::string::npos;
    ForBravo += T.find(Bravo) != std::string::npos;
  }
  EXPECT_EQ(ForAlpha, 1);
  EXPECT_EQ(ForBravo, 2);
  std::set<std::string> Want;
  const fs::path Root = E.Get("SQ_ALPHA_LOGIN_DIR");
  for (const auto &F : fs::recursive_directory_iterator(Root))
    if (F.path().extension() == ".mp3") Want.insert(F.path().filename().string());
  std::set<std::string> Got;
  for (const auto &F : Found) {
    EXPECT_NE(F.find(E.Get("SQ_ALPHA_LOGIN_SHARE")), std::string::npos) << F;
    Got.insert(F.substr(F.rfind('\\') + 1));
  }
  EXPECT_EQ(Got, Want);
  bool LeftOut = false;
  for (const auto &L : Lines) {
    LeftOut =
        LeftOut || (L.find(Bravo) != std::string::npos && L.find("left out") != std::string::npos);
    for (const auto &P : {AlphaPass, BravoPass, std::string("wrong-guess")})
      EXPECT_EQ(L.find(P), std::string::npos) << L;
  }
  EXPECT_TRUE(LeftOut);
  // Remembered under the file managers' schema, found by their look-up.
  EXPECT_EQ(Keyring.Lookup(E.Get("SQ_ALPHA_LOGIN_USER"), Alpha), AlphaPass);
  EXPECT_EQ(Keyring.Lookup(E.Get("SQ_BRAVO_LOGIN_USER"), Bravo), "");
  Logins(" --off");
  fs::remove_all(Dir);
}
