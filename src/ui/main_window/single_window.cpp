#include "ui/main_window/single_window.h"

#include "platform/files/folders.h"
#include "ui/services/message_box.h"

#include <QWidget>
#include <chrono>
#include <thread>

namespace sonquarry {

namespace {

// A window started at the same moment holds the list before it listens: asked again this long.
constexpr auto HandOverWait = std::chrono::seconds(3);
constexpr int CallTimeOutMs = 1000;

} // namespace

std::string WindowListFileName() { return files::GetProgramDir() + "Sonquarry.lst"; }

bool TSingleWindow::Start(const std::string &ListFile) {
  const auto until = std::chrono::steady_clock::now() + HandOverWait;
  for (;;) {
    if (Hold.Take(ListFile, "sonquarry")) return true;
    if (Hold.Holder().empty()) break; // no lock can be made: nobody to hand over to
    if (TWindowHandOver::CallFirst(CallTimeOutMs)) {
      Code = 0;
      return false;
    }
    if (std::chrono::steady_clock::now() >= until) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  ShowErrorMessage(Hold.Refusal(ListFile));
  Code = 1;
  return false;
}

void TSingleWindow::Serve(QWidget &Window) {
  HandOver.Listen([&Window] {
    Window.setWindowState(Window.windowState() & ~Qt::WindowMinimized);
    Window.show();
    Window.raise();
    Window.activateWindow();
  });
}

} // namespace sonquarry
