#include "ui/services/window_services.h"

#include "platform/os/exception.h"
#include "settings/form_position.h"

#include <QAbstractItemModel>
#include <QApplication>
#include <QGuiApplication>
#include <QListWidget>
#include <QRadioButton>
#include <QScreen>
#include <QSignalBlocker>
#include <QTableView>
#include <QWidget>

namespace sonquarry {

namespace {

TFormPosition PositionOf(const QWidget *Form) {
  TFormPosition p;
  p.Maximized = Form->isMaximized();
  p.Left = Form->x();
  p.Top = Form->y();
  p.Width = Form->width();
  p.Height = Form->height();
  return p;
}

} // namespace

void WriteFormPosition(QWidget *Form, registry::TRegistry *Reg, const std::string &Key) {
  if (!Form) throw Exception("WriteFormPosition: Form = nil.");
  if (!Reg) throw Exception("WriteFormPosition: Reg = nil.");
  TFormPosition p = PositionOf(Form);
  WriteFormPosition(&p, Reg, Key);
}

void ReadFormPosition(QWidget *Form, registry::TRegistry *Reg, const std::string &Key) {
  if (!Form) throw Exception("ReadFormPosition: Form = nil.");
  if (!Reg) throw Exception("ReadFormPosition: Reg = nil.");
  TFormPosition p = PositionOf(Form);
  TScreenSize screen{p.Left + p.Width, p.Top + p.Height};
  if (const QScreen *s = QGuiApplication::primaryScreen()) {
    const QRect area = s->availableGeometry();
    screen = {area.width(), area.height()};
  }
  ReadFormPosition(&p, Reg, Key, screen);
  if (p.Maximized) {
    if (Form->isMinimized()) Form->showNormal();
    Form->setWindowState(Form->windowState() | Qt::WindowMaximized);
    return;
  }
  Form->move(p.Left, p.Top);
  Form->resize(p.Width, p.Height);
}

void LBDeleteItem(QListWidget *ListBox, int Index) {
  if (!ListBox) throw Exception("LBDeleteItem: ListBox = nil.");
  delete ListBox->takeItem(Index);
  const int n = ListBox->count();
  if (n == 0) return;
  ListBox->setCurrentRow(Index >= 0 && Index < n ? Index : n - 1);
}

void SetRBCheck(QRadioButton *RB, bool Checked) {
  if (!RB) throw Exception("SetRBCheck: RB = nil.");
  const QSignalBlocker blocker(RB);
  RB->setChecked(Checked);
}

void CenterListItem(int Index, QTableView *ListView) {
  if (!ListView) throw Exception("CenterListItem: ListView = nil.");
  const QAbstractItemModel *m = ListView->model();
  if (!m || m->rowCount() == 0) return;
  const QModelIndex i = m->index(Index, 0);
  if (!i.isValid()) return;
  ListView->scrollTo(i, QAbstractItemView::PositionAtCenter);
}

} // namespace sonquarry
