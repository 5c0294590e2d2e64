#pragma once
// The login tests' search in the window: ALPHA and BRAVO by address, their login shares only,
// through the whole TMainForm and the window's network (its question for a login included).

#include "app/program_network.h"
#include "discovery/ip_range.h"
#include "platform/os/thread.h"
#include "settings/settings.h"
#include "support/gui_spin.h"
#include "support/main_form_seam.h"
#include "support/run_program.h"
#include "support/testnet_env.h"
#include "ui/main_window/main_form.h"
#include "ui/services/qt_dispatcher.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <iterator>
#include <set>
#include <string>

namespace sonquarry::testing {

// Switches the test network's login shares on ("") or off (" --off").
inline TRun SwitchLogins(const std::string &Off) {
  return RunProgram(
      {"/bin/sh", "-c", TestnetTool() + " logins --dir \"$SQ_TESTNET_DIR\"" + Off + " 2>&1"});
}

// HOME and the XDG folders below Dir, set once and left so: GLib's threads read the environment.
inline void OwnHome(const std::filesystem::path &Dir) {
  for (const char *Name :
       {"HOME", "XDG_CONFIG_HOME", "XDG_CACHE_HOME", "XDG_DATA_HOME", "XDG_RUNTIME_DIR"}) {
    const auto Sub = Dir / Name;
    std::filesystem::create_directories(Sub);
    std::filesystem::permissions(Sub, std::filesystem::perms::owner_all);
    ::setenv(Name, Sub.c_str(), 1);
  }
}

// What the window kept below Dir (its search log with the diagnostic lines, its list and
// settings), the keyring's own folder Dir/keyring aside.
inline std::string KeptText(const std::filesystem::path &Dir) {
  std::string All;
  for (const auto &F : std::filesystem::recursive_directory_iterator(Dir))
    if (F.is_regular_file() && F.path().string().rfind((Dir / "keyring").string(), 0) != 0) {
      std::ifstream In(F.path(), std::ios::binary);
      All.append(std::istreambuf_iterator<char>(In), {});
      All += "\n";
    }
  return All;
}

// The rows the window lists after the search, as "\\a.b.c.d\share\dir\name".
inline std::set<std::string> SearchLoginSharesInTheWindow(const Env &E) {
  TScanOptions Stored;
  Stored.ScanMethod = smOtherOS; // no first-run question
  Stored.NetBios = false;
  Stored.MaxThreadCount = 4;
  Stored.Filter.Extentions = {".mp3"};
  TMainFormSettings Window;
  Window.ReadTags = false;
  SaveSettings(Stored, Window);
  TQtDispatcher Dispatcher;
  platform::SetMainThread(&Dispatcher);
  std::set<std::string> Rows;
  {
    smb::SmbProviderOptions O;
    O.ConfigFile = E.Get("SQ_CLIENT_CONF");
    O.CredentialsFile = "-";
    TMainForm Form(MakeWindowNetwork(O));
    TNetScan &Scan = Seam(Form).Scan();
    Scan.ClearNetRes();
    Scan.AddIP(StrIP(E.Get("SQ_ALPHA_IP")));
    Scan.AddIP(StrIP(E.Get("SQ_BRAVO_IP")));
    Scan.Filter.AllowedRes = {E.Get("SQ_ALPHA_LOGIN_SHARE"), E.Get("SQ_BRAVO_LOGIN_SHARE")};
    Command(Form, "actSearch")->trigger();
    EXPECT_TRUE(SpinUntil([&] { return Seam(Form).ScanState() == ssIdle; }, 180000));
    TWNetTree &T = Seam(Form).FileTree();
    for (int I = 0; I < T.Count(); ++I) {
      std::string D = T.GetDirectory(I);
      if (!D.empty() && D.back() == '\\') D.pop_back();
      Rows.insert(D + "\\" + std::string(T.File(I).Name()));
    }
  }
  Dispatcher.Close();
  EXPECT_TRUE(platform::TThread::WaitForFreeThreads(60000));
  platform::SetMainThread(nullptr);
  return Rows;
}

// The music files of the host's login share on its disk, as the window lists them by address.
inline std::set<std::string> LoginShareOnDisk(const Env &E, const std::string &Host) {
  std::set<std::string> Out;
  const std::string Share = E.Get("SQ_" + Host + "_LOGIN_SHARE");
  const std::filesystem::path Root = E.Get("SQ_" + Host + "_LOGIN_DIR");
  for (const auto &F : std::filesystem::recursive_directory_iterator(Root))
    if (F.path().extension() == ".mp3") {
      std::string Rel = std::filesystem::relative(F.path(), Root).string();
      for (auto &C : Rel)
        if (C == '/') C = '\\';
      Out.insert("\\\\" + E.Get("SQ_" + Host + "_IP") + "\\" + Share + "\\" + Rel);
    }
  return Out;
}

} // namespace sonquarry::testing
