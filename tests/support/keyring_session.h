#pragma once
// A D-Bus session bus of the test's own with an unlocked gnome-keyring on it, in a folder of the
// test's; its entries are stored and read with secret-tool, as a file manager's would be. Both
// processes end with the object.

#include <string>
#include <vector>

#include "support/run_program.h"
#include "support/session_bus.h"

namespace sonquarry::testing {

class TKeyringSession {
public:
  explicit TKeyringSession(const std::filesystem::path &Dir) : Bus_(Dir), Env_(Bus_.Env()) {
    // --unlock takes the login keyring's password on standard input and creates it unlocked.
    Keyring_ = SpawnBackground(
        {"gnome-keyring-daemon", "--foreground", "--unlock", "--components=secrets"}, Env_,
        "keyring-pass");
  }
  ~TKeyringSession() { EndBackground(Keyring_); }
  TKeyringSession(const TKeyringSession &) = delete;
  TKeyringSession &operator=(const TKeyringSession &) = delete;

  // NAME=VALUE entries that put a program on this session.
  const std::vector<std::string> &Env() const { return Env_; }
  const std::string &Address() const { return Bus_.Address(); }

  // Stores as a file manager does; retried while the keyring is still starting.
  bool Store(const std::string &User, const std::string &Domain, const std::string &Server,
             const std::string &Password) {
    const std::string Cmd = "printf %s \"$PW\" | secret-tool store --label=\"$SQ_USER@$SQ_SERVER\" "
                            "xdg:schema org.gnome.keyring.NetworkPassword user \"$SQ_USER\" "
                            "domain \"$SQ_DOMAIN\" server \"$SQ_SERVER\" protocol smb";
    auto With = Env_;
    With.insert(With.end(), {"PW=" + Password, "SQ_USER=" + User, "SQ_DOMAIN=" + Domain,
                             "SQ_SERVER=" + Server});
    for (int I = 0; I < 100; ++I) {
      if (RunProgram({"/bin/sh", "-c", Cmd}, With, nullptr, 20000).Status == 0) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return false;
  }
  // secret-tool's look-up of an SMB entry: its password, "" when there is none.
  std::string Lookup(const std::string &User, const std::string &Server) {
    return RunProgram({"secret-tool", "lookup", "user", User, "server", Server, "protocol", "smb"},
                      Env_, nullptr, 20000)
        .Out;
  }

private:
  TSessionBus Bus_;
  std::vector<std::string> Env_;
  pid_t Keyring_ = -1;
};

} // namespace sonquarry::testing
