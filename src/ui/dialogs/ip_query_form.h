#pragma once
// "Add IP" / "Edit IP": one address or a range of addresses for the Options dialog's range list.
// The dialog touches no list; the caller reads FirstAddress and LastAddress after "Ok".

#include <QDialog>
#include <cstdint>

class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;

namespace sonquarry {

class TIPQueryForm : public QDialog {
  Q_OBJECT
public:
  // Single-address mode, both fields holding the local subnet ("a.b.c.").
  explicit TIPQueryForm(QWidget *Owner = nullptr);

  bool IsRange() const;
  void SetRangeMode(bool Range);
  // The fields' addresses; a field may hold a network "a.b.c.d/nn", read as its first to its last
  // address. They throw Exception on a text that is neither. In single-address mode both come
  // from the first field and the second is not read.
  uint32_t FirstAddress() const;
  uint32_t LastAddress() const;
  void SetFirstAddress(uint32_t Address);
  void SetLastAddress(uint32_t Address);
  void SetAddCaption();
  void SetEditCaption();
  void setVisible(bool Visible) override;

  QRadioButton *rbAddress;
  QRadioButton *rbRange;
  QLineEdit *edtIP1;
  QLabel *lblTire;
  QLineEdit *edtIP2;
  QPushButton *btnOK;
  QPushButton *btnCancel;

protected:
  void showEvent(QShowEvent *Event) override;

private:
  void OkClick();
};

} // namespace sonquarry
