#pragma once
// A D-Bus session bus of the test's own with an unlocked gnome-keyring on it, in a folder of the
// test's; its entries are stored and read with secret-tool, as a file manager's would be. Both
// processes end with the object.

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "support/run_program.h"

extern char **environ;

namespace sonquarry::testing {

class TKeyringSession {
public:
  explicit TKeyringSession(const std::filesystem::path &Dir) : Dir_(Dir) {
    std::filesystem::create_directories(Dir / "run");
    std::filesystem::create_directories(Dir / "home");
    ::chmod((Dir / "run").c_str(), 0700);
    Address_ = "unix:path=" + (Dir / "run" / "bus").string();
    Env_ = {"HOME=" + (Dir / "home").string(), "XDG_RUNTIME_DIR=" + (Dir / "run").string(),
            "XDG_DATA_HOME=" + (Dir / "home" / "data").string(),
            "DBUS_SESSION_BUS_ADDRESS=" + Address_};
    Bus_ =
        Spawn({"dbus-daemon", "--session", "--nofork", "--nopidfile", "--address=" + Address_}, "");
    for (int I = 0; I < 100 && !std::filesystem::exists(Dir / "run" / "bus"); ++I)
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    // --unlock takes the login keyring's password on standard input and creates it unlocked.
    Keyring_ = Spawn({"gnome-keyring-daemon", "--foreground", "--unlock", "--components=secrets"},
                     "keyring-pass");
  }
  ~TKeyringSession() {
    for (pid_t P : {Keyring_, Bus_})
      if (P > 0) {
        ::kill(P, SIGTERM);
        ::waitpid(P, nullptr, 0);
      }
  }
  TKeyringSession(const TKeyringSession &) = delete;
  TKeyringSession &operator=(const TKeyringSession &) = delete;

  // NAME=VALUE entries that put a program on this session.
  const std::vector<std::string> &Env() const { return Env_; }
  const std::string &Address() const { return Address_; }

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
  pid_t Spawn(const std::vector<std::string> &Argv, const std::string &Input) {
    int In[2];
    if (::pipe(In) != 0) return -1;
    posix_spawn_file_actions_t Fa;
    posix_spawn_file_actions_init(&Fa);
    posix_spawn_file_actions_adddup2(&Fa, In[0], 0);
    posix_spawn_file_actions_addclose(&Fa, In[1]);
    posix_spawn_file_actions_addopen(&Fa, 1, "/dev/null", O_WRONLY, 0);
    // Ours first: a name given twice reads as its first.
    std::vector<std::string> EnvStrings = Env_;
    for (char **E = environ; *E; ++E) EnvStrings.push_back(*E);
    std::vector<char *> Args, Envp;
    for (const auto &A : Argv) Args.push_back(const_cast<char *>(A.c_str()));
    Args.push_back(nullptr);
    for (auto &E : EnvStrings) Envp.push_back(E.data());
    Envp.push_back(nullptr);
    pid_t Pid = -1;
    if (::posix_spawnp(&Pid, Args[0], &Fa, nullptr, Args.data(), Envp.data()) != 0) Pid = -1;
    posix_spawn_file_actions_destroy(&Fa);
    ::close(In[0]);
    if (!Input.empty()) [[maybe_unused]]
      auto N = ::write(In[1], Input.data(), Input.size());
    ::close(In[1]);
    return Pid;
  }

  std::filesystem::path Dir_;
  std::string Address_;
  std::vector<std::string> Env_;
  pid_t Bus_ = -1, Keyring_ = -1;
};

} // namespace sonquarry::testing
