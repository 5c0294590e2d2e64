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
// Restores what WriteFormPosition stored, clamped to the primary screen's available area; a
// key that does not open leaves the window where it is.
void ReadFormPosition(QWidget *Form, registry::TRegistry *Reg, const std::string &Key);

// Deletes item Index and selects the item now at Index, else the last one.
void LBDeleteItem(QListWidget *ListBox, int Index);
// Sets the checked state without running the button's handlers.
void SetRBCheck(QRadioButton *RB, bool Checked);
// Scrolls row Index to the middle of the visible rows, as far as the list can scroll.
void CenterListItem(int Index, QTableView *ListView);

} // namespace sonquarry
