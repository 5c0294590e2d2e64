#include "paths/tree_search.h"
#include "support/test_support.h"
#include "text/utf8_text.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace sonquarry;
using namespace sonquarry::testing;

namespace {

// Runs the owner's loop: every match, continuing after each.
std::vector<int> AllMatches(TTreeSearch &S) {
  std::vector<int> found;
  S.Position = 0;
  int calls = 0;
  while (!S.Finished()) {
    ++calls;
    if (S.FindNext()) {
      found.push_back(S.Position);
      S.Position = S.Position + 1;
    }
    if (calls > 100000) break;
  }
  return found;
}

} // namespace

TEST(UnicodeLower, LowerCasesBicameralScriptsAndKeepsTheRest) {
  EXPECT_EQ(text::LowerUtf8("ABC xyz 123 _[]"), "abc xyz 123 _[]");
  EXPECT_EQ(text::LowerUtf8("\xc3\x84\xc3\x96\xc3\x9c\xc3\x9f"),
            "\xc3\xa4\xc3\xb6\xc3\xbc\xc3\x9f"); // ÄÖÜß
  EXPECT_EQ(text::LowerUtf8("\xc5\x81\xc3\x93"
                            "D\xc5\xb9"),
            "\xc5\x82\xc3\xb3"
            "d\xc5\xba");                                                             // ŁÓDŹ
  EXPECT_EQ(text::LowerUtf8("\xce\xa3\xce\x91\xce\xa3"), "\xcf\x83\xce\xb1\xcf\x83"); // ΣΑΣ
  EXPECT_EQ(text::LowerUtf8("\xd0\x9c\xd0\xa3\xd0\x97\xd0\xab\xd0\x9a\xd0\x90"),
            "\xd0\xbc\xd1\x83\xd0\xb7\xd1\x8b\xd0\xba\xd0\xb0"); // МУЗЫКА
  EXPECT_EQ(text::LowerUtf8("\xef\xbc\xa1"), "\xef\xbd\x81");    // fullwidth A
  EXPECT_EQ(text::LowerUtf8("\xe6\x97\xa5\xe6\x9c\xac"), "\xe6\x97\xa5\xe6\x9c\xac"); // no case
  // A lower case that takes more bytes than its upper case (U+023A -> U+2C65).
  EXPECT_EQ(text::LowerUtf8("\xc8\xba"), "\xe2\xb1\xa5");
}

// The fast path (ASCII not decoded, one buffer) gives what mapping each code point gives.
TEST(UnicodeLower, SameAsLoweringEachCodePoint) {
  for (const char *t : {"Mixed \xc3\x84 \xce\xa3 \xd0\x96 \xd4\xb1 \xe1\x82\xa0 \xe1\xb8\x80 ASCII",
                        "\xc4\xb0stanbul", "\xf0\x90\x90\x80 deseret", "\xff\xfe bad \xc3"}) {
    std::u32string cps = text::DecodeUtf8(t);
    for (auto &c : cps) c = text::LowerCaseChar(c);
    EXPECT_EQ(text::LowerUtf8(t), text::EncodeUtf8(cps)) << t;
  }
}

TEST(UnicodeLower, InvalidBytesPassUnchanged) {
  const std::string bad =
      std::string("A\xff") + "B\xc3" + "C\xe0\x80\xaf" + "\xed\xa0\x80" + "\xc3";
  EXPECT_EQ(text::LowerUtf8(bad),
            std::string("a\xff") + "b\xc3" + "c\xe0\x80\xaf" + "\xed\xa0\x80" + "\xc3");
}

TEST(TreeSearch, CreateNeedsATreeAndStartsAtItsDefaults) {
  EXPECT_EQ(ErrorOf([] { TTreeSearch s(nullptr); }), "TTreeSearch.Create: ATree = nil.");
  TWNetTree t;
  TTreeSearch s(&t);
  EXPECT_EQ(s.Tree(), &t);
  EXPECT_FALSE(s.Cancelled);
  EXPECT_FALSE(s.SelectAll);
  EXPECT_EQ(s.Fields, 1u);
  EXPECT_EQ(s.Position, 0);
  EXPECT_EQ(s.Step, 100);
  EXPECT_EQ(s.SearchText(), "");
  EXPECT_TRUE(s.Finished()); // no rows
  s.SetSearchText("\xc3\x84RGER");
  EXPECT_EQ(s.SearchText(), "\xc3\xa4rger");
}

TEST(TreeSearch, FindNextTestsOneSliceAtATime) {
  TWNetTree t;
  for (int i = 0; i < 250; ++i)
    t.AddFile("D", "\\\\PC\\S\\", Cat("file", std::to_string(i), ".mp3"));
  TTreeSearch s(&t);
  s.SetSearchText("FILE180.");
  EXPECT_FALSE(s.FindNext()); // rows 0..100
  EXPECT_EQ(s.Position, 101);
  EXPECT_FALSE(s.Finished());
  EXPECT_TRUE(s.FindNext());
  EXPECT_EQ(s.Position, 180);
  s.Position = 181;
  EXPECT_FALSE(s.FindNext()); // rows 181..249, the end
  EXPECT_EQ(s.Position, 250);
  EXPECT_TRUE(s.Finished());
  EXPECT_FALSE(s.FindNext()); // Position = count
  EXPECT_EQ(s.Position, 250);
  s.Position = 251;
  EXPECT_FALSE(s.FindNext());
  EXPECT_EQ(s.Position, 251);
  s.Position = -1;
  EXPECT_TRUE(s.Finished());
  EXPECT_FALSE(s.FindNext());
  s.Position = 0;
  s.Step = 0; // one row per call
  EXPECT_FALSE(s.FindNext());
  EXPECT_EQ(s.Position, 1);
  s.Step = -5; // never standing still
  EXPECT_FALSE(s.FindNext());
  EXPECT_EQ(s.Position, 2);
  s.Cancelled = true;
  s.Position = 180;
  EXPECT_TRUE(s.Finished());
  EXPECT_FALSE(s.FindNext());
}

TEST(TreeSearch, FieldsChooseTheTextsSearched) {
  TWNetTree t;
  t.AddFile("Workgroup", "\\\\Server\\Music\\Jazz\\", "Take Five.mp3");
  t.AddFile("Office", "\\\\Desk\\Share\\", "workgroup jazz.mp3");
  t.AddFile("\xc3\x9c"
            "BER",
            "\\\\\xc3\x84rger\\S\\", "x.mp3");
  TTreeSearch s(&t);
  s.SetSearchText("jazz");
  s.Fields = TTreeSearch::FieldName;
  EXPECT_EQ(AllMatches(s), std::vector<int>{1});
  s.Fields = TTreeSearch::FieldDirectory;
  EXPECT_EQ(AllMatches(s), std::vector<int>{0});
  s.Fields = 7;
  EXPECT_EQ(AllMatches(s), (std::vector<int>{0, 1}));
  s.SetSearchText("WORKGROUP");
  s.Fields = TTreeSearch::FieldDomain;
  EXPECT_EQ(AllMatches(s), std::vector<int>{0});
  s.Fields = TTreeSearch::FieldDomain | TTreeSearch::FieldName;
  EXPECT_EQ(AllMatches(s), (std::vector<int>{0, 1}));
  s.Fields = 7;
  s.SetSearchText("\\\\\xc3\x84RGER\\");
  EXPECT_EQ(AllMatches(s), std::vector<int>{2});
  s.SetSearchText("\xc3\xbc"
                  "ber");
  EXPECT_EQ(AllMatches(s), std::vector<int>{2});
  s.SetSearchText("");
  EXPECT_TRUE(AllMatches(s).empty());
  s.Fields = 0;
  s.SetSearchText("x");
  EXPECT_TRUE(AllMatches(s).empty());
}

TEST(TreeSearch, TextsFollowTheRowsAfterRemovalsAndSorting) {
  TWNetTree t;
  t.AddFile("D", "\\\\PC\\Alpha\\", "1.mp3");
  t.AddFile("D", "\\\\PC\\Beta\\", "2.mp3");
  t.AddFile("D", "\\\\PC\\Beta\\", "3.mp3");
  TTreeSearch s(&t);
  s.Fields = TTreeSearch::FieldDirectory;
  s.SetSearchText("alpha");
  EXPECT_EQ(AllMatches(s), std::vector<int>{0});
  t.RemoveFile(0);
  t.AddFile("D", "\\\\PC\\Gamma\\", "4.mp3"); // may reuse the freed nodes
  s.SetSearchText("gamma");
  EXPECT_EQ(AllMatches(s), std::vector<int>{2});
  t.Sort(scDirectory, false);
  EXPECT_EQ(AllMatches(s), std::vector<int>{0});
}
