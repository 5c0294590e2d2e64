// Drives the installed window as a user would, from inside its process: answers the message boxes
// and the first run's Options dialog, starts a search, and when the search has said its last word
// prints the rows and closes the window. Prints "message: TEXT" and "row: NAME\tDOMAIN\tDIR".
// With SQ_SCREENSHOT_DIR set it first saves the About box there as about.png.

#include <QAbstractItemModel>
#include <QAction>
#include <QApplication>
#include <QDialog>
#include <QElapsedTimer>
#include <QGenericPlugin>
#include <QMainWindow>
#include <QMessageBox>
#include <QTableView>
#include <QTimer>
#include <cstdio>

namespace {

void Say(const QString &Line) {
  std::printf("%s\n", Line.toUtf8().constData());
  std::fflush(stdout);
}

class TDriver : public QObject {
public:
  TDriver() {
    // Timers need the running event loop, which is not there yet while plugins load.
    QMetaObject::invokeMethod(
        this, [this] { Start(); }, Qt::QueuedConnection);
  }

private:
  void Start() {
    auto *timer = new QTimer(this);
    connect(timer, &QTimer::timeout, this, [this] { Step(); });
    timer->start(100);
    Idle_.start();
  }

  QMainWindow *Window() const {
    for (QWidget *w : QApplication::topLevelWidgets())
      if (auto *m = qobject_cast<QMainWindow *>(w); m && m->isVisible()) return m;
    return nullptr;
  }

  void Step() {
    for (QWidget *w : QApplication::topLevelWidgets()) {
      if (!w->isVisible()) continue;
      if (auto *box = qobject_cast<QMessageBox *>(w)) {
        Say("message: " + box->text().replace('\n', ' '));
        box->accept();
        if (Searched_) Finish();
        Idle_.restart();
        return;
      }
      if (w->objectName() == "AboutBox") {
        if (Idle_.elapsed() < 500) return; // painted first
        w->grab().save(qEnvironmentVariable("SQ_SCREENSHOT_DIR") + "/about.png");
        static_cast<QDialog *>(w)->accept();
        Idle_.restart();
        return;
      }
      if (w->objectName() == "fmOptions") { // the first run asks for the search mode
        static_cast<QDialog *>(w)->accept();
        Idle_.restart();
        return;
      }
    }
    // Searches once the window has stood a moment without a question.
    QMainWindow *window = Window();
    if (Searched_ || !window || QApplication::activeModalWidget() || Idle_.elapsed() < 1000) return;
    // With SQ_SCREENSHOT_DIR set, the About box is kept as a picture first.
    const bool about = !About_ && qEnvironmentVariableIsSet("SQ_SCREENSHOT_DIR");
    for (QAction *a : window->findChildren<QAction *>())
      if (about && a->text() == "About...") {
        About_ = true;
        QTimer::singleShot(0, a, &QAction::trigger);
        Idle_.restart();
        return;
      } else if (!about && a->text() == "Search") {
        Searched_ = true;
        Say("search");
        QTimer::singleShot(0, a, &QAction::trigger); // its message boxes run their own loops
        return;
      }
  }

  void Finish() {
    QMainWindow *window = Window();
    if (!window) return;
    if (auto *view = window->findChild<QTableView *>()) {
      const QAbstractItemModel *m = view->model();
      for (int r = 0; r < m->rowCount(); ++r)
        Say("row: " + m->index(r, 0).data().toString() + '\t' + m->index(r, 1).data().toString() +
            '\t' + m->index(r, 2).data().toString());
    }
    QTimer::singleShot(200, window, &QWidget::close); // once the box's loop has returned
  }

  QElapsedTimer Idle_;
  bool Searched_ = false;
  bool About_ = false;
};

} // namespace

class TDriverPlugin : public QGenericPlugin {
  Q_OBJECT
  Q_PLUGIN_METADATA(IID QGenericPluginFactoryInterface_iid FILE "driver_plugin.json")
public:
  QObject *create(const QString &, const QString &) override { return new TDriver; }
};

#include "driver_plugin.moc"
