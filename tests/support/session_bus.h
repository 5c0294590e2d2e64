#pragma once
// A D-Bus session bus of the test's own (dbus-daemon on a socket in a folder of the test's), and
// the programs a test starts on it in the background. Each ends with its object.

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

extern char **environ;

namespace sonquarry::testing {

// Starts Argv (looked up in PATH) with Env ("NAME=VALUE", before the test's own environment)
// and Input on its standard input, its output to /dev/null; -1 when it could not start.
inline pid_t SpawnBackground(const std::vector<std::string> &Argv,
                             const std::vector<std::string> &Env, const std::string &Input = "") {
  int In[2];
  if (::pipe(In) != 0) return -1;
  posix_spawn_file_actions_t Fa;
  posix_spawn_file_actions_init(&Fa);
  posix_spawn_file_actions_adddup2(&Fa, In[0], 0);
  posix_spawn_file_actions_addclose(&Fa, In[1]);
  posix_spawn_file_actions_addopen(&Fa, 1, "/dev/null", O_WRONLY, 0);
  // Ours first: a name given twice reads as its first.
  std::vector<std::string> EnvStrings = Env;
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

inline void EndBackground(pid_t &Pid) {
  if (Pid <= 0) return;
  ::kill(Pid, SIGTERM);
  ::waitpid(Pid, nullptr, 0);
  Pid = -1;
}

// Waits up to Ms for Path to exist.
inline bool WaitForFile(const std::filesystem::path &Path, int Ms) {
  for (int I = 0; I < Ms / 20 && !std::filesystem::exists(Path); ++I)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  return std::filesystem::exists(Path);
}

class TSessionBus {
public:
  // Dir/run holds the bus's socket; Dir/home is the home of the programs on it.
  explicit TSessionBus(const std::filesystem::path &Dir) : Dir_(Dir) {
    std::filesystem::create_directories(Dir / "run");
    std::filesystem::create_directories(Dir / "home");
    ::chmod((Dir / "run").c_str(), 0700);
    Address_ = "unix:path=" + (Dir / "run" / "bus").string();
    Env_ = {"HOME=" + (Dir / "home").string(), "XDG_RUNTIME_DIR=" + (Dir / "run").string(),
            "XDG_DATA_HOME=" + (Dir / "home" / "data").string(),
            "DBUS_SESSION_BUS_ADDRESS=" + Address_};
    Bus_ = SpawnBackground(
        {"dbus-daemon", "--session", "--nofork", "--nopidfile", "--address=" + Address_}, Env_);
    WaitForFile(Dir / "run" / "bus", 5000);
  }
  ~TSessionBus() { EndBackground(Bus_); }
  TSessionBus(const TSessionBus &) = delete;
  TSessionBus &operator=(const TSessionBus &) = delete;

  // NAME=VALUE entries that put a program on this bus.
  const std::vector<std::string> &Env() const { return Env_; }
  const std::string &Address() const { return Address_; }
  const std::filesystem::path &Dir() const { return Dir_; }

private:
  std::filesystem::path Dir_;
  std::string Address_;
  std::vector<std::string> Env_;
  pid_t Bus_ = -1;
};

} // namespace sonquarry::testing
