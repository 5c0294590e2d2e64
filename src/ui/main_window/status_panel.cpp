#include "ui/main_window/status_panel.h"

#include <QEvent>
#include <algorithm>

namespace sonquarry {

TStatusPanel::TStatusPanel(const QString &Text, int Width, const QString &Widest,
                           const QString &Name, QWidget *Parent)
    : QWidget(Parent), Label_(new QLabel(Text, this)), Width_(Width), Widest_(Widest) {
  Label_->setObjectName(Name);
  Label_->setFrameStyle(QFrame::Panel | QFrame::Sunken);
  // Opaque: a new text repaints the label without the bar beneath it.
  Label_->setAutoFillBackground(true);
  setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Preferred);
}

void TStatusPanel::setText(const QString &Text) {
  if (Text == Label_->text()) return;
  Label_->setText(Text);
  // A text shorter than the widest in use is taken to be narrower too (digits are equally wide).
  if (Hint_.isValid() && Text.size() >= Widest_.size() &&
      Label_->fontMetrics().horizontalAdvance(Text) > TextWidth_) {
    Hint_ = QSize();
    updateGeometry();
  }
}

QSize TStatusPanel::minimumSizeHint() const {
  if (!Hint_.isValid()) {
    const QFontMetrics Fm = Label_->fontMetrics();
    TextWidth_ = std::max(Fm.horizontalAdvance(Widest_), Fm.horizontalAdvance(Label_->text()));
    const QMargins M = Label_->contentsMargins();
    Hint_ = {TextWidth_ + M.left() + M.right() + 2 * Label_->margin() + 4,
             Label_->minimumSizeHint().height()};
  }
  return Hint_;
}

QSize TStatusPanel::sizeHint() const {
  const QSize Need = minimumSizeHint();
  return {std::max(Width_, Need.width()), Need.height()};
}

void TStatusPanel::resizeEvent(QResizeEvent *Event) {
  Label_->setGeometry(rect());
  QWidget::resizeEvent(Event);
}

void TStatusPanel::changeEvent(QEvent *Event) {
  if (Event->type() == QEvent::FontChange || Event->type() == QEvent::StyleChange) {
    Hint_ = QSize();
    updateGeometry();
  }
  QWidget::changeEvent(Event);
}

} // namespace sonquarry
