// ctest-labels: threads
// Many takers drain one shared queue while they add children to it.
#include "engine/net_res_list.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <latch>
#include <thread>
#include <vector>

using namespace sonquarry;

namespace {

// The item's id and depth ride in its remote name and domain.
std::unique_ptr<TDomNetRes> Child(int Id, int Depth) {
  auto d = std::make_unique<TDomNetRes>();
  d->Domain = std::to_string(Depth);
  d->NetRes = std::make_unique<TNetRes>();
  d->NetRes->RemoteName = std::to_string(Id);
  return d;
}

} // namespace

TEST(TNetResThList, ManyTakersGetEveryItemOnceAndEndTogether) {
  constexpr int Threads = 8, Branch = 3, MaxDepth = 6;
  int total = 0;
  for (int d = 0, level = 1; d <= MaxDepth; ++d, level *= Branch) total += level;

  TNetResThList shared(std::make_unique<TNetResList>());
  {
    TNetResThList::Guard list(shared);
    list->Init();
  }

  // Counters below are changed only under the list's lock, so the checks made under it see a
  // consistent picture of what is handed out and what is done.
  int handedOut = 0, done = 0, nextId = 1;
  std::vector<std::atomic<int>> taken(static_cast<size_t>(total));
  std::atomic<int> waits{0}, badWait{0}, earlyEnd{0};
  std::latch start(Threads);

  auto taker = [&] {
    start.arrive_and_wait();
    for (;;) {
      TDomNetRes *item = nullptr;
      int r;
      {
        TNetResThList::Guard list(shared);
        r = list->Next(item);
        if (r == NextTaken) {
          ++handedOut;
        } else if (r == NextWait) {
          if (handedOut == done) ++badWait; // nothing in progress, yet told to wait
        } else if (done != total) {
          ++earlyEnd; // told the end while items are still in progress or unqueued
        }
      }
      if (r == NextExhausted) return;
      if (r == NextWait) {
        ++waits;
        std::this_thread::yield();
        continue;
      }
      const int id = item->NetRes ? std::stoi(item->NetRes->RemoteName) : 0;
      const int depth = item->NetRes ? std::stoi(item->Domain) : 0;
      ++taken[static_cast<size_t>(id)];
      // The root stays in progress until another taker has been told to wait (a loaded machine
      // may not run one within a fixed sleep).
      for (int i = 0; id == 0 && i < 500 && waits.load() == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      if (depth < MaxDepth) {
        TNetResThList::Guard list(shared);
        for (int k = 0; k < Branch; ++k) list->AddRes(Child(nextId++, depth + 1));
      }
      TNetResThList::Guard list(shared);
      list->MarkDone();
      ++done;
    }
  };

  std::vector<std::thread> pool;
  for (int t = 0; t < Threads; ++t) pool.emplace_back(taker);
  for (auto &t : pool) t.join();

  EXPECT_EQ(handedOut, total);
  EXPECT_EQ(done, total);
  EXPECT_EQ(nextId, total);
  for (int i = 0; i < total; ++i)
    EXPECT_EQ(taken[static_cast<size_t>(i)].load(), 1) << "item " << i;
  EXPECT_EQ(badWait.load(), 0);
  EXPECT_EQ(earlyEnd.load(), 0);
  EXPECT_GT(waits.load(), 0); // the idle path was exercised

  TNetResThList::Guard list(shared);
  TDomNetRes *p = nullptr;
  EXPECT_EQ(list->Next(p), NextExhausted);
  EXPECT_EQ(list->Count(), total);
}

TEST(TNetResThList, EveryTakerSeesTheEndOnlyAfterTheLastItemIsDone) {
  // One slow holder of the last item; every other taker must keep seeing NextWait until it
  // marks the item done, and then all of them see NextExhausted.
  constexpr int Idle = 6;
  TNetResThList shared(std::make_unique<TNetResList>());
  TDomNetRes *root = nullptr;
  {
    TNetResThList::Guard list(shared);
    list->Init();
    ASSERT_EQ(list->Next(root), NextTaken);
  }
  std::atomic<bool> released{false};
  std::atomic<int> endedEarly{0}, ended{0}, waitingSeen{0};
  std::vector<std::thread> idle;
  for (int t = 0; t < Idle; ++t)
    idle.emplace_back([&] {
      bool sawWait = false;
      for (;;) {
        TDomNetRes *p = nullptr;
        int r;
        {
          TNetResThList::Guard list(shared);
          r = list->Next(p);
        }
        if (r == NextExhausted) {
          if (!released) ++endedEarly;
          ++ended;
          return;
        }
        if (r != NextWait) {
          ++endedEarly; // nothing else was ever queued
          return;
        }
        if (!sawWait) ++waitingSeen;
        sawWait = true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
    });
  while (waitingSeen < Idle) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  {
    TNetResThList::Guard list(shared);
    released = true;
    list->MarkDone();
  }
  for (auto &t : idle) t.join();
  EXPECT_EQ(endedEarly.load(), 0);
  EXPECT_EQ(ended.load(), Idle);
}
