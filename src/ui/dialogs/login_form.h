#pragma once
// The question for a computer's login when it refused anonymous and guest access and every
// identity the program had: user name, domain, password and "Remember this password".

#include <QDialog>
#include <optional>
#include <string>

class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;

namespace sonquarry {

struct TLoginRequest {
  std::string Computer, User, Domain;
  bool Again = false;       // the previous answer was refused
  bool CanRemember = false; // a keyring is there
};
struct TLoginReply {
  std::string User, Domain, Password;
  bool Remember = false;
};

class TfmLogin : public QDialog {
  Q_OBJECT
public:
  explicit TfmLogin(const TLoginRequest &Request, QWidget *Owner = nullptr);
  TLoginReply Reply() const;

  QLabel *lblText;
  QLineEdit *edtUser;
  QLineEdit *edtDomain;
  QLineEdit *edtPassword;
  QCheckBox *chkRemember;
  QLabel *lblNoKeyring; // shown without a keyring
  QPushButton *btnOK;
  QPushButton *btnCancel;
};

// Asks through the replaceable prompts (on the main thread); none when cancelled.
std::optional<TLoginReply> AskLogin(const TLoginRequest &Request);

} // namespace sonquarry
