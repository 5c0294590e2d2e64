#include "ui/main_window/main_form.h"
#include "ui/list/tag_columns.h"

#include "platform/files/folders.h"
#include "platform/os/errors.h"
#include "text/text.h"
#include "ui/dialogs/options_form.h"
#include "ui/export/report.h"
#include "ui/list/file_list_model.h"
#include "ui/list/row_selection.h"
#include "ui/main_window/list_actions.h"
#include "ui/main_window/single_window.h"
#include "ui/main_window/status_panel.h"
#include "ui/services/message_box.h"
#include "ui/services/shell_services.h"
#include "ui/services/user_prompts.h"
#include "ui/services/window_services.h"

#include <QAction>
#include <QDialog>
#include <QDialogButtonBox>
#include <QGuiApplication>
#include <QHeaderView>
#include <QIcon>
#include <QItemSelectionModel>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QMetaObject>
#include <QScreen>
#include <QStatusBar>
#include <QStyle>
#include <QTableView>
#include <QTimer>
#include <QToolBar>
#include <QVBoxLayout>
#include <algorithm>
#include <cerrno>
#include <exception>

namespace sonquarry {

namespace {

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

} // namespace

TMainForm::TMainForm(std::shared_ptr<TNetwork> Network, QWidget *Parent)
    : QMainWindow(Parent), Network_(std::move(Network)) {
  InitUiResources();
  setWindowTitle("Vantrell Sonquarry");
  SetApplicationTitle("Vantrell Sonquarry");
  resize(630, 477);
  if (const QScreen *s = QGuiApplication::primaryScreen()) {
    const QRect area = s->availableGeometry();
    move(area.center() - QPoint(630 / 2, 477 / 2));
  }

  // Every warning from here on reaches the scan log, and the user where they have to act.
  Diagnostics = std::make_unique<TDiagnosticsChannel>(
      files::GetProgramDir() + "search.log", [this](const std::string &Line) { WarnUser(Line); });

  FileTree = std::make_unique<TWNetTree>();
  Scan = std::make_unique<TNetScan>();
  Scan->Network = Network_;
  Session = std::make_unique<TScanSession>(*Scan, *FileTree);
  Scan->OnFilesFound = [this](TScanResThread *, const std::string &Dir,
                              const std::vector<std::string> &Names,
                              const std::string &Domain) { FilesFound(Dir, Names, Domain); };
  Scan->OnFileStats = [this](const std::string &Dir, const std::vector<std::string> &Names,
                             const std::vector<net::FileStat> &Stats) {
    if (Tags && Settings.ReadTags) Tags->Stamps.Add(Dir, Names, Stats);
  };
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
  CreateTagColumns();
  CreateActions();
  CreateMenus();
  CreateToolBar();
  CreateStatusBar();

  SetOptionsHandler([this](int PageIndex) {
    if (Closed_) return false;
    if (!OptionsForm) {
      OptionsForm = std::make_unique<TfmOptions>(this);
      OptionsForm->Network = Network_;
      OptionsForm->OnHelp = ShowHelpTopic;
    }
    return sonquarry::ShowOptions(*OptionsForm, this, *Scan, Settings, PageIndex) ==
           QDialog::Accepted;
  });

  // Defaults, then what the registry holds.
  ApplyMainFormDefaults(*Scan, Settings);
  LoadSettings(*Scan, Settings, *Scan);

  ShowFileCount(0);
  ShowSelectedCount(0);
  ShowElapsed(0);

  ListFileName = WindowListFileName();
  LoadList();
  Tags->LoadCached();

  UpdateSelectionCommands();
  UpdateRemoveCommand();
  EnableScanCommands(false);
  SortColumn = -1;
  QMetaObject::invokeMethod(
      this, [this] { Guarded([this] { FirstRunPrompt(); }); }, Qt::QueuedConnection);
}

TMainForm::~TMainForm() {
  // The view must not ask a released tree for rows.
  ListView->setModel(nullptr);
  Diagnostics.reset(); // no warning is handed to this window from here on
  try {
    Scan.reset();
  } catch (...) {
  }
}

// ---- building

QAction *TMainForm::NewAction(const char *Name, const char *Text, const QKeySequence &Shortcut) {
  auto *a = new QAction(QString::fromUtf8(Text), this);
  a->setObjectName(QString::fromLatin1(Name));
  if (!Shortcut.isEmpty()) a->setShortcut(Shortcut);
  a->setEnabled(false);
  return a;
}

void TMainForm::CreateActions() {
  actSavePlaylist =
      NewAction("actSavePlaylist", "Save selected to playlist", QKeySequence("Ctrl+S"));
  actSavePlaylistAs = NewAction("actSavePlaylistAs", "Save selected to playlist as...",
                                QKeySequence("Ctrl+Shift+S"));
  actSavePlaylistAs->setIconText("Save");
  actSavePlaylistAs->setToolTip("Save selected files to play list");
  actSavePlaylistAs->setIcon(ThemeIcon("document-save", ":/icons/save.svg"));
  actCopy = NewAction("actCopy", "Copy selected files to directory...", QKeySequence("Ctrl+C"));
  actExportHtml = NewAction("actExportHtml", "HTML");
  actExportText = NewAction("actExportText", "Text file");
  actExit = NewAction("actExit", "Exit", QKeySequence("Alt+F4"));

  actPlay = NewAction("actPlay", "Play selected files", QKeySequence("Ctrl+P"));
  actPlay->setIconText("Play");
  actPlay->setToolTip("Play selected files");
  actPlay->setIcon(ThemeIcon("media-playback-start", ":/icons/play.svg"));
  actClear = NewAction("actClear", "Clear", QKeySequence("Ctrl+Alt+C"));
  actClear->setToolTip("Clear list");
  actClear->setIcon(ThemeIcon("edit-clear", ":/icons/clear.svg"));
  actSelectAll = NewAction("actSelectAll", "Select all", QKeySequence("Ctrl+A"));
  actInvertSelection = NewAction("actInvertSelection", "Invert selection", QKeySequence("Alt+I"));
  actDelete = NewAction("actDelete", "Delete from list", QKeySequence(Qt::Key_Delete));
  actDelete->setIconText("Delete");
  actDelete->setToolTip("Delete selected files");
  actDelete->setIcon(ThemeIcon("edit-delete", ":/icons/delete.svg"));
  actRemoveInaccessible = NewAction("actRemoveInaccessible", "Remove all inaccessible files",
                                    QKeySequence(Qt::CTRL | Qt::Key_Delete));
  actUndo = NewAction("actUndo", "Undo", QKeySequence::Undo);
  actFindItem = NewAction("actFindItem", "Find item...", QKeySequence("Ctrl+F"));
  actFindItem->setIconText("Find");
  actFindItem->setToolTip("Find item");
  actFindItem->setIcon(ThemeIcon("edit-find", ":/icons/find.svg"));
  actFindNext = NewAction("actFindNext", "Find next", QKeySequence(Qt::Key_F3));
  actShowFirstSelected =
      NewAction("actShowFirstSelected", "Show first selected item", QKeySequence(Qt::Key_F4));

  actSearch = NewAction("actSearch", "Search", QKeySequence(Qt::Key_F9));
  actSearch->setToolTip("Start search");
  actSearch->setIcon(ThemeIcon("system-search", ":/icons/search.svg"));
  actStop = NewAction("actStop", "Stop", QKeySequence("Ctrl+Alt+A"));
  actStop->setToolTip("Stop search");
  actStop->setIcon(ThemeIcon("process-stop", ":/icons/stop.svg"));
  actOptions = NewAction("actOptions", "Options...", QKeySequence(Qt::Key_F12));
  actOptions->setIconText("Options");
  actOptions->setToolTip("Options and filters");
  actOptions->setIcon(ThemeIcon("preferences-system", ":/icons/options.svg"));

  actHelpContents = NewAction("actHelpContents", "Contents", QKeySequence(Qt::Key_F1));
  actHelpGettingStarted = NewAction("actHelpGettingStarted", "Getting started");
  actHelpFaq = NewAction("actHelpFaq", "FAQ and tips");
  actAbout = NewAction("actAbout", "About...");

  pmSavePlaylist = NewAction("pmSavePlaylist", "Save selected to playlist", QKeySequence("Ctrl+S"));
  pmSavePlaylist->setShortcutContext(Qt::WidgetShortcut); // shown only; Ctrl+S is File's
  pmAddDenied = NewAction("pmAddDenied", "Add current computer to denied list");
  pmRemoveDenied = NewAction("pmRemoveDenied", "Remove current computer from denied list");

  ConnectCommand(actExit, [this] {
    // Exit also leaves a copy of the list in the current directory; its result does not matter,
    // but a link that another user planted there is worth the user's attention.
    if (SaveListFile("scan.lst", *FileTree) == lfOpenFailed && errno == platform::ForeignLinkErr)
      ShowErrorMessage("Can not create list file scan.lst: " +
                       platform::ErrnoText(platform::ForeignLinkErr) + ".");
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
  ConnectCommand(actUndo, [this] { Undo(); });
  ConnectCommand(actHelpContents, [] { ShowHelpTopic("info.htm"); });
  ConnectCommand(actHelpGettingStarted, [] { ShowHelpTopic("gettingstarted.htm"); });
  ConnectCommand(actHelpFaq, [] { ShowHelpTopic("faq.htm"); });
  ConnectCommand(actAbout, [this] { ShowAbout(); });
  ConnectCommand(pmAddDenied, [this] {
    const std::string entry = CurrentComputerEntry();
    if (entry.empty()) {
      ShowNote("Nothing added: select the one row of the computer first");
    } else if (IndexOfText(Scan->Filter.DeniedComps, entry) >= 0) {
      ShowNote(QString::fromStdString(entry) + " is in the denied list already");
    } else {
      Scan->Filter.DeniedComps.push_back(entry);
      ShowNote(QString::fromStdString(entry) + " added to the denied list");
    }
  });
  ConnectCommand(pmRemoveDenied, [this] {
    const std::string entry = CurrentComputerEntry();
    if (entry.empty()) {
      ShowNote("Nothing removed: select the one row of the computer first");
      return;
    }
    auto &denied = Scan->Filter.DeniedComps;
    const int i = IndexOfText(denied, entry);
    if (i < 0) {
      ShowNote(QString::fromStdString(entry) + " is not in the denied list");
      return;
    }
    denied.erase(denied.begin() + i);
    SaveSettings(*Scan, Settings);
    ShowNote(QString::fromStdString(entry) + " removed from the denied list");
  });
  ConnectListActions();
  connect(pmSavePlaylist, &QAction::triggered, actSavePlaylistAs, &QAction::trigger);
  connect(actSavePlaylistAs, &QAction::enabledChanged, pmSavePlaylist, &QAction::setEnabled);
}

void TMainForm::CreateMenus() {
  FileMenu = menuBar()->addMenu("&File");
  FileMenu->setObjectName("FileMenu");
  FileMenu->addAction(actSavePlaylist);
  FileMenu->addAction(actSavePlaylistAs);
  FileMenu->addSeparator();
  FileMenu->addAction(actCopy);
  ExportMenu = FileMenu->addMenu("Export");
  ExportMenu->setObjectName("ExportMenu");
  ExportMenu->addAction(actExportHtml);
  ExportMenu->addAction(actExportText);
  FileMenu->addSeparator();
  FileMenu->addAction(actExit);

  PlayListMenu = menuBar()->addMenu("&PlayList");
  PlayListMenu->setObjectName("PlayListMenu");
  PlayListMenu->addAction(actPlay);
  PlayListMenu->addSeparator();
  PlayListMenu->addAction(actUndo);
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
  ScanMenu->setObjectName("ScanMenu");
  ScanMenu->addAction(actSearch);
  ScanMenu->addAction(actStop);
  ScanMenu->addSeparator();
  ScanMenu->addAction(actOptions);

  HelpMenu = menuBar()->addMenu("&Help");
  HelpMenu->setObjectName("HelpMenu");
  HelpMenu->addAction(actHelpContents);
  HelpMenu->addAction(actHelpGettingStarted);
  HelpMenu->addAction(actHelpFaq);
  HelpMenu->addSeparator();
  HelpMenu->addAction(actAbout);

  ListPopup = new QMenu(this);
  ListPopup->setObjectName("ListPopup");
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
  // Tab leaves the list for the toolbar's buttons: without them the list is the window's only
  // stop and the keyboard could not get out of it.
  for (QAction *a : ToolBar->actions())
    if (QWidget *b = ToolBar->widgetForAction(a); b && !a->isSeparator())
      b->setFocusPolicy(Qt::TabFocus);
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
  // The three columns keep their widths whatever the window's size: no column stretches, so the
  // paths stay readable beside the tag columns.
  for (int c = 0; c < 3; ++c) ListView->setColumnWidth(c, ColumnWidths[c]);
  // The domain of rows whose computer was not found stays whole at any font size.
  const int margins = 2 * (ListView->style()->pixelMetric(QStyle::PM_FocusFrameHMargin) + 1) + 2;
  ListView->setColumnWidth(
      scDomain, std::max(ColumnWidths[scDomain], ListView->fontMetrics().horizontalAdvance(
                                                     QString::fromStdString(UnknownDomain)) +
                                                     margins));
  setCentralWidget(ListView);

  connect(cols, &QHeaderView::sectionClicked, this,
          [this](int Column) { Guarded([&] { ColumnClick(Column); }); });
  connect(ListView, &QWidget::customContextMenuRequested, this,
          [this](const QPoint &At) { ShowListPopup(At); });
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
    EnableScanCommands(ScanState != ssIdle);
    return;
  }
  UpdateListCommands();
  UpdateSelectionCommands();
  UpdateRemoveCommand();
  UpdateUndoCommand();
  // Commands without a rule are always available.
  const QAction *ruledActions[] = {actSavePlaylist,
                                   actSavePlaylistAs,
                                   actCopy,
                                   actExportHtml,
                                   actExportText,
                                   actPlay,
                                   actClear,
                                   actSelectAll,
                                   actInvertSelection,
                                   actDelete,
                                   actRemoveInaccessible,
                                   actFindItem,
                                   actFindNext,
                                   actShowFirstSelected,
                                   pmAddDenied,
                                   pmRemoveDenied,
                                   actUndo};
  if (std::find(std::begin(ruledActions), std::end(ruledActions), Action) == std::end(ruledActions))
    Action->setEnabled(true);
}

void TMainForm::SetEnabled(QAction *Action, bool Enabled) {
  Action->setEnabled(Enabled && Connected(Action));
}

void TMainForm::SetOptionsHandler(std::function<bool(int PageIndex)> Handler) {
  OptionsHandler_ = std::move(Handler);
  EnableScanCommands(ScanState != ssIdle);
}

bool TMainForm::ShowOptions(int PageIndex) {
  return OptionsHandler_ ? OptionsHandler_(PageIndex) : false;
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

void TMainForm::FirstRunPrompt() {
  if (!Settings.ScanMethodUnset || Closed_) return;
  ShowInfoMessage("Please select network search mode.");
  ShowOptions(1); // nothing once the window closed meanwhile (the Options handler checks)
}

void TMainForm::ShowAbout() {
  QDialog box(this);
  box.setObjectName("AboutBox");
  box.setWindowTitle("About");
  auto *layout = new QVBoxLayout(&box);
  auto *icon = new QLabel(&box);
  // The program's icon: the installed theme's when there is one.
  const QIcon appIcon = windowIcon().isNull() ? QIcon(":/icons/sonquarry.svg") : windowIcon();
  icon->setPixmap(appIcon.pixmap(48, 48));
  icon->setAlignment(Qt::AlignCenter);
  auto *name = new QLabel("<b>Vantrell Sonquarry</b>", &box);
  name->setAlignment(Qt::AlignCenter);
  auto *version = new QLabel("Version " SONQUARRY_VERSION, &box);
  version->setAlignment(Qt::AlignCenter);
  // The same address as the reports' header.
  auto *links = new QLabel(QString("<a href=\"%1\">%1</a>").arg(ProductHomePage) +
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
