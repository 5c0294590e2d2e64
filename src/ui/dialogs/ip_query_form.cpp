#include "ui/dialogs/ip_query_form.h"

#include "discovery/ip_range.h"
#include "platform/os/exception.h"
#include "ui/services/message_box.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>

namespace sonquarry {

namespace {

// An address, or a network "a.b.c.d/nn" as its first to its last address; throws Exception.
TIPRange FieldRange(const QLineEdit *Field) {
  const std::string Text = Field->text().trimmed().toStdString();
  const auto Slash = Text.find('/');
  if (Slash == std::string::npos) {
    const uint32_t Address = StrIP(Text);
    return TIPRange(Address, Address);
  }
  const int Bits = IPPrefixLength(Text.substr(Slash + 1));
  if (Bits < 0) throw Exception("Wrong prefix length '" + Text + "'.");
  return IPBlock(StrIP(Text.substr(0, Slash)), Bits);
}

} // namespace

TIPQueryForm::TIPQueryForm(QWidget *Owner) : QDialog(Owner) {
  setObjectName("IPQueryForm");
  rbAddress = new QRadioButton(tr("&Single IP address"), this);
  rbRange = new QRadioButton(tr(" IP address &range"), this);
  edtIP1 = new QLineEdit(this);
  lblTire = new QLabel("_", this);
  edtIP2 = new QLineEdit(this);
  btnOK = new QPushButton(tr("Ok"), this);
  btnCancel = new QPushButton(tr("Cancel"), this);
  for (QLineEdit *E : {edtIP1, edtIP2}) {
    E->setMinimumWidth(E->fontMetrics().horizontalAdvance("255.255.255.255") * 3 / 2);
    E->setMaxLength(64);
  }
  // The second field keeps its place while hidden, so the dialog does not jump between modes.
  for (QWidget *W : {static_cast<QWidget *>(lblTire), static_cast<QWidget *>(edtIP2)}) {
    QSizePolicy P = W->sizePolicy();
    P.setRetainSizeWhenHidden(true);
    W->setSizePolicy(P);
  }

  auto *Modes = new QHBoxLayout;
  Modes->addWidget(rbAddress);
  Modes->addWidget(rbRange);
  Modes->addStretch();
  auto *Fields = new QHBoxLayout;
  Fields->addWidget(edtIP1);
  Fields->addWidget(lblTire);
  Fields->addWidget(edtIP2);
  auto *Buttons = new QHBoxLayout;
  Buttons->addStretch();
  Buttons->addWidget(btnOK);
  Buttons->addWidget(btnCancel);
  auto *Main = new QVBoxLayout(this);
  Main->addLayout(Modes);
  Main->addLayout(Fields);
  Main->addSpacing(8);
  Main->addLayout(Buttons);
  Main->setSizeConstraint(QLayout::SetFixedSize);

  btnOK->setDefault(true);
  btnOK->setAutoDefault(true);
  btnCancel->setAutoDefault(false);
  setTabOrder(rbAddress, rbRange);
  setTabOrder(rbRange, edtIP1);
  setTabOrder(edtIP1, edtIP2);
  setTabOrder(edtIP2, btnOK);
  setTabOrder(btnOK, btnCancel);

  connect(rbAddress, &QRadioButton::clicked, this, [this] { SetRangeMode(false); });
  connect(rbRange, &QRadioButton::clicked, this, [this] { SetRangeMode(true); });
  connect(btnOK, &QPushButton::clicked, this, &TIPQueryForm::OkClick);
  connect(btnCancel, &QPushButton::clicked, this, &QDialog::reject);

  SetRangeMode(false);
  const QString Subnet = QString::fromStdString(GetLocalSubnet());
  edtIP1->setText(Subnet);
  edtIP2->setText(Subnet);
  SetAddCaption();
}

bool TIPQueryForm::IsRange() const { return !rbAddress->isChecked(); }

void TIPQueryForm::SetRangeMode(bool Range) {
  rbAddress->setChecked(!Range);
  rbRange->setChecked(Range);
  edtIP2->setVisible(Range);
  lblTire->setVisible(Range);
}

uint32_t TIPQueryForm::FirstAddress() const { return FieldRange(edtIP1).From(); }

uint32_t TIPQueryForm::LastAddress() const { return FieldRange(IsRange() ? edtIP2 : edtIP1).To(); }

void TIPQueryForm::SetFirstAddress(uint32_t Address) {
  edtIP1->setText(QString::fromStdString(IPToStr(Address)));
}

void TIPQueryForm::SetLastAddress(uint32_t Address) {
  edtIP2->setText(QString::fromStdString(IPToStr(Address)));
}

void TIPQueryForm::SetAddCaption() { setWindowTitle(tr("Add IP")); }
void TIPQueryForm::SetEditCaption() { setWindowTitle(tr("Edit IP")); }

void TIPQueryForm::showEvent(QShowEvent *Event) {
  QDialog::showEvent(Event);
  edtIP1->setFocus();
}

void TIPQueryForm::setVisible(bool Visible) {
  QDialog::setVisible(Visible);
  // Showing a dialog gives its focus field a focus as by Tab, which selects the whole text; the
  // user types only the last group after the offered subnet, so nothing is selected to replace.
  if (Visible) {
    edtIP1->deselect();
    edtIP1->end(false);
  }
}

void TIPQueryForm::OkClick() {
  uint32_t First = 0;
  try {
    First = FirstAddress();
  } catch (const Exception &) {
    ShowErrorMessage("Invalid IP address.");
    edtIP1->setFocus();
    return;
  }
  if (IsRange()) {
    uint32_t Last = 0;
    try {
      Last = LastAddress();
    } catch (const Exception &) {
      ShowErrorMessage("Invalid IP address.");
      edtIP2->setFocus();
      return;
    }
    if (Last < First) {
      SetFirstAddress(Last);
      SetLastAddress(First);
    }
  }
  accept();
}

} // namespace sonquarry
