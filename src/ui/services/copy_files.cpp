#include "ui/services/copy_files.h"
#include "platform/net/net_provider.h"

#include "services/copier/file_copier.h"
#include "services/copier/net_copy_source.h"
#include "ui/services/message_box.h"
#include "ui/services/window_services.h"

#include <QDialog>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>
#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <optional>

namespace sonquarry {
namespace {

TCopySourceFactory &Factory() {
  static TCopySourceFactory factory;
  return factory;
}

QString Bytes(int64_t N) {
  if (N < 0) return "?";
  if (N < 1024 * 1024) return QString::number((N + 1023) / 1024) + " KB";
  return QString::number(double(N) / (1024.0 * 1024.0), 'f', 1) + " MB";
}

QString TimeLeft(int64_t Seconds) {
  if (Seconds < 60) return QString("about %1 s left").arg(std::max<int64_t>(Seconds, 1));
  if (Seconds < 3600) return QString("about %1 min left").arg((Seconds + 30) / 60);
  return QString("about %1 h %2 min left").arg(Seconds / 3600).arg(Seconds % 3600 / 60);
}

// The progress window: the file being copied, the whole copy's bytes and files, the time left,
// and Cancel. Closing it cancels too.
class TCopyDialog final : public QDialog {
public:
  TCopyDialog(QWidget *Owner, copier::TFileCopier &ACopier) : QDialog(Owner), Copier(ACopier) {
    setObjectName("CopyProgress");
    setWindowTitle("Copying files");
    setWindowModality(Qt::WindowModal);
    File = new QLabel(this);
    File->setObjectName("CopyFile");
    File->setTextFormat(Qt::PlainText);
    File->setMinimumWidth(420);
    File->setText("Reading sizes\u2026"); // until the copier's first figures come

    Amount = new QLabel(this);
    Amount->setObjectName("CopyAmount");
    Bar = new QProgressBar(this);
    Bar->setRange(0, 1000);
    Cancel = new QPushButton("Cancel", this);
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(File);
    layout->addWidget(Bar);
    layout->addWidget(Amount);
    layout->addWidget(Cancel, 0, Qt::AlignRight);
    connect(Cancel, &QPushButton::clicked, this, &TCopyDialog::reject);
  }
  void reject() override {
    Cancel->setEnabled(false);
    Amount->setText("Cancelling...");
    Cancelling = true;
    Copier.Cancel();
  }
  // Seconds: how long the bytes so far took (questions not counted).
  void Show(const copier::TCopyProgress &P, double Seconds) {
    if (P.FileCount == 0 || Cancelling) return;
    if (P.Measuring) {
      File->setText(QString("Reading sizes\u2026 (%1 files)").arg(P.FileCount));
      return;
    }
    File->setText(QString("Copying %1 (file %2 of %3)")
                      .arg(QString::fromStdString(P.FileName))
                      .arg(P.FileIndex + 1)
                      .arg(P.FileCount));
    QString time = "estimating the time left";
    if (P.TotalDone > 0 && Seconds >= 1)
      time = TimeLeft(int64_t(double(std::max<int64_t>(P.TotalSize - P.TotalDone, 0)) * Seconds /
                              double(P.TotalDone)));
    Amount->setText(QString("%1 of %2, %3 of %4 files done, %5")
                        .arg(Bytes(P.TotalDone), Bytes(P.TotalSize))
                        .arg(P.FilesDone)
                        .arg(P.FileCount)
                        .arg(time));
    Bar->setValue(P.TotalSize > 0 ? int(std::min<int64_t>(P.TotalDone * 1000 / P.TotalSize, 1000))
                                  : 0);
  }
  QPushButton *Cancel;

private:
  copier::TFileCopier &Copier;
  QLabel *File;
  QLabel *Amount;
  QProgressBar *Bar;
  bool Cancelling = false;
};

// A failed file's question, asked on the main thread while the copying thread waits for it.
struct TQuestion {
  std::mutex Lock;
  std::condition_variable Answered;
  bool Pending = false, Abandoned = false;
  std::string Path, Reason;
  std::optional<copier::TFailureAnswer> Answer;

  copier::TFailureAnswer Ask(const std::string &APath, const std::string &AReason) {
    std::unique_lock<std::mutex> l(Lock);
    Path = APath;
    Reason = AReason;
    Answer.reset();
    Pending = true;
    Answered.wait(l, [this] { return Answer || Abandoned; });
    Pending = false;
    return Answer ? *Answer : copier::TFailureAnswer::Cancel;
  }
  void Abandon() {
    std::lock_guard<std::mutex> l(Lock);
    Abandoned = true;
    Answered.notify_all();
  }
  // On the main thread: asks a pending question through the prompts.
  bool AnswerPending() {
    std::string path, reason;
    {
      std::lock_guard<std::mutex> l(Lock);
      if (!Pending || Answer) return false;
      path = Path;
      reason = Reason;
    }
    const int a = ShowMessageBox("Can not copy " + path + ":\n" + reason +
                                     ".\n\nSkip this file, skip every file that cannot be "
                                     "copied, or cancel the copy?",
                                 MB_SKIPSKIPALLCANCEL | MB_ICONWARNING);
    std::lock_guard<std::mutex> l(Lock);
    Answer = a == IDSKIP      ? copier::TFailureAnswer::Skip
             : a == IDSKIPALL ? copier::TFailureAnswer::SkipAll
                              : copier::TFailureAnswer::Cancel;
    Answered.notify_all();
    return true;
  }
};

} // namespace

TCopyOutcome CopyFiles(QWidget *Owner, std::shared_ptr<net::INetProvider> Provider,
                       const std::vector<std::string> &Sources, const std::string &Destination) {
  TCopyOutcome outcome;
  std::unique_ptr<copier::ICopySource> source = Factory() ? Factory()()
                                                : Provider
                                                    ? copier::MakeNetCopySource(std::move(Provider))
                                                    : nullptr;
  if (!source) {
    outcome.Error = "no network access";
    return outcome;
  }
  copier::TFileCopier copier(*source);
  TQuestion question;
  copier.MeasureFirst = true;
  copier.OnFailure = [&](const std::string &P, const std::string &R) { return question.Ask(P, R); };
  TCopyDialog dialog(Owner, copier);
  copier::TCopyThread worker(copier, Sources, Destination);
  worker.Resume();
  QEventLoop loop;
  QTimer tick;
  QElapsedTimer copying; // the bytes' time, without the questions
  qint64 paused = 0;
  bool asking = false;
  QObject::connect(&tick, &QTimer::timeout, &loop, [&] {
    if (asking) return; // the question's own event loop runs this too
    const copier::TCopyProgress p = copier.Progress();
    if (!copying.isValid() && !p.Measuring) copying.start();
    dialog.Show(p, copying.isValid() ? double(copying.elapsed() - paused) / 1000.0 : 0);
    asking = true;
    QElapsedTimer asked;
    asked.start();
    if (question.AnswerPending()) paused += asked.elapsed();
    asking = false;
    if (worker.Finished()) loop.quit();
  });
  tick.start(50);
  FitToScreen(&dialog);
  dialog.show();
  loop.exec();
  // The loop also ends when the application quits (the session ends): the copy must not hold
  // the process, nor leave a partial file.
  if (!worker.Finished()) copier.Cancel();
  question.Abandon();
  worker.WaitFor();
  dialog.hide();
  outcome.Result = worker.Result();
  outcome.Copied = int(copier.Copied.size());
  outcome.Skipped = copier.Skipped;
  if (outcome.Result == 1 && outcome.Skipped.empty()) outcome.Error = copier.Error;
  return outcome;
}

std::string CopyOutcomeMessage(const TCopyOutcome &O, size_t Count, bool &IsError) {
  IsError = false;
  const std::string copied = std::to_string(O.Copied) + " of " + std::to_string(Count);
  if (O.Result == 2) return "Copying cancelled: " + copied + " files copied.";
  if (O.Result == 0) return "";
  IsError = true;
  if (O.Skipped.empty()) return "Can not copy the files: " + O.Error + ".";
  std::string m = copied + " files copied. Not copied:";
  constexpr size_t shown = 10;
  for (size_t i = 0; i < O.Skipped.size() && i < shown; ++i)
    m += "\n" + O.Skipped[i].first + ": " + O.Skipped[i].second;
  if (O.Skipped.size() > shown)
    m += "\n... and " + std::to_string(O.Skipped.size() - shown) + " more.";
  return m;
}

TCopySourceFactory SetCopySourceFactory(TCopySourceFactory AFactory) {
  TCopySourceFactory previous = std::move(Factory());
  Factory() = std::move(AFactory);
  return previous;
}

} // namespace sonquarry
