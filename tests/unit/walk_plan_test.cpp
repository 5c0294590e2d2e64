// The walk's decisions about its helpers: when one starts, what it lists, when the walk takes
// over and when the helpers end. The provider is played by the test: it greets the helpers and
// answers their requests from a small tree.

#include "platform/smb/walk_plan.h"

#include <gtest/gtest.h>

#include <climits>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <vector>

using namespace sonquarry::smb;

namespace {

const std::string Root = R"(\\pc\music)";

std::vector<wire::Entry> Dirs(const std::vector<std::string> &Names) {
  std::vector<wire::Entry> E{{".", true}, {"song.mp3", false}};
  for (const auto &N : Names) E.push_back({N, true});
  return E;
}

THelper &Greeted(TWalkPlan &P) {
  THelper &H = P.Add(std::make_unique<THelper>());
  H.Greeted = true;
  H.InFlight = false;
  return H;
}

// Starts helpers as the provider does, while the plan wants one more.
int Start(TWalkPlan &P, int ServerCap, int HelperCap, bool Spare) {
  int N = 0;
  while (N < 100 && P.WantsHelper(ServerCap, HelperCap, [&] { return Spare; })) {
    P.Add(std::make_unique<THelper>());
    ++N;
  }
  return N;
}

struct TStartRow {
  const char *Situation;
  int LatencyBoundMs, AfterDirs;
  int Opens, Fanout; // the walk opens a chain of this many directories, each with Fanout subdirs
  double WaitedMs;
  bool Spare;
  int ServerCap, HelperCap;
  int Helpers; // started
};

TEST(WalkPlan, HelpersStartWhenTheWalkIsDeepOrLatencyBound) {
  const TStartRow Rows[] = {
      {"tiny tree, not latency-bound", -1, 64, 2, 2, 10, true, 8, 16, 0},
      {"deep enough, a core free", -1, 4, 4, 2, 0.1, true, 8, 16, 1},
      {"deep enough, no core free", -1, 4, 4, 2, 0.1, false, 8, 16, 0},
      {"helpers off", -1, 0, 4, 2, 0.1, true, 8, 16, 0},
      {"one directory left in the plan", -1, 2, 3, 1, 0.1, true, 8, 16, 0},
      {"latency-bound deep tree: the server cap less the walk's own", 6, 64, 5, 4, 10, false, 8, 16,
       7},
      {"latency-bound deep tree: the helper cap", 6, 64, 5, 4, 10, false, 8, 3, 3},
      {"latency-bound, server cap 1: the walk's own connection only", 6, 64, 5, 4, 10, true, 1, 16,
       0},
      {"four slow listings are not yet latency-bound", 6, 64, 4, 4, 10, true, 8, 16, 0},
      {"listings under the bound", 6, 64, 5, 4, 5.9, true, 8, 16, 0},
      {"the fifth slow listing starts helpers up to the cap at once, also on a narrow plan", 6, 64,
       5, 2, 10, false, 8, 16, 7},
      {"latency-bound before the last listing: as many as the untaken plan less one", 6, 64, 6, 2,
       10, false, 8, 16, 6},
      {"every walk latency-bound: the first listing starts them at once", 0, 64, 1, 3, -1, false, 8,
       16, 7},
      {"every walk latency-bound, later: as many as the untaken plan less one", 0, 64, 2, 3, -1,
       false, 8, 16, 4},
      {"every walk latency-bound, tiny tree", 0, 64, 1, 1, -1, true, 8, 16, 0},
      {"two listings of four times the bound past the share's first, a core free: at once", 6, 64,
       3, 4, 24, true, 8, 16, 7},
      {"two such listings and no core free: not yet", 6, 64, 3, 4, 24, false, 8, 16, 0},
      {"two such listings counting the share's first: not yet", 6, 64, 2, 4, 24, true, 8, 16, 0},
      {"two listings just under four times the bound: not yet", 6, 64, 3, 4, 23.9, true, 8, 16, 0},
  };
  for (const auto &R : Rows) {
    TWalkPlan P(R.LatencyBoundMs, R.AfterDirs);
    std::string Dir = Root;
    for (int I = 0; I < R.Opens; ++I) {
      std::vector<std::string> Subs;
      for (int J = 0; J < R.Fanout; ++J) Subs.push_back("d" + std::to_string(J));
      P.Opened(Root, Dir, 0, Dirs(Subs), R.WaitedMs, [&] { return R.Spare; });
      Dir += R"(\d0)";
    }
    EXPECT_EQ(Start(P, R.ServerCap, R.HelperCap, R.Spare), R.Helpers) << R.Situation;
  }
}

struct TClaimRow {
  const char *Server;
  bool Helper;
  bool Granted;
};

TEST(WalkPlan, ConnectionsAreCappedPerServerAndHelpersInAll) {
  // Cap 3 per server, 3 helpers in all; each walk's own connection counts but is never refused.
  const TClaimRow Rows[] = {
      {"pc1", false, true}, {"pc1", true, true}, {"pc1", false, true}, {"pc1", true, false},
      {"pc2", true, true},  {"pc2", true, true}, {"pc3", true, false}, {"pc3", false, true},
  };
  auto Load = std::make_shared<TLoad>();
  std::vector<std::unique_ptr<TClaim>> Held;
  int Row = 0;
  for (const auto &R : Rows) {
    auto C = TClaim::Take(Load, R.Server, R.Helper ? 3 : INT_MAX, R.Helper, 3);
    EXPECT_EQ(C != nullptr, R.Granted) << "row " << Row++;
    Held.push_back(std::move(C));
  }
  Held.clear();
  EXPECT_TRUE(Load->Conns.empty());
  EXPECT_EQ(Load->Helpers, 0);
}

struct TTakeRow {
  const char *Situation;
  bool Latency, Spare;
  std::vector<std::string> Asked; // in order, relative to the root
};

TEST(WalkPlan, AHelperListsTheBottomOfThePlanASubtreeAtATime) {
  // \\pc\music holds a, b and c; c holds c1 and c2. The walk goes to a first.
  const std::map<std::string, std::vector<std::string>> Tree{{"c", {"c1", "c2"}}};
  const TTakeRow Rows[] = {
      {"a core free: c and its subtree, then b; a is the walk's next",
       false,
       true,
       {"c", "c\\c1", "c\\c2", "b"}},
      {"no core free", false, false, {}},
      {"latency-bound, no core free", true, false, {"c", "c\\c1", "c\\c2", "b"}},
  };
  for (const auto &R : Rows) {
    TWalkPlan P(R.Latency ? 0 : -1, 1);
    P.Opened(Root, Root, 0, Dirs({"a", "b", "c"}), -1);
    THelper &H = Greeted(P);
    std::vector<std::string> Asked;
    for (std::string D; !(D = P.NextFor(H, R.Latency, [&] { return R.Spare; })).empty();) {
      ASSERT_LT(Asked.size(), 10u) << R.Situation;
      const std::string Rel = D.substr(Root.size() + 1);
      Asked.push_back(Rel);
      const auto It = Tree.find(Rel);
      P.Keep(H, {D, 0, wire::IdKind::None,
                 Dirs(It == Tree.end() ? std::vector<std::string>{} : It->second)});
    }
    EXPECT_EQ(Asked, R.Asked) << R.Situation;
  }
}

struct TCatchRow {
  const char *Situation;
  std::vector<std::string> WalkReaches; // relative to the root, in order
  std::vector<bool> Taken;              // from the helper, for each
  std::string HelperNext;               // then, "" for none
};

TEST(WalkPlan, TheWalkTakesTheHelpersListingsAndCatchesUpWithItsSubtree) {
  // The helper has listed c (c1, c2, c3) and plans c1, c2, c3.
  const TCatchRow Rows[] = {
      {"the walk reaches c", {"c"}, {true}, "c\\c1"},
      {"the walk reaches c and c1 first", {"c", "c\\c1"}, {true, false}, "c\\c2"},
      {"the walk is through c's subtree",
       {"c", "c\\c1", "c\\c2", "c\\c3"},
       {true, false, false, false},
       "b"},
      {"a listing is taken once", {"c", "c"}, {true, false}, "c\\c1"},
  };
  for (const auto &R : Rows) {
    TWalkPlan P(-1, 1);
    P.Opened(Root, Root, 0, Dirs({"a", "b", "c"}), -1);
    THelper &H = Greeted(P);
    ASSERT_EQ(P.NextFor(H, false, [] { return true; }), Root + R"(\c)");
    P.Keep(H, {Root + R"(\c)", 0, wire::IdKind::None, Dirs({"c1", "c2", "c3"})});
    std::vector<bool> Taken;
    for (const auto &D : R.WalkReaches) {
      wire::AheadListing A;
      Taken.push_back(P.Take(Root + "\\" + D, A));
      if (Taken.back()) {
        EXPECT_EQ(A.Entries.size(), 5u) << R.Situation;
      }
    }
    EXPECT_EQ(Taken, R.Taken) << R.Situation;
    const std::string Next = P.NextFor(H, false, [] { return true; });
    EXPECT_EQ(Next.empty() ? "" : Next.substr(Root.size() + 1), R.HelperNext) << R.Situation;
  }
}

TEST(WalkPlan, TheWalkWaitsForTheListingAHelperHasInFlight) {
  TWalkPlan P(-1, 1);
  P.Opened(Root, Root, 0, Dirs({"a", "b"}), -1);
  THelper &H = Greeted(P);
  H.Asked = P.NextFor(H, false, [] { return true; });
  ASSERT_EQ(H.Asked, Root + R"(\b)");
  H.InFlight = true;
  EXPECT_EQ(P.Listing(Root + R"(\b)"), &H);
  EXPECT_EQ(P.Listing(Root + R"(\a)"), nullptr);
  H.Closing = true; // too long to keep: the walk lists it itself
  EXPECT_EQ(P.Listing(Root + R"(\b)"), nullptr);
}

TEST(WalkPlan, TheWalkThatCatchesUpWithAHelperListsTheNearerHalfOfItsSubtree) {
  // A helper has listed c, whose subdirectories it plans, and lists c1 when the walk reaches it.
  const struct {
    int Subdirs;
    std::string HelperNext; // after c1; the walk lists those between c1 and it
  } Rows[] = {{6, "c4"}, {3, "c3"}, {2, "c2"}};
  for (const auto &R : Rows) {
    std::vector<std::string> Subs;
    for (int I = 1; I <= R.Subdirs; ++I) Subs.push_back("c" + std::to_string(I));
    TWalkPlan P(0, 1);
    P.Opened(Root, Root, 0, Dirs({"a", "c"}), -1);
    THelper &H = Greeted(P);
    ASSERT_EQ(P.NextFor(H, true, [] { return true; }), Root + R"(\c)");
    P.Keep(H, {Root + R"(\c)", 0, wire::IdKind::None, Dirs(Subs)});
    P.Opened(Root, Root + R"(\a)", 0, Dirs({}), -1);
    wire::AheadListing A;
    ASSERT_TRUE(P.Take(Root + R"(\c)", A));
    P.Opened(Root, Root + R"(\c)", 0, A.Entries, -1);
    H.Asked = P.NextFor(H, true, [] { return true; });
    ASSERT_EQ(H.Asked, Root + R"(\c\c1)");
    H.InFlight = true;
    ASSERT_EQ(P.Listing(H.Asked), &H);
    P.CaughtUp(H);
    H.InFlight = false;
    P.Keep(H, {H.Asked, 0, wire::IdKind::None, Dirs({})});
    EXPECT_EQ(P.NextFor(H, true, [] { return true; }), Root + R"(\c\)" + R.HelperNext) << R.Subdirs;
  }
}

struct TEndRow {
  const char *Situation;
  std::vector<std::string> RootSubdirs;
  bool InFlight;
  std::string NextShare; // the walk opens this share next, "" none
  std::size_t Helpers;   // left
};

TEST(WalkPlan, HelpersEndWhenNothingIsLeftForThem) {
  const TEndRow Rows[] = {
      {"plan empty, helper idle", {}, false, "", 0},
      {"plan empty, helper still listing", {}, true, "", 1},
      {"the walk has directories before it", {"a", "b"}, false, "", 1},
      {"the walk goes to another share", {"a", "b"}, true, R"(\\pc\films)", 0},
  };
  for (const auto &R : Rows) {
    TWalkPlan P(-1, 1);
    P.Opened(Root, Root, 0, Dirs(R.RootSubdirs), -1);
    Greeted(P).InFlight = R.InFlight;
    if (!R.NextShare.empty()) P.Opened(R.NextShare, R.NextShare, 0, Dirs({}), -1);
    P.EndIdle();
    EXPECT_EQ(P.Helpers().size(), R.Helpers) << R.Situation;
  }
}

TEST(WalkPlan, NoHelperStartsForDirectoriesThatAHelperListedAlready) {
  // The helper lists c and its subdirectories and ends when the walk has nothing else before it;
  // the walk then opens c, whose subdirectories wait for it.
  TWalkPlan P(-1, 1);
  P.Opened(Root, Root, 0, Dirs({"a", "c"}), -1);
  THelper &H = Greeted(P);
  ASSERT_EQ(P.NextFor(H, false, [] { return true; }), Root + R"(\c)");
  P.Keep(H, {Root + R"(\c)", 0, wire::IdKind::None, Dirs({"c1", "c2"})});
  for (const char *D : {R"(\c\c1)", R"(\c\c2)"}) {
    ASSERT_EQ(P.NextFor(H, false, [] { return true; }), Root + D);
    P.Keep(H, {Root + D, 0, wire::IdKind::None, Dirs({})});
  }
  P.Opened(Root, Root + R"(\a)", 0, Dirs({}), -1);
  ASSERT_TRUE(P.EndIdle());
  wire::AheadListing A;
  ASSERT_TRUE(P.Take(Root + R"(\c)", A));
  P.Opened(Root, Root + R"(\c)", 0, A.Entries, -1);
  EXPECT_EQ(Start(P, 8, 16, true), 0);
}

TEST(WalkPlan, AFailedHelperGivesItsDirectoriesBackAndNoneStartsAgain) {
  TWalkPlan P(0, 1);
  P.Opened(Root, Root, 0, Dirs({"a", "b", "c", "d"}), -1);
  THelper &H = Greeted(P);
  ASSERT_EQ(P.NextFor(H, true, [] { return true; }), Root + R"(\d)");
  P.Keep(H, {Root + R"(\d)", 0, wire::IdKind::None, Dirs({"d1", "d2"})});
  P.Drop(H);
  P.Prune();
  EXPECT_TRUE(P.Helpers().empty());
  EXPECT_EQ(Start(P, 8, 16, true), 0);
  wire::AheadListing A;
  EXPECT_TRUE(P.Take(Root + R"(\d)", A)); // what it brought before it failed stays
}

} // namespace

// The walk enters directories down to net::MaxWalkDepth below the share: neither a helper nor the
// worker's read-ahead lists one deeper.
TEST(WalkPlan, NothingBelowTheWalksDepthIsPlannedForHelpersOrReadAhead) {
  const struct {
    int Depth; // of the listing
    bool Below;
  } Rows[] = {{0, true}, {63, true}, {64, false}, {200, false}};
  for (const auto &R : Rows) {
    std::string Dir = Root;
    for (int I = 0; I < R.Depth; ++I) Dir += "\\d";
    TWalkPlan P(0, 1);
    P.Opened(Root, Root, 0, Dirs({"a", "b"}), -1);
    THelper &H = Greeted(P);
    P.Keep(H, {Dir, 0, wire::IdKind::None, Dirs({"x"})});
    std::deque<std::string> Ahead;
    wire::PlanSubdirs(Ahead, Dir, Dirs({"x"}), 100);
    const std::string Sub = Dir + "\\x";
    EXPECT_EQ(P.NextFor(H, true, [] { return true; }) == Sub, R.Below) << R.Depth;
    EXPECT_EQ(Ahead, R.Below ? std::deque<std::string>{Sub} : std::deque<std::string>{}) << R.Depth;
  }
}
