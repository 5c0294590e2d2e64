#pragma once
// The three message boxes through which the program reports errors, gives information and asks
// questions. They are owned by no window, stay on top and carry the application title.

#include "ui/services/user_prompts.h"

#include <string>

namespace sonquarry {

void SetApplicationTitle(const std::string &Title);
const std::string &ApplicationTitle();

// Shows Text (a CR, CR LF or LF is a line break) with Flags | MB_TOPMOST; returns the button.
int ShowMessageBox(const std::string &Text, unsigned Flags);
void ShowErrorMessage(const std::string &Text); // MB_ICONERROR | MB_TOPMOST
void ShowInfoMessage(const std::string &Text);  // MB_ICONINFORMATION | MB_TOPMOST

} // namespace sonquarry
