#pragma once
// The "Find Item" dialog: the word with its history and the column boxes.

#include <QDialog>
#include <cstdint>

class QCheckBox;
class QComboBox;
class QPushButton;

namespace sonquarry {

class TSearchForm : public QDialog {
  Q_OBJECT
public:
  explicit TSearchForm(QWidget *Owner = nullptr);

  QComboBox *cmbWord;
  QCheckBox *chbAllColumns;
  QCheckBox *chbFileName;
  QCheckBox *chbDomain;
  QCheckBox *chbDirectory;
  QCheckBox *chbTags; // the rows' music tags: artist, title, album
  QCheckBox *chbCurrentPosition;
  QCheckBox *chbSelAll;
  QPushButton *btnOK;
  QPushButton *btnCancel;

  std::string Word() const;
  void CheckAllColumns(); // every opening starts with the column boxes and Tags checked
  // The texts the search reads, as TTreeSearch's Fields bits.
  uint32_t Fields() const;

  void accept() override; // refuses an empty word
  void done(int Result) override;

protected:
  void showEvent(QShowEvent *Event) override;

private:
  void AddToHistory();
};

} // namespace sonquarry
