#include "ui/dialogs/search_form.h"

#include "ui/services/message_box.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

namespace sonquarry {

TSearchForm::TSearchForm(QWidget *Owner) : QDialog(Owner) {
  setObjectName("SearchForm");
  setWindowTitle("Find Item");
  setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowCloseButtonHint);

  cmbWord = new QComboBox(this);
  cmbWord->setEditable(true);
  cmbWord->setInsertPolicy(QComboBox::NoInsert); // the history is kept by hand below
  chbAllColumns = new QCheckBox("All items", this);
  auto *frame = new QGroupBox(this);
  chbFileName = new QCheckBox("File name", frame);
  chbDomain = new QCheckBox("Domain", frame);
  chbDirectory = new QCheckBox("Directory", frame);
  chbCurrentPosition = new QCheckBox("Start with current position", this);
  chbSelAll = new QCheckBox("Select all found files", this);
  btnOK = new QPushButton("OK", this);
  btnCancel = new QPushButton("Cancel", this);
  btnOK->setDefault(true);
  chbSelAll->setChecked(true);
  CheckAllColumns();

  auto *wordRow = new QHBoxLayout;
  wordRow->addWidget(new QLabel("Word to find: ", this));
  wordRow->addWidget(cmbWord, 1);
  auto *columns = new QHBoxLayout(frame);
  columns->addWidget(chbFileName);
  columns->addWidget(chbDomain);
  columns->addWidget(chbDirectory);
  auto *buttons = new QHBoxLayout;
  buttons->addStretch(1);
  buttons->addWidget(btnOK);
  buttons->addWidget(btnCancel);
  auto *all = new QVBoxLayout(this);
  all->addLayout(wordRow);
  all->addWidget(chbAllColumns);
  all->addWidget(frame);
  all->addWidget(chbCurrentPosition);
  all->addWidget(chbSelAll);
  all->addStretch(1);
  all->addLayout(buttons);
  all->setSizeConstraint(QLayout::SetFixedSize); // as large as its controls need at any scale
  setTabOrder(cmbWord, chbAllColumns);
  setTabOrder(chbAllColumns, chbFileName);
  setTabOrder(chbFileName, chbDomain);
  setTabOrder(chbDomain, chbDirectory);
  setTabOrder(chbDirectory, chbCurrentPosition);
  setTabOrder(chbCurrentPosition, chbSelAll);
  setTabOrder(chbSelAll, btnOK);
  setTabOrder(btnOK, btnCancel);

  connect(btnOK, &QPushButton::clicked, this, &QDialog::accept);
  connect(btnCancel, &QPushButton::clicked, this, &QDialog::reject);
  connect(chbAllColumns, &QCheckBox::clicked, this, [this](bool On) {
    chbFileName->setChecked(On);
    chbDomain->setChecked(On);
    chbDirectory->setChecked(On);
  });
  for (QCheckBox *box : {chbFileName, chbDomain, chbDirectory})
    connect(box, &QCheckBox::clicked, this, [this] {
      // setChecked does not emit clicked: the handler of "All items" does not run.
      chbAllColumns->setChecked(chbFileName->isChecked() && chbDomain->isChecked() &&
                                chbDirectory->isChecked());
    });
}

std::string TSearchForm::Word() const { return cmbWord->currentText().toStdString(); }

void TSearchForm::CheckAllColumns() {
  for (QCheckBox *box : {chbAllColumns, chbFileName, chbDomain, chbDirectory})
    box->setChecked(true);
}

void TSearchForm::AddToHistory() {
  const QString word = cmbWord->currentText();
  if (cmbWord->findText(word, Qt::MatchFixedString) >= 0) return; // case-insensitive
  cmbWord->insertItem(0, word);
  cmbWord->setCurrentIndex(0);
}

void TSearchForm::accept() {
  if (cmbWord->currentText().isEmpty()) {
    ShowInfoMessage("Search string cannot be blank.");
    return;
  }
  AddToHistory();
  QDialog::accept();
}

void TSearchForm::done(int Result) {
  if (!cmbWord->currentText().isEmpty()) AddToHistory();
  QDialog::done(Result);
}

void TSearchForm::showEvent(QShowEvent *Event) {
  QDialog::showEvent(Event);
  cmbWord->setFocus();
}

} // namespace sonquarry
