#pragma once
// The window program's life after the QApplication exists: the hand-over over the event loop, the
// main window, closing on the session's end (SIGTERM, SIGHUP, SIGINT), and an exit that no thread
// stuck in a network call can hold up.

#include <functional>
#include <memory>

namespace sonquarry {

class TMainForm;
class TNetwork;

// Shows the main window over Network, runs the loop until it closes, and returns the exit code.
// AfterShow runs once the window is shown. When scanning threads have not ended a second after the
// close (the list file is written by then), the process ends at once with that code.
int RunMainWindow(std::shared_ptr<TNetwork> Network,
                  const std::function<void(TMainForm &)> &AfterShow = {});

} // namespace sonquarry
