#include "ui/status_panel.h"

#include <QEvent>
#include <QPainter>
#include <QStyle>
#include <algorithm>

namespace sonquarry {

TStatusPanel::TStatusPanel(const QString &Text, int Width, const QString &Widest, QWidget *Parent)
    : QFrame(Parent), Text_(Text), Width_(Width), Widest_(Widest) {
  setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Preferred);
}

void TStatusPanel::setText(const QString &Text) {
  if (Text == Text_) return;
  Text_ = Text;
  if (fontMetrics().horizontalAdvance(Text_) > HintText_) updateGeometry();
  update(contentsRect());
}

int TStatusPanel::TextWidth() const {
  if (WidestWidth_ < 0) WidestWidth_ = fontMetrics().horizontalAdvance(Widest_);
  HintText_ = std::max(WidestWidth_, fontMetrics().horizontalAdvance(Text_));
  return HintText_;
}

QSize TStatusPanel::minimumSizeHint() const {
  const QMargins M = contentsMargins();
  return {TextWidth() + M.left() + M.right() + 4, fontMetrics().height() + M.top() + M.bottom()};
}

QSize TStatusPanel::sizeHint() const {
  const QSize Need = minimumSizeHint();
  return {std::max(Width_, Need.width()), Need.height()};
}

void TStatusPanel::paintEvent(QPaintEvent *Event) {
  QFrame::paintEvent(Event);
  QPainter P(this);
  // As a framed label: half an 'x' free before the text.
  const QRect R =
      contentsRect().adjusted(fontMetrics().horizontalAdvance(QLatin1Char('x')) / 2, 0, 0, 0);
  style()->drawItemText(&P, R, Qt::AlignLeft | Qt::AlignVCenter, palette(), isEnabled(), Text_,
                        foregroundRole());
}

void TStatusPanel::changeEvent(QEvent *Event) {
  if (Event->type() == QEvent::FontChange || Event->type() == QEvent::StyleChange) {
    WidestWidth_ = -1;
    updateGeometry();
  }
  QFrame::changeEvent(Event);
}

} // namespace sonquarry
