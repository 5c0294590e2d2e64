// ctest-labels: threads
// A rescan whose walk meets a listing that fails: what the rows, the log and the counts say.
#include <cerrno>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "engine/net_scan.h"
#include "engine/scan_session.h"
#include "paths/wnet_tree.h"
#include "support/fake_net_provider.h"
#include "support/scan_fixture.h"

using namespace sonquarry;
using sonquarry::testing::FakeNetProvider;

namespace {

// The fake network with one directory whose listing fails a given number of times; the
// computer may stop answering with it.
class FlakyProvider : public FakeNetProvider {
public:
  std::string FailDir;
  net::NetError Failure;
  int Failures = 0;
  bool Down = false, DownWithFailure = false;
  int Reconnects = 0;

  bool FindFiles(const std::string &Dir, std::vector<net::DirEntry> &Out,
                 net::NetError *Error) override {
    if (Dir == FailDir && Failures > 0) {
      --Failures;
      Down = DownWithFailure;
      if (Error) *Error = Failure;
      return false;
    }
    return FakeNetProvider::FindFiles(Dir, Out, Error);
  }
  net::NetEnumStatus EnumResources(const net::NetResource *C, std::vector<net::NetResource> &Out,
                                   net::NetError *Error) override {
    if (Down && C && C->RemoteName == "\\\\PC1") return net::NetEnumStatus::OpenFailed;
    return FakeNetProvider::EnumResources(C, Out, Error);
  }
  void Reconnect() override { ++Reconnects; }
};

struct TCase {
  const char *Name;
  net::NetError Failure;
  int Failures;
  bool ComputerDown;
  // States of top.mp3, A\a.mp3, B\b.mp3 after the rescan.
  std::vector<TNodeState> States;
  int Reconnects, Unread;
  std::string LogLine; // "" none of the two kinds
};

net::NetError Err(int Code, const std::string &Why, bool Broken = false) {
  net::NetError E{Code, "\\\\PC1\\music\\A: " + Why};
  E.Broken = Broken;
  return E;
}

class WalkFailure : public sonquarry::testing::TScanFixture,
                    public ::testing::WithParamInterface<TCase> {
protected:
  WalkFailure() : TScanFixture("sonquarry-walkfail-", 10000) {}
};

TEST_P(WalkFailure, RowsLogAndCounts) {
  const TCase &C = GetParam();
  using R = FakeNetProvider;
  auto P = std::make_shared<FlakyProvider>();
  P->Set(R::Top, {R::Res(net::NetDisplayNetwork, "SMB Network")});
  P->Set("SMB Network", {R::Res(net::NetDisplayDomain, "WG1")});
  P->Set("WG1", {R::Res(net::NetDisplayServer, "\\\\PC1")});
  P->Set("\\\\PC1", {R::Res(net::NetDisplayShare, "\\\\PC1\\music", net::NetUsageConnectable)});
  P->SetDir("\\\\PC1\\music", {{"A", true}, {"B", true}, {"top.mp3", false}});
  P->SetDir("\\\\PC1\\music\\A", {{"a.mp3", false}});
  P->SetDir("\\\\PC1\\music\\B", {{"b.mp3", false}});
  P->FailDir = "\\\\PC1\\music\\A";
  P->Failure = C.Failure;
  P->Failures = C.Failures;
  P->DownWithFailure = C.ComputerDown;
  Scan->Provider = P;
  Scan->MaxThreadCount = 1;

  TWNetTree Tree;
  Tree.Loading = true;
  const std::vector<std::pair<std::string, std::string>> Rows = {{"\\\\PC1\\music\\", "top.mp3"},
                                                                 {"\\\\PC1\\music\\A\\", "a.mp3"},
                                                                 {"\\\\PC1\\music\\B\\", "b.mp3"}};
  for (const auto &[Dir, Name] : Rows) Tree.AddFile("WG1", Dir, Name);
  Tree.Loading = false;
  Scan->OnFilesFound = [&](TScanResThread *, const std::string &Dir,
                           const std::vector<std::string> &Names, const std::string &Domain) {
    for (const auto &N : Names) Tree.AddFile(Domain, Dir, N);
  };
  Scan->OnFinish = [&](TNetScan *) { ++Finished; };
  TScanSession Session(*Scan, Tree);
  Session.PrepareList();
  Session.Start();
  ASSERT_TRUE(Main.PumpUntil([&] { return Finished > 0; }, 10000));
  Session.Finish();

  std::vector<TNodeState> States;
  for (int I = 0; I < Tree.Count(); ++I) States.push_back(Tree.File(I).State());
  EXPECT_EQ(States, C.States);
  EXPECT_EQ(P->Reconnects, C.Reconnects);
  EXPECT_EQ(Scan->UnreadDirs, C.Unread);
  EXPECT_EQ(Session.UnreadNote().empty(), C.Unread == 0);
  const TScanSummary S = Session.Summary("00:00:01");
  EXPECT_EQ(S.UnknownFiles, Tree.CountByState(nsUnreached));
  EXPECT_EQ(Scan->LostComps.size(), C.ComputerDown ? 1u : 0u);

  std::ifstream In(LogFile);
  const std::string Log((std::istreambuf_iterator<char>(In)), std::istreambuf_iterator<char>());
  for (const char *Kind : {" could not be listed: ", " stopped answering during its walk "}) {
    const bool Want = !C.LogLine.empty() && C.LogLine.find(Kind) != std::string::npos;
    EXPECT_EQ(Log.find(Kind) != std::string::npos, Want) << Kind << "\n" << Log;
  }
  if (!C.LogLine.empty()) {
    EXPECT_NE(Log.find(C.LogLine), std::string::npos) << Log;
  }
}

const TNodeState K = nsKnown, X = nsInaccessible, U = nsUnreached;

INSTANTIATE_TEST_SUITE_P(
    Cases, WalkFailure,
    ::testing::Values(
        TCase{"AccessDenied",
              Err(EACCES, "access denied (errno 13)"),
              9,
              false,
              {K, X, K},
              0,
              1,
              "Directory \\\\PC1\\music\\A could not be listed: access denied (errno 13)"},
        TCase{"ResetOnce",
              Err(ECONNRESET, "connection reset (errno 104)"),
              1,
              false,
              {K, K, K},
              1,
              0,
              ""},
        TCase{"WorkerDiedOnce",
              Err(EPIPE, "SMB worker 1 ended (signal 9)", true),
              1,
              false,
              {K, K, K},
              0,
              0,
              ""},
        TCase{"RefusedByALiveServer",
              Err(EIO, "input/output error (errno 5)"),
              9,
              false,
              {K, X, K},
              1,
              1,
              "Directory \\\\PC1\\music\\A could not be listed: input/output error (errno 5)"},
        TCase{"ComputerLost",
              Err(ECONNRESET, "connection reset (errno 104)"),
              9,
              true,
              {K, U, U},
              1,
              2,
              "Computer \\\\PC1 stopped answering during its walk (\\\\PC1\\music\\A: connection "
              "reset (errno 104)): 2 known directories were left unvisited"}),
    [](const auto &I) { return std::string(I.param.Name); });

} // namespace
