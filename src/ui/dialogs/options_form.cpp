#include "ui/dialogs/options_form.h"
#include "engine/scan_session.h"

#include "discovery/ip_range.h"
#include "engine/net_scan.h"
#include "engine/scan_options.h"
#include "settings/settings.h"
#include "ui/dialogs/comp_search_form.h"
#include "ui/services/message_box.h"
#include "ui/services/user_prompts.h"
#include "ui/services/window_services.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollArea>
#include <QShortcut>
#include <QSpinBox>
#include <QTabWidget>
#include <QVBoxLayout>
#include <algorithm>
#include <cmath>

namespace sonquarry {
namespace {

QString Q(const std::string &S) { return QString::fromStdString(S); }

QPushButton *ListButton(const QString &Text, const QString &Hint, QWidget *Parent) {
  auto *B = new QPushButton(Text, Parent);
  B->setToolTip(Hint);
  B->setAutoDefault(false);
  return B;
}

QListWidget *MaskList(QWidget *Parent) {
  auto *L = new QListWidget(Parent);
  L->setSelectionMode(QAbstractItemView::ExtendedSelection);
  return L;
}

// A column of a filter page: the group with its note, the list and the buttons under it.
QGroupBox *FilterColumn(const QString &Title, const QString &Note, QListWidget *List,
                        std::initializer_list<QPushButton *> Buttons, QWidget *Parent) {
  auto *G = new QGroupBox(Title, Parent);
  auto *NoteLabel = new QLabel(Note, G);
  NoteLabel->setWordWrap(true);
  auto *Row = new QHBoxLayout;
  for (QPushButton *B : Buttons) Row->addWidget(B);
  Row->addStretch();
  auto *V = new QVBoxLayout(G);
  V->addWidget(NoteLabel);
  V->addWidget(List, 1);
  V->addLayout(Row);
  return G;
}

// A page that asks for its whole size and scrolls where the screen has less (200 % on a small
// screen): OK and Cancel below it stay in reach.
class TScrollPage final : public QScrollArea {
public:
  explicit TScrollPage(QWidget *Page) {
    setWidget(Page);
    setWidgetResizable(true);
    setFrameShape(QFrame::NoFrame);
    viewport()->setAutoFillBackground(false); // the tab's own background shows through
  }
  QSize sizeHint() const override {
    const int f = 2 * frameWidth();
    return widget()->sizeHint().expandedTo(widget()->minimumSizeHint()) + QSize(f, f);
  }
};

} // namespace

TfmOptions::TfmOptions(QWidget *Owner) : QDialog(Owner) {
  setObjectName("fmOptions");
  setWindowTitle(tr("Options"));
  setWindowFlag(Qt::WindowContextHelpButtonHint, false);

  Pages = new QTabWidget(this);
  Pages->addTab(new TScrollPage(MakeSearchPage()), tr("&Search Options"));
  Pages->addTab(new TScrollPage(MakeNetworkPage()), tr("&Network Options"));
  Pages->addTab(new TScrollPage(MakeCompFilterPage()), tr("Computer &Filter"));
  Pages->addTab(new TScrollPage(MakeResourceFilterPage()), tr("&Resource Filter"));
  Pages->setCurrentIndex(SearchOptionsPage);

  btnOK = new QPushButton(tr("Ok"), this);
  btnCancel = new QPushButton(tr("Cancel"), this);
  btnOK->setDefault(true);
  btnCancel->setAutoDefault(false);
  auto *Buttons = new QHBoxLayout;
  Buttons->addStretch();
  Buttons->addWidget(btnOK);
  Buttons->addWidget(btnCancel);
  auto *Main = new QVBoxLayout(this);
  Main->addWidget(Pages, 1);
  Main->addLayout(Buttons);

  connect(btnOK, &QPushButton::clicked, this, &TfmOptions::OkClick);
  connect(btnCancel, &QPushButton::clicked, this, &QDialog::reject);
  auto *Help = new QShortcut(QKeySequence(Qt::Key_F1), this);
  Help->setContext(Qt::WindowShortcut);
  connect(Help, &QShortcut::activated, this, [this] {
    if (OnHelp) OnHelp(HelpTopic);
  });
}

TfmOptions::~TfmOptions() = default;

QWidget *TfmOptions::MakeSearchPage() {
  tshSearchOpt = new QWidget;
  chkClearList = new QCheckBox(tr("C&lear list before searching"), tshSearchOpt);
  chkReadTags = new QCheckBox(tr("Read music &tags"), tshSearchOpt);
  chkReadTags->setToolTip(tr("After a search, read artist, title, album, year and length from "
                             "the files' tags (a few kilobytes of each file)"));
  auto *Ext = new QGroupBox(tr("File Extensions:"), tshSearchOpt);
  chkMP3 = new QCheckBox(tr("MP&3"), Ext);
  chkMP2 = new QCheckBox(tr("MP&2"), Ext);
  chkWMA = new QCheckBox(tr("&WMA"), Ext);
  chkFLAC = new QCheckBox(tr("FL&AC"), Ext);
  chkOGG = new QCheckBox(tr("O&GG"), Ext);
  chkOPUS = new QCheckBox(tr("OP&US"), Ext);
  chkM4A = new QCheckBox(tr("M&4A"), Ext);
  chkOGG->setToolTip(tr("Ogg Vorbis"));
  chkM4A->setToolTip(tr("MPEG-4 audio: AAC or Apple Lossless"));
  auto *ExtRow = new QHBoxLayout(Ext);
  for (const auto &[Box, Name] : ExtBoxes()) ExtRow->addWidget(Box);
  ExtRow->addStretch();

  auto *PlayList = new QGroupBox(tr("Playlist Extension:"), tshSearchOpt);
  auto *lblPlayList = new QLabel(tr("Pla&ylist:"), PlayList);
  edtPlayListExt = new QLineEdit(PlayList);
  edtPlayListExt->setMaxLength(5);
  edtPlayListExt->setMaximumWidth(edtPlayListExt->fontMetrics().horizontalAdvance("MMMMMMMM"));
  lblPlayList->setBuddy(edtPlayListExt);
  auto *PlayListRow = new QHBoxLayout(PlayList);
  PlayListRow->addWidget(lblPlayList);
  PlayListRow->addWidget(edtPlayListExt);
  PlayListRow->addStretch();

  auto *Player = new QGroupBox(tr("Player:"), tshSearchOpt);
  auto *lblPlayer = new QLabel(tr("Player co&mmand:"), Player);
  edtPlayerCommand = new QLineEdit(Player);
  edtPlayerCommand->setPlaceholderText(tr("empty: the desktop's player"));
  edtPlayerCommand->setToolTip(tr("The program that plays a playlist, e.g. \"vlc %f\" (%f stands "
                                  "for the playlist, else it is appended); empty: the desktop's "
                                  "handler of playlists"));
  lblPlayer->setBuddy(edtPlayerCommand);
  auto *PlayerRow = new QHBoxLayout(Player);
  PlayerRow->addWidget(lblPlayer);
  PlayerRow->addWidget(edtPlayerCommand, 1);

  auto *lblThreads = new QLabel(tr("T&hreads:"), tshSearchOpt);
  edtThreads = new QSpinBox(tshSearchOpt);
  edtThreads->setRange(1, MaxThreadCountLimit);
  edtThreads->setToolTip(tr("How many computers and shares are searched at the same time "
                            "(1 to %1); the scan method \"Win XP SP2\" uses 9")
                             .arg(MaxThreadCountLimit));
  lblThreads->setBuddy(edtThreads);
  auto *lblConnections = new QLabel(tr("Connections &per server:"), tshSearchOpt);
  edtConnections = new QSpinBox(tshSearchOpt);
  edtConnections->setRange(1, MaxThreadCountLimit);
  edtConnections->setToolTip(tr("How many connections one server gets at most while its shares "
                                "are searched (never more than the threads); more walk a share "
                                "over a slow link sooner"));
  lblConnections->setBuddy(edtConnections);
  auto *ThreadRow = new QHBoxLayout;
  ThreadRow->addWidget(lblThreads);
  ThreadRow->addWidget(edtThreads);
  ThreadRow->addSpacing(12);
  ThreadRow->addWidget(lblConnections);
  ThreadRow->addWidget(edtConnections);
  ThreadRow->addStretch();

  auto *V = new QVBoxLayout(tshSearchOpt);
  V->addWidget(chkClearList);
  V->addWidget(chkReadTags);
  V->addLayout(ThreadRow);
  V->addWidget(Ext);
  V->addWidget(PlayList);
  V->addWidget(Player);
  V->addStretch();
  return tshSearchOpt;
}

QWidget *TfmOptions::MakeNetworkPage() {
  tshIPRanges = new QWidget;
  auto *lblMethod = new QLabel(tr("Select computer search method:"), tshIPRanges);
  rbNetworkNeibourhood = new QRadioButton(tr("Network N&eighbourhood"), tshIPRanges);
  rbIPAddress = new QRadioButton(tr("&IP addresses"), tshIPRanges);
  chkWsDiscovery = new QCheckBox(tr("Also find computers by WS-Disco&very"), tshIPRanges);
  chkMdns = new QCheckBox(tr("Find computers announced by &mDNS (Macs, NAS)"), tshIPRanges);
  chkMdns->setToolTip(tr("Computers that announce their shares by multicast DNS only, through "
                         "the system's avahi-daemon; they are listed under \"LOCAL\" unless "
                         "another method names them"));
  lbIP = new QListWidget(tshIPRanges);
  lbIP->setSelectionMode(QAbstractItemView::SingleSelection);
  btnNewIP = ListButton(tr("&Add..."), tr("Add IP range to list"), tshIPRanges);
  btnEditIP = ListButton(tr("E&dit..."), tr("Edit IP range "), tshIPRanges);
  btnDeleteIP = ListButton(tr("De&lete"), tr("Delete IP range from list"), tshIPRanges);
  btnClearIP = ListButton(tr("&Clear"), tr("Clear list"), tshIPRanges);
  lblTimeout = new QLabel(tr("&Timeout:"), tshIPRanges);
  edtTimeOut = new QSpinBox(tshIPRanges);
  edtTimeOut->setRange(0, 5000);
  edtTimeOut->setSingleStep(100);
  lblTimeout->setBuddy(edtTimeOut);
  lblMs = new QLabel(tr("ms"), tshIPRanges);
  chkProbe445 = new QCheckBox(tr("Also find hosts on port &445"), tshIPRanges);

  rgScanMethod = new QGroupBox(tr("IP address scanning:"), tshIPRanges);
  rgScanMethodItems = new QButtonGroup(this);
  auto *MethodCol = new QVBoxLayout(rgScanMethod);
  // A button's id is its TScanMethod.
  const QString Methods[] = {tr("Win &XP SP2"), tr("&Other OS"), tr("A&uto detect")};
  for (int i = smWinXPSP2; i <= smAutoDetect; ++i) {
    auto *R = new QRadioButton(Methods[i], rgScanMethod);
    rgScanMethodItems->addButton(R, i);
    MethodCol->addWidget(R);
  }
  MethodCol->addStretch();

  auto *IPButtons = new QVBoxLayout;
  for (QPushButton *B : {btnNewIP, btnEditIP, btnDeleteIP, btnClearIP}) IPButtons->addWidget(B);
  IPButtons->addStretch();
  auto *IPRow = new QHBoxLayout;
  IPRow->addSpacing(20);
  IPRow->addWidget(lbIP, 1);
  IPRow->addLayout(IPButtons);
  auto *TimeRow = new QHBoxLayout;
  TimeRow->addSpacing(20);
  TimeRow->addWidget(lblTimeout);
  TimeRow->addWidget(edtTimeOut);
  TimeRow->addWidget(lblMs);
  TimeRow->addStretch();
  auto *Probe = new QHBoxLayout;
  Probe->addSpacing(20);
  Probe->addWidget(chkProbe445);
  auto *Ws = new QHBoxLayout;
  Ws->addSpacing(20);
  Ws->addWidget(chkWsDiscovery);
  auto *Mdns = new QHBoxLayout;
  Mdns->addSpacing(20);
  Mdns->addWidget(chkMdns);

  auto *Left = new QVBoxLayout;
  Left->addWidget(lblMethod);
  Left->addWidget(rbNetworkNeibourhood);
  Left->addLayout(Ws);
  Left->addLayout(Mdns);
  Left->addWidget(rbIPAddress);
  Left->addLayout(IPRow, 1);
  Left->addLayout(TimeRow);
  Left->addLayout(Probe);
  auto *H = new QHBoxLayout(tshIPRanges);
  H->addLayout(Left, 1);
  H->addWidget(rgScanMethod);

  connect(rbNetworkNeibourhood, &QRadioButton::clicked, this,
          [this] { UpdateIPControls(rbNetworkNeibourhood); });
  connect(rbIPAddress, &QRadioButton::clicked, this, [this] { UpdateIPControls(rbIPAddress); });
  connect(btnNewIP, &QPushButton::clicked, this, &TfmOptions::NewIP);
  connect(btnEditIP, &QPushButton::clicked, this, &TfmOptions::EditIP);
  connect(btnDeleteIP, &QPushButton::clicked, this, &TfmOptions::DeleteIP);
  connect(btnClearIP, &QPushButton::clicked, this, &TfmOptions::ClearIP);
  return tshIPRanges;
}

QWidget *TfmOptions::MakeCompFilterPage() {
  tshCompFilter = new QWidget;
  lbAllowedComp = MaskList(tshCompFilter);
  lbDeniedComp = MaskList(tshCompFilter);
  auto Buttons = [this](QPushButton *&Find, QPushButton *&Add, QPushButton *&Edit,
                        QPushButton *&Delete, QPushButton *&Clear) {
    Find = ListButton(tr("Select..."), tr("Select computers"), tshCompFilter);
    Add = ListButton(tr("Add..."), tr("Add computer mask to list"), tshCompFilter);
    Edit = ListButton(tr("Edit..."), tr("Edit computer mask to list"), tshCompFilter);
    Delete = ListButton(tr("Delete"), tr("Delete computer mask from list"), tshCompFilter);
    Clear = ListButton(tr("Clear"), tr("Clear list"), tshCompFilter);
  };
  Buttons(btnFindAllowedComp, btnAddAllowedComp, btnEditAllowedComp, btnDeleteAllowedComp,
          btnClearAllowedComp);
  Buttons(btnFindDeniedComp, btnAddDeniedComp, btnEditDeniedComp, btnDeleteDeniedComp,
          btnClearDeniedComp);
  auto *H = new QHBoxLayout(tshCompFilter);
  H->addWidget(FilterColumn(
      tr("&Allow"), tr("Only computers from the list will be scanned for files."), lbAllowedComp,
      {btnFindAllowedComp, btnAddAllowedComp, btnEditAllowedComp, btnDeleteAllowedComp,
       btnClearAllowedComp},
      tshCompFilter));
  H->addWidget(FilterColumn(
      tr("&Deny"), tr("Computers from the list will not be scanned for files."), lbDeniedComp,
      {btnFindDeniedComp, btnAddDeniedComp, btnEditDeniedComp, btnDeleteDeniedComp,
       btnClearDeniedComp},
      tshCompFilter));
  WireMaskList(lbAllowedComp, &TfmOptions::AddComputerMask, &TfmOptions::EditComputerMask,
               {btnFindAllowedComp, btnAddAllowedComp, btnEditAllowedComp, btnDeleteAllowedComp,
                btnClearAllowedComp});
  WireMaskList(lbDeniedComp, &TfmOptions::AddComputerMask, &TfmOptions::EditComputerMask,
               {btnFindDeniedComp, btnAddDeniedComp, btnEditDeniedComp, btnDeleteDeniedComp,
                btnClearDeniedComp});
  return tshCompFilter;
}

QWidget *TfmOptions::MakeResourceFilterPage() {
  tshResourceFilter = new QWidget;
  lbAllowedRes = MaskList(tshResourceFilter);
  lbDeniedRes = MaskList(tshResourceFilter);
  auto Buttons = [this](QPushButton *&Add, QPushButton *&Edit, QPushButton *&Delete,
                        QPushButton *&Clear) {
    Add = ListButton(tr("Add..."), tr("Add resource mask to list"), tshResourceFilter);
    Edit = ListButton(tr("Edit..."), tr("Edit resource mask "), tshResourceFilter);
    Delete = ListButton(tr("Delete"), tr("Delete resource mask from list"), tshResourceFilter);
    Clear = ListButton(tr("Clear"), tr("Clear list"), tshResourceFilter);
  };
  Buttons(btnAddAllowedRes, btnEditAllowedRes, btnDeleteAllowedRes, btnClearAllowedRes);
  Buttons(btnAddDeniedRes, btnEditDeniedRes, btnDeleteDeniedRes, btnClearDeniedRes);
  auto *H = new QHBoxLayout(tshResourceFilter);
  H->addWidget(FilterColumn(
      tr("&Allow"), tr("Only resources from the list will be scanned for files."), lbAllowedRes,
      {btnAddAllowedRes, btnEditAllowedRes, btnDeleteAllowedRes, btnClearAllowedRes},
      tshResourceFilter));
  H->addWidget(FilterColumn(
      tr("&Deny"), tr("Resources from the list will not be scanned for files."), lbDeniedRes,
      {btnAddDeniedRes, btnEditDeniedRes, btnDeleteDeniedRes, btnClearDeniedRes},
      tshResourceFilter));
  WireMaskList(
      lbAllowedRes, &TfmOptions::AddResourceMask, &TfmOptions::EditResourceMask,
      {nullptr, btnAddAllowedRes, btnEditAllowedRes, btnDeleteAllowedRes, btnClearAllowedRes});
  WireMaskList(lbDeniedRes, &TfmOptions::AddResourceMask, &TfmOptions::EditResourceMask,
               {nullptr, btnAddDeniedRes, btnEditDeniedRes, btnDeleteDeniedRes, btnClearDeniedRes});
  return tshResourceFilter;
}

void TfmOptions::SetScan(TScanOptions *Scan) {
  Scan_ = Scan;
  LoadControls();
}

void TfmOptions::LoadControls() {
  if (!Scan_) return;
  const TScanFilter &F = Scan_->Filter;
  chkClearList->setChecked(Scan_->IsClearBefor);
  for (const auto &[Box, Name] : ExtBoxes()) Box->setChecked(IndexOfText(F.Extentions, Name) >= 0);
  FillMasks(lbAllowedComp, F.AllowedComps);
  FillMasks(lbDeniedComp, F.DeniedComps);
  FillMasks(lbAllowedRes, F.AllowedRes);
  FillMasks(lbDeniedRes, F.DeniedRes);
  {
    // Set without the click handler running.
    const QSignalBlocker A(rbNetworkNeibourhood), B(rbIPAddress);
    rbNetworkNeibourhood->setChecked(Scan_->NetBios);
    rbIPAddress->setChecked(!Scan_->NetBios);
  }
  edtTimeOut->setValue(Scan_->TimeOut);        // the spin field clamps to 0..5000
  edtThreads->setValue(Scan_->MaxThreadCount); // and this one to 1..256
  edtConnections->setValue(Scan_->ServerConnections);
  if (Scan_->ScanMethod <= smAutoDetect)
    rgScanMethodItems->button(Scan_->ScanMethod)->setChecked(true);
  chkProbe445->setChecked(Scan_->Probe445);
  chkWsDiscovery->setChecked(Scan_->WsDiscovery);
  chkMdns->setChecked(Scan_->Mdns);
  UpdateIPControls(nullptr);
}

void TfmOptions::StoreControls() {
  if (!Scan_) return;
  TScanFilter &F = Scan_->Filter;
  Scan_->IsClearBefor = chkClearList->isChecked();
  F.Extentions.clear();
  for (const auto &[Box, Name] : ExtBoxes())
    if (Box->isChecked()) F.Extentions.push_back(Name);
  F.AllowedComps = Entries(lbAllowedComp);
  F.DeniedComps = Entries(lbDeniedComp);
  F.AllowedRes = Entries(lbAllowedRes);
  F.DeniedRes = Entries(lbDeniedRes);
  Scan_->NetBios = rbNetworkNeibourhood->isChecked();
  edtTimeOut->interpretText();
  Scan_->TimeOut = edtTimeOut->value();
  edtThreads->interpretText();
  Scan_->MaxThreadCount = edtThreads->value();
  edtConnections->interpretText();
  Scan_->ServerConnections = edtConnections->value();
  const int Method = rgScanMethodItems->checkedId();
  Scan_->ScanMethod =
      static_cast<uint8_t>(Method >= smWinXPSP2 && Method <= smAutoDetect ? Method : smAutoDetect);
  Scan_->Probe445 = chkProbe445->isChecked();
  Scan_->WsDiscovery = chkWsDiscovery->isChecked();
  Scan_->Mdns = chkMdns->isChecked();
  if (IPList_) {
    IPList_->Clear();
    for (int i = 0; i < lbIP->count(); ++i) {
      const TRangeItem R = RangeItemAt(i);
      IPList_->Add(R.From, R.To, lbIP->item(i)->checkState() == Qt::Checked ? 1 : 0);
    }
  }
}

void TfmOptions::SetPlayListExt(const std::string &Text) { edtPlayListExt->setText(Q(Text)); }
std::string TfmOptions::GetPlayListExt() const { return edtPlayListExt->text().toStdString(); }
void TfmOptions::SetPlayerCommand(const std::string &Text) { edtPlayerCommand->setText(Q(Text)); }
std::string TfmOptions::GetPlayerCommand() const { return edtPlayerCommand->text().toStdString(); }

void TfmOptions::SetIPList(TIPList *List) {
  lbIP->clear();
  IPList_ = List;
  if (!List) return;
  for (const TIPRange &R : *List) AddRangeItem(R.From(), R.To(), R.Tag != 0);
  // A disabled list shows no selection.
  if (!rbIPAddress->isChecked()) {
    lbIP->clearSelection();
    lbIP->setCurrentRow(-1);
  }
}

void TfmOptions::UpdateIPControls(QObject *Sender) {
  const bool IP = rbIPAddress->isChecked();
  for (QWidget *W :
       std::initializer_list<QWidget *>{lbIP, btnNewIP, btnEditIP, btnDeleteIP, btnClearIP,
                                        edtTimeOut, lblTimeout, lblMs, chkProbe445})
    W->setEnabled(IP);
  chkWsDiscovery->setEnabled(!IP);
  chkMdns->setEnabled(!IP);
  if (!IP) {
    lbIP->clearSelection();
    lbIP->setCurrentRow(-1);
  }
  // Choosing IP scanning with no ranges goes straight to "Add IP".
  if (Sender == rbIPAddress && IP && lbIP->count() == 0) NewIP();
}

std::vector<std::pair<QCheckBox *, const char *>> TfmOptions::ExtBoxes() const {
  return {{chkMP3, ".mp3"}, {chkMP2, ".mp2"},   {chkWMA, ".wma"}, {chkFLAC, ".flac"},
          {chkOGG, ".ogg"}, {chkOPUS, ".opus"}, {chkM4A, ".m4a"}};
}

void TfmOptions::OkClick() {
  const auto Boxes = ExtBoxes();
  if (std::none_of(Boxes.begin(), Boxes.end(),
                   [](const auto &B) { return B.first->isChecked(); })) {
    ShowMessageBox("No extension was selected.", MB_ICONWARNING);
    Pages->setCurrentIndex(SearchOptionsPage);
    return;
  }
  if (!ListsUsable(Entries(lbAllowedComp), Entries(lbDeniedComp))) {
    ShowMessageBox(TScanSession::Message(TSearchBlock::SameComps), MB_ICONINFORMATION);
    Pages->setCurrentIndex(CompFilterPage);
    return;
  }
  if (!ListsUsable(Entries(lbAllowedRes), Entries(lbDeniedRes))) {
    ShowMessageBox(TScanSession::Message(TSearchBlock::SameRes), MB_ICONINFORMATION);
    Pages->setCurrentIndex(ResourceFilterPage);
    return;
  }
  StoreControls();
  accept();
}

int ShowOptions(TfmOptions &Form, const QWidget *Owner, TNetScan &Scan, TMainFormSettings &Settings,
                int Page) {
  // Its whole size (adjustSize would stop at two thirds of the screen now that pages scroll);
  // FitToScreen below cuts it to the screen.
  if (!Form.testAttribute(Qt::WA_Resized)) Form.resize(Form.sizeHint());
  if (Owner) {
    const QRect O = Owner->frameGeometry();
    const QSize S = Form.frameGeometry().size();
    Form.move(O.left() + static_cast<int>(std::lround((O.width() - S.width()) / 2.0)),
              O.top() + static_cast<int>(std::lround((O.height() - S.height()) / 2.0)));
  }
  FitToScreen(&Form);
  Form.SetScan(&Scan);
  Form.SetPlayListExt(Settings.PlayListExt);
  Form.SetPlayerCommand(Settings.PlayerCommand);
  Form.chkReadTags->setChecked(Settings.ReadTags);
  Form.SetIPList(&Settings.IPRanges);
  if (Page >= 0 && Page < Form.Pages->count()) Form.Pages->setCurrentIndex(Page);
  const int Result = UserPrompts().ExecDialog(Form);
  if (Result != QDialog::Accepted) return Result;
  Settings.PlayListExt = Form.GetPlayListExt();
  Settings.PlayerCommand = Form.GetPlayerCommand();
  Settings.ReadTags = Form.chkReadTags->isChecked();
  Scan.IPResList->ClearList();
  ApplyIPRanges(Settings.IPRanges, Scan);
  SaveSettings(Scan, Settings);
  return Result;
}

} // namespace sonquarry
