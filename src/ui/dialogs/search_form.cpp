#include "ui/dialogs/search_form.h"

#include "paths/tree_search.h"
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
  chbTags = new QCheckBox("Tags", this);
  chbTags->setToolTip("Also find the word in the artist, title and album of the rows' tags");
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
  all->addWidget(chbTags);
  all->addWidget(chbCurrentPosition);
  all->addWidget(chbSelAll);
  all->addStretch(1);
  all->addLayout(buttons);
  all->setSizeConstraint(QLayout::SetFixedSize); // as large as its controls need at any scale
  setTabOrder(cmbWord, chbAllColumns);
  setTabOrder(chbAllColumns, chbFileName);
  setTabOrder(chbFileName, chbDomain);
  setTabOrder(chbDomain, chbDirectory);
  setTabOrder(chbDirectory, chbTags);
  setTabOrder(chbTags, chbCurrentPosition);
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
  for (QCheckBox *box : {chbAllColumns, chbFileName, chbDomain, chbDirectory, chbTags})
    box->setChecked(true);
}

uint32_t TSearchForm::Fields() const {
  uint32_t fields = 0;
  if (chbFileName->isChecked()) fields |= TTreeSearch::FieldName;
  if (chbDomain->isChecked()) fields |= TTreeSearch::FieldDomain;
  if (chbDirectory->isChecked()) fields |= TTreeSearch::FieldDirectory;
  if (chbTags->isChecked()) fields |= TTreeSearch::FieldTags;
  return fields;
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
  if (Fields() == 0) { // a find over no text would end "not found" whatever the word
    ShowInfoMessage("Tick at least one of File name, Domain, Directory and Tags.");
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
