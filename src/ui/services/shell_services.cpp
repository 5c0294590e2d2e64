#include "ui/services/shell_services.h"

#include "ui/services/message_box.h"
#include "ui/services/user_prompts.h"
#include "ui/services/window_services.h"

#include <QApplication>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QPointer>
#include <QPushButton>
#include <QTextBrowser>
#include <QUrl>
#include <QVBoxLayout>
#include <QWidget>

namespace sonquarry {

namespace {

std::string InitialFolder;

class THelpWindow : public QWidget {
public:
  THelpWindow() {
    setWindowTitle(
        QString::fromStdString(ApplicationTitle().empty() ? "Help" : ApplicationTitle() + " Help"));
    setObjectName("HelpWindow");
    resize(Preferred);
    auto *layout = new QVBoxLayout(this);
    auto *buttons = new QHBoxLayout;
    auto *contents = new QPushButton(tr("Contents"), this);
    auto *back = new QPushButton(tr("Back"), this);
    auto *forward = new QPushButton(tr("Forward"), this);
    auto *close = new QPushButton(tr("Close"), this);
    buttons->addWidget(contents);
    buttons->addWidget(back);
    buttons->addWidget(forward);
    buttons->addStretch(1);
    buttons->addWidget(close);
    Browser = new QTextBrowser(this);
    Browser->setObjectName("HelpBrowser");
    // Links inside the help stay here; web and mail links go to the desktop.
    Browser->setOpenLinks(false);
    layout->addLayout(buttons);
    layout->addWidget(Browser, 1);
    back->setEnabled(false);
    forward->setEnabled(false);
    connect(Browser, &QTextBrowser::backwardAvailable, back, &QWidget::setEnabled);
    connect(Browser, &QTextBrowser::forwardAvailable, forward, &QWidget::setEnabled);
    connect(back, &QPushButton::clicked, Browser, &QTextBrowser::backward);
    connect(forward, &QPushButton::clicked, Browser, &QTextBrowser::forward);
    connect(close, &QPushButton::clicked, this, &QWidget::close);
    connect(contents, &QPushButton::clicked, this, [] { ShowHelpTopic("info.htm"); });
    connect(Browser, &QTextBrowser::anchorClicked, this, [this](const QUrl &Url) {
      if (Url.isRelative() || Url.isLocalFile())
        Browser->setSource(Browser->source().resolved(Url));
      else
        QDesktopServices::openUrl(Url);
    });
  }
  QTextBrowser *Browser;
  static constexpr QSize Preferred{720, 560};
};

QPointer<THelpWindow> &Window() {
  static QPointer<THelpWindow> w;
  return w;
}

} // namespace

std::string BrowseForFolder(QWidget *Owner, const std::string &Title, const std::string &Initial) {
  InitialFolder = Initial;
  if (InitialFolder.empty()) InitialFolder = QDir::currentPath().toStdString();
  return UserPrompts().ExistingDirectory(Owner, Title, InitialFolder);
}

const std::string &BrowseInitialFolder() { return InitialFolder; }

std::vector<std::string> HelpDirectories() {
  const QString app = QCoreApplication::applicationDirPath();
  std::vector<std::string> out;
  for (const char *rel : {"/../share/sonquarry/help/html", "/../../share/sonquarry/help/html",
                          "/../../../share/sonquarry/help/html"}) {
    const QString dir = QDir::cleanPath(app + rel);
    if (QFileInfo(dir).isDir()) out.push_back(dir.toStdString());
  }
  return out;
}

std::string FindHelpPage(const std::string &Page) {
  for (const auto &dir : HelpDirectories()) {
    if (QFileInfo(QString::fromStdString(dir + "/" + Page)).isFile()) return dir;
  }
  return {};
}

void ShowHelpTopic(const std::string &Page) {
  auto &w = Window();
  if (!w) w = new THelpWindow;
  w->setAttribute(Qt::WA_DeleteOnClose, false);
  // Opened from a modal dialog (F1 in Options), the help takes clicks only as a window of that
  // dialog; otherwise it is a window of its own that no dialog's closing takes along.
  QWidget *modal = QApplication::activeModalWidget();
  const bool shown = w->isVisible();
  bool place = !shown;
  if (w->parentWidget() != modal) {
    const QRect at = w->geometry();
    w->setParent(modal, Qt::Window);
    if (shown) w->setGeometry(at);
    place = place || modal; // newly over a dialog: out of its way
  }
  // Beside the dialog, so that its OK and Cancel stay in sight; on the screen in any case.
  if (place) w->resize(THelpWindow::Preferred);
  if (place && modal)
    PlaceBeside(w, modal);
  else if (place)
    FitToScreen(w);
  const std::string dir = FindHelpPage(Page);
  if (dir.empty()) {
    w->Browser->setHtml(
        QStringLiteral("<h2>Help page not found</h2><p>The page <b>%1</b> was not found. Sonquarry "
                       "looks for its help pages in <tt>share/sonquarry/help/html</tt> beside the "
                       "folder of the program (<tt>%2</tt>).</p>")
            .arg(QString::fromStdString(Page).toHtmlEscaped(),
                 QCoreApplication::applicationDirPath().toHtmlEscaped()));
  } else {
    w->Browser->setSource(QUrl::fromLocalFile(QString::fromStdString(dir + "/" + Page)));
  }
  w->show();
  w->raise();
  w->activateWindow();
}

QTextBrowser *HelpBrowser() { return Window() ? Window()->Browser : nullptr; }

void CloseHelpWindow() {
  auto &w = Window();
  delete w.data();
  w = nullptr;
}

} // namespace sonquarry
