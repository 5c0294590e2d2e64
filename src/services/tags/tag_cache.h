#pragma once
// The tag cache: an SQLite database in the user's cache folder, one row per file keyed by its
// path and valid while the file keeps the size and last-write time it had when its tags were
// read. A file that is not a database, or a damaged one, is replaced by an empty cache; a cache
// that cannot be had at all (a read-only folder, another program holding it) keeps nothing, and
// every caller reads tags as if it were empty. Thread-safe.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "platform/tags/tag_reader.h"

struct sqlite3;

namespace sonquarry::tags {

class TTagCache {
public:
  // Opens (or creates) the cache at Path; "" for the per-user one.
  explicit TTagCache(std::string Path = "");
  ~TTagCache();
  TTagCache(const TTagCache &) = delete;
  TTagCache &operator=(const TTagCache &) = delete;

  static std::string DefaultPath();

  bool Usable() const;
  std::optional<TTags> Find(const std::string &Path, int64_t Size, int64_t WriteTime);
  // What was last read of Path, whatever its size and time were.
  std::optional<TTags> FindAny(const std::string &Path);
  // Kept in memory and written in batches (a few hundred files, or a fraction of a second
  // after the first), each in a short transaction of its own: another program that shares the
  // cache is never kept waiting for a slow scan. Flush writes what is kept; so does the end.
  void Put(const std::string &Path, int64_t Size, int64_t WriteTime, const TTags &Tags);
  void Flush();
  // One entry as Scan hands it: the views are valid during the call only.
  struct TEntry {
    std::string_view Path, Artist, Title, Album;
    int Year, Length;
  };
  // Every entry in the order of its path, whatever its size and time (one pass over the table,
  // for a list whose rows show their tags at once), until Each returns false.
  void Scan(const std::function<bool(const TEntry &)> &Each);

private:
  struct TDb;
  bool Open(bool Fresh);
  std::optional<TTags> Lookup(const std::string &Path, const int64_t *Size,
                              const int64_t *WriteTime);
  bool Failed(int Code); // a damaged file is rebuilt; true when the call may be tried again
  void WritePending();   // with Lock_ held
  struct TRow {
    int64_t Size, WriteTime;
    TTags Tags;
  };
  std::string Path_;
  std::unordered_map<std::string, TRow> Pending_;
  std::chrono::steady_clock::time_point PendingSince_;
  std::mutex Lock_;
  std::unique_ptr<TDb> Db_;
  bool Busy_ = false;
};

} // namespace sonquarry::tags
