#pragma once
// "Select computers": the domains of the network, the computers of the chosen domain, and the
// selection the Options dialog takes over on "Ok". The lists are filled by a TSearchThread so that
// the dialog stays responsive while the network answers.
//
// One dialog serves the whole process; it is kept hidden between uses. A showing within a minute
// of the last domain search keeps the lists and the selection; a later one searches again.
// Releasing the dialog never waits for the thread: the handlers are detached (none runs after
// that) and the thread is told to end; it never calls into the main thread again, and a domain
// record it may still read stays alive.

#include <QDialog>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "engine/net_res.h"

class QComboBox;
class QFrame;
class QLabel;
class QListWidget;
class QPushButton;
class QTimer;

namespace sonquarry {

namespace net {
class INetProvider;
}
class TSearchThread;

class TCompSearchForm : public QDialog {
  Q_OBJECT
public:
  using TClock = std::function<std::chrono::steady_clock::time_point()>;
  static constexpr std::chrono::minutes ReuseTime{1};
  static constexpr int BlinkMs = 500;

  // PauseMs and Provider go to the thread (PauseMs below 0: 15 s); Provider is required.
  explicit TCompSearchForm(QWidget *Parent = nullptr, int PauseMs = -1,
                           std::shared_ptr<net::INetProvider> Provider = nullptr);
  ~TCompSearchForm() override;

  // Centres the dialog over Over (whole pixels, truncated), at its layout's size before its first
  // showing, and returns it.
  TCompSearchForm &PlaceOver(const QWidget &Over);
  // The clock of the one-minute reuse; tests set their own.
  void SetClock(TClock Clock) { Clock_ = std::move(Clock); }

  // The selection, in list order: "\\NAME" as the network reports it.
  std::vector<std::string> SelectedNames() const;
  // Waiting for the thread (domains or computers).
  bool Busy() const { return Blinking_ != nullptr; }

  QFrame *pnlMain;
  QLabel *lblDomains;
  QLabel *lblSearchDomains;
  QComboBox *cmbDomain;
  QLabel *lblComputers;
  QLabel *lblSearchComputers;
  QListWidget *lbComputers;
  QPushButton *btnRemove;
  QPushButton *btnAdd;
  QPushButton *btnRemoveAll;
  QPushButton *btnAddAll;
  QLabel *lblSelComputers;
  QListWidget *lbSelComputers;
  QPushButton *btnOk;
  QPushButton *btnCancel;

protected:
  void showEvent(QShowEvent *Event) override;

private:
  void DomainsArrived(TNetResStrings &List);
  void ComputersArrived(TNetResStrings &List);
  void DomainChanged(int Index);
  void EnterBusy(QLabel *Label);
  void EndBusy();
  void Blink();
  void AddToSelection(const QString &Name);
  void AddClick();
  void AddAllClick();
  void RemoveClick();

  std::shared_ptr<TSearchThread> Thread_; // let go at release; the thread ends on its own
  // Records of cmbDomain and lbComputers, index for index with their items.
  std::vector<std::shared_ptr<TNetRes>> Domains_;
  std::vector<std::unique_ptr<TNetRes>> Computers_;
  // Domains handed to the thread and not answered yet: none is freed while the thread may read it.
  std::vector<std::shared_ptr<TNetRes>> Requested_;
  QLabel *Blinking_ = nullptr;
  QTimer *Timer_;
  TClock Clock_;
  std::optional<std::chrono::steady_clock::time_point> LastSearch_;
};

} // namespace sonquarry
