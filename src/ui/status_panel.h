#pragma once
// A panel of the main window's status bar: a sunken frame with one line of text. Its width
// comes from the longest text it shows in use, so a new text repaints the panel alone; only a
// text wider than that lays the status bar out again (a label would do so on every change,
// which during a search is many times a second).

#include <QFrame>
#include <QString>

namespace sonquarry {

class TStatusPanel : public QFrame {
public:
  // Width: the panel's own width where the window is wide enough; Widest: its longest text in
  // use, the width it shrinks to where the window is narrow.
  TStatusPanel(const QString &Text, int Width, const QString &Widest, QWidget *Parent);

  QString text() const { return Text_; }
  void setText(const QString &Text);

  QSize sizeHint() const override;
  QSize minimumSizeHint() const override;

protected:
  void paintEvent(QPaintEvent *Event) override;
  void changeEvent(QEvent *Event) override;

private:
  int TextWidth() const; // of the wider of Text_ and Widest_

  QString Text_;
  int Width_;
  QString Widest_;
  mutable int WidestWidth_ = -1; // for the current font
  mutable int HintText_ = 0;     // the text width of the last hint
};

} // namespace sonquarry
