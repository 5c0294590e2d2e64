// The options' lists: the four mask lists (add, edit, delete, clear, "Select computers", the
// Insert and Delete keys) and the range list of IP scanning.

#include "ui/dialogs/options_form.h"

#include "discovery/ip_range.h"
#include "engine/network.h"
#include "ui/dialogs/comp_search_form.h"
#include "ui/dialogs/ip_query_form.h"
#include "ui/services/message_box.h"
#include "ui/services/user_prompts.h"

#include <QCheckBox>
#include <QEvent>
#include <QKeyEvent>
#include <QListWidget>
#include <QPushButton>
#include <algorithm>

namespace sonquarry {
namespace {

constexpr int FromRole = Qt::UserRole;
constexpr int ToRole = Qt::UserRole + 1;

const char *const ComputerLabel = "Computer name (e.g. \\\\Computer, \\\\Comp*, Comp):";
const char *const ResourceLabel = "Resource name (f.e. Resource1, Res*):";

QString Q(const std::string &S) { return QString::fromStdString(S); }

} // namespace

void TfmOptions::WireMaskList(QListWidget *List, TMaskAction Add, TMaskAction Edit,
                              const TMaskButtons &Buttons) {
  const auto On = [this, List](QPushButton *Button, TMaskAction Action) {
    if (Button)
      connect(Button, &QPushButton::clicked, this, [this, List, Action] { (this->*Action)(List); });
  };
  On(Buttons.Find, &TfmOptions::FindComputers);
  On(Buttons.Add, Add);
  On(Buttons.Edit, Edit);
  On(Buttons.Delete, &TfmOptions::DeleteSelectedMasks);
  On(Buttons.Clear, &TfmOptions::ClearMasks);
  connect(List, &QListWidget::itemDoubleClicked, this, [this, List, Edit] { (this->*Edit)(List); });
  List->installEventFilter(this);
}

bool TfmOptions::IsComputerList(const QObject *List) const {
  return List == lbAllowedComp || List == lbDeniedComp;
}

bool TfmOptions::eventFilter(QObject *Watched, QEvent *Event) {
  // The mask lists act on releasing Insert (add) and Delete (delete the selected masks).
  if (Event->type() == QEvent::KeyRelease) {
    auto *List = qobject_cast<QListWidget *>(Watched);
    const int Key = static_cast<QKeyEvent *>(Event)->key();
    if (List && !static_cast<QKeyEvent *>(Event)->isAutoRepeat()) {
      if (Key == Qt::Key_Insert) {
        IsComputerList(List) ? AddComputerMask(List) : AddResourceMask(List);
        return true;
      }
      if (Key == Qt::Key_Delete) {
        DeleteSelectedMasks(List);
        return true;
      }
    }
  }
  return QDialog::eventFilter(Watched, Event);
}

TNameList TfmOptions::Entries(const QListWidget *List) {
  TNameList Out;
  for (int i = 0; i < List->count(); ++i) Out.push_back(List->item(i)->text().toStdString());
  return Out;
}

int TfmOptions::InsertSorted(QListWidget *List, const QString &Text) {
  int Row = 0;
  while (Row < List->count() &&
         QString::compare(List->item(Row)->text(), Text, Qt::CaseInsensitive) <= 0)
    ++Row;
  List->insertItem(Row, Text);
  return Row;
}

void TfmOptions::FillMasks(QListWidget *List, const TNameList &Masks) {
  List->clear();
  for (const auto &M : Masks) InsertSorted(List, Q(M));
}

void TfmOptions::AddRangeItem(uint32_t From, uint32_t To, bool Checked) {
  const QString Text = From == To ? Q(IPToStr(From)) : Q(IPToStr(From) + " - " + IPToStr(To));
  int Row = 0;
  for (; Row < lbIP->count(); ++Row) {
    const TRangeItem R = RangeItemAt(Row);
    if (R.From >= From && R.To >= To) break;
  }
  auto *Item = new QListWidgetItem(Text);
  Item->setFlags(Item->flags() | Qt::ItemIsUserCheckable);
  Item->setData(FromRole, From);
  Item->setData(ToRole, To);
  Item->setCheckState(Checked ? Qt::Checked : Qt::Unchecked);
  lbIP->insertItem(Row, Item);
  lbIP->setCurrentRow(Row);
}

TRangeItem TfmOptions::RangeItemAt(int Index) const {
  const QListWidgetItem *Item = lbIP->item(Index);
  if (!Item) return {};
  return {Item->data(FromRole).toUInt(), Item->data(ToRole).toUInt()};
}

void TfmOptions::NewIP() {
  TIPQueryForm Query(this);
  if (UserPrompts().ExecDialog(Query) != QDialog::Accepted) return;
  AddRangeItem(Query.FirstAddress(), Query.LastAddress(), true);
}

void TfmOptions::EditIP() {
  const int Row = lbIP->currentRow();
  if (Row < 0 || !lbIP->item(Row)->isSelected()) return;
  const TRangeItem R = RangeItemAt(Row);
  const bool Checked = lbIP->item(Row)->checkState() == Qt::Checked;
  TIPQueryForm Query(this);
  Query.SetEditCaption();
  Query.SetRangeMode(R.From != R.To);
  Query.SetFirstAddress(R.From);
  Query.SetLastAddress(R.To);
  if (UserPrompts().ExecDialog(Query) != QDialog::Accepted) return;
  const uint32_t Last = Query.LastAddress(), First = Query.FirstAddress();
  DeleteIP();
  AddRangeItem(First, Last, Checked);
}

void TfmOptions::DeleteIP() {
  const int Row = lbIP->currentRow();
  if (Row < 0 || !lbIP->item(Row)->isSelected()) return;
  delete lbIP->takeItem(Row);
  if (lbIP->count() > 0) lbIP->setCurrentRow(std::min(Row, lbIP->count() - 1));
}

void TfmOptions::ClearIP() { lbIP->clear(); }

void TfmOptions::AddComputerMask(QListWidget *List) {
  std::string Text;
  if (!UserPrompts().InputQuery("Add computer", ComputerLabel, Text)) return;
  AddNewMask(List, AddNetPrefix(Text));
}

void TfmOptions::AddResourceMask(QListWidget *List) {
  std::string Text;
  if (!UserPrompts().InputQuery("Add resource", ResourceLabel, Text)) return;
  AddNewMask(List, Text);
}

void TfmOptions::AddNewMask(QListWidget *List, const std::string &Text) {
  if (IndexOfText(Entries(List), Text) >= 0) {
    ShowInfoMessage("Item already exists in list.");
    return;
  }
  List->clearSelection();
  const int Row = InsertSorted(List, Q(Text));
  List->setCurrentRow(Row, QItemSelectionModel::ClearAndSelect);
}

bool TfmOptions::SingleSelection(QListWidget *List) {
  const auto Count = List->selectedItems().size();
  if (Count == 0) return false;
  if (Count > 1) {
    UserPrompts().MessageBox("Error", "You can select only one item for editing", MB_OK);
    return false;
  }
  return true;
}

void TfmOptions::EditComputerMask(QListWidget *List) {
  if (!SingleSelection(List)) return;
  QListWidgetItem *Item = List->selectedItems().front();
  std::string Text = RemoveNetPrefix(Item->text().toStdString());
  if (!UserPrompts().InputQuery("Edit computer", ComputerLabel, Text)) return;
  Item->setText(Q(AddNetPrefix(Text)));
  List->setCurrentItem(Item, QItemSelectionModel::ClearAndSelect);
}

void TfmOptions::EditResourceMask(QListWidget *List) {
  if (!SingleSelection(List)) return;
  QListWidgetItem *Item = List->selectedItems().front();
  std::string Text = Item->text().toStdString();
  if (!UserPrompts().InputQuery("Edit resource", ResourceLabel, Text) || Text.empty()) return;
  Item->setText(Q(Text));
  List->setCurrentItem(Item, QItemSelectionModel::ClearAndSelect);
}

void TfmOptions::DeleteSelectedMasks(QListWidget *List) {
  for (int i = List->count() - 1; i >= 0; --i)
    if (List->item(i)->isSelected()) delete List->takeItem(i);
}

void TfmOptions::ClearMasks(QListWidget *List) { List->clear(); }

TCompSearchForm &TfmOptions::CompSearchForm() {
  // Its workgroups are those a search would find: WS-Discovery's and mDNS's too when the search
  // uses them.
  if (!CompSearch_)
    CompSearch_ = std::make_unique<TCompSearchForm>(
        this, CompSearchPauseMs,
        CompSearchProvider
            ? CompSearchProvider
            : Network->Neighbourhood({chkWsDiscovery->isChecked(), chkMdns->isChecked()}));
  return CompSearch_->PlaceOver(*this);
}

void TfmOptions::FindComputers(QListWidget *List) {
  TCompSearchForm &Form = CompSearchForm();
  if (UserPrompts().ExecDialog(Form) != QDialog::Accepted) return;
  for (const auto &Name : Form.SelectedNames()) AddFoundComputer(List, Name);
}

void TfmOptions::AddFoundComputer(QListWidget *List, const std::string &Name) {
  const QString Text = Q(Name);
  for (int i = 0; i < List->count(); ++i)
    if (List->item(i)->text() == Text) return;
  InsertSorted(List, Text);
  // The focus goes to the last entry, which is selected; earlier selections stay.
  const int Last = List->count() - 1;
  List->setCurrentRow(Last, QItemSelectionModel::Select);
}

} // namespace sonquarry
