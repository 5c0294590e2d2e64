// ctest-labels: threads
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <stdexcept>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "engine/net_enum.h"
#include "engine/search_thread.h"
#include "platform/os/main_thread.h"
#include "support/fake_net_provider.h"
#include "support/test_support.h"

using namespace sonquarry;
using net::NetDisplayDomain;
using net::NetDisplayNetwork;
using net::NetDisplayServer;
using net::NetEnumStatus;
using sonquarry::testing::FakeNetProvider;
using Clock = std::chrono::steady_clock;

using sonquarry::testing::MsSince;

namespace {

std::vector<std::string> Names(const TNetResStrings &L) {
  std::vector<std::string> Out;
  for (auto &I : L) Out.push_back(I.Name);
  return Out;
}

TNetRes Domain(const std::string &Name) {
  TNetRes R;
  R.Scope = 2;
  R.ResourceType = 1;
  R.DisplayType = RESOURCEDISPLAYTYPE_DOMAIN;
  R.Usage = 2;
  R.RemoteName = Name;
  R.Provider = "SMB Network";
  return R;
}

// ---- EnumNetResources

TEST(EnumNetResourcesTest, CopiesTheFourNumbersAndTheNamesInProviderOrder) {
  FakeNetProvider P;
  P.Set("WG", {FakeNetProvider::Res(net::NetDisplayServer, "\\\\B"),
               FakeNetProvider::Res(net::NetDisplayServer, "\\\\A")});
  const TNetRes Wg = Domain("WG");
  TNetResStrings L;
  EXPECT_EQ(EnumNetResources(P, &Wg, &L), EnumDone);
  ASSERT_EQ(Names(L), (std::vector<std::string>{"\\\\B", "\\\\A"}));
  const TNetRes &B = *L[0].Res;
  EXPECT_EQ(B.Scope, 2);
  EXPECT_EQ(B.ResourceType, 1);
  EXPECT_EQ(B.DisplayType, 2);
  EXPECT_EQ(B.Usage, 2);
  EXPECT_EQ(B.RemoteName, "\\\\B");
  EXPECT_EQ(B.Provider, "SMB Network");
  EXPECT_TRUE(IsServer(B));
  EXPECT_FALSE(IsDomain(B));
  EXPECT_TRUE(IsDomain(Wg));
}

TEST(EnumNetResourcesTest, CodesForMissingListOpenFailureAndEmptyContainer) {
  FakeNetProvider P;
  P.Set("EMPTY", {});
  P.Set("BROKEN", {}, net::NetEnumStatus::ReadFailed);
  EXPECT_EQ(EnumNetResources(P, nullptr, nullptr), EnumOtherError);
  EXPECT_TRUE(P.Calls().empty()); // no enumeration opened without a list
  TNetResStrings L;
  const TNetRes Missing = Domain("NOWHERE"), Empty = Domain("EMPTY"), Broken = Domain("BROKEN");
  net::NetError E;
  EXPECT_EQ(EnumNetResources(P, &Missing, &L, &E), EnumOpenFailed);
  EXPECT_NE(E.Message.find("NOWHERE"), std::string::npos);
  EXPECT_EQ(EnumNetResources(P, &Empty, &L), EnumReadFailed);
  EXPECT_EQ(EnumNetResources(P, &Broken, &L), EnumReadFailed);
  EXPECT_TRUE(L.empty());
}

TEST(EnumNetResourcesTest, NoBufferCutOffAndAppendsToWhatIsThere) {
  FakeNetProvider P;
  std::vector<net::NetResource> Many;
  // Far more than a 32,032-byte buffer would hold.
  for (int i = 0; i < 3000; ++i)
    Many.push_back(FakeNetProvider::Res(net::NetDisplayServer,
                                        "\\\\COMPUTER-WITH-A-LONG-NAME-" + std::to_string(i)));
  P.Set("WG", Many);
  TNetResStrings L;
  L.push_back({"kept", std::make_unique<TNetRes>()});
  const TNetRes Wg = Domain("WG");
  EXPECT_EQ(EnumNetResources(P, &Wg, &L), EnumDone);
  ASSERT_EQ(L.size(), 3001u);
  EXPECT_EQ(L.front().Name, "kept");
  EXPECT_EQ(L.back().Name, "\\\\COMPUTER-WITH-A-LONG-NAME-2999");
}

// ---- TSearchThread

class SearchThreadTest : public ::testing::Test {
protected:
  void SetUp() override {
    platform::SetMainThread(&D);
    P = std::make_shared<FakeNetProvider>();
    P->Set(FakeNetProvider::Top, {FakeNetProvider::Res(net::NetDisplayNetwork, "First Network"),
                                  FakeNetProvider::Res(net::NetDisplayNetwork, "SMB Network")});
    P->Set("SMB Network", {FakeNetProvider::Res(net::NetDisplayDomain, "WG1"),
                           FakeNetProvider::Res(net::NetDisplayDomain, "WG2")});
    P->Set("First Network", {FakeNetProvider::Res(net::NetDisplayDomain, "OTHER")});
    P->Set("WG1", {FakeNetProvider::Res(net::NetDisplayServer, "\\\\ALPHA"),
                   FakeNetProvider::Res(net::NetDisplayServer, "\\\\BETA")});
    P->Set("WG2", {FakeNetProvider::Res(net::NetDisplayServer, "\\\\GAMMA")});
    P->Set("WG3", {});
  }
  void TearDown() override {
    if (T) End();
    D.Close();
    EXPECT_TRUE(platform::TThread::WaitForFreeThreads(5000));
    platform::SetMainThread(nullptr);
  }
  TSearchThread *Start(int PauseMs = 50) {
    T = TSearchThread::Create(PauseMs, P);
    T->SetOnTerminate([this](platform::TThread *) { Ended = true; });
    return T.get();
  }
  // Terminates the thread and pumps until its end event ran; returns the time it took.
  int End() {
    const auto Start = Clock::now();
    T->Terminate();
    EXPECT_TRUE(D.PumpUntil([&] { return Ended; }, 5000));
    T = nullptr;
    return MsSince(Start);
  }

  platform::TQueueDispatcher D;
  std::shared_ptr<FakeNetProvider> P;
  // Requested domains must live until the thread has ended: members, not locals of a test.
  const TNetRes Wg1 = Domain("WG1"), Wg2 = Domain("WG2"), Wg3 = Domain("WG3");
  std::shared_ptr<TSearchThread> T;
  bool Ended = false;
};

TEST_F(SearchThreadTest, DomainsOfTheSecondProviderArriveAfterThePause) {
  Start(300);
  std::vector<std::string> Got;
  std::thread::id HandlerThread;
  std::unique_ptr<TNetRes> Taken;
  T->SetOnDomains([&](TSearchThread *Sender, TNetResStrings &L) {
    EXPECT_EQ(Sender, T.get());
    HandlerThread = std::this_thread::get_id();
    Got = Names(L);
    Taken = std::move(L[0].Res); // the handler takes over a record
  });
  const auto Asked = Clock::now();
  T->SearchDomains();
  ASSERT_TRUE(D.PumpUntil([&] { return !Got.empty(); }, 5000));
  EXPECT_GE(MsSince(Asked), 300);
  EXPECT_EQ(Got, (std::vector<std::string>{"WG1", "WG2"}));
  EXPECT_EQ(HandlerThread, std::this_thread::get_id());
  ASSERT_TRUE(Taken);
  EXPECT_EQ(Taken->RemoteName, "WG1");
  EXPECT_EQ(P->Calls(), (std::vector<std::string>{"", "SMB Network"}));
}

TEST_F(SearchThreadTest, OneProviderGivesItsDomainsNoneGivesAnEmptyList) {
  P->Set(FakeNetProvider::Top, {FakeNetProvider::Res(net::NetDisplayNetwork, "SMB Network")});
  Start(0);
  int Calls = 0;
  std::vector<std::string> Got;
  T->SetOnDomains([&](TSearchThread *, TNetResStrings &L) {
    ++Calls;
    Got = Names(L);
  });
  T->SearchDomains();
  ASSERT_TRUE(D.PumpUntil([&] { return Calls == 1; }, 5000));
  EXPECT_EQ(Got, (std::vector<std::string>{"WG1", "WG2"}));

  P->Set(FakeNetProvider::Top, {}); // the top lists nothing
  T->SearchDomains();
  ASSERT_TRUE(D.PumpUntil([&] { return Calls == 2; }, 5000));
  EXPECT_TRUE(Got.empty());
  EXPECT_EQ(T->LastError(), "");
}

TEST_F(SearchThreadTest, ComputersOfADomainAndAnEmptyDomain) {
  Start();
  std::vector<std::vector<std::string>> Got;
  T->SetOnComputers([&](TSearchThread *, TNetResStrings &L) { Got.push_back(Names(L)); });
  T->SearchComputers(&Wg1);
  ASSERT_TRUE(D.PumpUntil([&] { return Got.size() == 1; }, 5000));
  T->SearchComputers(&Wg3);
  ASSERT_TRUE(D.PumpUntil([&] { return Got.size() == 2; }, 5000));
  EXPECT_EQ(Got[0], (std::vector<std::string>{"\\\\ALPHA", "\\\\BETA"}));
  EXPECT_TRUE(Got[1].empty());
}

TEST_F(SearchThreadTest, TwoQuickRequestsDuringAStepGiveOneFurtherStepForTheSecond) {
  Start();
  std::vector<std::vector<std::string>> Got;
  T->SetOnComputers([&](TSearchThread *, TNetResStrings &L) { Got.push_back(Names(L)); });
  P->Close("WG3");
  T->SearchComputers(&Wg3);
  ASSERT_TRUE(P->WaitBlocked(5000)); // the step for WG3 runs
  T->SearchComputers(&Wg1);
  T->SearchComputers(&Wg2);
  P->Open();
  ASSERT_TRUE(D.PumpUntil([&] { return Got.size() == 2; }, 5000));
  D.PumpFor(TSearchThread::WaitMs + 200);
  ASSERT_EQ(Got.size(), 2u);
  EXPECT_TRUE(Got[0].empty());
  EXPECT_EQ(Got[1], (std::vector<std::string>{"\\\\GAMMA"}));
  EXPECT_EQ(P->Calls(), (std::vector<std::string>{"WG3", "WG2"}));
}

TEST_F(SearchThreadTest, TerminateWhileWaitingEndsWithinTheWait) {
  Start();
  // With no request it waits for one; the stop ends that wait (End fails after 5000 ms).
  const int Ms = End();
  std::printf("terminate while waiting ended after %d ms\n", Ms);
  EXPECT_TRUE(P->Calls().empty());
}

TEST_F(SearchThreadTest, TerminateDuringThePauseStillListsProvidersButNoDomains) {
  Start(TSearchThread::DomainPauseMs);
  bool Delivered = false;
  T->SetOnDomains([&](TSearchThread *, TNetResStrings &) { Delivered = true; });
  T->SearchDomains();
  ASSERT_TRUE(sonquarry::testing::WaitUntil([&] { return T->Busy(); }, 5000));
  // Inside the 15 s pause: the stop cuts it short.
  EXPECT_LT(End(), 5000);
  EXPECT_FALSE(Delivered);
  EXPECT_EQ(P->Calls(), (std::vector<std::string>{""}));
}

TEST_F(SearchThreadTest, DefaultPauseIsFifteenSeconds) {
  Start(TSearchThread::DomainPauseMs);
  EXPECT_EQ(T->PauseMs(), 15000);
  EXPECT_EQ(TSearchThread::WaitMs, 500);
}

TEST_F(SearchThreadTest, DetachWhileADeliveryWaitsForTheMainThread) {
  Start();
  int Calls = 0;
  T->SetOnComputers([&](TSearchThread *, TNetResStrings &) { ++Calls; });
  T->SearchComputers(&Wg1);
  // The delivery is queued and its thread blocked; the main thread has not pumped yet.
  ASSERT_TRUE([&] {
    for (int i = 0; i < 500 && D.Pending() == 0; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    return D.Pending() == 1;
  }());
  const auto Before = Clock::now();
  T->SetOnComputers(nullptr); // must not wait for the delivery, which only this thread can run
  EXPECT_LT(MsSince(Before), 5000);
  D.Pump();
  EXPECT_EQ(Calls, 0);
  // The thread goes on serving: a new handler gets the next answer.
  T->SetOnComputers([&](TSearchThread *, TNetResStrings &) { Calls += 10; });
  T->SearchComputers(&Wg2);
  ASSERT_TRUE(D.PumpUntil([&] { return Calls == 10; }, 5000));
}

TEST_F(SearchThreadTest, DetachFromAnotherThreadWaitsForARunningHandlerThenNoMoreCalls) {
  Start();
  std::atomic<bool> InHandler{false}, RunningAfterDetach{false};
  std::atomic<int> Calls{0};
  T->SetOnComputers([&](TSearchThread *, TNetResStrings &) {
    ++Calls;
    InHandler = true;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    InHandler = false;
  });
  std::thread Detacher([&] {
    while (!InHandler) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    T->SetOnComputers(nullptr);
    RunningAfterDetach = InHandler.load();
  });
  T->SearchComputers(&Wg1);
  ASSERT_TRUE(D.PumpUntil([&] { return Calls == 1 && !InHandler; }, 5000));
  Detacher.join();
  EXPECT_FALSE(RunningAfterDetach);
  T->SearchComputers(&Wg1);
  D.PumpFor(300);
  EXPECT_EQ(Calls, 1);
}

TEST_F(SearchThreadTest, HandlerMayDetachItself) {
  Start();
  int Calls = 0;
  T->SetOnComputers([&](TSearchThread *Sender, TNetResStrings &L) {
    ++Calls;
    Sender->SetOnComputers(nullptr);
    EXPECT_EQ(L.size(), 2u); // the list is still there after detaching
  });
  T->SearchComputers(&Wg1);
  ASSERT_TRUE(D.PumpUntil([&] { return Calls == 1; }, 5000));
  T->SearchComputers(&Wg1);
  D.PumpFor(200);
  EXPECT_EQ(Calls, 1);
}

TEST_F(SearchThreadTest, OwnerGoneWhileADeliveryWaitsAndTheLoopStops) {
  // The dialog detaches and terminates; the main loop then ends without pumping again.
  Start();
  T->SetOnComputers([&](TSearchThread *, TNetResStrings &) { ADD_FAILURE() << "called"; });
  T->SearchComputers(&Wg1);
  while (D.Pending() == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  T->SetOnComputers(nullptr);
  T->SetOnTerminate(nullptr);
  T->Terminate();
  T = nullptr;
  D.Close();
  EXPECT_TRUE(platform::TThread::WaitForFreeThreads(2000));
}

TEST_F(SearchThreadTest, ComputersWithoutADomainEndTheStepWithTheError) {
  Start();
  int Calls = 0;
  T->SetOnComputers([&](TSearchThread *, TNetResStrings &) { ++Calls; });
  T->SearchComputers(nullptr);
  ASSERT_TRUE(D.PumpUntil([&] { return !T->LastError().empty(); }, 5000));
  EXPECT_EQ(T->LastError(), "TSearchThread.FindComputers: ADomain = nil.");
  EXPECT_EQ(Calls, 0);
  T->SearchComputers(&Wg2);
  ASSERT_TRUE(D.PumpUntil([&] { return Calls == 1; }, 5000));
}

TEST_F(SearchThreadTest, AHandlerErrorOfAnyKindEndsOnlyThatStep) {
  Start();
  const std::vector<std::pair<std::function<void()>, std::string>> Raise = {
      {[] { throw Exception("Dialog: gone."); }, "Dialog: gone."},
      {[] { throw std::runtime_error("Dialog: busy."); }, "Dialog: busy."},
  };
  for (const auto &[R, What] : Raise) {
    int Calls = 0;
    T->SetOnComputers([&](TSearchThread *, TNetResStrings &) {
      if (++Calls == 1) R();
    });
    T->SearchComputers(&Wg1);
    ASSERT_TRUE(D.PumpUntil([&] { return T->LastError() == What; }, 5000)) << What;
    // The thread still serves the dialog.
    T->SearchComputers(&Wg2);
    ASSERT_TRUE(D.PumpUntil([&] { return Calls == 2; }, 5000)) << What;
    T->SetOnComputers(nullptr);
  }
}

TEST_F(SearchThreadTest, TheOwnerMayUseAndReleaseTheThreadAfterItEnded) {
  Start();
  T->SetOnTerminate(nullptr);
  T->Terminate();
  // The end event is refused: nothing tells the owner that the thread is gone.
  D.Close();
  ASSERT_TRUE(platform::TThread::WaitForFreeThreads(5000));
  EXPECT_TRUE(T->Finished());
  T->SetOnDomains(nullptr);
  T->SearchDomains();
  T = nullptr;
}

} // namespace
