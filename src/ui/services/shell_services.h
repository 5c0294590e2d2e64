#pragma once
// The folder browser and the help window.

#include <string>
#include <vector>

class QWidget;
class QTextBrowser;

namespace sonquarry {

// Opens the folder browser (through the replaceable prompts) at Initial, or at the current
// directory when Initial is empty; returns the chosen folder, empty when cancelled.
std::string BrowseForFolder(QWidget *Owner, const std::string &Title, const std::string &Initial);
// The folder the last browser opened at.
const std::string &BrowseInitialFolder();

// Where the help pages are looked for, in order: share/sonquarry/help/html beside the
// executable's prefix (installed), then the build tree's copy.
std::vector<std::string> HelpDirectories();
// The directory that holds Page, empty when none does.
std::string FindHelpPage(const std::string &Page);

// Shows Page (such as "options.htm") in the program's help window, raising it when it exists.
// A page that cannot be found shows a short note in the window instead.
void ShowHelpTopic(const std::string &Page);
// The help window's page view, null until the first ShowHelpTopic.
QTextBrowser *HelpBrowser();
// Closes and releases the help window (at exit).
void CloseHelpWindow();

} // namespace sonquarry
