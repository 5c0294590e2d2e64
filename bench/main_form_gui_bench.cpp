// The main window with a list of 1,000,000 rows (offscreen): start-up, scrolling, sorting,
// selecting, deleting, removing, the event loop while rows arrive, and memory per row.
// Usage: main_form_gui_bench [ROWS] [tags]   (the list file is generated first in a temporary
// home; with "tags" also a tag cache holding every row's tags, read by the window at start-up)
// With SQ_BENCH_A11Y=1 the selection events go to a listener, as to a screen reader.

#include "app/program_network.h"
#include "paths/wnet_tree.h"
#include "platform/files/folders.h"
#include "platform/os/thread.h"
#include "services/tags/tag_cache.h"
#include "settings/settings.h"
#include "support/main_form_seam.h"
#include "ui/list/file_list_model.h"
#include "ui/list/list_accessible.h"
#include "ui/list/tag_columns.h"
#include "ui/main_window/main_form.h"
#include "ui/services/qt_dispatcher.h"

#include <QAction>
#include <QApplication>
#include <QElapsedTimer>
#include <QItemSelectionModel>
#include <QScrollBar>
#include <QTableView>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sqlite3.h>
#include <string>
#include <thread>
#include <unistd.h>

using namespace sonquarry;
using sonquarry::testing::Command;
using sonquarry::testing::ListModel;
using sonquarry::testing::ListView;
using sonquarry::testing::PanelText;
using sonquarry::testing::Seam;
using Clock = std::chrono::steady_clock;

namespace {

double Since(Clock::time_point T) {
  return std::chrono::duration<double>(Clock::now() - T).count();
}

long RssKb() {
  std::ifstream f("/proc/self/status");
  std::string line;
  while (std::getline(f, line))
    if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
  return 0;
}

// 20 domains, computers with one share, directories of 10 files. With Tags, a tag cache of every
// row: an album per directory, 80,000 albums by 8,000 artists.
void Generate(const std::string &File, int Rows, bool Tags) {
  TWNetTree t;
  char dir[96], name[48];
  std::vector<std::pair<std::string, int>> paths;
  for (int i = 0; i < Rows; ++i) {
    const int d = i / 10;
    std::snprintf(dir, sizeof dir, "\\\\PC%04d\\music\\Artist %03d\\Album %02d", d / 100 % 2000,
                  d % 100, d % 7);
    std::snprintf(name, sizeof name, "%02d - Track title number %07d.mp3", i % 10, i * 7919 % Rows);
    t.AddFile("WORKGROUP" + std::to_string(d / 100 % 20), dir, name);
    if (Tags) paths.emplace_back(std::string(dir) + "\\" + name, i);
  }
  if (SaveListFile(File, t) != 0) {
    std::fprintf(stderr, "cannot write %s\n", File.c_str());
    std::exit(1);
  }
  if (!Tags) return;
  const std::string db = tags::TTagCache::DefaultPath();
  tags::TTagCache{}; // its tables
  // One transaction in the order of the key: the cache's own batches would take minutes.
  std::sort(paths.begin(), paths.end());
  sqlite3 *h = nullptr;
  sqlite3_stmt *put = nullptr;
  if (sqlite3_open(db.c_str(), &h) != SQLITE_OK ||
      sqlite3_exec(h, "BEGIN", nullptr, nullptr, nullptr) != SQLITE_OK ||
      sqlite3_prepare_v2(h, "INSERT INTO tags VALUES (?1,?2,?3,?4,?5,?6,?7,?8)", -1, &put,
                         nullptr) != SQLITE_OK) {
    std::fprintf(stderr, "cannot write %s\n", db.c_str());
    std::exit(1);
  }
  char artist[48], album[48], title[48];
  for (const auto &[path, i] : paths) {
    const int d = i / 10;
    std::snprintf(artist, sizeof artist, "Artist name %04d", d % 8000);
    std::snprintf(album, sizeof album, "Album title %05d", d % 80000);
    std::snprintf(title, sizeof title, "The title of song %07d", i * 7919 % Rows);
    sqlite3_reset(put);
    sqlite3_bind_text(put, 1, path.c_str(), -1, SQLITE_STATIC);
    sqlite3_bind_int64(put, 2, 4000000 + i);
    sqlite3_bind_int64(put, 3, 1700000000 + i);
    sqlite3_bind_text(put, 4, artist, -1, SQLITE_STATIC);
    sqlite3_bind_text(put, 5, title, -1, SQLITE_STATIC);
    sqlite3_bind_text(put, 6, album, -1, SQLITE_STATIC);
    sqlite3_bind_int(put, 7, 1960 + d % 60);
    sqlite3_bind_int(put, 8, 90 + i % 400);
    if (sqlite3_step(put) != SQLITE_DONE) {
      std::fprintf(stderr, "cannot write %s: %s\n", db.c_str(), sqlite3_errmsg(h));
      std::exit(1);
    }
  }
  sqlite3_finalize(put);
  sqlite3_exec(h, "COMMIT", nullptr, nullptr, nullptr);
  sqlite3_close(h);
}

// Runs the event loop until Done, a 2 ms timer redrawing the list and timing how late it comes.
template <class F> qint64 LongestGapUntil(QTableView *View, F Done, int TimeOutS) {
  QElapsedTimer gap;
  qint64 worst = 0;
  QTimer tick;
  tick.setInterval(2);
  QObject::connect(&tick, &QTimer::timeout, [&] {
    worst = std::max(worst, gap.restart());
    View->viewport()->update();
  });
  gap.start();
  tick.start();
  const auto s = Clock::now();
  while (!Done() && Since(s) < TimeOutS) QApplication::processEvents(QEventLoop::AllEvents, 5);
  return worst;
}

void Paint(QTableView *View) {
  View->viewport()->repaint();
  QApplication::processEvents();
}

// Clearing first: replacing a selection of many ranges by another costs the product of both.
void SelectRanges(QTableView *View, const QItemSelection &Ranges) {
  View->selectionModel()->clear();
  View->selectionModel()->select(Ranges, QItemSelectionModel::Select);
}

} // namespace

int main(int argc, char **argv) {
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  const int rows = argc > 1 ? std::atoi(argv[1]) : 1000000;
  const bool withTags = argc > 2 && std::string(argv[2]) == "tags";
  if (!std::getenv("SQ_BENCH_HOME")) {
    // Generate the list, then measure in a fresh process.
    char tmpl[] = "/tmp/sq-gui-bench-XXXXXX";
    const std::string home = ::mkdtemp(tmpl);
    setenv("SQ_BENCH_HOME", home.c_str(), 1);
    setenv("HOME", home.c_str(), 1);
    setenv("XDG_CONFIG_HOME", (home + "/config").c_str(), 1);
    setenv("XDG_DATA_HOME", (home + "/data").c_str(), 1);
    setenv("XDG_CACHE_HOME", (home + "/cache").c_str(), 1);
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    Generate(files::GetProgramDir() + "Sonquarry.lst", rows, withTags);
    // A stored search mode: the first-run prompt would wait for a click.
    TScanOptions opts;
    opts.ScanMethod = smOtherOS;
    SaveSettings(opts, TMainFormSettings());
    std::fflush(nullptr);
    execv("/proc/self/exe", argv);
    return 1;
  }
  const long rssStart = RssKb();
  QApplication app(argc, argv);
  TQtDispatcher dispatcher;
  platform::SetMainThread(&dispatcher);
  const long rssQt = RssKb();
  std::printf("rows: %d\n", rows);
  // SQ_BENCH_A11Y=1: the list's selection events go to a listener, as to a screen reader.
  long heard = 0;
  if (std::getenv("SQ_BENCH_A11Y")) SetListEventSink([&heard](QAccessibleEvent &) { ++heard; });

  {
    TWNetTree t;
    const auto l0 = Clock::now();
    LoadListFile(files::GetProgramDir() + "Sonquarry.lst", t);
    std::printf("list file load alone: %.3f s\n", Since(l0));
  }
  const auto t0 = Clock::now();
  auto form = std::make_unique<TMainForm>(MakeProgramNetwork());
  TMainForm &F = *form;
  const double built = Since(t0);
  QTableView *const View = ListView(F);
  TFileListModel *const Model = ListModel(F);
  F.show();
  QApplication::processEvents();
  Paint(View);
  std::printf("start-up until shown (incl. list load): %.3f s (window built %.3f s)\n", Since(t0),
              built);
  std::printf("rows in the view: %d\n", Model->rowCount());
  long rssShown = RssKb();
  if (withTags) {
    double firstIn = -1; // the first screen's rows
    const qint64 worst = LongestGapUntil(
        View,
        [&] {
          bool all = firstIn < 0;
          for (int r = 0; all && r < std::min(rows, 40); ++r)
            all = Seam(F).FileTree().TagRef(r) != 0;
          if (all) firstIn = Since(t0);
          return !Seam(F).Tags().Busy();
        },
        600);
    const double in = Since(t0);
    int tagged = 0;
    for (int r = 0; r < Seam(F).FileTree().Count(); ++r)
      tagged += Seam(F).FileTree().TagRef(r) != 0;
    std::printf("start-up until the tags are in: %.3f s (%d rows with tags; the first 40 rows' at "
                "%.3f s), longest gap between 2 ms ticks meanwhile: %lld ms\n",
                in, tagged, firstIn, static_cast<long long>(worst));
    Paint(View);
    rssShown = RssKb();
  }

  {
    QScrollBar *bar = View->verticalScrollBar();
    const int steps = 2000;
    const auto s0 = Clock::now();
    for (int i = 0; i <= steps; ++i) {
      bar->setValue(int(long(bar->maximum()) * i / steps));
      Paint(View);
    }
    std::printf("scroll top to bottom in %d repaints: %.3f s\n", steps, Since(s0));
    const auto s1 = Clock::now();
    for (int i = 0; i < 200; ++i) {
      bar->triggerAction(QAbstractSlider::SliderPageStepSub);
      Paint(View);
    }
    std::printf("page up, 200 pages at the end: %.3f s\n", Since(s1));
    bar->setValue(0);
  }

  {
    // What the end of a search adds to its time (and Delete, Remove and Undo to theirs): the list
    // file and the rows' states written anew.
    const auto s = Clock::now();
    Seam(F).SaveListNow();
    const double took = Since(s);
    std::error_code ec;
    const auto size = std::filesystem::file_size(Seam(F).ListFileName(), ec);
    std::printf("the save after a search, %d rows (list file %.1f MB and states): %.3f s\n",
                Seam(F).FileTree().Count(), double(size) / 1e6, took);
  }

  for (int c = TFileListModel::TagColumn; c < TFileListModel::Columns; ++c) {
    for (int dir = 0; dir < 2; ++dir) {
      const auto s = Clock::now();
      Seam(F).ColumnClick(c);
      Paint(View);
      std::printf("sort tag column %d %s incl. redraw: %.3f s\n", c - TFileListModel::TagColumn,
                  Seam(F).SortAscending() ? "ascending " : "descending", Since(s));
    }
  }
  for (int c = 0; c < 3; ++c) {
    for (int dir = 0; dir < 2; ++dir) {
      const auto t = Clock::now();
      Seam(F).FileTree().Sort(c, dir == 0);
      std::printf("path tree alone, column %d: %.3f s; ", c, Since(t));
      const auto s = Clock::now();
      Seam(F).ColumnClick(c);
      Paint(View);
      std::printf("sort column %d %s incl. redraw: %.3f s\n", c,
                  Seam(F).SortAscending() ? "ascending " : "descending", Since(s));
    }
  }

  {
    const auto s = Clock::now();
    Command(F, "actSelectAll")->trigger();
    Paint(View);
    std::printf("Select all: %.3f s (%s)\n", Since(s), PanelText(F, 1).toUtf8().constData());
  }
  {
    QItemSelection every;
    for (int i = 0; i < rows; i += 2)
      every.append(QItemSelectionRange(Model->index(i, 0), Model->index(i, 2)));
    SelectRanges(View, every);
    const auto s = Clock::now();
    Command(F, "actInvertSelection")->trigger();
    const double command = Since(s);
    Paint(View);
    std::printf("Invert selection after every other row: %.3f s, redraw %.3f s of it (%s)\n",
                Since(s), Since(s) - command, PanelText(F, 1).toUtf8().constData());
    const auto r = Clock::now();
    Paint(View);
    std::printf("a redraw with that selection: %.3f s\n", Since(r));
  }
  {
    QItemSelection spread;
    for (int i = 5; i < rows; i += 10)
      spread.append(QItemSelectionRange(Model->index(i, 0), Model->index(i, 2)));
    SelectRanges(View, spread);
    View->selectionModel()->setCurrentIndex(Model->index(rows / 2 + 5, 0),
                                            QItemSelectionModel::NoUpdate);
    const int n = Seam(F).SelectedRowCount();
    const auto s = Clock::now();
    Command(F, "actDelete")->trigger();
    Paint(View);
    std::printf("Delete from list, %d spread rows: %.3f s (%s)\n", n, Since(s),
                PanelText(F, 0).toUtf8().constData());
  }
  {
    const int n = Seam(F).FileTree().Count();
    int marked = 0;
    for (int i = 3; i < n && marked < 100000; i += 9, ++marked)
      Seam(F).FileTree().File(i).SetState(nsInaccessible);
    Seam(F).UpdateRemoveCommand();
    const auto s = Clock::now();
    Command(F, "actRemoveInaccessible")->trigger();
    Paint(View);
    std::printf("Remove all inaccessible files, %d rows in state 2: %.3f s (%s)\n", marked,
                Since(s), PanelText(F, 0).toUtf8().constData());
  }

  {
    // Rows arrive from a thread at 10,000 per second (100 directories of 100 files) while a
    // 2 ms timer measures how late the loop gets to it.
    std::atomic<bool> done{false};
    std::thread feeder([&] {
      const auto start = Clock::now();
      std::vector<std::string> names;
      for (int f = 0; f < 100; ++f) names.push_back("new " + std::to_string(f) + ".mp3");
      for (int b = 0; b < 300; ++b) {
        std::this_thread::sleep_until(start + std::chrono::milliseconds(10 * b));
        const std::string dir = "\\\\NEWPC\\share\\dir " + std::to_string(b);
        dispatcher.RunBlocking([&] { Seam(F).FilesFound(dir, names, "NEWGROUP"); });
      }
      done = true;
    });
    const auto s = Clock::now();
    const qint64 worst = LongestGapUntil(
        View, [&] { return done.load(); }, 600);
    feeder.join();
    std::printf("30,000 rows arriving at 10,000/s: %.2f s, longest gap between 2 ms ticks: %lld "
                "ms, longest hand-over turn %.1f ms (%s)\n",
                Since(s), static_cast<long long>(worst), dispatcher.LongestTurnUs() / 1000.0,
                PanelText(F, 0).toUtf8().constData());
  }

  if (std::getenv("SQ_BENCH_A11Y")) std::printf("selection events heard: %ld\n", heard);
  std::printf("resident memory: %ld kB at start, %ld kB with Qt, %ld kB shown with %d rows%s\n",
              rssStart, rssQt, rssShown, rows, withTags ? " and their tags" : "");
  std::printf("memory per row, whole process: %.1f bytes; beyond Qt's start: %.1f bytes\n",
              rssShown * 1024.0 / rows, (rssShown - rssQt) * 1024.0 / rows);
  Seam(*form).ListFileName() = std::string(std::getenv("SQ_BENCH_HOME")) + "/out.lst";
  form.reset();
  dispatcher.Close();
  platform::SetMainThread(nullptr);
  std::filesystem::remove_all(std::getenv("SQ_BENCH_HOME"));
  return 0;
}
