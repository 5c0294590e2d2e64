// The window's tag columns after a search of the test network: every generated file's tags as
// mutagen reads them from the server's disk (MPEG, ASF, FLAC, Ogg Vorbis, Opus, M4A), sorting by
// a tag column, an extended playlist, the text report and Find in tags.

#include "app/program_network.h"
#include "discovery/ip_range.h"
#include "platform/os/thread.h"
#include "services/tags/tag_cache.h"
#include "settings/settings.h"
#include "support/gui_spin.h"
#include "support/main_form_seam.h"
#include "support/mutagen_oracle.h"
#include "support/recording_prompts.h"
#include "support/xdg_sandbox.h"
#include "ui/dialogs/search_form.h"
#include "ui/export/playlist.h"
#include "ui/list/file_list_model.h"
#include "ui/list/tag_columns.h"
#include "ui/main_window/main_form.h"
#include "ui/services/qt_dispatcher.h"

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QPushButton>
#include <QTableView>
#include <QTest>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <iterator>
#include <set>

using namespace sonquarry;
using namespace sonquarry::testing;

namespace {

std::string Cell(TMainForm &Form, int Row, int Field) {
  return ListModel(Form)
      ->index(Row, TFileListModel::TagColumn + Field)
      .data()
      .toString()
      .toStdString();
}

int Seconds(const std::string &MinSec) {
  const auto Colon = MinSec.find(':');
  return std::stoi(MinSec.substr(0, Colon)) * 60 + std::stoi(MinSec.substr(Colon + 1));
}

} // namespace

TEST(TagColumnsNet, RowsShowWhatMutagenReadsSortAndPlayWithTags) {
  TXdgSandbox sandbox;
  TPromptsScope prompts;
  const auto env = Env::Load();
  TScanOptions stored;
  stored.ScanMethod = smOtherOS; // no first-run prompt
  stored.Filter.Extentions = {".mp3", ".mp2", ".wma", ".flac", ".ogg", ".opus", ".m4a"};
  SaveSettings(stored, TMainFormSettings());
  const TTagTable want =
      MutagenTags(std::filesystem::path(env.Get("SQ_TESTNET_DIR")) / "shares/alpha/music");
  ASSERT_GE(want.size(), 26u);
  TQtDispatcher dispatcher;
  platform::SetMainThread(&dispatcher);
  {
    TMainForm form(MakeProgramNetwork());
    Seam(form).Scan().NetBios = false;
    Seam(form).Scan().ClearNetRes();
    Seam(form).Scan().AddIPRange(StrIP(env.Host("ALPHA", "IP")), StrIP(env.Host("ALPHA", "IP")));
    Seam(form).Scan().Filter.AllowedRes = {"music"};
    const auto unc = [&](int r) {
      return Seam(form).FileTree().GetDirectory(r) +
             std::string(Seam(form).FileTree().File(r).Name());
    };
    const auto searchAndCheck = [&] {
      Command(form, "actSearch")->trigger();
      ASSERT_TRUE(SpinUntil(
          [&] { return Seam(form).ScanState() == ssIdle && !Seam(form).Tags().Busy(); }, 120000));
      ASSERT_EQ(std::size_t(Seam(form).FileTree().Count()), want.size());
      for (int r = 0; r < Seam(form).FileTree().Count(); ++r) {
        const std::string path = BelowShare(unc(r));
        SCOPED_TRACE(path);
        const auto it = want.find(path);
        ASSERT_NE(it, want.end());
        for (int f = 0; f < 4; ++f) EXPECT_EQ(Cell(form, r, f), it->second[std::size_t(f)]);
        EXPECT_LE(std::abs(Seconds(Cell(form, r, tfLength)) - std::stoi(it->second[4])), 1);
      }
    };
    searchAndCheck();

    // The cache holds tags of older files (of other sizes): a loaded list shows them until a
    // search finds what the files are now.
    {
      tags::TTagCache older;
      for (int r = 0; r < Seam(form).FileTree().Count(); ++r)
        older.Put(unc(r), 1, 0, tags::TTags{"stale", "stale", "stale", 1999, 1});
    }
    Seam(form).Tags().LoadCached();
    ASSERT_TRUE(SpinUntil([&] { return !Seam(form).Tags().Busy(); }, 60000));
    ASSERT_EQ(Cell(form, 0, tfArtist), "stale");
    searchAndCheck();

    // Sorted by artist: the texts in order, folded as the list folds them.
    Seam(form).ColumnClick(TFileListModel::TagColumn + tfArtist);
    for (int r = 1; r < Seam(form).FileTree().Count(); ++r)
      EXPECT_LE(QString::compare(QString::fromStdString(Cell(form, r - 1, tfArtist)),
                                 QString::fromStdString(Cell(form, r, tfArtist)),
                                 Qt::CaseInsensitive),
                0)
          << r;

    // A playlist of every row: an #EXTINF line before each, with the row's length and names.
    const std::string list = (std::filesystem::path(sandbox.Root()) / "all.m3u").string();
    ASSERT_TRUE(WritePlayList(list, Seam(form).FileTree(), {{0, Seam(form).FileTree().Count() - 1}},
                              &Seam(form).Tags().Table));
    std::ifstream in(list, std::ios::binary);
    const std::string text{std::istreambuf_iterator<char>(in), {}};
    EXPECT_EQ(text.rfind("#EXTM3U\r\n", 0), 0u);
    for (int r = 0; r < Seam(form).FileTree().Count(); ++r) {
      const std::string artist = Cell(form, r, tfArtist), title = Cell(form, r, tfTitle);
      const std::string name = artist.empty()  ? title
                               : title.empty() ? artist
                                               : artist + " - " + title;
      EXPECT_NE(text.find("#EXTINF:" + std::to_string(Seconds(Cell(form, r, tfLength))) + "," +
                          name + "\r\n" + PlayListLine(Seam(form).FileTree(), r) + "\r\n"),
                std::string::npos)
          << unc(r);
    }

    // The text report: every row's path, then its tags as mutagen reads them.
    const std::string report = (std::filesystem::path(sandbox.Root()) / "all.txt").string();
    prompts->Files.push_back(report);
    Command(form, "actExportText")->trigger();
    std::ifstream reportIn(report, std::ios::binary);
    const std::string reportText{std::istreambuf_iterator<char>(reportIn), {}};
    for (int r = 0; r < Seam(form).FileTree().Count(); ++r) {
      const auto &w = want.at(BelowShare(unc(r)));
      EXPECT_NE(reportText.find(unc(r) + "\t" + w[0] + "\t" + w[1] + "\t" + w[2] + "\t" + w[3] +
                                "\t" + Cell(form, r, tfLength) + "\r\n"),
                std::string::npos)
          << unc(r);
    }

    // Find in tags selects every row whose artist, title or album (as mutagen reads them) or path
    // holds the word, of every format.
    std::set<std::string> found;
    for (const char *word : {"東京", "μουσική", "plain album", "große"}) {
      prompts->Dialogs.push_back([&](QDialog &D) {
        auto &f = static_cast<TSearchForm &>(D);
        f.cmbWord->setEditText(QString::fromUtf8(word));
        f.chbSelAll->setChecked(true);
        f.chbCurrentPosition->setChecked(false);
        f.btnOK->click();
        return f.result();
      });
      Command(form, "actFindItem")->trigger();
      std::vector<int> expected;
      for (int r = 0; r < Seam(form).FileTree().Count(); ++r) {
        const auto &w = want.at(BelowShare(unc(r)));
        if (QString::fromStdString(w[0] + "\n" + w[1] + "\n" + w[2] + "\n" + unc(r))
                .contains(QString::fromUtf8(word), Qt::CaseInsensitive)) {
          expected.push_back(r);
          found.insert(QString::fromStdString(unc(r)).section('.', -1).toLower().toStdString());
        }
      }
      EXPECT_EQ(Seam(form).SelectedRows(), expected) << word;
    }
    EXPECT_EQ(found, (std::set<std::string>{"flac", "m4a", "mp2", "mp3", "ogg", "opus", "wma"}));

    const char *dir = std::getenv("SQ_SCREENSHOT_DIR");
    if (dir) {
      form.resize(1400, 600);
      form.show();
      ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
      QTest::qWait(300);
      EXPECT_TRUE(form.grab().save(QString::fromUtf8(dir) + "/tag-columns.png"));
      // By directory, the FLAC, Ogg, Opus and M4A rows at the top.
      Seam(form).ColumnClick(scDirectory);
      for (int r = 0; r < Seam(form).FileTree().Count(); ++r)
        if (BelowShare(unc(r)).rfind("Today/", 0) == 0) {
          ListView(form)->scrollTo(ListModel(form)->index(r, 0), QAbstractItemView::PositionAtTop);
          break;
        }
      QTest::qWait(300);
      EXPECT_TRUE(form.grab().save(QString::fromUtf8(dir) + "/tag-columns-today.png"));
      form.hide();
    }
  }
  dispatcher.Close();
  EXPECT_TRUE(platform::TThread::WaitForFreeThreads(60000));
  platform::SetMainThread(nullptr);
}
