#include "engine/net_res_list.h"
#include "platform/os/exception.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

using namespace sonquarry;
using namespace sonquarry::testing;

namespace {

std::unique_ptr<TDomNetRes> Item(const std::string &Domain, const std::string &Name,
                                 int32_t DisplayType = RESOURCEDISPLAYTYPE_SERVER) {
  auto d = std::make_unique<TDomNetRes>();
  d->Domain = Domain;
  d->NetRes = std::make_unique<TNetRes>();
  d->NetRes->RemoteName = Name;
  d->NetRes->DisplayType = DisplayType;
  return d;
}

} // namespace

TEST(TNetResList, NewListIsExhausted) {
  TNetResList l;
  TDomNetRes stale;
  TDomNetRes *p = &stale;
  EXPECT_EQ(l.Next(p), NextExhausted);
  EXPECT_EQ(p, nullptr);
}

TEST(TNetResList, RootIsHandedOutOnceThenWaitThenExhausted) {
  TNetResList l;
  l.Init();
  EXPECT_EQ(l.Count(), 1);
  TDomNetRes *p = nullptr;
  ASSERT_EQ(l.Next(p), NextTaken);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p->Domain, "");
  EXPECT_EQ(p->NetRes, nullptr);
  EXPECT_EQ(l.Next(p), NextWait);
  EXPECT_EQ(p, nullptr);
  l.MarkDone();
  EXPECT_EQ(l.Next(p), NextExhausted);
  EXPECT_EQ(l.Next(p), NextExhausted);
}

TEST(TNetResList, ChildrenAddedWhileOthersRunKeepTakersWaiting) {
  TNetResList l;
  l.Init();
  TDomNetRes *root = nullptr;
  ASSERT_EQ(l.Next(root), NextTaken);
  l.AddRes(Item("", "WORKGROUP", RESOURCEDISPLAYTYPE_DOMAIN));
  l.AddRes(Item("", "OFFICE", RESOURCEDISPLAYTYPE_DOMAIN));
  l.MarkDone(); // root done; two domains queued

  TDomNetRes *a = nullptr, *b = nullptr, *none = nullptr;
  ASSERT_EQ(l.Next(a), NextTaken);
  ASSERT_EQ(l.Next(b), NextTaken);
  EXPECT_EQ(a->NetRes->RemoteName, "WORKGROUP");
  EXPECT_EQ(b->NetRes->RemoteName, "OFFICE");
  EXPECT_EQ(l.Next(none), NextWait);

  l.AddRes(Item("WORKGROUP", "\\\\PC1")); // a taker of WORKGROUP queues a computer
  l.MarkDone();                           // ... and finishes
  TDomNetRes *pc = nullptr;
  ASSERT_EQ(l.Next(pc), NextTaken);
  EXPECT_EQ(pc->Domain, "WORKGROUP");
  EXPECT_EQ(l.Next(none), NextWait);
  l.MarkDone(); // OFFICE
  EXPECT_EQ(l.Next(none), NextWait);
  l.MarkDone(); // \\PC1: the last one
  EXPECT_EQ(l.Next(none), NextExhausted);
  // Items stay valid and owned by the list until it is freed.
  EXPECT_EQ(a->NetRes->RemoteName, "WORKGROUP");
  EXPECT_EQ(l.Count(), 4);
}

TEST(TNetResList, InitStartsAfresh) {
  TNetResList l;
  l.Init();
  TDomNetRes *p = nullptr;
  l.Next(p);
  l.AddRes(Item("", "X"));
  l.Init();
  EXPECT_EQ(l.Count(), 1);
  EXPECT_EQ(l.Cursor(), -1);
  EXPECT_EQ(l.Done(), -1);
  ASSERT_EQ(l.Next(p), NextTaken);
  EXPECT_EQ(p->NetRes, nullptr);
}

TEST(TNetResList, ClearedListHandsOutWhatIsAddedLater) {
  TNetResList l;
  l.Init();
  TDomNetRes *p = nullptr;
  l.Next(p);
  l.MarkDone();
  l.FreeAll();
  EXPECT_EQ(l.Count(), 0);
  l.AddRes(Item("", "X"));
  ASSERT_EQ(l.Next(p), NextTaken);
  EXPECT_EQ(p->NetRes->RemoteName, "X");
  l.AddRes(nullptr);
  EXPECT_EQ(l.Count(), 1);
}

TEST(TIPResList, NoRangesIsExhaustedAtOnce) {
  TIPResList l;
  l.Init();
  TDomNetRes rec;
  TDomNetRes *p = &rec;
  EXPECT_EQ(l.Next(p), NextExhausted);
}

TEST(TIPResList, NullRecordIsAnError) {
  TIPResList l;
  l.AddIP(1);
  l.Init();
  TDomNetRes *p = nullptr;
  EXPECT_EQ(ErrorOf([&] { l.Next(p); }), "TIPResList.Next: ADomNetRes = nil.");
}

TEST(TIPResList, FillsTheCallersRecordWithEachComputer) {
  TIPResList l;
  l.AddIPRange(StrIP("10.0.0.3"), StrIP("10.0.0.2"));
  l.AddIP(StrIP("192.168.0.15"));
  l.Init();
  TDomNetRes rec;
  rec.Domain = "old";
  TDomNetRes *p = &rec;
  std::vector<std::string> names;
  while (l.Next(p) == NextTaken) {
    ASSERT_EQ(p, &rec);
    ASSERT_NE(rec.NetRes, nullptr);
    EXPECT_EQ(rec.Domain, "<<unknown>>");
    EXPECT_EQ(rec.NetRes->DisplayType, RESOURCEDISPLAYTYPE_SERVER);
    EXPECT_EQ(rec.NetRes->Scope, 0);
    EXPECT_EQ(rec.NetRes->ResourceType, 0);
    EXPECT_EQ(rec.NetRes->Usage, 0);
    EXPECT_EQ(rec.NetRes->Provider, "");
    names.push_back(rec.NetRes->RemoteName);
  }
  EXPECT_EQ(names, (std::vector<std::string>{"\\\\10.0.0.2", "\\\\10.0.0.3", "\\\\192.168.0.15"}));
  EXPECT_EQ(l.Next(p), NextExhausted); // never NextWait, even with items "in progress"

  l.Init(); // restarts; the ranges stay
  ASSERT_EQ(l.Next(p), NextTaken);
  EXPECT_EQ(rec.NetRes->RemoteName, "\\\\10.0.0.2");
}

TEST(TIPResList, StoresNoItems) {
  TIPResList l;
  l.AddRes(Item("", "X"));
  EXPECT_EQ(l.Count(), 0);
  l.Init();
  TDomNetRes rec;
  TDomNetRes *p = &rec;
  EXPECT_EQ(l.Next(p), NextExhausted);
}

TEST(TNetResThList, ClearListOnTheIPListRemovesItsRanges) {
  auto owned = std::make_unique<TIPResList>();
  TIPResList *ip = owned.get();
  ip->AddIPRange(1, 5);
  TNetResThList th(std::move(owned));
  th.ClearList();
  {
    TNetResThList::Guard list(th);
    EXPECT_EQ(list.get(), ip);
    EXPECT_EQ(ip->IPList.Count(), 0u);
    list->Init();
    TDomNetRes rec;
    TDomNetRes *p = &rec;
    EXPECT_EQ(list->Next(p), NextExhausted);
  }
}

TEST(TNetResThList, NeedsAList) { EXPECT_THROW(TNetResThList(nullptr), Exception); }

TEST(TNetResThList, GuardReleasesTheLockOnEveryExit) {
  TNetResThList th(std::make_unique<TNetResList>());
  try {
    TNetResThList::Guard list(th);
    list->Init();
    throw std::runtime_error("x");
  } catch (const std::runtime_error &) {
  }
  // Would deadlock if the guard had not unlocked.
  TNetResList *l = th.LockList();
  EXPECT_EQ(l->Count(), 1);
  th.UnlockList();
}
