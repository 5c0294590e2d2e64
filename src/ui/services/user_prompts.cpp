#include "ui/services/user_prompts.h"
#include "ui/services/window_services.h"

#include <QDialog>
#include <QFileDialog>
#include <QFontMetrics>
#include <QGridLayout>
#include <QInputDialog>
#include <QMessageBox>
#include <QPushButton>
#include <QStringList>

namespace sonquarry {
namespace {

QString Q(const std::string &S) { return QString::fromStdString(S); }

QMessageBox::StandardButtons ButtonsOf(unsigned Style) {
  switch (Style & 0xF) {
  case MB_OKCANCEL:
    return QMessageBox::Ok | QMessageBox::Cancel;
  case MB_YESNOCANCEL:
    return QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel;
  case MB_YESNO:
    return QMessageBox::Yes | QMessageBox::No;
  case MB_SKIPSKIPALLCANCEL:
    return QMessageBox::Cancel; // and the two of AddOwnButtons
  default:
    return QMessageBox::Ok;
  }
}

// The answer of a box closed without a button: what Esc would have chosen.
int Unanswered(unsigned Style) {
  switch (Style & 0xF) {
  case MB_OKCANCEL:
  case MB_YESNOCANCEL:
  case MB_SKIPSKIPALLCANCEL:
    return IDCANCEL;
  case MB_YESNO:
    return IDNO;
  default:
    return IDOK;
  }
}

QMessageBox::Icon IconOf(unsigned Style) {
  switch (Style & 0xF0) {
  case MB_ICONERROR:
    return QMessageBox::Critical;
  case MB_ICONQUESTION:
    return QMessageBox::Question;
  case MB_ICONWARNING:
    return QMessageBox::Warning;
  case MB_ICONINFORMATION:
    return QMessageBox::Information;
  default:
    return QMessageBox::NoIcon;
  }
}

// "Name (pattern)" entries; the description is dropped when it only repeats the pattern.
QStringList FiltersOf(const TFileDialogRequest &R) {
  QStringList out;
  for (const auto &[text, pattern] : R.Filters) {
    out << (text == pattern ? Q(pattern) : Q(text) + " (" + Q(pattern) + ")");
  }
  return out;
}

std::optional<std::string> RunFileDialog(TFileDialogRequest &R, QFileDialog::AcceptMode Mode) {
  QFileDialog dialog(nullptr, Q(R.Title), Q(R.InitialDir));
  dialog.setAcceptMode(Mode);
  dialog.setFileMode(Mode == QFileDialog::AcceptSave ? QFileDialog::AnyFile
                                                     : QFileDialog::ExistingFile);
  const QStringList filters = FiltersOf(R);
  if (!filters.isEmpty()) {
    dialog.setNameFilters(filters);
    if (R.FilterIndex >= 0 && R.FilterIndex < filters.size()) {
      dialog.selectNameFilter(filters[R.FilterIndex]);
    }
  }
  if (!R.DefaultExt.empty()) dialog.setDefaultSuffix(Q(R.DefaultExt));
  if (!R.FileName.empty()) dialog.selectFile(Q(R.FileName));
  dialog.setOption(QFileDialog::DontConfirmOverwrite, !R.OverwritePrompt);
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return std::nullopt;
  R.FilterIndex = static_cast<int>(filters.indexOf(dialog.selectedNameFilter()));
  return dialog.selectedFiles().front().toStdString();
}

class TQtPrompts final : public TUserPrompts {
public:
  int MessageBox(const std::string &Caption, const std::string &Text, unsigned Style) override {
    QMessageBox box(IconOf(Style), Q(Caption), Q(Text), ButtonsOf(Style));
    // Names, tags and server messages come from other machines: never rich text (an <img> would
    // load a local file, an <a> put a link into the box).
    box.setTextFormat(Qt::PlainText);
    if (Style & MB_TOPMOST) box.setWindowFlag(Qt::WindowStaysOnTopHint);
    QAbstractButton *skip = nullptr, *skipAll = nullptr;
    if ((Style & 0xF) == MB_SKIPSKIPALLCANCEL) {
      skip = box.addButton("&Skip", QMessageBox::AcceptRole);
      skipAll = box.addButton("Skip &all", QMessageBox::AcceptRole);
      box.setDefaultButton(static_cast<QPushButton *>(skip));
    }
    // Window managers cut a caption wider than the box: room for it and the title bar's buttons.
    if (auto *grid = qobject_cast<QGridLayout *>(box.layout())) {
      QFont bold = box.font();
      bold.setBold(true);
      const int need =
          QFontMetrics(bold).horizontalAdvance(Q(Caption)) + 8 * box.fontMetrics().height();
      grid->addItem(new QSpacerItem(need, 0, QSizePolicy::Minimum, QSizePolicy::Fixed),
                    grid->rowCount(), 0, 1, grid->columnCount());
    }
    const int answer = box.exec();
    // A box that nobody answered (the session ended) must not read as consent.
    if (!box.clickedButton()) return Unanswered(Style);
    if (box.clickedButton() == skip) return IDSKIP;
    if (box.clickedButton() == skipAll) return IDSKIPALL;
    switch (answer) {
    case QMessageBox::Yes:
      return IDYES;
    case QMessageBox::No:
      return IDNO;
    case QMessageBox::Cancel:
      return IDCANCEL;
    default:
      return IDOK;
    }
  }
  bool InputQuery(const std::string &Caption, const std::string &Prompt,
                  std::string &Value) override {
    bool ok = false;
    const QString text =
        QInputDialog::getText(nullptr, Q(Caption), Q(Prompt), QLineEdit::Normal, Q(Value), &ok);
    if (ok) Value = text.toStdString();
    return ok;
  }
  std::optional<std::string> SaveFileName(TFileDialogRequest &R) override {
    return RunFileDialog(R, QFileDialog::AcceptSave);
  }
  std::optional<std::string> OpenFileName(TFileDialogRequest &R) override {
    return RunFileDialog(R, QFileDialog::AcceptOpen);
  }
  std::string ExistingDirectory(QWidget *Owner, const std::string &Title,
                                const std::string &Initial) override {
    return QFileDialog::getExistingDirectory(Owner, Q(Title), Q(Initial)).toStdString();
  }
  int ExecDialog(QDialog &Dialog) override {
    FitToScreen(&Dialog); // never larger than the screen
    return Dialog.exec();
  }
};

std::unique_ptr<TUserPrompts> &Current() {
  static std::unique_ptr<TUserPrompts> current = std::make_unique<TQtPrompts>();
  return current;
}

} // namespace

TUserPrompts &UserPrompts() { return *Current(); }

std::unique_ptr<TUserPrompts> SetUserPrompts(std::unique_ptr<TUserPrompts> Prompts) {
  if (!Prompts) Prompts = std::make_unique<TQtPrompts>();
  Current().swap(Prompts);
  return Prompts;
}

} // namespace sonquarry
