#include "ui/dialogs/comp_search_form.h"

#include "engine/search_thread.h"

#include <QComboBox>
#include <QFrame>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>

namespace sonquarry {
namespace {

// Domain records that a released dialog's thread may still read: kept for the process's life
// (the few records of unanswered requests), since the thread is never waited for.
std::vector<std::shared_ptr<TNetRes>> &Parked() {
  static auto *P = new std::vector<std::shared_ptr<TNetRes>>;
  return *P;
}

QLabel *SearchingLabel(QWidget *Parent) {
  auto *L = new QLabel(QObject::tr("searching..."), Parent);
  L->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
  // Blinking must not move the other controls.
  QSizePolicy P = L->sizePolicy();
  P.setRetainSizeWhenHidden(true);
  L->setSizePolicy(P);
  L->hide();
  return L;
}

QPushButton *ArrowButton(const QString &Text, QWidget *Parent) {
  auto *B = new QPushButton(Text, Parent);
  B->setAutoDefault(false);
  const int Side = B->fontMetrics().height() * 2;
  B->setMinimumSize(Side, Side);
  B->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
  return B;
}

} // namespace

TCompSearchForm::TCompSearchForm(QWidget *Parent, int PauseMs,
                                 std::shared_ptr<net::INetProvider> Provider)
    : QDialog(Parent), Timer_(new QTimer(this)),
      Clock_([] { return std::chrono::steady_clock::now(); }) {
  setObjectName("CompSearchForm");
  setWindowTitle(tr("Select computers"));
  setWindowFlag(Qt::WindowContextHelpButtonHint, false);

  pnlMain = new QFrame(this);
  pnlMain->setFrameStyle(QFrame::Panel | QFrame::Raised);
  lblDomains = new QLabel(tr("&Domain:"), pnlMain);
  lblSearchDomains = SearchingLabel(pnlMain);
  cmbDomain = new QComboBox(pnlMain);
  cmbDomain->setEditable(false);
  lblComputers = new QLabel(tr("Co&mputers:"), pnlMain);
  lblSearchComputers = SearchingLabel(pnlMain);
  lbComputers = new QListWidget(pnlMain);
  lbComputers->setSelectionMode(QAbstractItemView::ExtendedSelection);
  btnRemove = ArrowButton("<", pnlMain);
  btnAdd = ArrowButton(">", pnlMain);
  btnRemoveAll = ArrowButton("<<", pnlMain);
  btnAddAll = ArrowButton(">>", pnlMain);
  // A screen reader says what the arrows do, not "less than".
  for (auto [B, Name] : {std::pair{btnRemove, tr("Remove from the selected computers")},
                         {btnAdd, tr("Add to the selected computers")},
                         {btnRemoveAll, tr("Remove every selected computer")},
                         {btnAddAll, tr("Add every computer of the domain")}}) {
    B->setAccessibleName(Name);
    B->setToolTip(Name);
  }
  lblSelComputers = new QLabel(tr("Selected &computers:"), pnlMain);
  lbSelComputers = new QListWidget(pnlMain);
  lbSelComputers->setSelectionMode(QAbstractItemView::ExtendedSelection);
  lblDomains->setBuddy(cmbDomain);
  lblComputers->setBuddy(lbComputers);
  lblSelComputers->setBuddy(lbSelComputers);
  const int ListWidth = fontMetrics().horizontalAdvance('M') * 16;
  for (QWidget *W : {static_cast<QWidget *>(cmbDomain), static_cast<QWidget *>(lbComputers),
                     static_cast<QWidget *>(lbSelComputers)})
    W->setMinimumWidth(ListWidth);
  lbSelComputers->setMinimumHeight(fontMetrics().height() * 16);

  auto *Left = new QGridLayout;
  Left->addWidget(lblDomains, 0, 0);
  Left->addWidget(lblSearchDomains, 0, 1);
  Left->addWidget(cmbDomain, 1, 0, 1, 2);
  Left->addWidget(lblComputers, 2, 0);
  Left->addWidget(lblSearchComputers, 2, 1);
  Left->addWidget(lbComputers, 3, 0, 1, 2);
  Left->setRowStretch(3, 1);
  auto *Arrows = new QVBoxLayout;
  Arrows->addStretch(1);
  for (QPushButton *B : {btnRemove, btnAdd, btnRemoveAll, btnAddAll}) Arrows->addWidget(B);
  Arrows->addStretch(3);
  auto *Right = new QVBoxLayout;
  Right->addWidget(lblSelComputers);
  Right->addWidget(lbSelComputers, 1);
  auto *Panel = new QHBoxLayout(pnlMain);
  Panel->addLayout(Left, 1);
  Panel->addLayout(Arrows);
  Panel->addLayout(Right, 1);

  btnOk = new QPushButton(tr("Ok"), this);
  btnCancel = new QPushButton(tr("Cancel"), this);
  btnOk->setDefault(true);
  btnCancel->setAutoDefault(false);
  auto *Buttons = new QHBoxLayout;
  Buttons->addStretch();
  Buttons->addWidget(btnOk);
  Buttons->addWidget(btnCancel);
  auto *Main = new QVBoxLayout(this);
  Main->addWidget(pnlMain, 1);
  Main->addLayout(Buttons);

  setTabOrder(cmbDomain, lbComputers);
  setTabOrder(lbComputers, btnRemove);
  setTabOrder(btnRemove, btnAdd);
  setTabOrder(btnAdd, btnRemoveAll);
  setTabOrder(btnRemoveAll, btnAddAll);
  setTabOrder(btnAddAll, lbSelComputers);
  setTabOrder(lbSelComputers, btnOk);
  setTabOrder(btnOk, btnCancel);

  Timer_->setInterval(BlinkMs);
  connect(Timer_, &QTimer::timeout, this, &TCompSearchForm::Blink);
  connect(cmbDomain, &QComboBox::currentIndexChanged, this, &TCompSearchForm::DomainChanged);
  connect(btnAdd, &QPushButton::clicked, this, &TCompSearchForm::AddClick);
  connect(btnAddAll, &QPushButton::clicked, this, &TCompSearchForm::AddAllClick);
  connect(btnRemove, &QPushButton::clicked, this, &TCompSearchForm::RemoveClick);
  connect(btnRemoveAll, &QPushButton::clicked, lbSelComputers, &QListWidget::clear);
  connect(btnOk, &QPushButton::clicked, this, &QDialog::accept);
  connect(btnCancel, &QPushButton::clicked, this, &QDialog::reject);

  Thread_ = TSearchThread::Create(PauseMs < 0 ? TSearchThread::DomainPauseMs : PauseMs,
                                  std::move(Provider));
  // The first wait is long: say what it is for.
  if (const int Seconds = Thread_->PauseMs() / 1000; Seconds > 0) {
    lblSearchDomains->setText(
        tr("waiting %1 s for the network's browse lists to settle...").arg(Seconds));
    lblSearchDomains->setToolTip(
        tr("Computers that have just started take a while to appear in the workgroups' browse "
           "lists, so the workgroups are asked for after %1 s.")
            .arg(Seconds));
  }
  Thread_->SetOnDomains([this](TSearchThread *, TNetResStrings &L) { DomainsArrived(L); });
  Thread_->SetOnComputers([this](TSearchThread *, TNetResStrings &L) { ComputersArrived(L); });
}

TCompSearchForm::~TCompSearchForm() {
  // Once the setters return, no handler runs; the thread ends on its own and is not waited for.
  Thread_->SetOnDomains(nullptr);
  Thread_->SetOnComputers(nullptr);
  Thread_->Terminate();
  Thread_.reset();
  Parked().insert(Parked().end(), Requested_.begin(), Requested_.end());
}

TCompSearchForm &TCompSearchForm::PlaceOver(const QWidget &Over) {
  // Before its first showing the dialog has no size of its own yet: its layout's.
  if (!testAttribute(Qt::WA_Resized)) adjustSize();
  const QSize Size = frameGeometry().size();
  move(Over.x() + (Over.frameGeometry().width() - Size.width()) / 2,
       Over.y() + (Over.frameGeometry().height() - Size.height()) / 2);
  return *this;
}

std::vector<std::string> TCompSearchForm::SelectedNames() const {
  std::vector<std::string> Names;
  for (int i = 0; i < lbSelComputers->count(); ++i)
    Names.push_back(lbSelComputers->item(i)->text().toStdString());
  return Names;
}

void TCompSearchForm::showEvent(QShowEvent *Event) {
  QDialog::showEvent(Event);
  const auto Now = Clock_();
  if (LastSearch_ && Now - *LastSearch_ <= ReuseTime) return;
  LastSearch_ = Now;
  {
    const QSignalBlocker B(cmbDomain);
    cmbDomain->clear();
  }
  Domains_.clear();
  lbComputers->clear();
  Computers_.clear();
  lbSelComputers->clear();
  Thread_->SearchDomains();
  EnterBusy(lblSearchDomains);
}

void TCompSearchForm::DomainsArrived(TNetResStrings &List) {
  {
    const QSignalBlocker B(cmbDomain);
    cmbDomain->clear();
    Domains_.clear();
    for (auto &Item : List) {
      cmbDomain->addItem(QString::fromStdString(Item.Name));
      Domains_.push_back(std::shared_ptr<TNetRes>(std::move(Item.Res)));
    }
    cmbDomain->setCurrentIndex(-1);
  }
  EndBusy();
  if (List.empty()) { // an empty box alone says nothing
    lblSearchDomains->setText(tr("no domain found: computers may still be starting (Cancel and "
                                 "try again), or search by IP address (Options)"));
    lblSearchDomains->setToolTip(lblSearchDomains->text());
    lblSearchDomains->show();
  }
}

void TCompSearchForm::DomainChanged(int Index) {
  if (Index < 0 || static_cast<size_t>(Index) >= Domains_.size()) return;
  lbComputers->clear();
  Computers_.clear();
  const auto &Domain = Domains_[static_cast<size_t>(Index)];
  if (!Domain) return; // a record the thread did not give; nothing to ask for
  Requested_.push_back(Domain);
  Thread_->SearchComputers(Domain.get());
  EnterBusy(lblSearchComputers);
}

void TCompSearchForm::ComputersArrived(TNetResStrings &List) {
  // The thread has read every requested domain: a new request needs an enabled panel.
  Requested_.clear();
  lbComputers->clear();
  Computers_.clear();
  for (auto &Item : List) {
    lbComputers->addItem(QString::fromStdString(Item.Name));
    Computers_.push_back(std::move(Item.Res));
  }
  EndBusy();
}

void TCompSearchForm::EnterBusy(QLabel *Label) {
  setCursor(Qt::WaitCursor);
  pnlMain->setEnabled(false);
  if (Blinking_ && Blinking_ != Label) Blinking_->hide();
  Blinking_ = Label;
  Timer_->start();
}

void TCompSearchForm::EndBusy() {
  unsetCursor();
  pnlMain->setEnabled(true);
  Timer_->stop();
  if (Blinking_) Blinking_->hide();
  Blinking_ = nullptr;
}

void TCompSearchForm::Blink() {
  if (Blinking_) Blinking_->setVisible(!Blinking_->isVisible());
}

void TCompSearchForm::AddToSelection(const QString &Name) {
  for (int i = 0; i < lbSelComputers->count(); ++i)
    if (lbSelComputers->item(i)->text() == Name) return;
  lbSelComputers->addItem(Name);
}

void TCompSearchForm::AddClick() {
  for (int i = 0; i < lbComputers->count(); ++i)
    if (lbComputers->item(i)->isSelected()) AddToSelection(lbComputers->item(i)->text());
}

void TCompSearchForm::AddAllClick() {
  for (int i = 0; i < lbComputers->count(); ++i) AddToSelection(lbComputers->item(i)->text());
}

void TCompSearchForm::RemoveClick() {
  for (int i = lbSelComputers->count() - 1; i >= 0; --i)
    if (lbSelComputers->item(i)->isSelected()) delete lbSelComputers->takeItem(i);
}

} // namespace sonquarry
