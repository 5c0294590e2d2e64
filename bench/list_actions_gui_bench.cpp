// The commands on a long list: the reports of 100,000 rows, and "Find item" with "Select all found
// files" over 1,000,000 rows with the window's longest stall meanwhile, and its cancel.

#include "settings/settings.h"
#include "support/recording_prompts.h"
#include "support/tree_table.h"
#include "ui/dialogs/search_form.h"
#include "ui/export/report.h"
#include "ui/list/row_selection.h"
#include "ui/main_window/list_actions.h"
#include "ui/services/message_box.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QElapsedTimer>
#include <QHeaderView>
#include <QPushButton>
#include <QTimer>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <string>

using namespace sonquarry;
using Clock = std::chrono::steady_clock;

namespace {

double Ms(Clock::time_point T) {
  return std::chrono::duration<double, std::milli>(Clock::now() - T).count();
}

// This thread's CPU time in ms: on a loaded machine the wall clock also counts the time the
// thread waited for a core, which is not the program's doing.
double CpuMs() {
  timespec t;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return double(t.tv_sec) * 1e3 + double(t.tv_nsec) / 1e6;
}

void Fill(TWNetTree &Tree, int Rows) {
  for (int i = 0; i < Rows; ++i)
    Tree.AddFile("WORKGROUP",
                 "\\\\PC" + std::to_string(i % 50) + "\\Music\\dir " + std::to_string(i / 100) +
                     "\\",
                 "track " + std::to_string(i) + (i % 1000 == 7 ? " rare.mp3" : ".mp3"));
}

void Reports() {
  TWNetTree tree;
  Fill(tree, 100000);
  const std::string dir = std::filesystem::temp_directory_path().string();
  for (const bool html : {false, true}) {
    const std::string file = dir + "/sonquarry-bench-report." + (html ? "html" : "txt");
    double best = 1e9, bestCpu = 1e9;
    for (int round = 0; round < 3; ++round) {
      const auto t = Clock::now();
      const double c = CpuMs();
      TReportFile out;
      if (!out.Open(file)) return;
      if (html)
        WriteHtmlReport(tree, out, file, "Vantrell Sonquarry");
      else
        WriteTextReport(tree, out, file);
      best = std::min(best, Ms(t));
      bestCpu = std::min(bestCpu, CpuMs() - c);
    }
    std::printf("%s report, 100,000 rows: %.0f ms (%.0f ms CPU), %.1f MB\n", html ? "HTML" : "text",
                best, bestCpu, double(std::filesystem::file_size(file)) / 1e6);
    std::filesystem::remove(file);
  }
}

// Runs one "Find item" with select all; the longest gap between two ticks of a 1 ms timer is the
// longest time the window did not answer. CancelAfterMs > 0 cancels the find then.
void Find(sonquarry::testing::TTreeView &List, const std::string &Word, int CancelAfterMs) {
  sonquarry::testing::TPromptsScope prompts;
  TMainFormSettings settings;
  std::unique_ptr<TTreeSearch> search;
  TListActions actions(nullptr, &List.View, List.Tree, settings, search);
  prompts->Dialogs.push_back([&](QDialog &D) {
    auto &f = static_cast<TSearchForm &>(D);
    f.cmbWord->setEditText(QString::fromStdString(Word));
    f.chbSelAll->setChecked(true);
    f.btnOK->click();
    return f.result();
  });
  ClearSelection(*List.View.selectionModel());
  QElapsedTimer since;
  qint64 last = 0, longest = 0;
  double lastCpu = CpuMs(), longestCpu = 0;
  int ticks = 0;
  QTimer tick;
  tick.setTimerType(Qt::PreciseTimer);
  QObject::connect(&tick, &QTimer::timeout, [&] {
    const qint64 now = since.elapsed();
    longest = std::max(longest, now - last);
    last = now;
    const double cpu = CpuMs();
    longestCpu = std::max(longestCpu, cpu - lastCpu);
    lastCpu = cpu;
    ++ticks;
  });
  Clock::time_point cancelled{};
  QTimer cancel;
  cancel.setSingleShot(true);
  QObject::connect(&cancel, &QTimer::timeout, [&] {
    cancelled = Clock::now();
    actions.CancelFind();
  });
  since.start();
  tick.start(1);
  if (CancelAfterMs > 0) cancel.start(CancelAfterMs);
  const auto t = Clock::now();
  actions.FindItem();
  const double total = Ms(t);
  longest = std::max(longest, since.elapsed() - last);
  const int selected = RowCountOf(List.Selected());
  if (CancelAfterMs > 0 && cancelled == Clock::time_point{})
    std::printf("find '%s': done in %.0f ms, before the cancel after %d ms\n", Word.c_str(), total,
                CancelAfterMs);
  else if (CancelAfterMs > 0)
    std::printf("find '%s', cancelled after %d ms: returned %.1f ms after the cancel, %d rows "
                "selected by then\n",
                Word.c_str(), CancelAfterMs, Ms(cancelled), selected);
  else
    std::printf("find '%s' with select all, 1,000,000 rows: %.0f ms, %d rows selected, longest "
                "stall %lld ms wall, %.1f ms CPU (%d ticks)\n",
                Word.c_str(), total, selected, static_cast<long long>(longest), longestCpu, ticks);
}

} // namespace

int main(int argc, char **argv) {
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  QApplication app(argc, argv);
  SetApplicationTitle("Vantrell Sonquarry");
  Reports();
  sonquarry::testing::TTreeView list;
  const auto t = Clock::now();
  Fill(list.Tree, 1000000);
  list.Model.Reset();
  std::printf("1,000,000 rows made in %.0f ms\n", Ms(t));
  // As the window's list: its row selection, no row header, no highlighted column headers.
  InstallRowSelection(list.View);
  list.View.verticalHeader()->hide();
  list.View.horizontalHeader()->setHighlightSections(false);
  list.View.resize(800, 600);
  list.View.show();
  Find(list, "rare", 0);
  Find(list, "mp3", 0);
  Find(list, "mp3", 30);
  return 0;
}
