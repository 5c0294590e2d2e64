#include "ui/services/window_services.h"

#include "platform/os/exception.h"
#include "settings/form_position.h"

#include <QAbstractItemModel>
#include <QApplication>
#include <QGuiApplication>
#include <QListWidget>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QSignalBlocker>
#include <QStyle>
#include <QTableView>
#include <QWidget>
#include <QWindow>
#include <algorithm>
#include <climits>
#include <vector>

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

// The frame the window manager puts around W: known once it has framed the window; before that
// the frame of Like (a window it framed already), else a title bar's height at the top.
QMargins FrameOf(const QWidget *W, const QWidget *Like = nullptr) {
  if (W->windowFlags() & Qt::FramelessWindowHint) return {};
  QMargins m;
  if (const QWindow *h = W->windowHandle()) m = h->frameMargins();
  if (m.isNull() && Like && Like->windowHandle()) m = Like->windowHandle()->frameMargins();
  if (m.isNull()) m.setTop(W->style()->pixelMetric(QStyle::PM_TitleBarHeight, nullptr, W));
  return m;
}

// The available area of the screen that shows most of Frame, else of the primary screen.
QRect AreaFor(const QRect &Frame) {
  QRect best;
  qint64 most = 0;
  for (const QScreen *s : QGuiApplication::screens()) {
    const QRect shared = s->availableGeometry().intersected(Frame);
    const qint64 n = qint64(shared.width()) * shared.height();
    if (!shared.isEmpty() && n > most) {
      most = n;
      best = s->availableGeometry();
    }
  }
  if (most > 0) return best;
  if (const QScreen *p = QGuiApplication::primaryScreen()) return p->availableGeometry();
  return Frame;
}

// Moves W's frame to At, or as near as keeps it inside Area; the top left corner (the title bar)
// stays inside when the window cannot shrink to the area.
void MoveFrameInside(QWidget *W, QPoint At, const QMargins &M, const QRect &Area) {
  const QSize frame = W->size().grownBy(M);
  At.setX(std::max(std::min(At.x(), Area.right() + 1 - frame.width()), Area.left()));
  At.setY(std::max(std::min(At.y(), Area.bottom() + 1 - frame.height()), Area.top()));
  if (At != W->pos()) W->move(At);
}

// The global rectangle of Owner's lowest row of buttons (OK, Cancel); its frame without buttons.
QRect ButtonRow(const QWidget *Owner) {
  std::vector<QRect> rects;
  int lowest = INT_MIN;
  for (const QPushButton *b : Owner->findChildren<QPushButton *>()) {
    if (!b->isVisibleTo(Owner)) continue;
    rects.emplace_back(b->mapToGlobal(QPoint(0, 0)), b->size());
    lowest = std::max(lowest, rects.back().bottom());
  }
  QRect row;
  for (const QRect &r : rects)
    if (r.bottom() >= lowest - r.height() / 2) row |= r;
  return row.isNull() ? Owner->frameGeometry() : row;
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
  // The frame too must fit: a window as high as the area would have its title bar pushed off it.
  const QMargins m = FrameOf(Form);
  const QRect frame(QPoint(p.Left, p.Top), QSize(p.Width, p.Height).grownBy(m));
  const QRect area = AreaFor(frame);
  Form->resize(frame.size().boundedTo(area.size()).shrunkBy(m));
  MoveFrameInside(Form, frame.topLeft(), m, area);
}

void FitToScreen(QWidget *Window) {
  if (!Window) throw Exception("FitToScreen: Window = nil.");
  if (Window->isMaximized() || Window->isFullScreen()) return;
  if (!Window->isVisible() && !Window->testAttribute(Qt::WA_Resized)) Window->adjustSize();
  // Not placed yet: a dialog goes on its owner's screen.
  const QWidget *owner = Window->parentWidget() ? Window->parentWidget()->window() : Window;
  const QMargins m = FrameOf(Window, owner);
  const bool placed = Window->isVisible() || Window->testAttribute(Qt::WA_Moved);
  const QRect area = placed            ? AreaFor(QRect(Window->pos(), Window->size().grownBy(m)))
                     : owner->screen() ? owner->screen()->availableGeometry()
                                       : AreaFor(owner->frameGeometry());
  const QSize client = Window->size().boundedTo(area.size().shrunkBy(m));
  if (client != Window->size()) Window->resize(client);
  if (placed) MoveFrameInside(Window, Window->pos(), m, area);
}

void PlaceBeside(QWidget *Window, const QWidget *Owner) {
  if (!Window) throw Exception("PlaceBeside: Window = nil.");
  if (!Owner) throw Exception("PlaceBeside: Owner = nil.");
  const QMargins m = FrameOf(Window, Owner);
  const QRect owner = Owner->frameGeometry();
  const QRect area = AreaFor(owner);
  const QSize want = Window->size().grownBy(m).boundedTo(area.size());
  const QRect keep = ButtonRow(Owner);
  // By preference: right of the owner, left of it, then over it but above or left of its buttons.
  const QRect rooms[] = {
      QRect(QPoint(owner.right() + 1, area.top()), area.bottomRight()),
      QRect(area.topLeft(), QPoint(owner.left() - 1, area.bottom())),
      QRect(area.topLeft(), QPoint(area.right(), keep.top() - 1)),
      QRect(area.topLeft(), QPoint(keep.left() - 1, area.bottom())),
  };
  const int readable = std::min(want.width(), 40 * Window->fontMetrics().averageCharWidth());
  const auto fits = [&](int I) { return want.boundedTo(rooms[I].intersected(area).size()); };
  const auto size = [](QSize S) { return S.isEmpty() ? 0 : qint64(S.width()) * S.height(); };
  int chosen = -1;
  // The whole window beside the owner; else beside it, narrower but readable; else over it.
  for (int i = 0; i < 2 && chosen < 0; ++i)
    if (fits(i) == want) chosen = i;
  for (int i = 0; i < 2 && chosen < 0; ++i)
    if (fits(i).width() >= readable && (chosen < 0 || size(fits(i)) > size(fits(chosen))))
      chosen = i;
  for (int i = 2; i < 4 && chosen < 0; ++i)
    if (size(fits(i)) > 0 && (chosen < 0 || size(fits(i)) > size(fits(chosen)))) chosen = i;
  if (chosen < 0) {
    FitToScreen(Window);
    return;
  }
  const int i = chosen;
  const QRect room = rooms[i].intersected(area);
  const QSize frame = want.boundedTo(room.size());
  Window->resize(frame.shrunkBy(m));
  const int x = i == 0 ? room.left() : i == 2 ? owner.left() : room.right() + 1 - frame.width();
  MoveFrameInside(Window, QPoint(x, owner.top()), m, room);
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
