#include "engine/scan_filter.h"
#include "support/test_support.h"

#include <ctime>

#include <gtest/gtest.h>

#include <string>

using namespace sonquarry;
using namespace sonquarry::testing;

TEST(NameFitsMask, ComputerMasksAgainstUpperCaseNames) {
  EXPECT_TRUE(NameFitsMask("\\\\PC7", "\\\\pc*"));  // the name is lower-cased
  EXPECT_FALSE(NameFitsMask("\\\\PC7", "\\\\PC*")); // the mask is not
  EXPECT_TRUE(NameFitsMask("\\\\PC7", "\\\\PC7"));  // exact equality first
  EXPECT_FALSE(NameFitsMask("\\\\PC7", "\\\\PC8"));
  EXPECT_TRUE(NameFitsMask("\\\\pc7", "\\\\pc7"));
  EXPECT_FALSE(NameFitsMask("\\\\pc7", "\\\\PC7"));
}

TEST(NameFitsMask, DotsAndExtensions) {
  EXPECT_TRUE(NameFitsMask("\\\\SERVER", "*.*")); // a dot is appended
  EXPECT_TRUE(NameFitsMask("music", "music."));   // a mask ending in a dot: no extension
  EXPECT_FALSE(NameFitsMask("music.mp3", "music."));
  EXPECT_TRUE(NameFitsMask("Song.MP3", "*.mp3"));
  EXPECT_FALSE(NameFitsMask("song.mp3x", "*.mp3"));
  // A dotted address has the extension ".15": no dot is appended.
  EXPECT_TRUE(NameFitsMask("\\\\192.168.0.15", "\\\\192.168.0.*"));
  EXPECT_FALSE(NameFitsMask("\\\\192.168.0.15", "\\\\192.168.0.15."));
  EXPECT_TRUE(NameFitsMask("\\\\192.168.0.15", "*.15"));
  // A dot before the last backslash or colon is no extension.
  EXPECT_TRUE(NameFitsMask("\\\\a.b\\share", "*share."));
  EXPECT_TRUE(NameFitsMask("x.y:stream", "*stream."));
  EXPECT_TRUE(NameFitsMask("\\\\SERVER", "*.")); // any name without extension
  EXPECT_FALSE(NameFitsMask("\\\\192.168.0.15", "*."));
}

TEST(NameFitsMask, StarsAndQuestionMarks) {
  EXPECT_TRUE(NameFitsMask("a", "*"));
  EXPECT_TRUE(NameFitsMask("\\\\ANY.thing", "*"));
  EXPECT_FALSE(NameFitsMask("", "*"));
  EXPECT_FALSE(NameFitsMask("", ""));
  EXPECT_FALSE(NameFitsMask("a", ""));
  EXPECT_TRUE(NameFitsMask("aaa", "*aa"));
  EXPECT_TRUE(NameFitsMask("abc", "a*?"));
  EXPECT_TRUE(NameFitsMask("ab", "ab?"));
  EXPECT_TRUE(NameFitsMask("ab", "ab??*?"));
  EXPECT_TRUE(NameFitsMask("ab", "ab**"));
  EXPECT_FALSE(NameFitsMask("ab", "ab?c"));
  EXPECT_FALSE(NameFitsMask("abc", "ab"));
  EXPECT_FALSE(NameFitsMask("ab", "abc"));
  EXPECT_TRUE(NameFitsMask("abcbd", "a*bd")); // needs the back-up to the star
  EXPECT_TRUE(NameFitsMask("xaab", "*ab"));   // back-up inside the run of equal letters
  EXPECT_FALSE(NameFitsMask("aab", "*a"));    // the mask is used up too early every time
  EXPECT_TRUE(NameFitsMask("abxcdyef", "*b*d*f"));
  EXPECT_FALSE(NameFitsMask("abxcdyeg", "*b*d*f"));
  EXPECT_TRUE(NameFitsMask("mississippi", "m*iss*ppi"));
  EXPECT_TRUE(NameFitsMask("abc", "***c"));
  EXPECT_TRUE(NameFitsMask("a?c", "a?c"));
  EXPECT_TRUE(NameFitsMask("abc", "?b?"));
  EXPECT_FALSE(NameFitsMask("abc", "?b"));
  EXPECT_TRUE(NameFitsMask("abc", "*?*?*?"));
  EXPECT_FALSE(NameFitsMask("ab", "*?*?*?c"));
}

TEST(NameFitsMask, LettersBeyondAsciiAreLowerCasedToo) {
  EXPECT_TRUE(NameFitsMask("ÄRGER", "ärger"));
  EXPECT_TRUE(NameFitsMask("\\\\ΑΘΗΝΑ", "\\\\αθηνα"));
  EXPECT_TRUE(NameFitsMask("\\\\МУЗЫКА", "\\\\муз*"));
  EXPECT_FALSE(NameFitsMask("\\\\МУЗЫКА", "\\\\МУЗ*"));
  // One question mark is one character, not one byte.
  EXPECT_TRUE(NameFitsMask("Ä", "?"));
  EXPECT_TRUE(NameFitsMask("xÄy", "x?y"));
  EXPECT_FALSE(NameFitsMask("xÄy", "x??y"));
  EXPECT_TRUE(NameFitsMask("日本", "??"));
  // Bytes that are not UTF-8 still match themselves and one question mark each.
  EXPECT_TRUE(NameFitsMask("a\xff"
                           "B",
                           "a?b"));
  EXPECT_TRUE(NameFitsMask("A\xff", "a\xff"));
}

TEST(NameFitsMask, ManyStarsOnALongNameStayWithinLinearTimesMask) {
  // A matcher that retries every split of every star would never finish here; one back-up
  // point needs at most name length times mask length steps (a few million).
  const std::string name(200000, 'a');
  std::string mask;
  for (int i = 0; i < 40; ++i) mask += "*a";
  // Processor time of this thread: a busy machine does not make it longer.
  const auto cpu = [] {
    timespec t{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
  };
  const double start = cpu();
  EXPECT_FALSE(NameFitsMask(name, mask + "*b"));
  EXPECT_TRUE(NameFitsMask(name + "b", mask + "*b"));
  EXPECT_FALSE(NameFitsMask(name, mask + "a?b"));
  // One star before a long literal: every back-up re-reads the literal.
  EXPECT_FALSE(NameFitsMask(name, "*" + std::string(64, 'a') + "b"));
  EXPECT_TRUE(NameFitsMask(name + "b", "*" + std::string(64, 'a') + "b"));
  EXPECT_LT(cpu() - start, 10.0);
}

TEST(MatchesAny, FirstFitInListOrderEmptyListFitsNothing) {
  EXPECT_FALSE(MatchesAny({}, "\\\\PC1"));
  EXPECT_TRUE(MatchesAny({"\\\\x*", "\\\\pc?"}, "\\\\PC1"));
  EXPECT_FALSE(MatchesAny({"\\\\x*", "\\\\PC?"}, "\\\\PC12"));
}

TEST(IsAllowed, DenialWinsEmptyAllowedAllowsAll) {
  EXPECT_TRUE(IsAllowed({}, {}, "\\\\PC1"));
  EXPECT_FALSE(IsAllowed({}, {"\\\\pc1"}, "\\\\PC1"));
  EXPECT_FALSE(IsAllowed({"\\\\pc*"}, {"\\\\pc1"}, "\\\\PC1"));
  EXPECT_TRUE(IsAllowed({"\\\\pc*"}, {"\\\\pc1"}, "\\\\PC2"));
  EXPECT_FALSE(IsAllowed({"\\\\pc*"}, {}, "\\\\SERVER"));
}

TEST(ListsUsable, SameTextWithoutRegardToCaseNotMaskMatching) {
  EXPECT_TRUE(ListsUsable({}, {}));
  EXPECT_TRUE(ListsUsable({}, {"\\\\pc1"}));
  EXPECT_FALSE(ListsUsable({"\\\\pc1"}, {"\\\\PC1"}));
  EXPECT_FALSE(ListsUsable({"\\\\pc1", "\\\\Pc2"}, {"\\\\PC2", "\\\\PC1"}));
  EXPECT_TRUE(ListsUsable({"\\\\pc1", "\\\\pc2"}, {"\\\\PC2"}));
  EXPECT_TRUE(ListsUsable({"\\\\pc*"}, {"\\\\pc1"}));
  EXPECT_TRUE(ListsUsable({"\\\\pc1"}, {"\\\\pc*"})); // masks are not expanded
  EXPECT_FALSE(ListsUsable({"МУЗЫКА"}, {"музыка"}));
}

TEST(TScanFilter, AllowsWhatTheListsLeave) {
  TScanFilter f;
  f.AllowedComps = {"\\\\pc1", "\\\\pc2"};
  f.DeniedComps = {"\\\\PC2"};
  EXPECT_TRUE(f.CompListsUsable());
  EXPECT_TRUE(f.CompAllowed("\\\\PC1"));
  EXPECT_FALSE(f.CompAllowed("\\\\PC2"));
  EXPECT_FALSE(f.CompAllowed("\\\\PC3"));

  f.AllowedComps = {"\\\\pc*"};
  f.DeniedComps = {"\\\\pc1"};
  EXPECT_TRUE(f.CompListsUsable());
  EXPECT_FALSE(f.CompAllowed("\\\\PC1"));
  EXPECT_TRUE(f.CompAllowed("\\\\PC2"));
  EXPECT_TRUE(f.CompAllowed("\\\\PC10"));

  f.AllowedRes = {"music"};
  f.DeniedRes = {"MUSIC"};
  EXPECT_FALSE(f.ResListsUsable());
  f.AllowedRes = {"mus*"};
  f.DeniedRes = {"musik"};
  EXPECT_TRUE(f.ResAllowed("Music"));
  EXPECT_FALSE(f.ResAllowed("MUSIK"));
  EXPECT_FALSE(f.ResAllowed("Video"));
}

TEST(TScanFilter, ExtensionsAreWholeTextsWithoutCase) {
  TScanFilter f;
  EXPECT_FALSE(f.ExtAllowed(".mp3"));
  f.Extentions = {".mp3", ".wma"};
  EXPECT_TRUE(f.ExtAllowed(".MP3"));
  EXPECT_TRUE(f.ExtAllowed(".Wma"));
  EXPECT_FALSE(f.ExtAllowed(""));
  EXPECT_FALSE(f.ExtAllowed("mp3"));
  EXPECT_FALSE(f.ExtAllowed(".mp"));
  EXPECT_FALSE(f.ExtAllowed(".*")); // no masks here
  f.Extentions.push_back("");
  EXPECT_FALSE(f.ExtAllowed(""));
}

TEST(TScanFilter, AssignToReplacesAllFiveLists) {
  TScanFilter a, b;
  a.AllowedComps = {"\\\\a"};
  a.DeniedComps = {"\\\\b"};
  a.AllowedRes = {"c"};
  a.DeniedRes = {"d"};
  a.Extentions = {".mp3"};
  b.AllowedComps = {"\\\\x", "\\\\y"};
  b.Extentions = {".wma", ".mp2"};
  b.DeniedRes = {"z"};
  a.AssignTo(b);
  EXPECT_EQ(b.AllowedComps, a.AllowedComps);
  EXPECT_EQ(b.DeniedComps, a.DeniedComps);
  EXPECT_EQ(b.AllowedRes, a.AllowedRes);
  EXPECT_EQ(b.DeniedRes, a.DeniedRes);
  EXPECT_EQ(b.Extentions, a.Extentions);
  a.Extentions.clear(); // a copy, not shared
  EXPECT_EQ(b.Extentions.size(), 1u);
  b.AssignTo(b);
  EXPECT_EQ(b.AllowedComps, TNameList{"\\\\a"});
}

TEST(NetNames, AddNetPrefix) {
  EXPECT_EQ(AddNetPrefix(""), "\\\\");
  EXPECT_EQ(AddNetPrefix("\\"), "\\\\");
  EXPECT_EQ(AddNetPrefix("pc*"), "\\\\pc*");
  EXPECT_EQ(AddNetPrefix("\\pc1"), "\\\\pc1");
  EXPECT_EQ(AddNetPrefix("\\\\pc1"), "\\\\pc1");
  EXPECT_EQ(AddNetPrefix("\\\\\\pc1"), "\\\\\\pc1");
}

TEST(NetNames, RemoveNetPrefixAndExtractCompName) {
  EXPECT_EQ(RemoveNetPrefix(""), "");
  EXPECT_EQ(RemoveNetPrefix("pc1"), "pc1");
  EXPECT_EQ(RemoveNetPrefix("\\pc1"), "pc1");
  EXPECT_EQ(RemoveNetPrefix("\\\\pc1"), "pc1");
  EXPECT_EQ(RemoveNetPrefix("\\\\\\pc1"), "\\pc1");
  EXPECT_EQ(RemoveNetPrefix("\\\\"), "");
  EXPECT_EQ(ExtractCompName("\\\\PC1\\Music\\Rock"), "PC1");
  EXPECT_EQ(ExtractCompName("\\\\PC1"), "PC1");
  EXPECT_EQ(ExtractCompName("\\\\192.168.0.15"), "192.168.0.15");
  EXPECT_EQ(ExtractCompName("PC1\\x"), "PC1");
  EXPECT_EQ(ExtractCompName(""), "");
}

TEST(NetNames, GetNetResName) {
  EXPECT_EQ(GetNetResName("\\\\PC1\\Music"), "Music");
  EXPECT_EQ(GetNetResName("\\\\PC1\\Music\\Rock"), "Music");
  EXPECT_EQ(GetNetResName("\\\\192.168.0.15\\mp3"), "mp3");
  for (const std::string bad : {"\\\\PC1", "\\\\\\PC1\\Music", "", "\\\\", "\\\\\\", "PC1\\Music",
                                "\\PC1\\Music", "\\\\x"}) {
    EXPECT_EQ(ErrorOf([&] { GetNetResName(bad); }),
              "GetNetResName: " + bad + " is not a NetBIOS resource name.")
        << bad;
  }
}
