#pragma once
// A GUI test that must run part of itself as a process of its own (to be killed, say, or on a
// screen of another size) registers that part here; the test program started with
// SQ_GUI_CHILD=NAME runs only it, not the tests.

#include <spawn.h>
#include <sys/wait.h>

#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

extern char **environ;

namespace sonquarry::testing {

inline std::map<std::string, std::function<void()>> &GuiChildren() {
  static std::map<std::string, std::function<void()>> Children;
  return Children;
}

struct TGuiChild {
  TGuiChild(const std::string &Name, std::function<void()> Body) {
    GuiChildren()[Name] = std::move(Body);
  }
};

// Runs this test program again as child Name, with Env ("NAME=VALUE") in place of the same
// names of the test's environment, and waits for it: its exit status (0: its checks passed; its
// failures are printed on the shared standard error), -1 when it did not exit normally.
inline int RunGuiChild(const std::string &Name, const std::vector<std::string> &Env) {
  std::vector<std::string> Strings = Env;
  Strings.push_back("SQ_GUI_CHILD=" + Name);
  for (char **E = environ; *E; ++E) {
    bool Replaced = false;
    for (const auto &S : Strings)
      Replaced = Replaced || std::strncmp(*E, S.c_str(), S.find('=') + 1) == 0;
    if (!Replaced) Strings.push_back(*E);
  }
  std::vector<char *> Envp;
  for (auto &S : Strings) Envp.push_back(S.data());
  Envp.push_back(nullptr);
  std::string Self = std::filesystem::read_symlink("/proc/self/exe").string();
  char *Argv[] = {Self.data(), nullptr};
  pid_t Pid = 0;
  if (::posix_spawn(&Pid, Self.c_str(), nullptr, nullptr, Argv, Envp.data()) != 0) return -1;
  int Status = 0;
  if (::waitpid(Pid, &Status, 0) != Pid || !WIFEXITED(Status)) return -1;
  return WEXITSTATUS(Status);
}

} // namespace sonquarry::testing
