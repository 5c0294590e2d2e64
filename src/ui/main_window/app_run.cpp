#include "ui/main_window/app_run.h"

#include "platform/os/main_thread.h"
#include "platform/os/thread.h"
#include "ui/main_window/main_form.h"
#include "ui/main_window/single_window.h"
#include "ui/services/message_box.h"
#include "ui/services/qt_dispatcher.h"

#include <QApplication>
#include <QSocketNotifier>
#include <csignal>
#include <cstdio>
#include <exception>
#include <sys/socket.h>
#include <unistd.h>

namespace sonquarry {

namespace {

int SignalPipe[2] = {-1, -1};

// The session ending (SIGTERM, SIGHUP) or Ctrl+C closes the window as its close box does.
void OnSignal(int) {
  const char c = 1;
  [[maybe_unused]] const ssize_t n = ::write(SignalPipe[1], &c, 1);
}

} // namespace

int RunMainWindow(std::shared_ptr<TNetwork> Network,
                  const std::function<void(TMainForm &)> &AfterShow) {
  TQtDispatcher dispatcher;
  dispatcher.OnPostedError = [](std::exception_ptr E) {
    try {
      std::rethrow_exception(E);
    } catch (const std::exception &X) {
      ShowMessageBox(X.what(), MB_OK);
    } catch (...) {
    }
  };
  platform::SetMainThread(&dispatcher);
  TSingleWindow single;
  if (!single.Start(WindowListFileName())) {
    platform::SetMainThread(nullptr);
    return single.ExitCode();
  }
  int rc = 0;
  {
    TMainForm form(std::move(Network));
    single.Serve(form);
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, SignalPipe) == 0) {
      auto *notifier = new QSocketNotifier(SignalPipe[0], QSocketNotifier::Read, &form);
      QObject::connect(notifier, &QSocketNotifier::activated, &form, [&form] {
        char c;
        [[maybe_unused]] const ssize_t n = ::read(SignalPipe[0], &c, 1);
        form.close();
        // Ends every event loop, also that of a dialog still open, which would otherwise keep
        // the process alive (quit() would ask the dialog first, and a question box refuses).
        QCoreApplication::exit(0);
      });
      struct sigaction sa = {};
      sa.sa_handler = OnSignal;
      sigemptyset(&sa.sa_mask);
      for (int s : {SIGTERM, SIGHUP, SIGINT}) sigaction(s, &sa, nullptr);
    }
    QObject::connect(QCoreApplication::instance(), &QCoreApplication::aboutToQuit, &form,
                     [&form] { form.Shutdown(); });
    form.show();
    if (AfterShow) AfterShow(form);
    rc = QApplication::exec();
    form.Shutdown();
    // Threads still waiting in a hand-over are let go before the window's objects are released.
    dispatcher.Close();
  }
  // A thread stuck in a network call must not hold the process: the list is written already.
  // The closed dispatcher stays installed meanwhile, so ending threads skip their hand-overs.
  if (!platform::TThread::WaitForFreeThreads(1000)) {
    std::fflush(nullptr);
    ::_exit(rc);
  }
  platform::SetMainThread(nullptr);
  return rc;
}

} // namespace sonquarry
