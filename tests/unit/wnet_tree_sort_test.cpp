#include "paths/wnet_tree.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
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

// The rows after a sort are the rows before it, each key in order with its neighbour.
void ExpectSorted(TWNetTree &T, std::vector<Texts> Before, int Column, bool Asc,
                  const std::string &What) {
  const std::vector<Texts> After = Snapshot(T);
  ASSERT_EQ(After.size(), Before.size()) << What;
  std::multiset<std::tuple<TNodeId, std::string, std::string, std::string>> A, B;
  for (const auto &t : After) A.emplace(t.Id, t.Name, t.Domain, t.Dir);
  for (const auto &t : Before) B.emplace(t.Id, t.Name, t.Domain, t.Dir);
  EXPECT_TRUE(A == B) << What << ": rows changed";
  for (size_t i = 1; i < After.size(); ++i) {
    const std::string prev = Key(After[i - 1], Column), next = Key(After[i], Column);
    ASSERT_FALSE(Asc ? KeyLess(next, prev) : KeyLess(prev, next))
        << What << " at row " << i << ": \"" << prev << "\" then \"" << next << "\"";
  }
}

std::vector<TNodeId> Ids(TWNetTree &T) { return {T.Files().begin(), T.Files().end()}; }

// Short names over an alphabet that makes keys collide across the text boundaries, puts one
// directory text at the start of another, and has bytes on both sides of the backslash.
std::string RandomName(std::mt19937 &Rng, int MaxLen) {
  static const std::string alphabet = std::string("aAbB\\[]_^`z0 ") + "\xc3\xa9\xff" + '\0';
  std::string s;
  const int len = static_cast<int>(Rng() % static_cast<unsigned>(MaxLen + 1));
  for (int i = 0; i < len; ++i) s += alphabet[Rng() % alphabet.size()];
  return s;
}

void FillRandom(TWNetTree &T, std::mt19937 &Rng, int Files) {
  for (int i = 0; i < Files; ++i) {
    std::string path = "\\\\";
    const int depth = static_cast<int>(Rng() % 4);
    for (int d = 0; d < depth; ++d) path += RandomName(Rng, 2) + "\\";
    T.AddFile(RandomName(Rng, 2), path, RandomName(Rng, 10));
  }
}

// The rows' ids in the order a quicksort on the full keys leaves them: the middle element as
// pivot, Hoare's partitioning, the left part sorted first. Equal keys end up in its order too.
std::vector<TNodeId> QuicksortedIds(const std::vector<Texts> &Rows, int Column, bool Asc) {
  std::vector<std::pair<std::string, TNodeId>> e;
  for (const Texts &t : Rows) e.emplace_back(Key(t, Column), t.Id);
  const auto before = [&](const std::string &a, const std::string &b) {
    return Asc ? KeyLess(a, b) : KeyLess(b, a);
  };
  std::vector<std::pair<long, long>> pending{{0, static_cast<long>(e.size()) - 1}};
  while (!pending.empty()) {
    auto [l, r] = pending.back();
    pending.pop_back();
    long i;
    do {
      i = l;
      long j = r, p = (l + r) / 2;
      do {
        const std::string pivot = e[p].first;
        while (before(e[i].first, pivot)) ++i;
        while (before(pivot, e[j].first)) --j;
        if (i <= j) {
          std::swap(e[i], e[j]);
          p = p == i ? j : p == j ? i : p;
          ++i, --j;
        }
      } while (i <= j);
      if (l < j) pending.emplace_back(l, j);
      l = i;
    } while (i < r);
  }
  std::vector<TNodeId> ids;
  for (const auto &x : e) ids.push_back(x.second);
  return ids;
}

} // namespace

TEST(WNetTreeSort, RowsWithEqualKeysKeepTheQuicksortOrder) {
  // Names, directories and domains that differ only in case make many equal keys; names that
  // share a long prefix reach past the bytes compared at once.
  for (unsigned seed = 1; seed <= 6; ++seed) {
    std::mt19937 rng(seed);
    TWNetTree t;
    const auto pick = [&](const char *A, const char *B) { return rng() % 2 ? A : B; };
    for (int i = 0; i < 3000; ++i)
      t.AddFile(pick("wg", "WG"), Cat("\\\\PC\\", pick("m", "M"), "\\", std::to_string(rng() % 3)),
                Cat(pick("a long shared name prefix ", "A LONG SHARED NAME PREFIX "),
                    std::to_string(rng() % 40), pick("", ".mp3")));
    for (int column = scFileName; column <= scDirectory; ++column)
      for (const bool asc : {true, false}) {
        const std::vector<TNodeId> expected = QuicksortedIds(Snapshot(t), column, asc);
        t.Sort(column, asc);
        ASSERT_EQ(Ids(t), expected) << "seed " << seed << " column " << column << asc;
      }
  }
}

TEST(WNetTreeSort, RandomTreesComeOutInKeyOrder) {
  for (unsigned seed = 1; seed <= 12; ++seed) {
    std::mt19937 rng(seed);
    TWNetTree t;
    FillRandom(t, rng, 300 + static_cast<int>(seed) * 40);
    for (int column = scFileName; column <= scDirectory; ++column) {
      for (const bool asc : {true, false}) {
        const std::vector<Texts> before = Snapshot(t);
        t.Sort(column, asc);
        ExpectSorted(t, before, column, asc,
                     Cat("seed ", std::to_string(seed), " column ", std::to_string(column),
                         asc ? " asc" : " desc"));
      }
    }
  }
}

TEST(WNetTreeSort, KeyOrderWithLongSharedPrefixesAndManyEqualKeys) {
  // Long names and deep directories reach past the cached key bytes; many rows repeat one
  // name in directories that differ only in case.
  std::mt19937 rng(99);
  TWNetTree t;
  const std::string stem = "Some Artist - Some Album - ";
  for (int i = 0; i < 1500; ++i) {
    const std::string dir =
        std::string("\\\\Comp\\") + (rng() % 2 ? "Music" : "MUSIC") + "\\" +
        (rng() % 3 ? Cat("Artist\\", std::to_string(rng() % 4), "\\") : std::string());
    const std::string name = rng() % 4 ? Cat(stem, std::to_string(rng() % 50)) : "01.mp3";
    t.AddFile(rng() % 2 ? "WORKGROUP" : "workgroup", dir, name);
  }
  for (int column = scFileName; column <= scDirectory; ++column) {
    for (const bool asc : {true, false}) {
      const std::vector<Texts> before = Snapshot(t);
      t.Sort(column, asc);
      ExpectSorted(t, before, column, asc,
                   Cat("column ", std::to_string(column), asc ? " asc" : " desc"));
    }
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
