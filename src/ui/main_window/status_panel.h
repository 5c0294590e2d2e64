#pragma once
// A panel of the main window's status bar: a sunken label of one line in a box of its own. The
// box's size comes from the longest text the panel shows in use, and a new text that is not
// wider than that repaints the label alone: a label straight in the bar would lay the bar and
// the window out again on every new text, many times a second during a search.

#include <QLabel>
#include <QString>
#include <QWidget>

namespace sonquarry {

class TStatusPanel : public QWidget {
public:
  // Width: the panel's own width where the window is wide enough; Widest: its longest text in
  // use, the width it shrinks to where the window is narrow. Name: the label's object name.
  TStatusPanel(const QString &Text, int Width, const QString &Widest, const QString &Name,
               QWidget *Parent);

  QLabel *Label() const { return Label_; }
  QString text() const { return Label_->text(); }
  void setText(const QString &Text);

  QSize sizeHint() const override;
  QSize minimumSizeHint() const override;

protected:
  void resizeEvent(QResizeEvent *Event) override;
  void changeEvent(QEvent *Event) override;

private:
  QLabel *Label_;
  int Width_;
  QString Widest_;
  mutable QSize Hint_;        // minimumSizeHint; invalid until worked out
  mutable int TextWidth_ = 0; // of the widest text, as in Hint_
};

} // namespace sonquarry
