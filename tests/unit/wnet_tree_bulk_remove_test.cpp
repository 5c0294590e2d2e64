// Removing many rows at once gives the tree that removing them one by one from the last down
// gives: the same rows, states, nodes and name lookups afterwards.

#include "paths/wnet_tree.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <tuple>
#include <vector>

using namespace sonquarry;
using namespace sonquarry::testing;

namespace {

// Rows with their state, and every node's children by name, as one comparable picture.
std::vector<std::tuple<std::string, std::string, std::string, int>> Picture(TWNetTree &T) {
  std::vector<std::tuple<std::string, std::string, std::string, int>> out;
  for (int i = 0; i < T.Count(); ++i)
    out.emplace_back(std::string(T.File(i).Name()), T.GetDomain(i), T.GetDirectory(i),
                     int(T.File(i).State()));
  return out;
}

std::string Shape(TWNetTree &T, TWNetNode N, int Depth = 0) {
  std::string s;
  for (const TNodeId id : N.Children()) {
    TWNetNode c = T.Node(id);
    s += std::string(Depth, ' ') + std::string(c.Name()) + (c.IsFile() ? " *\n" : "\n");
    s += Shape(T, c, Depth + 1);
  }
  return s;
}

// A tree with directories of 1 to 60 files (some share names across directories), a few
// duplicate names from AddNode, a row that is also a directory, and mixed states.
void Fill(TWNetTree &T, unsigned Seed) {
  std::mt19937 rng(Seed);
  for (int d = 0; d < 40; ++d) {
    const std::string dom = Cat("D", std::to_string(d % 3));
    const std::string dir = Cat("\\\\PC", std::to_string(d % 7), "\\share\\dir", std::to_string(d));
    const int files = 1 + int(rng() % 60);
    for (int f = 0; f < files; ++f)
      T.AddFile(dom, dir, Cat("f", std::to_string(f % 25), "_", std::to_string(f), ".mp3"));
  }
  T.AddFile("D0", "\\\\PC0\\share\\dir0", "sub");
  T.AddFile("D0", "\\\\PC0\\share\\dir0\\sub", "inner.mp3");
  for (int i = 0; i < T.Count(); ++i) T.File(i).SetState(TNodeState(rng() % 4));
}

} // namespace

TEST(WNetTreeBulkRemove, SameTreeAsOneByOneFromTheLastDown) {
  for (unsigned seed = 1; seed <= 12; ++seed) {
    SCOPED_TRACE(seed);
    TWNetTree bulk, single;
    Fill(bulk, seed);
    Fill(single, seed);
    std::mt19937 rng(seed * 7919);
    const int share = 1 + int(seed % 4); // from a few rows to every row
    std::vector<int> doomed;
    for (int i = 0; i < bulk.Count(); ++i)
      if (seed == 12 || int(rng() % 4) < share) doomed.push_back(i);
    bulk.RemoveFiles(doomed);
    for (auto it = doomed.rbegin(); it != doomed.rend(); ++it) single.RemoveFile(*it);
    ASSERT_EQ(Picture(bulk), Picture(single));
    ASSERT_EQ(Shape(bulk, bulk.Root()), Shape(single, single.Root()));
    // Lookups by name and new rows still work in the thinned directories.
    for (int d = 0; d < 40; ++d) {
      const std::string dir =
          Cat("\\\\PC", std::to_string(d % 7), "\\share\\dir", std::to_string(d));
      bulk.AddFile(Cat("D", std::to_string(d % 3)), dir, "f3_3.mp3");
      single.AddFile(Cat("D", std::to_string(d % 3)), dir, "f3_3.mp3");
    }
    EXPECT_EQ(Picture(bulk), Picture(single));
  }
}

TEST(WNetTreeBulkRemove, ByStateKeepsTheOtherStates) {
  TWNetTree t;
  Fill(t, 3);
  std::vector<int> counts(4);
  for (int i = 0; i < t.Count(); ++i) ++counts[t.File(i).State()];
  EXPECT_EQ(t.RemoveFilesInState(nsInaccessible), counts[nsInaccessible]);
  EXPECT_EQ(t.CountByState(nsInaccessible), 0);
  EXPECT_EQ(t.CountByState(nsUnreached), counts[nsUnreached]);
  EXPECT_EQ(t.Count(), counts[0] + counts[1] + counts[3]);
  EXPECT_EQ(t.RemoveFilesInState(nsInaccessible), 0);
}

TEST(WNetTreeBulkRemove, BadIndicesRemoveNothing) {
  TWNetTree t;
  Fill(t, 5);
  const auto before = Picture(t);
  EXPECT_EQ(ErrorOf([&] {
              t.RemoveFiles({0, t.Count()});
            }),
            Cat("List index out of bounds (", std::to_string(t.Count()), ")."));
  EXPECT_NE(ErrorOf([&] { t.RemoveFiles({3, 3}); }), "(no error)");
  EXPECT_NE(ErrorOf([&] { t.RemoveFiles({4, 2}); }), "(no error)");
  EXPECT_EQ(Picture(t), before);
}
