#include "paths/wnet_tree.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

using namespace sonquarry;
using namespace sonquarry::testing;

namespace {

// The plain form of the sort: keys built at every comparison, compared with only a to z folded,
// and the same quicksort. The tree's sort must give the very same order.
int CompareText(const std::string &A, const std::string &B) {
  const size_t n = std::min(A.size(), B.size());
  for (size_t i = 0; i < n; ++i) {
    auto fold = [](char c) {
      const auto u = static_cast<unsigned char>(c);
      return u >= 'a' && u <= 'z' ? u - 32 : u;
    };
    if (fold(A[i]) != fold(B[i])) return fold(A[i]) < fold(B[i]) ? -1 : 1;
  }
  return A.size() < B.size() ? -1 : A.size() > B.size() ? 1 : 0;
}

struct Texts {
  TNodeId Id;
  std::string Name, Domain, Dir;
};

std::string Key(const Texts &T, int Column) {
  if (Column == 0) return T.Name + T.Domain + T.Dir;
  if (Column == 1) return T.Domain + T.Dir + T.Name;
  return T.Dir + T.Name + T.Domain;
}

void PlainSort(std::vector<Texts> &F, int L, int R, int Column, bool Asc) {
  int I;
  do {
    I = L;
    int J = R;
    int P = static_cast<int>(static_cast<unsigned>(L + R) >> 1);
    do {
      const std::string pivot = Key(F[P], Column);
      if (Asc) {
        while (CompareText(Key(F[I], Column), pivot) < 0) ++I;
        while (CompareText(Key(F[J], Column), pivot) > 0) --J;
      } else {
        while (CompareText(Key(F[I], Column), pivot) > 0) ++I;
        while (CompareText(Key(F[J], Column), pivot) < 0) --J;
      }
      if (I <= J) {
        std::swap(F[I], F[J]);
        if (P == I) {
          P = J;
        } else if (P == J) {
          P = I;
        }
        ++I;
        --J;
      }
    } while (I <= J);
    if (L < J) PlainSort(F, L, J, Column, Asc);
    L = I;
  } while (I < R);
}

std::vector<Texts> Snapshot(TWNetTree &T) {
  std::vector<Texts> out;
  for (int i = 0; i < T.Count(); ++i)
    out.push_back({T.Files()[i], std::string(T.File(i).Name()), T.GetDomain(i), T.GetDirectory(i)});
  return out;
}

std::vector<TNodeId> Ids(const std::vector<Texts> &F) {
  std::vector<TNodeId> ids;
  for (const auto &t : F) ids.push_back(t.Id);
  return ids;
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

} // namespace

TEST(WNetTreeSort, SameOrderAsThePlainSortOnRandomTrees) {
  for (unsigned seed = 1; seed <= 12; ++seed) {
    std::mt19937 rng(seed);
    TWNetTree t;
    FillRandom(t, rng, 300 + static_cast<int>(seed) * 40);
    for (int column = 0; column < 3; ++column) {
      for (const bool asc : {true, false}) {
        std::vector<Texts> plain = Snapshot(t);
        PlainSort(plain, 0, static_cast<int>(plain.size()) - 1, column, asc);
        t.Sort(column, asc);
        ASSERT_EQ(Ids(t), Ids(plain)) << "seed " << seed << " column " << column << " asc " << asc;
      }
    }
  }
}

TEST(WNetTreeSort, SameOrderWithLongSharedPrefixesAndManyEqualKeys) {
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
  for (int column = 0; column < 3; ++column) {
    for (const bool asc : {true, false}) {
      std::vector<Texts> plain = Snapshot(t);
      PlainSort(plain, 0, static_cast<int>(plain.size()) - 1, column, asc);
      t.Sort(column, asc);
      ASSERT_EQ(Ids(t), Ids(plain)) << "column " << column << " asc " << asc;
    }
  }
}

TEST(WNetTreeSort, KeysCompareOnlyAsConcatenations) {
  // name "a" + domain "bc" and name "ab" + domain "c" make equal keys for columns 0 and 2: the
  // quicksort then swaps the two rows, while a field-wise comparison would leave them.
  for (int column : {0, 2}) {
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
  t.Sort(0, true);
  EXPECT_EQ(Ids(t), before);
  t.Sort(0, false);
  EXPECT_EQ(Ids(t), (std::vector<TNodeId>{before[1], before[0]}));
}

TEST(WNetTreeSort, FoldsOnlyAsciiLettersAndComparesBytesUnsigned) {
  TWNetTree t;
  for (const char *n : {"\xc3\xa9", "_x", "Zed", "apple", "[x", "\xc3\x89", "Apple2", "z"})
    t.AddFile("D", "\\\\PC\\S\\", n);
  t.Sort(0, true);
  std::vector<std::string> names;
  for (int i = 0; i < t.Count(); ++i) names.emplace_back(t.File(i).Name());
  // 'Z' < '[' < '_' and bytes from 0x80 on come last; É (c3 89) before é (c3 a9). The key goes
  // on with the domain: "APPLE2D..." < "APPLED...".
  EXPECT_EQ(names, (std::vector<std::string>{"Apple2", "apple", "z", "Zed", "[x", "_x", "\xc3\x89",
                                             "\xc3\xa9"}));
}
