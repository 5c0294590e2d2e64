#include "ui/main_form.h"
#include "engine/network.h"

#include "engine/scan_log.h"
#include "engine/scan_report.h"
#include "platform/exception.h"
#include "platform/folders.h"
#include "platform/gui/message_box.h"
#include "platform/gui/shell_services.h"
#include "platform/gui/user_prompts.h"
#include "platform/gui/window_services.h"
#include "platform/registry/registry.h"
#include "platform/wsd/wsd_provider.h"
#include "ui/file_list_model.h"
#include "ui/list_actions.h"
#include "ui/options_form.h"
#include "ui/row_selection.h"
#include "ui/status_panel.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QDesktopServices>
#include <QDialog>
#include <QDialogButtonBox>
#include <QGuiApplication>
#include <QHeaderView>
#include <QIcon>
#include <QItemSelectionModel>
#include <QKeyEvent>
#include <QLabel>
#include <QLocale>
#include <QMenu>
#include <QMenuBar>
#include <QMetaObject>
#include <QScreen>
#include <QSignalBlocker>
#include <QStatusBar>
#include <QTableView>
#include <QTime>
#include <QTimer>
#include <QToolBar>
#include <QUrl>
#include <QVBoxLayout>
#include <algorithm>
#include <exception>
#include <filesystem>

namespace sonquarry {

namespace {

// The hourglass for a long list operation, restored on every way out.
class TWaitCursor {
public:
  TWaitCursor() { QApplication::setOverrideCursor(Qt::WaitCursor); }
  ~TWaitCursor() { QApplication::restoreOverrideCursor(); }
  TWaitCursor(const TWaitCursor &) = delete;
  TWaitCursor &operator=(const TWaitCursor &) = delete;
};

// No redraw while rows are rebuilt; the view is redrawn, enabled and focused on the way out.
class TViewFrozen {
public:
  explicit TViewFrozen(QTableView *V) : View(V) { View->setUpdatesEnabled(false); }
  ~TViewFrozen() {
    View->setUpdatesEnabled(true);
    View->viewport()->update();
    View->setFocus();
  }
  TViewFrozen(const TViewFrozen &) = delete;
  TViewFrozen &operator=(const TViewFrozen &) = delete;

private:
  QTableView *View;
};

// What the framework does with an error that reaches a command: it shows its message.
void ShowError(std::exception_ptr E) {
  try {
    std::rethrow_exception(E);
  } catch (const std::exception &X) {
    ShowMessageBox(X.what(), MB_OK);
  } catch (...) {
    ShowMessageBox("Unknown error.", MB_OK);
  }
}

template <class F> void Guarded(F &&Fn) {
  try {
    Fn();
  } catch (...) {
    ShowError(std::current_exception());
  }
}

QIcon ThemeIcon(const char *Theme, const char *Own) {
  return QIcon::fromTheme(QString::fromLatin1(Theme), QIcon(QString::fromLatin1(Own)));
}

constexpr int ColumnWidths[3] = {150, 100, 400};
constexpr int PanelWidths[5] = {80, 150, 150, 120, 50};
const char *const PanelInitial[5] = {
    "Files:", "Selected files:", "Status:", "Resources: ", "Time:"};
// The longest text each panel shows in use: a narrow window shrinks the panels down to it, so
// the last one is never cut off.
const char *const PanelWidest[5] = {"Files: 0000000", "Selected files: 0000000",
                                    "Status: searching...", "Resources: 000000", "Time: 00:00:00"};

const char *const ColumnWidthValues[3] = {"Col1Width", "Col2Width", "Col3Width"};

} // namespace

TMainForm::TMainForm(QWidget *Parent) : QMainWindow(Parent) {
  InitUiResources();
  setWindowTitle("Vantrell Sonquarry");
  SetApplicationTitle("Vantrell Sonquarry");
  resize(630, 477);
  if (const QScreen *s = QGuiApplication::primaryScreen()) {
    const QRect area = s->availableGeometry();
    move(area.center() - QPoint(630 / 2, 477 / 2));
  }

  FileTree = std::make_unique<TWNetTree>();
  Scan = std::make_unique<TNetScan>();
  Scan->OnFilesFound = [this](TScanResThread *, const std::string &Dir,
                              const std::vector<std::string> &Names,
                              const std::string &Domain) { FilesFound(Dir, Names, Domain); };
  Scan->OnResEnumerated = [this](TScanResThread *, const TNetResStrings &Children) {
    ResourcesEnumerated(static_cast<int>(Children.size()));
  };
  Scan->OnFinish = [this](TNetScan *) { Guarded([this] { ScanFinished(); }); };
  Timer = new QTimer(this);
  Timer->setInterval(1000);
  connect(Timer, &QTimer::timeout, this, [this] {
    ShowElapsed(
        std::chrono::duration<double>(std::chrono::steady_clock::now() - StartTime).count());
  });

  RowsTimer = new QTimer(this);
  RowsTimer->setSingleShot(true);
  RowsTimer->setInterval(RowsInterval);
  connect(RowsTimer, &QTimer::timeout, this, &TMainForm::InsertWaitingRows);

  CreateList();
  CreateActions();
  CreateMenus();
  CreateToolBar();
  CreateStatusBar();

  SetOptionsHandler([this](int PageIndex) {
    if (Closed_) return false;
    if (!OptionsForm) {
      OptionsForm = std::make_unique<TfmOptions>(this);
      OptionsForm->OnHelp = ShowHelpTopic;
    }
    return sonquarry::ShowOptions(*OptionsForm, this, *Scan, Settings, PageIndex) ==
           QDialog::Accepted;
  });

  // Registry problems that reach no caller (a hive that does not parse, changes not saved): the
  // log and the user hear of them.
  registry::SetRegistryLogHandler([](const std::string &Line) {
    {
      const std::lock_guard<std::mutex> lock(ScanLogLock);
      Log.Add(1, Line);
    }
    ShowMessageBox(Line, MB_ICONWARNING);
  });

  // Defaults, then what the registry holds.
  ApplyMainFormDefaults(*Scan, Settings);
  LoadSettings(*Scan, Settings, *Scan);

  ShowFileCount(0);
  ShowSelectedCount(0);
  ShowElapsed(0);

  ListFileName = platform::GetProgramDir() + "Sonquarry.lst";
  LoadList();

  Log.SetFileName(platform::GetProgramDir() + "search.log");
  Log.SetLevel(4);

  UpdateSelectionCommands();
  UpdateRemoveCommand();
  EnableScanCommands(false);
  SortState = {0, 0, 0};
  QMetaObject::invokeMethod(
      this, [this] { Guarded([this] { FirstRunPrompt(); }); }, Qt::QueuedConnection);
}

TMainForm::~TMainForm() {
  // The view must not ask a released tree for rows.
  ListView->setModel(nullptr);
  registry::SetRegistryLogHandler(nullptr);
  try {
    Scan.reset();
  } catch (...) {
  }
}

// ---- building

QAction *TMainForm::NewAction(const char *Text, const QKeySequence &Shortcut) {
  auto *a = new QAction(QString::fromUtf8(Text), this);
  if (!Shortcut.isEmpty()) a->setShortcut(Shortcut);
  a->setEnabled(false);
  return a;
}

void TMainForm::CreateActions() {
  actSavePlaylist = NewAction("Save selected to playlist", QKeySequence("Ctrl+S"));
  actSavePlaylistAs = NewAction("Save selected to playlist as...", QKeySequence("Ctrl+Shift+S"));
  actSavePlaylistAs->setIconText("Save");
  actSavePlaylistAs->setToolTip("Save selected files to play list");
  actSavePlaylistAs->setIcon(ThemeIcon("document-save", ":/icons/save.svg"));
  actCopy = NewAction("Copy selected files to directory...", QKeySequence("Ctrl+C"));
  actExportHtml = NewAction("HTML");
  actExportText = NewAction("Text file");
  actExit = NewAction("Exit", QKeySequence("Alt+F4"));

  actPlay = NewAction("Play selected files", QKeySequence("Ctrl+P"));
  actPlay->setIconText("Play");
  actPlay->setToolTip("Play selected files");
  actPlay->setIcon(ThemeIcon("media-playback-start", ":/icons/play.svg"));
  actClear = NewAction("Clear", QKeySequence("Ctrl+Alt+C"));
  actClear->setToolTip("Clear list");
  actClear->setIcon(ThemeIcon("edit-clear", ":/icons/clear.svg"));
  actSelectAll = NewAction("Select all", QKeySequence("Ctrl+A"));
  actInvertSelection = NewAction("Invert selection", QKeySequence("Alt+I"));
  actDelete = NewAction("Delete from list", QKeySequence(Qt::Key_Delete));
  actDelete->setIconText("Delete");
  actDelete->setToolTip("Delete selected files");
  actDelete->setIcon(ThemeIcon("edit-delete", ":/icons/delete.svg"));
  actRemoveInaccessible =
      NewAction("Remove all inaccessible files", QKeySequence(Qt::CTRL | Qt::Key_Delete));
  actFindItem = NewAction("Find item...", QKeySequence("Ctrl+F"));
  actFindItem->setIconText("Find");
  actFindItem->setToolTip("Find item");
  actFindItem->setIcon(ThemeIcon("edit-find", ":/icons/find.svg"));
  actFindNext = NewAction("Find next", QKeySequence(Qt::Key_F3));
  actShowFirstSelected = NewAction("Show first selected item", QKeySequence(Qt::Key_F4));

  actSearch = NewAction("Search", QKeySequence(Qt::Key_F9));
  actSearch->setToolTip("Start search");
  actSearch->setIcon(ThemeIcon("system-search", ":/icons/search.svg"));
  actStop = NewAction("Stop", QKeySequence("Ctrl+Alt+A"));
  actStop->setToolTip("Stop search");
  actStop->setIcon(ThemeIcon("process-stop", ":/icons/stop.svg"));
  actOptions = NewAction("Options...", QKeySequence(Qt::Key_F12));
  actOptions->setIconText("Options");
  actOptions->setToolTip("Options and filters");
  actOptions->setIcon(ThemeIcon("preferences-system", ":/icons/options.svg"));

  actHelpContents = NewAction("Contents", QKeySequence(Qt::Key_F1));
  actHelpGettingStarted = NewAction("Getting started");
  actHelpFaq = NewAction("FAQ and tips");
  actAbout = NewAction("About...");

  pmSavePlaylist = NewAction("Save selected to playlist", QKeySequence("Ctrl+S"));
  pmSavePlaylist->setShortcutContext(Qt::WidgetShortcut); // shown only; Ctrl+S is File's
  pmAddDenied = NewAction("Add current computer to denied list");
  pmRemoveDenied = NewAction("Remove current computer form denied list");

  ConnectCommand(actExit, [this] {
    // Exit also leaves a copy of the list in the current directory; its result does not matter.
    SaveListFile("scan.lst", *FileTree);
    close();
  });
  ConnectCommand(actSearch, [this] { Search(); });
  ConnectCommand(actStop, [this] { Stop(); });
  ConnectCommand(actOptions, [this] { ShowOptions(-1); });
  ConnectCommand(actClear, [this] { Clear(); });
  ConnectCommand(actSelectAll, [this] { SelectAll(); });
  ConnectCommand(actInvertSelection, [this] { InvertSelection(); });
  ConnectCommand(actDelete, [this] { DeleteSelected(); });
  ConnectCommand(actRemoveInaccessible, [this] { RemoveInaccessible(); });
  ConnectCommand(actHelpContents, [] { ShowHelpTopic("info.htm"); });
  ConnectCommand(actHelpGettingStarted, [] { ShowHelpTopic("gettingstarted.htm"); });
  ConnectCommand(actHelpFaq, [] { ShowHelpTopic("faq.htm"); });
  ConnectCommand(actAbout, [this] { ShowAbout(); });
  ConnectCommand(pmAddDenied, [this] {
    const std::string entry = CurrentComputerEntry();
    if (!entry.empty() && IndexOfText(Scan->Filter.DeniedComps, entry) < 0)
      Scan->Filter.DeniedComps.push_back(entry);
  });
  ConnectCommand(pmRemoveDenied, [this] {
    const std::string entry = CurrentComputerEntry();
    if (entry.empty()) return;
    auto &denied = Scan->Filter.DeniedComps;
    const int i = IndexOfText(denied, entry);
    if (i < 0) return;
    denied.erase(denied.begin() + i);
    SaveSettings(*Scan, Settings);
  });
  ConnectListActions();
  connect(pmSavePlaylist, &QAction::triggered, actSavePlaylistAs, &QAction::trigger);
  connect(actSavePlaylistAs, &QAction::enabledChanged, pmSavePlaylist, &QAction::setEnabled);

  // Esc anywhere in the window closes it.
  auto *esc = new QAction(this);
  esc->setShortcut(Qt::Key_Escape);
  esc->setShortcutContext(Qt::WindowShortcut);
  connect(esc, &QAction::triggered, this, &QWidget::close);
  addAction(esc);
}

void TMainForm::CreateMenus() {
  FileMenu = menuBar()->addMenu("&File");
  FileMenu->addAction(actSavePlaylist);
  FileMenu->addAction(actSavePlaylistAs);
  FileMenu->addSeparator();
  FileMenu->addAction(actCopy);
  ExportMenu = FileMenu->addMenu("Export");
  ExportMenu->addAction(actExportHtml);
  ExportMenu->addAction(actExportText);
  FileMenu->addSeparator();
  FileMenu->addAction(actExit);

  PlayListMenu = menuBar()->addMenu("&PlayList");
  PlayListMenu->addAction(actPlay);
  PlayListMenu->addSeparator();
  PlayListMenu->addAction(actClear);
  PlayListMenu->addAction(actSelectAll);
  PlayListMenu->addAction(actInvertSelection);
  PlayListMenu->addAction(actDelete);
  PlayListMenu->addSeparator();
  PlayListMenu->addAction(actRemoveInaccessible);
  PlayListMenu->addSeparator();
  PlayListMenu->addAction(actFindItem);
  PlayListMenu->addAction(actFindNext);
  PlayListMenu->addAction(actShowFirstSelected);

  ScanMenu = menuBar()->addMenu("&Scan");
  ScanMenu->addAction(actSearch);
  ScanMenu->addAction(actStop);
  ScanMenu->addSeparator();
  ScanMenu->addAction(actOptions);

  HelpMenu = menuBar()->addMenu("&Help");
  HelpMenu->addAction(actHelpContents);
  HelpMenu->addAction(actHelpGettingStarted);
  HelpMenu->addAction(actHelpFaq);
  HelpMenu->addSeparator();
  HelpMenu->addAction(actAbout);

  ListPopup = new QMenu(this);
  ListPopup->addAction(actPlay);
  ListPopup->addAction(pmSavePlaylist);
  ListPopup->addAction(actCopy);
  ListPopup->addSeparator();
  ListPopup->addAction(actClear);
  ListPopup->addAction(actSelectAll);
  ListPopup->addAction(actInvertSelection);
  ListPopup->addAction(actDelete);
  ListPopup->addSeparator();
  ListPopup->addAction(actRemoveInaccessible);
  ListPopup->addSeparator();
  ListPopup->addAction(actFindItem);
  ListPopup->addAction(actFindNext);
  ListPopup->addAction(actShowFirstSelected);
  ListPopup->addSeparator();
  ListPopup->addAction(pmAddDenied);
  ListPopup->addAction(pmRemoveDenied);
}

void TMainForm::CreateToolBar() {
  ToolBar = addToolBar("Toolbar");
  ToolBar->setObjectName("ToolBar");
  ToolBar->setMovable(false);
  ToolBar->setIconSize(QSize(24, 24));
  ToolBar->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
  ToolBar->addAction(actSearch);
  ToolBar->addAction(actStop);
  ToolBar->addSeparator();
  ToolBar->addAction(actPlay);
  ToolBar->addAction(actSavePlaylistAs);
  ToolBar->addAction(actDelete);
  ToolBar->addAction(actClear);
  ToolBar->addSeparator();
  ToolBar->addAction(actFindItem);
  ToolBar->addAction(actOptions);
}

void TMainForm::CreateList() {
  Model = new TFileListModel(*FileTree, this);
  auto *view = new TListView(this);
  ListView = view;
  ListView->setObjectName("ListView");
  ListView->setModel(Model);
  view->UseRowSelection();
  ListView->setShowGrid(true);
  ListView->setSelectionBehavior(QAbstractItemView::SelectRows);
  ListView->setSelectionMode(QAbstractItemView::ExtendedSelection);
  ListView->setEditTriggers(QAbstractItemView::NoEditTriggers);
  ListView->setWordWrap(false);
  ListView->setIconSize(QSize(16, 16));
  ListView->setSortingEnabled(false);
  ListView->setContextMenuPolicy(Qt::CustomContextMenu);
  // Fixed row heights: the view never measures a million rows.
  QHeaderView *rows = ListView->verticalHeader();
  rows->setVisible(false);
  rows->setSectionResizeMode(QHeaderView::Fixed);
  rows->setDefaultSectionSize(ListView->fontMetrics().height() + 4);
  QHeaderView *cols = ListView->horizontalHeader();
  cols->setSectionResizeMode(QHeaderView::Interactive);
  cols->setStretchLastSection(false);
  cols->setSectionsClickable(true);
  cols->setHighlightSections(false);
  cols->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
  for (int c = 0; c < 3; ++c) ListView->setColumnWidth(c, ColumnWidths[c]);
  setCentralWidget(ListView);

  connect(cols, &QHeaderView::sectionClicked, this,
          [this](int Column) { Guarded([&] { ColumnClick(Column); }); });
  connect(ListView, &QWidget::customContextMenuRequested, this,
          [this](const QPoint &At) { ListPopup->popup(ListView->viewport()->mapToGlobal(At)); });
  connect(ListView, &QAbstractItemView::doubleClicked, this, [this](const QModelIndex &I) {
    if (I.isValid() && Connected(actPlay)) actPlay->trigger();
  });
  connect(ListView->selectionModel(), &QItemSelectionModel::selectionChanged, this,
          [this] { SelectionChanged(); });
  ListView->installEventFilter(this);
}

void TMainForm::CreateStatusBar() {
  for (int i = 0; i < 5; ++i) {
    auto *l =
        new TStatusPanel(QString::fromLatin1(PanelInitial[i]), PanelWidths[i],
                         QString::fromLatin1(PanelWidest[i]), QString("Panel%1").arg(i), this);
    Panels_[i] = l;
    statusBar()->addWidget(l, i == 4 ? 1 : 0);
  }
}

// ---- commands and their enabling

void TMainForm::ConnectCommand(QAction *Action, std::function<void()> Handler) {
  Wired_.insert(Action);
  connect(Action, &QAction::triggered, this, [H = std::move(Handler)] { Guarded(H); });
  if (Action == actOptions || Action == actSearch || Action == actStop) {
    EnableScanCommands(ScanState != 0);
    return;
  }
  UpdateListCommands();
  UpdateSelectionCommands();
  UpdateRemoveCommand();
  // Commands without a rule are always available.
  const QAction *ruledActions[] = {actSavePlaylist, actSavePlaylistAs,     actCopy,
                                   actExportHtml,   actExportText,         actPlay,
                                   actClear,        actSelectAll,          actInvertSelection,
                                   actDelete,       actRemoveInaccessible, actFindItem,
                                   actFindNext,     actShowFirstSelected,  pmAddDenied,
                                   pmRemoveDenied};
  if (std::find(std::begin(ruledActions), std::end(ruledActions), Action) == std::end(ruledActions))
    Action->setEnabled(true);
}

void TMainForm::SetEnabled(QAction *Action, bool Enabled) {
  Action->setEnabled(Enabled && Connected(Action));
}

void TMainForm::SetOptionsHandler(std::function<bool(int PageIndex)> Handler) {
  OptionsHandler_ = std::move(Handler);
  EnableScanCommands(ScanState != 0);
}

bool TMainForm::ShowOptions(int PageIndex) {
  return OptionsHandler_ ? OptionsHandler_(PageIndex) : false;
}

// ---- search run control

void TMainForm::SetScanState(uint8_t State) {
  static const char *const texts[] = {"Status: ", "Status: searching...", "Status: stopping..."};
  ScanState = State;
  Panels_[2]->setText(texts[State < 3 ? State : 0]);
}

void TMainForm::EnableScanCommands(bool Running) {
  SetEnabled(actSearch, !Running);
  SetEnabled(actOptions, !Running && OptionsHandler_ != nullptr);
  SetEnabled(actStop, Running);
}

void TMainForm::ShowResourceCount(int Count) {
  ResourceCount = Count;
  Panels_[3]->setText(QString("Resources: %1").arg(Count));
}

void TMainForm::ShowElapsed(double Seconds) {
  Panels_[4]->setText(QString::fromStdString("Time: " + FormatHMS(Seconds)));
}

bool TMainForm::HaveAddressesToScan() {
  for (;;) {
    if (Scan->NetBios || Scan->IPRangeCount() != 0) return true;
    ShowInfoMessage("No IP addresses for scanning.");
    if (!ShowOptions(1)) return false;
  }
}

void TMainForm::Search() {
  if (ScanState != 0) return; // a second search waits for the end of the first
  if (!Scan->Filter.CompListsUsable()) {
    ShowMessageBox("Allowed and denied list of coumputers are the same. No computers to scanning.",
                   MB_ICONINFORMATION);
    return;
  }
  if (!Scan->Filter.ResListsUsable()) {
    ShowMessageBox("Allowed and denied list of resources are the same. No resources to scanning.",
                   MB_ICONINFORMATION);
    return;
  }
  if (!HaveAddressesToScan()) return;
  StartTime = std::chrono::steady_clock::now();
  try {
    EnableScanCommands(true);
    ShowResourceCount(0);
    if (Scan->IsClearBefor) {
      ListView->selectionModel()->clear();
      ShowFileCount(0);
      FileTree->Clear();
      ShowSelectedCount(SelectedRowCount());
    }
    FileTree->ResetMarks();
    Model->RefreshAll();
    try {
      // One discovery per scan, around whatever serves the SMB requests (a provider that the
      // scan was given is left as it is).
      UseWsDiscovery(Scan->NetBios && Scan->WsDiscovery);
      Scan->Start();
    } catch (...) {
      SetScanState(0);
      throw;
    }
    SetScanState(1);
    StartTime = std::chrono::steady_clock::now();
    Timer->start();
  } catch (...) {
    ScanFinished();
    throw;
  }
}

void TMainForm::Stop() {
  if (ScanState == 0) return;
  SetScanState(2);
  Scan->Stop();
}

void TMainForm::FilesFound(const std::string &Dir, const std::vector<std::string> &FileNames,
                           const std::string &Domain) {
  const int before = FileTree->Count();
  for (const auto &name : FileNames) FileTree->AddFile(Domain, Dir, name);
  const int after = FileTree->Count();
  if (after != before) {
    // The count at once, the rows with the next insert.
    Panels_[0]->setText(QString("Files: %1").arg(after));
    if (!RowsTimer->isActive()) RowsTimer->start();
  }
  if (after != before && SortState != std::array<uint8_t, 3>{0, 0, 0}) {
    // New rows go to the end: the list is no longer sorted.
    SortState = {0, 0, 0};
    ListView->horizontalHeader()->setSortIndicatorShown(false);
  }
}

void TMainForm::ResourcesEnumerated(int Children) { ShowResourceCount(ResourceCount + Children); }

void TMainForm::ScanFinished() {
  Timer->stop();
  InsertWaitingRows();
  EnableScanCommands(false);
  SetScanState(0);
  FileTree->FinishMarks();
  Model->RefreshAll();
  UpdateRemoveCommand();
  ShowScanReport(
      std::chrono::duration<double>(std::chrono::steady_clock::now() - StartTime).count());
}

void TMainForm::ShowScanReport(double Seconds) {
  // The search time as a time of day in the locale's long format (without a time zone).
  QString format = QLocale().timeFormat(QLocale::LongFormat);
  format.remove('t');
  const QTime time = QTime(0, 0).addMSecs(static_cast<int>(Seconds * 1000) % 86400000);
  TScanSummary s;
  s.SearchTime = QLocale().toString(time, format.trimmed()).toStdString();
  s.FoundComps = Scan->FoundComps;
  s.ScannedComps = Scan->ScannedComps;
  s.AllFiles = FileTree->Count();
  s.NewFiles = FileTree->CountByState(nsNew);
  s.RemovedFiles = FileTree->CountByState(nsInaccessible);
  s.UnknownFiles = FileTree->CountByState(nsUnreached);
  ShowMessageBox(ScanReportText(s), MB_ICONINFORMATION);
}

void TMainForm::FirstRunPrompt() {
  if (!Settings.ScanMethodUnset || Closed_) return;
  ShowInfoMessage("Please select network search mode.");
  ShowOptions(1); // nothing once the window closed meanwhile (the Options handler checks)
}

void TMainForm::UpdateListCommands() {
  const bool rows = FileTree->Count() > 0;
  for (QAction *a : {actClear, actSelectAll, actFindItem, actInvertSelection, actExportHtml,
                     actExportText, pmAddDenied, pmRemoveDenied})
    SetEnabled(a, rows);
  SetEnabled(actFindNext, rows && TreeSearch != nullptr);
}

void TMainForm::UpdateSelectionCommands() {
  const bool any = !SelectedRanges().empty();
  for (QAction *a :
       {actPlay, actDelete, actSavePlaylist, actSavePlaylistAs, actCopy, actShowFirstSelected})
    SetEnabled(a, any);
}

void TMainForm::UpdateRemoveCommand() {
  bool some = false;
  for (const TNodeId id : FileTree->Files()) {
    const TNodeState s = FileTree->Node(id).State();
    if (s == nsInaccessible || s == nsUnreached) {
      some = true;
      break;
    }
  }
  SetEnabled(actRemoveInaccessible, some);
}

void TMainForm::InsertWaitingRows() {
  RowsTimer->stop();
  if (Model->RowCount() != FileTree->Count()) ShowFileCount(FileTree->Count());
}

void TMainForm::ShowFileCount(int Count) {
  Model->SetRowCount(Count);
  Panels_[0]->setText(QString("Files: %1").arg(Count));
  UpdateListCommands();
}

void TMainForm::ShowSelectedCount(int Count) {
  SelectedCount = Count;
  Panels_[1]->setText(QString("Selected files: %1").arg(Count));
}

QString TMainForm::PanelText(int Panel) const { return Panels_.at(Panel)->text(); }

// A selection change from the mouse, the keyboard or a command: the count and the commands
// that need a selection follow at once.
void TMainForm::SelectionChanged() {
  UpdateSelectionCommands();
  ShowSelectedCount(SelectedRowCount());
}

// ---- selection

TRowRanges TMainForm::SelectedRanges() const {
  return SelectedRowRanges(ListView->selectionModel());
}

int TMainForm::SelectedRowCount() const { return RowCountOf(SelectedRanges()); }

std::vector<int> TMainForm::SelectedRows() const {
  std::vector<int> rows;
  for (const TRowRange &r : SelectedRanges())
    for (int i = r.First; i <= r.Last; ++i) rows.push_back(i);
  return rows;
}

int TMainForm::FocusedRow() const {
  const QModelIndex i = ListView->selectionModel()->currentIndex();
  return i.isValid() ? i.row() : -1;
}

// \\Computer of the one selected row; empty unless exactly one row is selected.
std::string TMainForm::CurrentComputerEntry() const {
  const auto ranges = SelectedRanges();
  if (ranges.size() != 1 || ranges[0].First != ranges[0].Last) return {};
  const std::string dir = FileTree->GetDirectory(ranges[0].First);
  const size_t start = dir.rfind("\\\\", 0) == 0 ? 2 : 0;
  const size_t end = dir.find('\\', start);
  return "\\\\" + dir.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

void TMainForm::SelectOnly(int Row) {
  const QModelIndex i = Model->index(Row, 0);
  ListView->selectionModel()->setCurrentIndex(i, QItemSelectionModel::ClearAndSelect |
                                                     QItemSelectionModel::Rows);
  CenterListItem(Row, ListView);
}

// ---- the list's commands

void TMainForm::ColumnClick(int Column) {
  if (Column < 0 || Column > 2 || Model->RowCount() <= 1) return;
  TWaitCursor wait;
  TViewFrozen frozen(ListView);
  bool remembered = false;
  std::string name, domain, directory; // of the first selected row
  const auto ranges = SelectedRanges();
  if (!ranges.empty()) {
    const int first = ranges.front().First;
    name = FileTree->File(first).Name();
    domain = FileTree->GetDomain(first);
    directory = FileTree->GetDirectory(first);
    remembered = true;
  }
  ListView->selectionModel()->clear();
  const uint8_t prev = SortState[Column];
  SortState = {0, 0, 0};
  SortState[Column] = prev == 1 ? 2 : 1;
  Model->BeginReorder();
  try {
    FileTree->Sort(Column, SortState[Column] == 1);
  } catch (...) {
    Model->EndReorder();
    throw;
  }
  Model->EndReorder();
  ListView->horizontalHeader()->setSortIndicatorShown(true);
  ListView->horizontalHeader()->setSortIndicator(
      Column, SortState[Column] == 1 ? Qt::AscendingOrder : Qt::DescendingOrder);
  if (remembered) {
    const int n = FileTree->Count();
    for (int i = 0; i < n; ++i) {
      if (FileTree->File(i).Name() != name) continue;
      if (FileTree->GetDirectory(i) != directory || FileTree->GetDomain(i) != domain) continue;
      SelectOnly(i);
      break;
    }
  }
}

void TMainForm::SelectAll() {
  TWaitCursor wait;
  TViewFrozen frozen(ListView);
  if (Model->RowCount() > 0) ListView->selectAll();
  ShowSelectedCount(SelectedRowCount());
}

void TMainForm::InvertSelection() {
  TWaitCursor wait;
  if (Model->RowCount() > 0) {
    TViewFrozen frozen(ListView);
    static_cast<TRowSelectionModel *>(ListView->selectionModel())->Invert();
  }
  ShowSelectedCount(SelectedRowCount());
}

void TMainForm::DeleteSelected() {
  const std::vector<int> rows = SelectedRows();
  if (rows.empty()) return;
  int next = -1;
  if (const int focused = FocusedRow(); focused >= 0) next = focused + 1;
  TWaitCursor wait;
  {
    TViewFrozen frozen(ListView);
    ListView->selectionModel()->clear();
    if (next != -1)
      next -= static_cast<int>(std::lower_bound(rows.begin(), rows.end(), next) - rows.begin());
    struct TCountAfter {
      TMainForm *F;
      ~TCountAfter() {
        F->Model->Reload();
        F->ShowFileCount(F->FileTree->Count());
      }
    } countAfter{this};
    FileTree->RemoveFiles(rows);
  }
  const int n = FileTree->Count();
  if (n > 0 && next != -1) SelectOnly(std::min(next, n - 1));
  UpdateSelectionCommands();
  UpdateRemoveCommand();
  ShowSelectedCount(SelectedRowCount());
}

void TMainForm::RemoveInaccessible() {
  TWaitCursor wait;
  TViewFrozen frozen(ListView);
  ListView->selectionModel()->clear();
  if (FileTree->RemoveFilesInState(nsInaccessible) > 0) Model->Reload();
  ShowFileCount(FileTree->Count());
  ShowSelectedCount(SelectedRowCount());
}

void TMainForm::Clear() {
  TWaitCursor wait;
  TViewFrozen frozen(ListView);
  ListView->selectionModel()->clear();
  FileTree->Clear();
  ShowFileCount(0);
  UpdateSelectionCommands();
  UpdateRemoveCommand();
  ShowSelectedCount(SelectedRowCount());
}

void TMainForm::InsertReleased() {
  const int n = Model->RowCount();
  const int focused = FocusedRow();
  if (SelectedRowCount() == 0 || focused < 0 || focused >= n - 1) return;
  const QModelIndex next = Model->index(focused + 1, 0);
  auto *sm = ListView->selectionModel();
  sm->setCurrentIndex(next, QItemSelectionModel::NoUpdate);
  sm->select(next, QItemSelectionModel::Toggle | QItemSelectionModel::Rows);
  ListView->scrollTo(next);
}

bool TMainForm::eventFilter(QObject *Watched, QEvent *Event) {
  if (Watched == ListView) {
    if (Event->type() == QEvent::KeyPress) {
      const auto *k = static_cast<QKeyEvent *>(Event);
      if (k->key() == Qt::Key_Return || k->key() == Qt::Key_Enter) {
        if (Connected(actPlay)) actPlay->trigger();
        return true;
      }
    } else if (Event->type() == QEvent::KeyRelease) {
      const auto *k = static_cast<QKeyEvent *>(Event);
      if (k->key() == Qt::Key_Insert && !k->isAutoRepeat()) InsertReleased();
      ShowSelectedCount(SelectedRowCount());
    }
  }
  return QMainWindow::eventFilter(Watched, Event);
}

// ---- list file, window position, column widths

void TMainForm::LoadList() {
  FileTree->Loading = true;
  try {
    switch (LoadListFile(ListFileName, *FileTree)) {
    case 1:
      ShowErrorMessage("The file " + ListFileName + " exists, but can not be opened.");
      break;
    case 2:
      ShowErrorMessage("Can not read data from list file " + ListFileName + ".");
      break;
    case 3:
      ShowErrorMessage("Can not add data from list file.");
      break;
    default:
      break;
    }
  } catch (const std::exception &E) {
    ShowMessageBox(E.what(), MB_OK);
  }
  FileTree->Loading = false;
  ShowFileCount(FileTree->Count());
}

void TMainForm::SaveList() {
  const std::string dir = std::filesystem::path(ListFileName).parent_path().string();
  std::error_code ec;
  if (!dir.empty() && !std::filesystem::is_directory(dir, ec)) {
    ShowErrorMessage("Can not write list file. Dirrectory " + dir + " does not exist.");
    return;
  }
  try {
    switch (SaveListFile(ListFileName, *FileTree)) {
    case 1:
      ShowErrorMessage("Can not create list file " + ListFileName + ".");
      break;
    case 2:
      ShowErrorMessage("Can not get tree data.");
      break;
    case 3:
      ShowErrorMessage("Can not write data to list file " + ListFileName + ".");
      break;
    default:
      break;
    }
  } catch (const std::exception &E) {
    ShowErrorMessage(E.what());
  }
}

void TMainForm::ReadColumnWidths() {
  registry::TRegistry reg;
  if (!reg.OpenKeyReadOnly(SettingsKey)) return;
  for (int c = 0; c < 3; ++c) {
    if (reg.ValueExists(ColumnWidthValues[c]))
      ListView->setColumnWidth(c, reg.ReadInteger(ColumnWidthValues[c]));
  }
}

void TMainForm::WriteColumnWidths() {
  registry::TRegistry reg;
  if (!reg.OpenKey(SettingsKey, true)) return;
  reg.WriteString("PathForCopy", Settings.PathForCopy);
  for (int c = 0; c < 3; ++c) reg.WriteInteger(ColumnWidthValues[c], ListView->columnWidth(c));
}

void TMainForm::WritePositionAndWidths() {
  try {
    registry::TRegistry reg;
    WriteFormPosition(this, &reg, MainFormKey);
  } catch (...) {
  }
  try {
    WriteColumnWidths();
  } catch (...) {
  }
}

void TMainForm::FirstActivation() {
  try {
    registry::TRegistry reg;
    ReadFormPosition(this, &reg, MainFormKey);
  } catch (...) {
  }
  try {
    ReadColumnWidths();
  } catch (...) {
  }
  Activated = true;
}

bool TMainForm::event(QEvent *Event) {
  if (!Activated && (Event->type() == QEvent::Show || Event->type() == QEvent::WindowActivate))
    FirstActivation();
  return QMainWindow::event(Event);
}

void TMainForm::changeEvent(QEvent *Event) { QMainWindow::changeEvent(Event); }

void TMainForm::closeEvent(QCloseEvent *Event) {
  Event->accept(); // closing is never refused
  Shutdown();
}

void TMainForm::Shutdown() {
  if (Closed_) return;
  Closed_ = true;
  if (ScanState != 0) {
    // The user sees the window go at once; the threads end on their own.
    hide();
    Scan->Stop();
  }
  Timer->stop();
  SaveList();
  WritePositionAndWidths();
  CloseHelpWindow();
  try {
    ListView->selectionModel()->clear();
    FileTree->Clear();
    Model->Reload();
  } catch (...) {
  }
  try {
    // Cuts the threads' hand-overs: no handler of this window runs from here on. The object
    // itself stays: a dialog open when the session ended may still be on the stack above us.
    Scan->Detach();
  } catch (...) {
  }
}

void TMainForm::ShowAbout() {
  QDialog box(this);
  box.setObjectName("AboutBox");
  box.setWindowTitle("About");
  auto *layout = new QVBoxLayout(&box);
  auto *icon = new QLabel(&box);
  icon->setPixmap(QIcon(":/icons/sonquarry.svg").pixmap(48, 48));
  icon->setAlignment(Qt::AlignCenter);
  auto *name = new QLabel("<b>Vantrell Sonquarry</b>", &box);
  name->setAlignment(Qt::AlignCenter);
  auto *version = new QLabel("Version 2.0", &box);
  version->setAlignment(Qt::AlignCenter);
  auto *links = new QLabel("<a href=\"https://sonquarry.example.org/\">sonquarry.example.org</a>"
                           "<br><a href=\"mailto:support@sonquarry.example.org\">"
                           "support@sonquarry.example.org</a>",
                           &box);
  links->setObjectName("AboutLinks");
  links->setAlignment(Qt::AlignCenter);
  links->setTextInteractionFlags(Qt::TextBrowserInteraction);
  links->setOpenExternalLinks(true);
  auto *buttons = new QDialogButtonBox(QDialogButtonBox::Ok, &box);
  connect(buttons, &QDialogButtonBox::accepted, &box, &QDialog::accept);
  for (QWidget *w : std::initializer_list<QWidget *>{icon, name, version, links, buttons})
    layout->addWidget(w);
  box.adjustSize();
  box.move(geometry().center() - box.rect().center());
  UserPrompts().ExecDialog(box);
}

} // namespace sonquarry
