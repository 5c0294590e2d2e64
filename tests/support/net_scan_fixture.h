#pragma once
// The scanning threads' tests: a fake network with a gate on its listings, and their fixture.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <pthread.h>

#include "engine/net_scan.h"
#include "support/fake_net_provider.h"
#include "support/scan_fixture.h"
#include "support/scan_log_blocks.h"
#include "support/test_support.h"

namespace sonquarry::testing {

using Strings = std::vector<std::string>;

inline net::DirEntry D(const std::string &Name) { return {Name, true}; }
inline net::DirEntry F(const std::string &Name) { return {Name, false}; }

// The fake with a hook before every directory listing and a gate that can hold one.
class WalkProvider : public FakeNetProvider {
public:
  bool FindFiles(const std::string &UncDir, std::vector<net::DirEntry> &Out,
                 net::NetError *Error) override {
    {
      std::unique_lock<std::mutex> L(Lock_);
      Finds_.push_back(UncDir);
      if (UncDir == HoldDir_) {
        Held_ = true;
        Cv_.notify_all();
        Cv_.wait(L, [&] { return !Holding_; });
      }
    }
    if (Looping_ && UncDir.size() >= 6 && UncDir.compare(UncDir.size() - 6, 6, "\\again") == 0) {
      Out = {D("again"), F("song.mp3")};
      return true;
    }
    return FakeNetProvider::FindFiles(UncDir, Out, Error);
  }
  void Hold(const std::string &Dir) {
    std::lock_guard<std::mutex> L(Lock_);
    HoldDir_ = Dir;
    Holding_ = true;
  }
  bool WaitHeld(int Ms) {
    std::unique_lock<std::mutex> L(Lock_);
    return Cv_.wait_for(L, std::chrono::milliseconds(Ms), [&] { return Held_; });
  }
  void Release() {
    std::lock_guard<std::mutex> L(Lock_);
    Holding_ = false;
    Cv_.notify_all();
  }
  Strings Finds() const {
    std::lock_guard<std::mutex> L(Lock_);
    return Finds_;
  }
  // Every directory named "again" holds itself once more.
  void Loop() { Looping_ = true; }

private:
  mutable std::mutex Lock_;
  std::condition_variable Cv_;
  Strings Finds_;
  std::string HoldDir_;
  bool Holding_ = false, Held_ = false;
  std::atomic<bool> Looping_{false};
};

// Two workgroups: WG1 with PC1 (music, private, empty), PC2 (no shares) and DENIED; WG2 with
// PC3 (songs without MP3 files).
inline void BuildNetwork(WalkProvider &P) {
  using R = FakeNetProvider;
  P.Set(R::Top, {R::Res(net::NetDisplayNetwork, "SMB Network")});
  P.Set("SMB Network",
        {R::Res(net::NetDisplayDomain, "WG1"), R::Res(net::NetDisplayDomain, "WG2")});
  P.Set("WG1", {R::Res(net::NetDisplayServer, "\\\\PC1"), R::Res(net::NetDisplayServer, "\\\\PC2"),
                R::Res(net::NetDisplayServer, "\\\\DENIED")});
  P.Set("WG2", {R::Res(net::NetDisplayServer, "\\\\PC3")});
  P.Set("\\\\PC1", {R::Res(net::NetDisplayShare, "\\\\PC1\\music", net::NetUsageConnectable),
                    R::Res(net::NetDisplayShare, "\\\\PC1\\private", net::NetUsageConnectable),
                    R::Res(net::NetDisplayShare, "\\\\PC1\\empty", net::NetUsageConnectable)});
  P.Set("\\\\PC2", {});
  P.Set("\\\\DENIED", {R::Res(net::NetDisplayShare, "\\\\DENIED\\x", net::NetUsageConnectable)});
  P.Set("\\\\PC3", {R::Res(net::NetDisplayShare, "\\\\PC3\\songs", net::NetUsageConnectable)});
  P.SetDir("\\\\PC1\\music",
           {D("."), D(".."), D("Rock"), D("album.mp3"), F("top.mp3"), F("README.txt")});
  P.SetDir("\\\\PC1\\music\\Rock", {D("."), D(".."), D("Deep"), F("a.MP3"), F("b.txt")});
  P.SetDir("\\\\PC1\\music\\Rock\\Deep", {F("c.mp3"), F("c.mp3.zip"), F("noext")});
  P.SetDir("\\\\PC1\\music\\album.mp3", {F("01.mp3"), F("02.wma")});
  P.SetDir("\\\\PC1\\private", {F("secret.mp3")});
  P.SetDir("\\\\PC1\\empty", {D("."), D("..")});
  P.SetDir("\\\\PC3\\songs", {F("x.wma")});
  P.SetDir("\\\\DENIED\\x", {});
}

using Report = sonquarry::testing::TReport;

class NetScanTest : public sonquarry::testing::TScanFixture {
protected:
  NetScanTest() : TScanFixture("sonquarry-netscan-", 10000) {}
  void SetUp() override {
    TScanFixture::SetUp();
    Provider = std::make_shared<WalkProvider>();
    Scan->Provider = Provider;
    Scan->MaxThreadCount = 4;
    Connect(*Scan);
  }

  void Connect(TNetScan &S) {
    S.OnFilesFound = [this](TScanResThread *, const std::string &Dir, const Strings &Files,
                            const std::string &Domain) {
      EXPECT_TRUE(Main.IsMainThread());
      Reports.push_back({Dir, Files, Domain});
    };
    S.OnResQueued = [this](TScanResThread *, const std::string &Name) { Queued.push_back(Name); };
    S.OnResEnumerated = [this](TScanResThread *, const TNetResStrings &L) {
      ++Enumerations;
      Enumerated += int(L.size());
      for (auto &I : L) EXPECT_TRUE(I.Res && I.Res->RemoteName == I.Name);
    };
    S.OnEnumError = [this](TScanResThread *, int Code) { EnumErrors.push_back(Code); };
    S.OnFinish = [this](TNetScan *Sender) {
      EXPECT_EQ(Sender, Scan.get());
      ++Finished;
    };
  }

  // Starts a scan of the fake network whose listing of Dir waits for Provider->Release().
  bool StartHeldIn(const std::string &Dir) {
    BuildNetwork(*Provider);
    Provider->Hold(Dir);
    Scan->Start();
    return Main.PumpUntil([&] { return Provider->WaitHeld(0); }, 10000);
  }
  bool WaitFinished(int Ms = 10000) {
    return Main.PumpUntil([&] { return Finished > 0; }, Ms);
  }
  // The scan ends within Ms and reports its end once, also SettleMs later.
  void ExpectOneFinish(int Ms = 10000, int SettleMs = 100) {
    ASSERT_TRUE(WaitFinished(Ms));
    Main.PumpFor(SettleMs);
    EXPECT_EQ(Finished, 1);
  }
  // Stop while a listing is held, then let the listing return.
  void StopAndRelease(int SettleMs = 100) {
    Scan->Stop();
    Provider->Release();
    ExpectOneFinish(10000, SettleMs);
  }
  const Report *ReportOf(const std::string &D) const {
    for (auto &R : Reports)
      if (R.Dir == D) return &R;
    return nullptr;
  }
  int IndexOf(const std::string &D) const {
    for (size_t I = 0; I < Reports.size(); ++I)
      if (Reports[I].Dir == D) return int(I);
    return -1;
  }

  std::shared_ptr<WalkProvider> Provider;
  Strings Queued;
  int Enumerations = 0, Enumerated = 0;
  std::vector<int> EnumErrors;
};

// Count computers without shares right under the root.
inline void ComputersUnderTheRoot(FakeNetProvider &P, int Count) {
  std::vector<net::NetResource> Comps;
  for (int I = 0; I < Count; ++I) {
    const std::string Pc = "\\\\X" + std::to_string(I);
    Comps.push_back(FakeNetProvider::Res(net::NetDisplayServer, Pc));
    P.Set(Pc, {});
  }
  P.Set(FakeNetProvider::Top, Comps);
}

// Makes every new thread ask for a stack larger than the address space, so none can start.
class TNoThreadStarts {
public:
  TNoThreadStarts() {
    pthread_getattr_default_np(&Saved_);
    pthread_attr_t Huge;
    pthread_attr_init(&Huge);
    pthread_attr_setstacksize(&Huge, size_t{1} << 46);
    pthread_setattr_default_np(&Huge);
    pthread_attr_destroy(&Huge);
  }
  ~TNoThreadStarts() {
    pthread_setattr_default_np(&Saved_);
    pthread_attr_destroy(&Saved_);
  }

private:
  pthread_attr_t Saved_;
};

} // namespace sonquarry::testing

// The names both halves of the scan threads' tests use; only those two files include this.
namespace fs = std::filesystem;
using namespace sonquarry;
using net::DirEntry;
using net::NetDisplayDomain;
using net::NetDisplayNetwork;
using net::NetDisplayServer;
using net::NetDisplayShare;
using net::NetUsageConnectable;
using sonquarry::testing::CountBlocks;
using sonquarry::testing::ErrorOf;
using sonquarry::testing::FakeNetProvider;
using sonquarry::testing::FindBlock;
using sonquarry::testing::ReadLogBlocks;
using Clock = std::chrono::steady_clock;
using sonquarry::testing::BuildNetwork;
using sonquarry::testing::ComputersUnderTheRoot;
using sonquarry::testing::D;
using sonquarry::testing::F;
using sonquarry::testing::MsSince;
using sonquarry::testing::NetScanTest;
using sonquarry::testing::Report;
using sonquarry::testing::Strings;
using sonquarry::testing::TNoThreadStarts;
