#pragma once
// A throw-away home for a test: HOME and the XDG base directories point into a fresh temporary
// folder for the life of the object, so no test reads or writes the real ~/.config.

#include "support/test_support.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

namespace sonquarry::testing {

class TXdgSandbox {
public:
  TXdgSandbox() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "sonquarry-test-XXXXXX").string();
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    Root_ = ::mkdtemp(buf.data());
    Set("HOME", Root_ + "/home");
    Set("XDG_CONFIG_HOME", Root_ + "/config");
    Set("XDG_CACHE_HOME", Root_ + "/cache");
    Set("XDG_DATA_HOME", Root_ + "/data");
    Set("XDG_RUNTIME_DIR", Root_ + "/run");        // the window's hand-over socket
    Set("DBUS_SESSION_BUS_ADDRESS", std::nullopt); // no notice reaches the user's desktop
    std::filesystem::create_directories(Root_ + "/home");
  }
  ~TXdgSandbox() {
    for (auto it = Saved_.rbegin(); it != Saved_.rend(); ++it) {
      if (it->second) {
        ::setenv(it->first.c_str(), it->second->c_str(), 1);
      } else {
        ::unsetenv(it->first.c_str());
      }
    }
    std::error_code ec;
    std::filesystem::remove_all(Root_, ec);
  }
  TXdgSandbox(const TXdgSandbox &) = delete;
  TXdgSandbox &operator=(const TXdgSandbox &) = delete;

  // Sets (or with nothing, unsets) a variable until the sandbox ends.
  void Set(const std::string &Name, const std::optional<std::string> &Value) {
    const char *old = std::getenv(Name.c_str());
    Saved_.emplace_back(Name, old ? std::optional<std::string>(old) : std::nullopt);
    if (Value) {
      ::setenv(Name.c_str(), Value->c_str(), 1);
    } else {
      ::unsetenv(Name.c_str());
    }
  }

  const std::string &Root() const { return Root_; }
  std::string Hive() const { return Root_ + "/config/sonquarry/registry.reg"; }

private:
  std::string Root_;
  std::vector<std::pair<std::string, std::optional<std::string>>> Saved_;
};

inline void WriteFile(const std::string &Path, const std::string &Data) {
  std::filesystem::create_directories(std::filesystem::path(Path).parent_path());
  std::ofstream out(Path, std::ios::binary | std::ios::trunc);
  out << Data;
}

} // namespace sonquarry::testing
