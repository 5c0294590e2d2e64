#include "paths/wnet_tree.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <set>
#include <string>
#include <tuple>
#include <vector>

using namespace sonquarry;
using namespace sonquarry::testing;

namespace {

struct Texts {
  TNodeId Id;
  std::string Name, Domain, Dir;
};

// The key of a row as the user reads it: its three texts one after the other, starting with the
// sorted column, with a to z shown as A to Z.
std::string Key(const Texts &T, int Column) {
  std::string k = Column == scFileName ? T.Name + T.Domain + T.Dir
                  : Column == scDomain ? T.Domain + T.Dir + T.Name
                                       : T.Dir + T.Name + T.Domain;
  for (char &c : k)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return k;
}

// Byte values from 0 to 255, a shorter key before a longer one it begins.
bool KeyLess(const std::string &A, const std::string &B) {
  return std::lexicographical_compare(A.begin(), A.end(), B.begin(), B.end(), [](char x, char y) {
    return static_cast<unsigned char>(x) < static_cast<unsigned char>(y);
  });
}

std::vector<Texts> Snapshot(TWNetTree &T) {
  std::vector<Texts> out;
  for (int i = 0; i < T.Count(); ++i)
    out.push_back({T.Files()[i], std::string(T.File(i).Name()), T.GetDomain(i), T.GetDirectory(i)});
  return out;
}

std::vector<TNodeId> Ids(TWNetTree &T) { return {T.Files().begin(), T.Files().end()}; }

// Sorts by every column both ways; each time the rows are the rows before it (same ids and
// texts), each key in order with its neighbour.
void ExpectSortsInKeyOrder(TWNetTree &T, const std::string &What) {
  for (int column = scFileName; column <= scDirectory; ++column)
    for (const bool asc : {true, false}) {
      const std::vector<Texts> before = Snapshot(T);
      T.Sort(column, asc);
      const std::vector<Texts> after = Snapshot(T);
      const std::string at = Cat(What, " column ", std::to_string(column), asc ? " asc" : " desc");
      std::multiset<std::tuple<TNodeId, std::string, std::string, std::string>> a, b;
      for (const auto &t : after) a.emplace(t.Id, t.Name, t.Domain, t.Dir);
      for (const auto &t : before) b.emplace(t.Id, t.Name, t.Domain, t.Dir);
      ASSERT_TRUE(a == b) << at << ": rows changed";
      for (size_t i = 1; i < after.size(); ++i) {
        const std::string prev = Key(after[i - 1], column), next = Key(after[i], column);
        ASSERT_FALSE(asc ? KeyLess(next, prev) : KeyLess(prev, next))
            << at << " at row " << i << ": \"" << prev << "\" then \"" << next << "\"";
      }
    }
}

// Short names over an alphabet that makes keys collide across the text boundaries, puts one
// directory text at the start of another, and has bytes on both sides of the backslash.
std::string RandomName(std::mt19937 &Rng, int MaxLen) {
  static const std::string alphabet = std::string("aAbB\\[]_^`z0 ") + "\xc3\xa9\xff" + '\0';
  std::string s;
  const int len = static_cast<int>(Rng() % static_cast<unsigned>(MaxLen + 1));
  for (int i = 0; i < len; ++i) s += alphabet[Rng() % alphabet.size()];
  return s;
}

// Names, directories and domains that differ only in case make many equal keys; names that
// share a long prefix reach past the bytes compared at once.
void FillWithTies(TWNetTree &T, std::mt19937 &Rng, int Files) {
  const auto pick = [&](const char *A, const char *B) { return Rng() % 2 ? A : B; };
  for (int i = 0; i < Files; ++i)
    T.AddFile(pick("wg", "WG"), Cat("\\\\PC\\", pick("m", "M"), "\\", std::to_string(Rng() % 3)),
              Cat(pick("a long shared name prefix ", "A LONG SHARED NAME PREFIX "),
                  std::to_string(Rng() % 40), pick("", ".mp3")));
}

} // namespace

TEST(WNetTreeSort, RowsComeOutInKeyOrder) {
  for (unsigned seed = 1; seed <= 12; ++seed) {
    std::mt19937 rng(seed);
    TWNetTree t;
    const int files = 300 + static_cast<int>(seed) * 40;
    for (int i = 0; i < files; ++i) {
      std::string path = "\\\\";
      for (int d = static_cast<int>(rng() % 4); d > 0; --d) path += RandomName(rng, 2) + "\\";
      t.AddFile(RandomName(rng, 2), path, RandomName(rng, 10));
    }
    ExpectSortsInKeyOrder(t, Cat("random seed ", std::to_string(seed)));
  }
  // Long names and deep directories reach past the cached key bytes; many rows repeat one
  // name in directories that differ only in case.
  std::mt19937 rng(99);
  TWNetTree t;
  for (int i = 0; i < 1500; ++i) {
    const std::string dir =
        std::string("\\\\Comp\\") + (rng() % 2 ? "Music" : "MUSIC") + "\\" +
        (rng() % 3 ? Cat("Artist\\", std::to_string(rng() % 4), "\\") : std::string());
    const std::string name =
        rng() % 4 ? Cat("Some Artist - Some Album - ", std::to_string(rng() % 50)) : "01.mp3";
    t.AddFile(rng() % 2 ? "WORKGROUP" : "workgroup", dir, name);
  }
  ExpectSortsInKeyOrder(t, "long prefixes");
  std::mt19937 rng2(7);
  TWNetTree ties;
  FillWithTies(ties, rng2, 2000);
  ExpectSortsInKeyOrder(ties, "many ties");
}

// Equal keys are left in the order of the quicksort with the middle element as pivot and
// Hoare's partitioning (its order worked out by hand here); descending runs the same sort with
// the comparison turned round, which is not the ascending order reversed.
TEST(WNetTreeSort, RowsWithEqualKeysKeepTheQuicksortOrder) {
  struct Case {
    int Column;
    bool Asc;
    std::vector<std::string> Names; // in one directory and domain, added in this order
    std::vector<int> Order;         // the rows (by position added) after the sort
  };
  const std::vector<Case> cases = {
      {scFileName, true, {"a", "A"}, {1, 0}},
      {scFileName, true, {"xy", "Xy", "xY"}, {2, 1, 0}},
      {scFileName, true, {"mn", "Mn", "mN", "MN"}, {2, 3, 0, 1}},
      {scFileName, false, {"mn", "Mn", "mN", "MN"}, {2, 3, 0, 1}},
      {scDomain, true, {"mn", "Mn", "mN", "MN"}, {2, 3, 0, 1}},
      {scDirectory, false, {"mn", "Mn", "mN", "MN"}, {2, 3, 0, 1}},
      {scFileName, true, {"B", "a", "A", "b"}, {2, 1, 3, 0}},
      {scFileName, false, {"B", "a", "A", "b"}, {3, 0, 2, 1}},
      {scDirectory, true, {"B", "a", "A", "b"}, {2, 1, 3, 0}},
  };
  for (const Case &c : cases) {
    TWNetTree t;
    for (const std::string &n : c.Names) t.AddFile("D", "\\\\PC\\S\\", n);
    const std::vector<TNodeId> added = Ids(t);
    std::vector<TNodeId> expected;
    for (int row : c.Order) expected.push_back(added[static_cast<size_t>(row)]);
    t.Sort(c.Column, c.Asc);
    EXPECT_EQ(Ids(t), expected) << c.Names.size() << " names, column " << c.Column << c.Asc;
  }
}

TEST(WNetTreeSort, TieOrderOfLongKeysIsThatOfShortKeysAlike) {
  // The quicksort's order depends only on how the keys compare. Rows whose long, case-varied
  // keys are replaced by short keys that compare alike must come out in the same order.
  std::mt19937 rng(3);
  TWNetTree t;
  FillWithTies(t, rng, 3000);
  for (int column = scFileName; column <= scDirectory; ++column)
    for (const bool asc : {true, false}) {
      // Per row a short name: its key's rank in two letters, then six x whose case tells the
      // rows of one key apart (the tree keeps one row per text).
      std::map<std::string, int, decltype(&KeyLess)> rank(&KeyLess);
      for (const Texts &r : Snapshot(t)) rank.emplace(Key(r, column), 0);
      int n = 0;
      for (auto &[key, r] : rank) r = n++;
      ASSERT_LT(n, 26 * 26);
      std::map<int, int> seen;
      TWNetTree shortKeys;
      for (const Texts &r : Snapshot(t)) {
        const int k = rank.at(Key(r, column)), v = seen[k]++;
        ASSERT_LT(v, 64);
        std::string name{char('A' + k / 26), char('A' + k % 26)};
        for (int b = 0; b < 6; ++b) name += v >> b & 1 ? 'X' : 'x';
        shortKeys.AddFile("D", "\\\\P\\", name);
      }
      ASSERT_EQ(shortKeys.Count(), t.Count());
      // Row i of one tree stands for row i of the other.
      std::map<TNodeId, TNodeId> same;
      const std::vector<TNodeId> longIds = Ids(t), shortIds = Ids(shortKeys);
      for (size_t i = 0; i < longIds.size(); ++i) same[shortIds[i]] = longIds[i];
      t.Sort(column, asc);
      shortKeys.Sort(column, asc);
      std::vector<TNodeId> mapped;
      for (TNodeId id : Ids(shortKeys)) mapped.push_back(same.at(id));
      ASSERT_EQ(Ids(t), mapped) << "column " << column << (asc ? " asc" : " desc");
    }
}

TEST(WNetTreeSort, KeysCompareOnlyAsConcatenations) {
  // name "a" + domain "bc" and name "ab" + domain "c" make equal keys for columns 0 and 2: the
  // quicksort then swaps the two rows, while a field-wise comparison would leave them.
  for (int column : {scFileName, scDirectory}) {
    for (const bool asc : {true, false}) {
      TWNetTree t;
      t.AddFile("bc", "\\\\PC\\S\\", "a");
      t.AddFile("c", "\\\\PC\\S\\", "ab");
      const auto before = Ids(t);
      t.Sort(column, asc);
      EXPECT_EQ(Ids(t), (std::vector<TNodeId>{before[1], before[0]})) << column;
    }
  }
  // Different keys in ascending order stay as they are.
  TWNetTree t;
  t.AddFile("D", "\\\\PC\\S\\", "a");
  t.AddFile("D", "\\\\PC\\S\\", "B");
  const auto before = Ids(t);
  t.Sort(scFileName, true);
  EXPECT_EQ(Ids(t), before);
  t.Sort(scFileName, false);
  EXPECT_EQ(Ids(t), (std::vector<TNodeId>{before[1], before[0]}));
}

TEST(WNetTreeSort, FoldsOnlyAsciiLettersAndComparesBytesUnsigned) {
  TWNetTree t;
  for (const char *n : {"\xc3\xa9", "_x", "Zed", "apple", "[x", "\xc3\x89", "Apple2", "z"})
    t.AddFile("D", "\\\\PC\\S\\", n);
  t.Sort(scFileName, true);
  std::vector<std::string> names;
  for (int i = 0; i < t.Count(); ++i) names.emplace_back(t.File(i).Name());
  // 'Z' < '[' < '_' and bytes from 0x80 on come last; É (c3 89) before é (c3 a9). The key goes
  // on with the domain: "APPLE2D..." < "APPLED...".
  EXPECT_EQ(names, (std::vector<std::string>{"Apple2", "apple", "z", "Zed", "[x", "_x", "\xc3\x89",
                                             "\xc3\xa9"}));
}
