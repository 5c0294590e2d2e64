#include "services/tags/tag_cache.h"

#include <cstdio>
#include <sqlite3.h>

#include "platform/files/folders.h"

namespace sonquarry::tags {

namespace {

constexpr int SchemaVersion = 1;
constexpr std::size_t BatchSize = 512;
constexpr std::chrono::milliseconds BatchTime{250};

const char *Schema = "CREATE TABLE IF NOT EXISTS tags(path TEXT PRIMARY KEY NOT NULL, "
                     "size INTEGER NOT NULL, wtime INTEGER NOT NULL, artist TEXT NOT NULL, "
                     "title TEXT NOT NULL, album TEXT NOT NULL, year INTEGER NOT NULL, "
                     "length INTEGER NOT NULL) WITHOUT ROWID";

std::string Column(sqlite3_stmt *S, int I) {
  const auto *T = reinterpret_cast<const char *>(sqlite3_column_text(S, I));
  return T ? std::string(T, std::size_t(sqlite3_column_bytes(S, I))) : std::string();
}

void Bind(sqlite3_stmt *S, int I, const std::string &V) {
  sqlite3_bind_text(S, I, V.data(), int(V.size()), SQLITE_TRANSIENT);
}

} // namespace

struct TTagCache::TDb {
  sqlite3 *Db = nullptr;
  sqlite3_stmt *Find = nullptr, *FindAny = nullptr, *Put = nullptr;
  ~TDb() {
    sqlite3_finalize(Find);
    sqlite3_finalize(FindAny);
    sqlite3_finalize(Put);
    sqlite3_close(Db);
  }
  bool Exec(const char *Sql) {
    return sqlite3_exec(Db, Sql, nullptr, nullptr, nullptr) == SQLITE_OK;
  }
};

TTagCache::TTagCache(std::string Path) : Path_(Path.empty() ? DefaultPath() : std::move(Path)) {
  if (Path_.empty()) return; // no cache folder: no cache
  if (!Open(false) && !Busy_) Open(true);
}

TTagCache::~TTagCache() { Flush(); }

std::string TTagCache::DefaultPath() {
  const std::string Dir = files::GetCacheFolder();
  return Dir.empty() ? std::string() : Dir + "tags.sqlite";
}

bool TTagCache::Open(bool Fresh) {
  Db_.reset();
  if (Fresh) {
    // What is there is no cache of ours (or a damaged one): it holds nothing worth keeping.
    for (const char *Suffix : {"", "-wal", "-shm", "-journal"})
      std::remove((Path_ + Suffix).c_str());
  }
  auto D = std::make_unique<TDb>();
  // A link planted at the cache's name would have the cache written wherever it points.
  if (sqlite3_open_v2(Path_.c_str(), &D->Db,
                      SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOFOLLOW,
                      nullptr) != SQLITE_OK)
    return false;
  sqlite3_busy_timeout(D->Db, 2000);
  sqlite3_stmt *V = nullptr;
  int Version = -1;
  int Rc = sqlite3_prepare_v2(D->Db, "PRAGMA user_version", -1, &V, nullptr);
  if (Rc == SQLITE_OK && (Rc = sqlite3_step(V)) == SQLITE_ROW) Version = sqlite3_column_int(V, 0);
  sqlite3_finalize(V);
  // Held by another program for longer than the wait: no cache this time, the file stays.
  if ((Rc & 0xff) == SQLITE_BUSY || (Rc & 0xff) == SQLITE_LOCKED) {
    Busy_ = true;
    return false;
  }
  if (Version != 0 && Version != SchemaVersion) return false;
  if (!D->Exec("PRAGMA journal_mode=WAL") || !D->Exec("PRAGMA synchronous=NORMAL") ||
      !D->Exec(Schema) || !D->Exec("PRAGMA user_version=1"))
    return false;
  if (sqlite3_prepare_v2(D->Db,
                         "SELECT artist, title, album, year, length FROM tags "
                         "WHERE path = ?1 AND size = ?2 AND wtime = ?3",
                         -1, &D->Find, nullptr) != SQLITE_OK ||
      sqlite3_prepare_v2(D->Db,
                         "SELECT artist, title, album, year, length FROM tags WHERE path = ?1", -1,
                         &D->FindAny, nullptr) != SQLITE_OK ||
      sqlite3_prepare_v2(D->Db, "INSERT OR REPLACE INTO tags VALUES (?1,?2,?3,?4,?5,?6,?7,?8)", -1,
                         &D->Put, nullptr) != SQLITE_OK)
    return false;
  Db_ = std::move(D);
  return true;
}

bool TTagCache::Failed(int Code) {
  if ((Code & 0xff) != SQLITE_CORRUPT && (Code & 0xff) != SQLITE_NOTADB) return false;
  return Open(true);
}

bool TTagCache::Usable() const { return Db_ != nullptr; }

std::optional<TTags> TTagCache::Find(const std::string &Path, int64_t Size, int64_t WriteTime) {
  return Lookup(Path, &Size, &WriteTime);
}

std::optional<TTags> TTagCache::FindAny(const std::string &Path) {
  return Lookup(Path, nullptr, nullptr);
}

std::optional<TTags> TTagCache::Lookup(const std::string &Path, const int64_t *Size,
                                       const int64_t *WriteTime) {
  std::lock_guard<std::mutex> L(Lock_);
  if (const auto P = Pending_.find(Path); P != Pending_.end()) {
    if (!Size || (P->second.Size == *Size && P->second.WriteTime == *WriteTime))
      return P->second.Tags;
    return std::nullopt;
  }
  for (int Try = 0; Try < 2 && Db_; ++Try) {
    sqlite3_stmt *S = Size ? Db_->Find : Db_->FindAny;
    sqlite3_reset(S);
    Bind(S, 1, Path);
    if (Size) {
      sqlite3_bind_int64(S, 2, *Size);
      sqlite3_bind_int64(S, 3, *WriteTime);
    }
    const int Rc = sqlite3_step(S);
    if (Rc == SQLITE_ROW) {
      TTags T{Column(S, 0), Column(S, 1), Column(S, 2), sqlite3_column_int(S, 3),
              sqlite3_column_int(S, 4)};
      sqlite3_reset(S);
      return T;
    }
    sqlite3_reset(S);
    if (Rc == SQLITE_DONE || !Failed(Rc)) break;
  }
  return std::nullopt;
}

void TTagCache::Put(const std::string &Path, int64_t Size, int64_t WriteTime, const TTags &Tags) {
  std::lock_guard<std::mutex> L(Lock_);
  if (!Db_) return;
  const auto Now = std::chrono::steady_clock::now();
  if (Pending_.empty()) PendingSince_ = Now;
  Pending_.insert_or_assign(Path, TRow{Size, WriteTime, Tags});
  if (Pending_.size() >= BatchSize || Now - PendingSince_ >= BatchTime) WritePending();
}

void TTagCache::Flush() {
  std::lock_guard<std::mutex> L(Lock_);
  WritePending();
}

void TTagCache::WritePending() {
  for (int Try = 0; Try < 2 && Db_ && !Pending_.empty(); ++Try) {
    // The write lock is taken at once and held only for these rows.
    int Rc = sqlite3_exec(Db_->Db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
    sqlite3_stmt *S = Db_->Put;
    for (auto It = Pending_.begin(); Rc == SQLITE_OK && It != Pending_.end(); ++It) {
      const TRow &R = It->second;
      sqlite3_reset(S);
      Bind(S, 1, It->first);
      sqlite3_bind_int64(S, 2, R.Size);
      sqlite3_bind_int64(S, 3, R.WriteTime);
      Bind(S, 4, R.Tags.Artist);
      Bind(S, 5, R.Tags.Title);
      Bind(S, 6, R.Tags.Album);
      sqlite3_bind_int(S, 7, R.Tags.Year);
      sqlite3_bind_int(S, 8, R.Tags.Length);
      Rc = sqlite3_step(S);
      if (Rc == SQLITE_DONE) Rc = SQLITE_OK;
    }
    sqlite3_reset(S);
    if (Rc == SQLITE_OK) Rc = sqlite3_exec(Db_->Db, "COMMIT", nullptr, nullptr, nullptr);
    if (Rc == SQLITE_OK) break;
    sqlite3_exec(Db_->Db, "ROLLBACK", nullptr, nullptr, nullptr);
    // Busy past the wait, or unwritable: these files are read again another time.
    if (!Failed(Rc)) break;
  }
  Pending_.clear();
}

void TTagCache::Scan(const std::function<bool(const TEntry &)> &Each) {
  std::lock_guard<std::mutex> L(Lock_);
  WritePending();
  if (!Db_) return;
  sqlite3_stmt *S = nullptr;
  if (sqlite3_prepare_v2(Db_->Db,
                         "SELECT path, artist, title, album, year, length FROM tags ORDER BY path",
                         -1, &S, nullptr) != SQLITE_OK)
    return;
  const auto View = [S](int I) {
    const auto *T = reinterpret_cast<const char *>(sqlite3_column_text(S, I));
    return T ? std::string_view(T, std::size_t(sqlite3_column_bytes(S, I))) : std::string_view();
  };
  int Rc;
  while ((Rc = sqlite3_step(S)) == SQLITE_ROW)
    if (!Each({View(0), View(1), View(2), View(3), sqlite3_column_int(S, 4),
               sqlite3_column_int(S, 5)})) {
      Rc = SQLITE_DONE;
      break;
    }
  sqlite3_finalize(S);
  if (Rc != SQLITE_DONE) Failed(Rc);
}

} // namespace sonquarry::tags
