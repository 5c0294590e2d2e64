#pragma once
// Reads the tags of a queue of network files with a few threads, each with its own connection
// through the provider: a file the cache knows with the size and last-write time its listing gave
// costs no question to its server (without them, one), any other is read where it is by the
// provider: only the tags come back. A provider that cannot leaves its files' tags unknown.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/net/net_provider.h"
#include "platform/tags/tag_reader.h"
#include "services/tags/tag_cache.h"

namespace sonquarry::tags {

// A file to read, the caller's own number for it, and its size and last-write time as its
// listing gave them (Size -1: unknown, the server is asked).
struct TTagJob {
  std::string Unc;
  uint64_t Key = 0;
  int64_t Size = -1;
  int64_t WriteTime = 0;
};

struct TTagOutcome {
  std::string Unc;
  uint64_t Key = 0;
  TTags Tags;
  bool Ok = false; // tags known (read, or from the cache)
};

class TTagPass {
public:
  // Each runs on the pass's threads, one call at a time.
  using TEach = std::function<void(const TTagOutcome &)>;

  // Each thread is a worker process with a connection of its own. A file costs its worker more
  // time on the cores than on the wire of a LAN without latency: the pass starts with a thread a
  // core, and adds threads, up to Threads (8 at most), only while files take as long as a link
  // with latency makes them and the cores are not what they wait for.
  static int FirstThreads();
  static constexpr int MaxThreads = 8;
  // A file read slower than this on average waited on the link or on the cores...
  static constexpr std::chrono::microseconds LatencyBound{3000};
  // ...on the cores when less than this share of their time went idle meanwhile.
  static constexpr double IdleBound = 0.25;
  // IdleCores: the idle share of the cores' time since its last call (none: the computer's).
  TTagPass(net::INetProvider &Provider, TTagCache *Cache, int Threads, TEach Each,
           TTagLimits Limits = {}, std::function<double()> IdleCores = nullptr);
  // Stops and waits for the threads.
  ~TTagPass();
  TTagPass(const TTagPass &) = delete;
  TTagPass &operator=(const TTagPass &) = delete;

  // Read in the order added.
  void Add(std::vector<TTagJob> Jobs);
  // Until the queue is empty and no file is being read, TimeOutMs at most (negative: no bound);
  // false when the time ran out.
  bool Wait(int TimeOutMs = -1);
  // Files not started yet are dropped; those being read end soon.
  void Stop();

  std::size_t FilesRead() const { return Read_; }
  int Threads() const {
    std::lock_guard<std::mutex> L(Lock_);
    return int(Threads_.size());
  }
  std::size_t FilesFromCache() const { return Cached_; }
  uint64_t BytesRead() const { return Bytes_; }

private:
  class TWorkerThread;
  bool Next(TTagJob &Job);
  // Read: a file's tags came from its server, in Took.
  void Done(bool Read, std::chrono::steady_clock::duration Took);
  void StartThread(); // under Lock_
  TTagOutcome One(const TTagJob &Job, bool &Read);

  net::INetProvider &Provider_;
  TTagCache *Cache_;
  TEach Each_;
  TTagLimits Limits_;
  mutable std::mutex Lock_;
  std::mutex EachLock_;
  std::condition_variable Wake_, Idle_;
  std::deque<TTagJob> Queue_;
  int Busy_ = 0;
  bool Stopping_ = false;
  int Cap_ = 1;
  std::function<double()> IdleCores_;
  // Files read from servers since the last thread was added, and the time they took.
  int Timed_ = 0;
  std::chrono::steady_clock::duration TimedFor_{};
  std::atomic<std::size_t> Read_{0}, Cached_{0};
  std::atomic<uint64_t> Bytes_{0};
  std::vector<std::unique_ptr<TWorkerThread>> Threads_;
};

} // namespace sonquarry::tags
