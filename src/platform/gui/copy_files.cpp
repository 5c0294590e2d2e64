#include "platform/gui/copy_files.h"
#include "engine/network.h"

#include "platform/copier/file_copier.h"
#include "platform/copier/net_copy_source.h"

#include <QDialog>
#include <QEventLoop>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>

namespace sonquarry {
namespace {

std::unique_ptr<copier::ICopySource> SmbSource() {
  return copier::MakeNetCopySource(NetProvider());
}

TCopySourceFactory &Factory() {
  static TCopySourceFactory factory = SmbSource;
  return factory;
}

QString Bytes(int64_t N) {
  if (N < 0) return "?";
  if (N < 1024 * 1024) return QString::number((N + 1023) / 1024) + " KB";
  return QString::number(double(N) / (1024.0 * 1024.0), 'f', 1) + " MB";
}

// The progress window: the file being copied, its bytes, and Cancel. Closing it cancels too.
class TCopyDialog final : public QDialog {
public:
  TCopyDialog(QWidget *Owner, copier::TFileCopier &ACopier) : QDialog(Owner), Copier(ACopier) {
    setObjectName("CopyProgress");
    setWindowTitle("Copying files");
    setWindowModality(Qt::WindowModal);
    File = new QLabel(this);
    File->setTextFormat(Qt::PlainText);
    File->setMinimumWidth(360);
    Amount = new QLabel(this);
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
  void Show(const copier::TCopyProgress &P) {
    if (P.FileCount == 0) return;
    File->setText(QString("Copying %1 (%2 of %3)")
                      .arg(QString::fromStdString(P.FileName))
                      .arg(P.FileIndex + 1)
                      .arg(P.FileCount));
    if (!Cancelling)
      Amount->setText(Bytes(P.FileDone) + " of " + Bytes(P.FileSize) + ", " + Bytes(P.TotalDone) +
                      " in all");
    Bar->setValue(P.FileSize > 0 ? int(P.FileDone * 1000 / P.FileSize) : 0);
  }
  QPushButton *Cancel;

private:
  copier::TFileCopier &Copier;
  QLabel *File;
  QLabel *Amount;
  QProgressBar *Bar;
  bool Cancelling = false;
};

} // namespace

int CopyFiles(QWidget *Owner, const std::vector<std::string> &Sources,
              const std::string &Destination) {
  std::unique_ptr<copier::ICopySource> source = Factory()();
  if (!source) return 1;
  copier::TFileCopier copier(*source);
  TCopyDialog dialog(Owner, copier);
  copier::TCopyThread worker(copier, Sources, Destination);
  worker.Resume();
  QEventLoop loop;
  QTimer tick;
  QObject::connect(&tick, &QTimer::timeout, &loop, [&] {
    dialog.Show(copier.Progress());
    if (worker.Finished()) loop.quit();
  });
  tick.start(50);
  dialog.show();
  loop.exec();
  // The loop also ends when the application quits (the session ends): the copy must not hold
  // the process, nor leave a partial file.
  if (!worker.Finished()) copier.Cancel();
  worker.WaitFor();
  dialog.hide();
  return worker.Result();
}

TCopySourceFactory SetCopySourceFactory(TCopySourceFactory AFactory) {
  TCopySourceFactory previous = std::move(Factory());
  Factory() = AFactory ? std::move(AFactory) : TCopySourceFactory(SmbSource);
  return previous;
}

} // namespace sonquarry
