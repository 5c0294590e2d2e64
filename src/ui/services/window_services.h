#pragma once
// Window position in the registry for a real window, and three small control helpers.

#include <string>

class QListWidget;
class QRadioButton;
class QTableView;
class QWidget;

namespace sonquarry {

namespace registry {
class TRegistry;
}

// "Maximized" always; "Top", "Left", "Width", "Height" (the frame's position, the client size)
// only for a window that is not maximized. Raises "WriteFormPosition: Form = nil." /
// "WriteFormPosition: Reg = nil.".
void WriteFormPosition(QWidget *Form, registry::TRegistry *Reg, const std::string &Key);
// Restores what WriteFormPosition stored, clamped to the primary screen's available area, then
// kept on a screen with its frame (title bar included); a key that does not open leaves the
// window where it is.
void ReadFormPosition(QWidget *Form, registry::TRegistry *Reg, const std::string &Key);

// Keeps a window within the available area of its screen, frame included: no larger than the
// area, and moved inside it. A window not yet shown and never moved only has its size cut, so
// that a dialog still centres itself over its owner when shown.
void FitToScreen(QWidget *Window);
// Places Window (the help window) beside Owner (the dialog that opened it) on Owner's screen:
// right of it, else left, narrowed to the room there is; where there is too little room beside
// it, over Owner but clear of Owner's row of buttons (OK, Cancel).
void PlaceBeside(QWidget *Window, const QWidget *Owner);

// Deletes item Index and selects the item now at Index, else the last one.
void LBDeleteItem(QListWidget *ListBox, int Index);
// Sets the checked state without running the button's handlers.
void SetRBCheck(QRadioButton *RB, bool Checked);
// Scrolls row Index to the middle of the visible rows, as far as the list can scroll.
void CenterListItem(int Index, QTableView *ListView);

} // namespace sonquarry
