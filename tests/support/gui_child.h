#pragma once
// A GUI test that must run part of itself as a process of its own (to be killed, say) registers
// that part here; the test program started with SQ_GUI_CHILD=NAME runs only it, not the tests.

#include <functional>
#include <map>
#include <string>

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

} // namespace sonquarry::testing
