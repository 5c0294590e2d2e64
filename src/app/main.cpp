// The window program: the main window over Qt's event loop.

#include "platform/gui/qt_dispatcher.h"
#include "platform/main_thread.h"
#include "ui/main_form.h"

#include <QApplication>
#include <QIcon>

int main(int argc, char **argv) {
  QApplication app(argc, argv);
  QApplication::setApplicationName("Sonquarry");
  QApplication::setWindowIcon(QIcon(":/icons/sonquarry.svg"));
  sonquarry::TQtDispatcher dispatcher;
  sonquarry::platform::SetMainThread(&dispatcher);
  int rc = 0;
  {
    sonquarry::TMainForm form;
    form.show();
    rc = QApplication::exec();
    // Threads still waiting in a hand-over are let go before the window's objects are released.
    dispatcher.Close();
  }
  sonquarry::platform::SetMainThread(nullptr);
  return rc;
}
