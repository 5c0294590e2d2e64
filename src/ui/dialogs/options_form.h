#pragma once
// "Options": the settings of a search on four pages. The dialog fills its controls from the live
// settings when it is opened (SetScan, SetPlayListExt, SetIPList) and writes them back only when
// "Ok" passes validation; "Cancel" leaves every setting as it was.

#include <QDialog>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "engine/scan_filter.h"

class QButtonGroup;
class QCheckBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QPushButton;
class QRadioButton;
class QSpinBox;
class QTabWidget;
class QWidget;

namespace sonquarry {

namespace net {
class INetProvider;
}
class TCompSearchForm;
class TNetwork;
class TIPList;
class TNetScan;
struct TMainFormSettings;
struct TScanOptions;

// The addresses of one entry of the range list.
struct TRangeItem {
  uint32_t From = 0;
  uint32_t To = 0;
};

class TfmOptions : public QDialog {
  Q_OBJECT
public:
  enum TPage { SearchOptionsPage, NetworkOptionsPage, CompFilterPage, ResourceFilterPage };

  explicit TfmOptions(QWidget *Owner = nullptr);
  ~TfmOptions() override;

  // Remembers the settings and fills the controls from them.
  void SetScan(TScanOptions *Scan);
  void LoadControls();
  void StoreControls();
  void SetPlayListExt(const std::string &Text);
  std::string GetPlayListExt() const;
  void SetPlayerCommand(const std::string &Text);
  std::string GetPlayerCommand() const;
  // Refills the range list from List (remembered; StoreControls writes it back).
  void SetIPList(TIPList *List);
  void AddRangeItem(uint32_t From, uint32_t To, bool Checked);
  TRangeItem RangeItemAt(int Index) const;
  void UpdateIPControls(QObject *Sender);

  // Mask editing on one of the four lists.
  void AddComputerMask(QListWidget *List);
  void AddResourceMask(QListWidget *List);
  void EditComputerMask(QListWidget *List);
  void EditResourceMask(QListWidget *List);
  bool SingleSelection(QListWidget *List);
  void DeleteSelectedMasks(QListWidget *List);
  void ClearMasks(QListWidget *List);
  // "Select computers" into List; AddFoundComputer adds one name unless it is there byte for byte.
  void FindComputers(QListWidget *List);
  void AddFoundComputer(QListWidget *List, const std::string &Name);
  using TMaskAction = void (TfmOptions::*)(QListWidget *);
  struct TMaskButtons {
    QPushButton *Find, *Add, *Edit, *Delete, *Clear;
  };
  // Connects a mask list's buttons, double click and keys; Find is null on resource lists.
  void WireMaskList(QListWidget *List, TMaskAction Add, TMaskAction Edit,
                    const TMaskButtons &Buttons);
  // The range list's actions.
  void NewIP();
  void EditIP();
  void DeleteIP();
  void ClearIP();

  // The one "Select computers" dialog, created on first use with CompSearchPauseMs over the
  // neighbourhood of Network that a search would see, or over CompSearchProvider when set (tests
  // shorten the pause and give their own network).
  TCompSearchForm &CompSearchForm();
  bool HasCompSearchForm() const { return CompSearch_ != nullptr; }
  int CompSearchPauseMs = -1;
  std::shared_ptr<TNetwork> Network;
  std::shared_ptr<net::INetProvider> CompSearchProvider;

  // F1: shows a help topic ("options.htm").
  std::function<void(const std::string &Topic)> OnHelp;
  static constexpr const char *HelpTopic = "options.htm";

  // The entries of a mask list, top to bottom.
  static TNameList Entries(const QListWidget *List);

  QTabWidget *Pages;
  QWidget *tshSearchOpt;
  QCheckBox *chkClearList;
  QSpinBox *edtThreads;     // MaxThreadCount
  QSpinBox *edtConnections; // ServerConnections
  QCheckBox *chkReadTags;
  QCheckBox *chkMP3;
  QCheckBox *chkMP2;
  QCheckBox *chkWMA;
  QCheckBox *chkFLAC;
  QCheckBox *chkOGG;
  QCheckBox *chkOPUS;
  QCheckBox *chkM4A;
  QLineEdit *edtPlayListExt;
  QLineEdit *edtPlayerCommand;

  QWidget *tshIPRanges;
  QRadioButton *rbNetworkNeibourhood;
  QRadioButton *rbIPAddress;
  QListWidget *lbIP;
  QPushButton *btnNewIP;
  QPushButton *btnEditIP;
  QPushButton *btnDeleteIP;
  QPushButton *btnClearIP;
  QLabel *lblTimeout;
  QSpinBox *edtTimeOut;
  QLabel *lblMs;
  QGroupBox *rgScanMethod;
  QButtonGroup *rgScanMethodItems;
  QCheckBox *chkProbe445;
  QCheckBox *chkWsDiscovery;
  QCheckBox *chkMdns;

  QWidget *tshCompFilter;
  QListWidget *lbAllowedComp;
  QListWidget *lbDeniedComp;
  QPushButton *btnFindAllowedComp, *btnAddAllowedComp, *btnEditAllowedComp, *btnDeleteAllowedComp,
      *btnClearAllowedComp;
  QPushButton *btnFindDeniedComp, *btnAddDeniedComp, *btnEditDeniedComp, *btnDeleteDeniedComp,
      *btnClearDeniedComp;

  QWidget *tshResourceFilter;
  QListWidget *lbAllowedRes;
  QListWidget *lbDeniedRes;
  QPushButton *btnAddAllowedRes, *btnEditAllowedRes, *btnDeleteAllowedRes, *btnClearAllowedRes;
  QPushButton *btnAddDeniedRes, *btnEditDeniedRes, *btnDeleteDeniedRes, *btnClearDeniedRes;

  QPushButton *btnOK;
  QPushButton *btnCancel;

protected:
  bool eventFilter(QObject *Watched, QEvent *Event) override;

private:
  // The extension boxes in the order StoreControls writes them, with their extensions.
  std::vector<std::pair<QCheckBox *, const char *>> ExtBoxes() const;
  void OkClick();
  QWidget *MakeSearchPage();
  QWidget *MakeNetworkPage();
  QWidget *MakeCompFilterPage();
  QWidget *MakeResourceFilterPage();
  void FillMasks(QListWidget *List, const TNameList &Masks);
  // Adds Text at its place in the case-blind sort order; returns its row.
  int InsertSorted(QListWidget *List, const QString &Text);
  // Adds a mask the user typed unless the list has it (case-blind), and selects it.
  void AddNewMask(QListWidget *List, const std::string &Text);
  bool IsComputerList(const QObject *List) const;

  TScanOptions *Scan_ = nullptr;
  TIPList *IPList_ = nullptr;
  std::unique_ptr<TCompSearchForm> CompSearch_;
};

// The main window's "Options..." command: opens Form over Owner (on Page, or the page last shown
// when Page is below 0) for Scan and Settings. When it is accepted, takes back the playlist
// extension and the player command, gives the enabled IP ranges to the coordinator and saves the
// settings. Returns QDialog::Accepted or Rejected.
int ShowOptions(TfmOptions &Form, const QWidget *Owner, TNetScan &Scan, TMainFormSettings &Settings,
                int Page = -1);

} // namespace sonquarry
