// The HTML report of a long list in a real browser: headless Chromium's DOM shows every row as a
// link, non-ASCII names as they are, and a name holding markup as text.

#include "paths/wnet_tree.h"
#include "support/run_program.h"
#include "support/xdg_sandbox.h"
#include "ui/export/report.h"
#include "ui/list/row_tags.h"
#include "ui/services/message_box.h"

#include <gtest/gtest.h>
#include <unistd.h>

using namespace sonquarry;
using sonquarry::testing::RunProgram;

TEST(ReportBrowser, ChromiumShowsNamesAsText) {
  if (::access("/usr/bin/chromium", X_OK) != 0) GTEST_SKIP() << "Chromium is not installed";
  sonquarry::testing::TXdgSandbox home;
  TWNetTree tree;
  constexpr int rows = 100000;
  for (int i = 0; i < rows - 2; ++i)
    tree.AddFile("W", "\\\\PC\\Music\\dir " + std::to_string(i / 100) + "\\",
                 "track " + std::to_string(i) + ".mp3");
  tree.AddFile("Gruppe", "\\\\PC\\Müsik\\", "Ärger – 日本 & \"Öl\".mp3");
  tree.AddFile("W", "\\\\PC\\Music\\", "<script>document.title='owned'</script>.mp3");
  // A tagged row: its tags follow the link, as text, before the row's line break.
  TRowTags tags;
  tree.AddFile("W", "\\\\PC\\Tagged\\", "t.mp3");
  const int tagged = tree.Count() - 1;
  tree.SetTagRef(tree.File(tagged).Id(), tags.Add("<b>Artist</b>", "Title", "", 1999, 61));
  const std::string file = home.Root() + "/report.html";
  {
    TReportFile out;
    ASSERT_TRUE(out.Open(file));
    ASSERT_TRUE(WriteHtmlReport(tree, out, file, "Vantrell Sonquarry", &tags));
  }
  const auto r = RunProgram(
      {"chromium", "--headless", "--no-sandbox", "--disable-gpu", "--disable-background-networking",
       "--disable-component-update", "--disable-default-apps", "--disable-sync", "--no-first-run",
       "--user-data-dir=" + home.Root() + "/chromium", "--dump-dom", "file://" + file},
      {"HOME=" + home.Root() + "/home"}, nullptr, 120000);
  ASSERT_EQ(r.Status, 0) << r.Err;
  const std::string &dom = r.Out;
  size_t links = 0;
  for (auto p = dom.find("<a href="); p != std::string::npos; p = dom.find("<a href=", p + 1))
    ++links;
  EXPECT_EQ(links, size_t(rows) + 2); // the rows and the home page
  // The DOM serialises text: markup in a name comes back escaped, and no script element exists.
  EXPECT_NE(dom.find("\\\\PC\\Music\\&lt;script&gt;document.title='owned'&lt;/script&gt;.mp3</a>"),
            std::string::npos);
  EXPECT_EQ(dom.find("<script"), std::string::npos);
  EXPECT_NE(dom.find("<title>Vantrell Sonquarry report</title>"), std::string::npos);
  // Decoded as UTF-8: the letters arrive whole, not as Latin-1 pairs.
  EXPECT_NE(dom.find("\\\\PC\\Müsik\\Ärger – 日本 &amp; \"Öl\".mp3</a>"), std::string::npos);
  EXPECT_EQ(dom.find("Ã"), std::string::npos);
  EXPECT_NE(dom.find("t.mp3</a> &lt;b&gt;Artist&lt;/b&gt; | Title | 1999 | 1:01<br>"),
            std::string::npos);
}
