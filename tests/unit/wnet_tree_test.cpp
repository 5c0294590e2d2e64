#include "paths/wnet_tree.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <string>
#include <vector>

using namespace sonquarry;
using namespace sonquarry::testing;

namespace {

TWNetNode Path(TWNetTree &T, std::vector<std::string> Names) {
  TWNetNode n;
  for (const auto &name : Names) {
    n = T.FindNode(n, name);
    if (!n) return n;
  }
  return n;
}

} // namespace

TEST(WNetTreeAdd, DuplicateAddKeepsOneRowAndOnlyMarksIt) {
  TWNetTree t;
  t.AddFile("Domain1", "\\\\Computer1\\Music\\", "Track1.mp3");
  t.ResetMarks();
  EXPECT_FALSE(t.File(0).Visited());
  t.AddFile("Domain1", "\\\\Computer1\\Music\\", "Track1.mp3");
  ASSERT_EQ(t.Count(), 1);
  EXPECT_TRUE(t.File(0).Visited());
  EXPECT_EQ(t.File(0).State(), nsKnown);
  EXPECT_EQ(t.Root().Children().Count(), 1);
}

TEST(WNetTreeAdd, CaseDistinctNamesMakeDistinctNodes) {
  TWNetTree t;
  t.AddFile("D", "\\\\PC\\Music\\", "a.mp3");
  t.AddFile("D", "\\\\PC\\music\\", "a.mp3");
  t.AddFile("D", "\\\\PC\\music\\", "A.mp3");
  EXPECT_EQ(t.Count(), 3);
  EXPECT_EQ(Path(t, {"D", "PC"}).Children().Count(), 2);
  EXPECT_EQ(t.GetDirectory(0), "\\\\PC\\Music\\");
  EXPECT_EQ(t.GetDirectory(1), "\\\\PC\\music\\");
}

TEST(WNetTreeAdd, EmptyComponentsAreSkipped) {
  TWNetTree t;
  t.AddFile("Domain1", "\\\\Computer1\\Music\\Pop\\", "x.mp3");
  t.AddFile("Domain1", "\\\\Computer1\\Music\\\\Pop", "y.mp3");
  t.AddFile("Domain1", "\\\\\\Computer1\\\\Music\\Pop\\\\", "z.mp3");
  EXPECT_EQ(t.Count(), 3);
  EXPECT_EQ(Path(t, {"Domain1", "Computer1", "Music", "Pop"}).Children().Count(), 3);
  EXPECT_EQ(t.GetDirectory(1), "\\\\Computer1\\Music\\Pop\\");

  std::vector<std::string> parts{"kept"};
  SplitNetPath("\\\\Computer1\\Music\\Trance\\", parts);
  EXPECT_EQ(parts, (std::vector<std::string>{"kept", "Computer1", "Music", "Trance"}));
  parts.clear();
  SplitNetPath("\\\\Computer1", parts);
  EXPECT_EQ(parts, std::vector<std::string>{"Computer1"});
  parts.clear();
  SplitNetPath("\\\\", parts);
  EXPECT_TRUE(parts.empty());
}

TEST(WNetTreeAdd, PathWithoutTwoBackslashesRaisesAndKeepsTheDomainNode) {
  TWNetTree t;
  for (const char *bad : {"Computer1\\Music\\", "\\Computer1\\", "", "\\", "/\\x"}) {
    std::vector<std::string> parts;
    EXPECT_EQ(ErrorOf([&] { SplitNetPath(bad, parts); }), "  ") << bad;
    EXPECT_EQ(ErrorOf([&] { t.AddFile("Dom", bad, "x.mp3"); }), "  ") << bad;
  }
  EXPECT_EQ(t.Count(), 0);
  ASSERT_EQ(t.Root().Children().Count(), 1);
  EXPECT_EQ(t.Node(t.Root().Children()[0]).Name(), "Dom");
}

TEST(WNetTreeAdd, FileInTheRootOfADomainOrShare) {
  TWNetTree t;
  t.AddFile("D", "\\\\", "loose.mp3");
  t.AddFile("D", "\\\\PC\\Share", "top.mp3");
  EXPECT_EQ(t.GetDomain(0), "D");
  EXPECT_EQ(t.GetDirectory(0), "\\\\");
  EXPECT_EQ(t.GetDirectory(1), "\\\\PC\\Share\\");
  EXPECT_EQ(t.File(1).Parent().Name(), "Share");
}

TEST(WNetTreeTexts, IndexOutsideTheRowsRaisesTheListIndexError) {
  TWNetTree t;
  t.AddFile("D", "\\\\PC\\S\\", "a.mp3");
  EXPECT_EQ(ErrorOf([&] { t.GetDomain(1); }), "List index out of bounds (1).");
  EXPECT_EQ(ErrorOf([&] { t.GetDirectory(-1); }), "List index out of bounds (-1).");
  EXPECT_EQ(ErrorOf([&] { t.RemoveFile(1); }), "List index out of bounds (1).");
  EXPECT_EQ(ErrorOf([&] { t.Files().Get(1); }), "List index out of bounds (1).");
  EXPECT_EQ(t.Count(), 1);
}

TEST(WNetTreeNodes, ObtainNodeStates) {
  TWNetTree t;
  bool created = false;
  TWNetNode a = t.ObtainNode({}, "A", created);
  EXPECT_TRUE(created);
  EXPECT_EQ(a.State(), nsNew);
  EXPECT_TRUE(a.Visited());
  EXPECT_EQ(a.Parent(), t.Root());
  EXPECT_EQ(t.ObtainNode({}, "A", created), a);
  EXPECT_FALSE(created);
  EXPECT_EQ(a.State(), nsNew); // visited already: keeps its state
  a.SetVisited(false);
  t.ObtainNode({}, "A", created);
  EXPECT_EQ(a.State(), nsKnown);
  t.SetLoading(true);
  EXPECT_EQ(t.ObtainNode(a, "B", created).State(), nsKnown);
  TWNetNode plain = t.AddNode(a, "C");
  EXPECT_FALSE(plain.Visited());
  EXPECT_EQ(plain.State(), nsNew);
  EXPECT_EQ(t.Count(), 0);
  EXPECT_EQ(t.Root().Name(), "root node");
  EXPECT_FALSE(t.Root().Parent());
}

TEST(WNetTreeNodes, ManyChildrenKeepInsertionOrderAndAreFound) {
  TWNetTree t;
  std::vector<std::string> names;
  std::mt19937 rng(7);
  for (int i = 0; i < 3000; ++i)
    names.push_back(Cat("n", std::to_string(rng() % 100000), "_", std::to_string(i)));
  TWNetNode dir = t.AddNode({}, "D");
  for (size_t i = 0; i < names.size(); ++i) {
    t.AddNode(dir, names[i]);
    if (i == 10 || i == 20 || i == 2999) { // below, at and well above the index size
      for (size_t k = 0; k <= i; ++k) ASSERT_EQ(t.FindNode(dir, names[k]).Name(), names[k]);
      EXPECT_FALSE(t.FindNode(dir, "missing"));
      EXPECT_FALSE(t.FindNode(dir, names[0] + "x"));
    }
  }
  const auto &children = dir.Children();
  ASSERT_EQ(children.Count(), 3000);
  for (int i = 0; i < children.Count(); ++i) EXPECT_EQ(t.Node(children[i]).Name(), names[i]);
}

TEST(WNetTreeNodes, RemovalKeepsTheNameIndexRight) {
  // Random adds and removals in one large directory against a model.
  TWNetTree t;
  std::map<std::string, bool> model;
  std::mt19937 rng(11);
  for (int round = 0; round < 4000; ++round) {
    const std::string name = Cat("f", std::to_string(rng() % 700));
    if (rng() % 3 != 0 || t.Count() == 0) {
      t.AddFile("D", "\\\\PC\\S\\", name);
      model[name] = true;
    } else {
      const int i = static_cast<int>(rng() % static_cast<unsigned>(t.Count()));
      model.erase(std::string(t.File(i).Name()));
      t.RemoveFile(i);
    }
  }
  ASSERT_EQ(t.Count(), static_cast<int>(model.size()));
  TWNetNode share = Path(t, {"D", "PC", "S"});
  for (int k = 0; k < 700; ++k) {
    const std::string name = Cat("f", std::to_string(k));
    TWNetNode n = t.FindNode(share, name);
    EXPECT_EQ(static_cast<bool>(n), model.count(name) == 1) << name;
    if (n) {
      EXPECT_EQ(n.Name(), name);
    }
  }
}

TEST(WNetTreeNodes, DuplicateNamesFromAddNodeFindTheFirstThenTheNext) {
  for (const int others : {3, 40}) { // searched linearly, and through the index
    TWNetTree t;
    for (int i = 0; i < others; ++i) t.AddFile("D", "\\\\PC\\S\\", Cat("o", std::to_string(i)));
    t.AddFile("D", "\\\\PC\\S\\", "dup");
    TWNetNode share = Path(t, {"D", "PC", "S"});
    TWNetNode first = t.FindNode(share, "dup");
    TWNetNode second = t.AddNode(share, "dup");
    EXPECT_NE(first, second);
    EXPECT_EQ(t.FindNode(share, "dup"), first);
    t.RemoveFile(t.Count() - 1);
    EXPECT_EQ(t.FindNode(share, "dup"), second) << others;
  }
}

TEST(WNetTreeRemove, LastFileTakesEmptyAncestorsWithIt) {
  TWNetTree t;
  t.AddFile("Domain1", "\\\\Computer1\\Music\\Pop\\", "a.mp3");
  t.AddFile("Domain1", "\\\\Computer2\\Music\\", "b.mp3");
  t.AddFile("Domain2", "\\\\Computer3\\Music\\", "c.mp3");
  t.AddFile("Domain2", "\\\\Computer3\\Music\\", "d.mp3");
  t.GetDirectory(0); // fills the cache with a parent that is about to go
  t.RemoveFile(0);
  EXPECT_FALSE(Path(t, {"Domain1", "Computer1"}));
  EXPECT_TRUE(Path(t, {"Domain1", "Computer2"}));
  EXPECT_EQ(Rows(t)[0], (Row{"b.mp3", "Domain1", "\\\\Computer2\\Music\\"}));
  t.RemoveFile(0);
  EXPECT_FALSE(Path(t, {"Domain1"}));
  EXPECT_EQ(t.Root().Children().Count(), 1);
  t.RemoveFile(1);
  EXPECT_EQ(Rows(t), (std::vector<Row>{{"c.mp3", "Domain2", "\\\\Computer3\\Music\\"}}));
  // Freed nodes are reused; the texts must come from the new ones.
  t.AddFile("Domain9", "\\\\New\\Share\\", "e.mp3");
  EXPECT_EQ(Rows(t)[1], (Row{"e.mp3", "Domain9", "\\\\New\\Share\\"}));
  t.RemoveFile(0);
  t.RemoveFile(0);
  EXPECT_EQ(t.Root().Children().Count(), 0);
}

TEST(WNetTreeRemove, AFileThatIsAlsoADirectoryStaysAsTheDirectory) {
  // Only a hand-edited list file gives one name both roles under one parent.
  TWNetTree t;
  t.AddFile("D", "\\\\PC\\S\\", "x");
  t.AddFile("D", "\\\\PC\\S\\x\\", "inner.mp3");
  ASSERT_EQ(t.Count(), 2);
  TWNetNode x = t.File(0);
  EXPECT_TRUE(x.IsFile());
  t.RemoveFile(0);
  ASSERT_EQ(t.Count(), 1);
  EXPECT_EQ(Rows(t)[0], (Row{"inner.mp3", "D", "\\\\PC\\S\\x\\"}));
  EXPECT_FALSE(Path(t, {"D", "PC", "S", "x"}).IsFile());
  t.RemoveFile(0);
  EXPECT_EQ(t.Root().Children().Count(), 0);

  // The other way round: removing the inner file must not free the row above it.
  t.AddFile("D", "\\\\PC\\S\\", "x");
  t.AddFile("D", "\\\\PC\\S\\x\\", "inner.mp3");
  t.RemoveFile(1);
  ASSERT_EQ(t.Count(), 1);
  EXPECT_EQ(Rows(t)[0], (Row{"x", "D", "\\\\PC\\S\\"}));
  EXPECT_EQ(t.File(0).Children().Count(), 0);
  t.RemoveFile(0);
  EXPECT_EQ(t.Root().Children().Count(), 0);
}

TEST(WNetTreeRemove, NamesSurviveCompactionOfThePool) {
  TWNetTree t;
  const std::string pad(60, 'p');
  for (int i = 0; i < 120000; ++i)
    t.AddFile("D", Cat("\\\\PC\\S", std::to_string(i % 50), "\\"), Cat(pad, std::to_string(i)));
  for (int i = 119999; i >= 0; --i)
    if (i % 10 != 3) t.RemoveFile(i);
  ASSERT_EQ(t.Count(), 12000);
  for (int k = 0; k < 12000; ++k) {
    const int i = k * 10 + 3;
    ASSERT_EQ(t.File(k).Name(), Cat(pad, std::to_string(i)));
    ASSERT_EQ(t.GetDirectory(k), Cat("\\\\PC\\S", std::to_string(i % 50), "\\"));
  }
  TWNetNode s3 = Path(t, {"D", "PC", "S3"});
  EXPECT_TRUE(t.FindNode(s3, pad + "53"));
  EXPECT_EQ(s3.Children().Count(), 2400);
  EXPECT_FALSE(Path(t, {"D", "PC", "S4"})); // every file of S4 went
}

TEST(WNetTreeNames, LongAndEmptyNamesAreStoredWhole) {
  TWNetTree t;
  const std::string mid(70000, 'm'), huge(1500000, 'h');
  std::string odd("a\0b\xff", 4);
  t.AddFile("", "\\\\PC\\" + mid + "\\", huge);
  t.AddFile("", "\\\\PC\\" + mid + "\\", "");
  t.AddFile("", "\\\\PC\\" + mid + "\\", odd);
  ASSERT_EQ(t.Count(), 3);
  EXPECT_EQ(t.File(0).Name(), huge);
  EXPECT_EQ(t.File(1).Name(), "");
  EXPECT_EQ(t.File(2).Name(), odd);
  EXPECT_EQ(t.GetDirectory(0), "\\\\PC\\" + mid + "\\");
  EXPECT_EQ(t.GetDomain(0), "");
  t.AddFile("", "\\\\PC\\" + mid + "\\", huge);
  EXPECT_EQ(t.Count(), 3);
}

TEST(WNetTreeMarks, FullCycleGivesEveryState) {
  TWNetTree t;
  t.SetLoading(true);
  t.AddFile("Domain1", "\\\\Computer1\\Music\\", "kept.mp3");
  t.AddFile("Domain1", "\\\\Computer1\\Music\\", "gone.mp3");
  t.AddFile("Domain1", "\\\\Computer1\\Old\\", "oldshare.mp3");
  t.AddFile("Domain1", "\\\\Computer2\\Music\\", "pc2.mp3");
  t.AddFile("Domain2", "\\\\Computer3\\Music\\", "dom2.mp3");
  t.SetLoading(false);
  for (int i = 0; i < t.Count(); ++i) {
    EXPECT_EQ(t.File(i).State(), nsKnown);
    EXPECT_TRUE(t.File(i).Visited());
  }

  t.ResetMarks();
  EXPECT_FALSE(t.File(0).Visited());
  t.AddFile("Domain1", "\\\\Computer1\\Music\\", "kept.mp3");
  t.AddFile("Domain1", "\\\\Computer1\\Music\\", "new.mp3");
  t.AddFile("Domain1", "\\\\Computer1\\Music\\", "new.mp3");
  t.FinishMarks();

  std::map<std::string, TNodeState> states;
  for (int i = 0; i < t.Count(); ++i) {
    states[std::string(t.File(i).Name())] = t.File(i).State();
    EXPECT_TRUE(t.File(i).Visited());
  }
  EXPECT_EQ(states, (std::map<std::string, TNodeState>{{"kept.mp3", nsKnown},
                                                       {"new.mp3", nsNew},
                                                       {"gone.mp3", nsInaccessible},
                                                       {"oldshare.mp3", nsInaccessible},
                                                       {"pc2.mp3", nsUnreached},
                                                       {"dom2.mp3", nsUnreached}}));
  EXPECT_EQ(t.CountByState(nsKnown), 1);
  EXPECT_EQ(t.CountByState(nsNew), 1);
  EXPECT_EQ(t.CountByState(nsInaccessible), 2);
  EXPECT_EQ(t.CountByState(nsUnreached), 2);
  // Only what lies below an unreached domain or computer is marked; the node itself is not.
  EXPECT_FALSE(Path(t, {"Domain2"}).Visited());
  EXPECT_FALSE(Path(t, {"Domain1", "Computer2"}).Visited());
  EXPECT_EQ(Path(t, {"Domain1", "Computer2", "Music"}).State(), nsUnreached);
}

TEST(WNetTreeClear, EmptiesEverythingAndStaysUsable) {
  TWNetTree t;
  TWNetNode root = t.Root();
  for (int i = 0; i < 100; ++i) t.AddFile("D", "\\\\PC\\S\\", std::to_string(i));
  t.GetDirectory(5);
  t.Clear();
  EXPECT_EQ(t.Count(), 0);
  EXPECT_EQ(t.Root(), root);
  EXPECT_EQ(t.Root().Name(), "root node");
  EXPECT_EQ(t.Root().Children().Count(), 0);
  t.AddFile("E", "\\\\Q\\R\\", "x");
  EXPECT_EQ(Rows(t), (std::vector<Row>{{"x", "E", "\\\\Q\\R\\"}}));
}
