#pragma once
// One window per user: the window holds its list file for its life, and a later start of the
// program by the same user brings that window to the front and ends. sonquarry-scan leaves a held
// list alone.

#include "platform/files/holder_lock.h"
#include "ui/services/window_hand_over.h"

#include <string>

class QWidget;

namespace sonquarry {

// The window's list file: the program's directory + "Sonquarry.lst".
std::string WindowListFileName();

class TSingleWindow {
public:
  // Before the window exists. True: this is the first window, and it holds ListFile. False: the
  // program ends with ExitCode(): 0 when the first window took over, 1 when another program holds
  // the list (a message box names it).
  bool Start(const std::string &ListFile);
  int ExitCode() const { return Code; }
  // Once the window exists: each later start brings it to the front.
  void Serve(QWidget &Window);

private:
  files::THolderLock Hold;
  TWindowHandOver HandOver;
  int Code = 0;
};

} // namespace sonquarry
