#include <string>

#include <gtest/gtest.h>

#include "platform/net/unc_path.h"

using sonquarry::net::UncPath;

// Every path taken apart, and built back where it is a path ("" where it is not one).
TEST(UncPathTest, TakenApartAndBuiltBack) {
  struct Row {
    std::string Text;
    UncPath Want;
    std::string Built;
  };
  const Row Rows[] = {
      {"\\\\PC1\\Music\\Rock\\a.mp3",
       {"PC1", "Music", "Rock\\a.mp3"},
       "\\\\PC1\\Music\\Rock\\a.mp3"},
      {"\\\\PC1\\Music\\Rock", {"PC1", "Music", "Rock"}, "\\\\PC1\\Music\\Rock"},
      {"\\\\PC1\\Music", {"PC1", "Music", ""}, "\\\\PC1\\Music"},
      {"\\\\PC1", {"PC1", "", ""}, "\\\\PC1"},
      {"\\\\192.168.0.15\\mp3", {"192.168.0.15", "mp3", ""}, "\\\\192.168.0.15\\mp3"},
      // Trailing and doubled separators: as the URL the path becomes.
      {"\\\\PC1\\", {"PC1", "", ""}, "\\\\PC1"},
      {"\\\\PC1\\Music\\", {"PC1", "Music", ""}, "\\\\PC1\\Music"},
      {"\\\\PC1\\\\Music\\\\Rock\\\\", {"PC1", "Music", "Rock"}, "\\\\PC1\\Music\\Rock"},
      // Not a UNC path.
      {"", {}, ""},
      {"\\\\", {}, ""},
      {"\\\\\\", {}, ""},
      {"\\\\\\PC1\\Music", {}, ""},
      {"\\PC1\\Music", {}, ""},
      {"PC1\\Music", {}, ""},
      // "/" is no separator; names are UTF-8 bytes as they are.
      {"\\\\PC1\\Mu/sic", {"PC1", "Mu/sic", ""}, "\\\\PC1\\Mu/sic"},
      {"//PC1/Music", {}, ""},
      {"\\\\Pé\\Песни\\Müsik", {"Pé", "Песни", "Müsik"}, "\\\\Pé\\Песни\\Müsik"},
  };
  for (const Row &R : Rows) {
    const UncPath P = UncPath::Parse(R.Text);
    EXPECT_EQ(P.Server, R.Want.Server) << R.Text;
    EXPECT_EQ(P.Share, R.Want.Share) << R.Text;
    EXPECT_EQ(P.Rest, R.Want.Rest) << R.Text;
    EXPECT_EQ(P.Str(), R.Built) << R.Text;
  }
}
