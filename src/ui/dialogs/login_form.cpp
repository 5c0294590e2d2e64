#include "ui/dialogs/login_form.h"

#include "ui/services/user_prompts.h"

#include <QCheckBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace sonquarry {

namespace {
QString Q(const std::string &S) { return QString::fromStdString(S); }
} // namespace

TfmLogin::TfmLogin(const TLoginRequest &Request, QWidget *Owner) : QDialog(Owner) {
  setObjectName("fmLogin");
  setWindowTitle(tr("Password for %1").arg(Q("\\\\" + Request.Computer)));
  // The computer's name comes from the network: plain text only.
  lblText = new QLabel(this);
  lblText->setTextFormat(Qt::PlainText);
  lblText->setWordWrap(true);
  lblText->setText((Request.Again
                        ? tr("The user name or password was refused by %1. Try again:")
                        : tr("%1 refused anonymous and guest access. Log on to search its shares:"))
                       .arg(Q("\\\\" + Request.Computer)));
  edtUser = new QLineEdit(Q(Request.User), this);
  edtDomain = new QLineEdit(Q(Request.Domain), this);
  edtPassword = new QLineEdit(this);
  edtPassword->setEchoMode(QLineEdit::Password);
  for (QLineEdit *E : {edtUser, edtDomain, edtPassword}) {
    E->setMaxLength(256);
    E->setMinimumWidth(E->fontMetrics().horizontalAdvance('x') * 32);
  }
  edtDomain->setPlaceholderText(tr("(the usual workgroup)"));
  chkRemember = new QCheckBox(tr("&Remember this password"), this);
  chkRemember->setToolTip(tr("Keeps it in the desktop's keyring, where file managers see it too"));
  lblNoKeyring = new QLabel(tr("No desktop keyring is running: the password cannot be "
                               "remembered."),
                            this);
  lblNoKeyring->setWordWrap(true);
  chkRemember->setEnabled(Request.CanRemember);
  lblNoKeyring->setVisible(!Request.CanRemember);
  btnOK = new QPushButton(tr("Ok"), this);
  btnCancel = new QPushButton(tr("Cancel"), this);
  btnOK->setDefault(true);
  btnCancel->setAutoDefault(false);
  connect(btnOK, &QPushButton::clicked, this, &QDialog::accept);
  connect(btnCancel, &QPushButton::clicked, this, &QDialog::reject);

  auto *Form = new QFormLayout;
  Form->addRow(tr("&User name:"), edtUser);
  Form->addRow(tr("&Domain:"), edtDomain);
  Form->addRow(tr("&Password:"), edtPassword);
  auto *Buttons = new QHBoxLayout;
  Buttons->addStretch();
  Buttons->addWidget(btnOK);
  Buttons->addWidget(btnCancel);
  auto *Main = new QVBoxLayout(this);
  Main->addWidget(lblText);
  Main->addLayout(Form);
  Main->addWidget(chkRemember);
  Main->addWidget(lblNoKeyring);
  Main->addSpacing(8);
  Main->addLayout(Buttons);
  Main->setSizeConstraint(QLayout::SetFixedSize);
  (Request.User.empty() ? edtUser : edtPassword)->setFocus();
}

TLoginReply TfmLogin::Reply() const {
  return {edtUser->text().trimmed().toStdString(), edtDomain->text().trimmed().toStdString(),
          edtPassword->text().toStdString(), chkRemember->isEnabled() && chkRemember->isChecked()};
}

std::optional<TLoginReply> AskLogin(const TLoginRequest &Request) {
  TfmLogin Form(Request);
  Form.setWindowFlag(Qt::WindowStaysOnTopHint);
  if (UserPrompts().ExecDialog(Form) != QDialog::Accepted) return std::nullopt;
  return Form.Reply();
}

} // namespace sonquarry
