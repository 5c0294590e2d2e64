#pragma once
// A window's position in the registry, over a plain rectangle so that the GUI only binds it to
// a real window: "Maximized" always, "Top", "Left", "Width", "Height" when not maximized.

#include <cstdint>
#include <string>

namespace sonquarry {

namespace registry {
class TRegistry;
}

// The state of a window that is saved and restored.
struct TFormPosition {
  int32_t Left = 0;
  int32_t Top = 0;
  int32_t Width = 0;
  int32_t Height = 0;
  bool Maximized = false;
};

// The full-screen client area: the screen less the task bar (the available geometry).
struct TScreenSize {
  int32_t Width = 0;
  int32_t Height = 0;
};

// Writes Form under Key (opened with creation; nothing is written when it cannot be opened)
// and closes the key. Raises "WriteFormPosition: Form = nil." / "WriteFormPosition: Reg = nil."
// for missing arguments; registry errors pass on to the caller.
void WriteFormPosition(const TFormPosition *Form, registry::TRegistry *Reg, const std::string &Key);

// Reads Key (read-only; Form is left alone when it does not open) into Form: a non-zero
// "Maximized" sets Maximized; a window not maximized then takes the stored bounds, clamped to
// Screen: negative top/left become 0, a width or height of 0 or less becomes the screen's less
// 5 or 35, and a window reaching past the right or bottom edge moves to the left or top edge
// and is cut to the screen. Raises "ReadFormPosition: Form = nil." / "ReadFormPosition: Reg =
// nil."; registry errors (a value of another type) pass on to the caller, the key closed.
void ReadFormPosition(TFormPosition *Form, registry::TRegistry *Reg, const std::string &Key,
                      TScreenSize Screen);

} // namespace sonquarry
