#pragma once
// The window's music tags: taken from the cache for the rows of a loaded list, read from the
// network for the rows a search found (those in view first), all in the background; what comes
// reaches the rows a few times a second.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <QObject>

#include "paths/wnet_tree.h"
#include "services/tags/file_stamps.h"
#include "services/tags/tag_pass.h"
#include "ui/list/row_tags.h"

class QTimer;

namespace sonquarry {

class TFileListModel;
class TNetwork;

class TTagColumns final : public QObject {
  Q_OBJECT
public:
  // The files' tags are read through Network's provider of the files (null: none are read).
  TTagColumns(TWNetTree &Tree, TFileListModel &Model, std::shared_ptr<TNetwork> Network,
              QObject *Parent = nullptr);
  ~TTagColumns() override;

  TRowTags Table;
  // What the search's listings said of its files, until ReadMissing hands it to the reading.
  tags::TFileStamps Stamps;

  // The rows of a loaded list: what the cache knows of them.
  void LoadCached();
  // After a search: the rows whose files were there and have no tags yet, or tags from the cache
  // that their listing's size and time may contradict; rows [First, Last] first.
  void ReadMissing(int First, int Last, int Threads);
  // Ends the reading; what came stays.
  void Stop();
  // The list was emptied.
  void Cleared();
  bool Busy() const;

private:
  // Cache entries on their way from the loading thread: their texts one after another.
  struct TCachedBatch {
    struct TEntry {
      uint32_t PathLen, ArtistLen, TitleLen, AlbumLen;
      int Year, Length;
    };
    std::string Text;
    std::vector<TEntry> Entries;
  };
  // The tree's nodes of a path's leading components (every domain may hold the computer).
  struct TLevel {
    std::string Name;
    std::vector<TNodeId> Nodes;
  };

  // Rows [From, To] whose tags a search calls for, onto Out.
  void AddJobs(int From, int To, std::vector<tags::TTagJob> &Out);
  void Start(int Threads);
  void Drain();
  void LoadThread(std::vector<std::string> First);
  bool Hand(TCachedBatch &Batch);
  void NextSlice();
  void Match(std::string_view Path, const TCachedBatch::TEntry &E, const char *Texts);
  void EndLoad();

  TWNetTree &Tree_;
  TFileListModel &Model_;
  std::unique_ptr<tags::TTagCache> Cache_;
  std::thread Opening_; // the cache is opened off the main thread
  std::shared_ptr<TNetwork> Network_;
  std::shared_ptr<net::INetProvider> PassProvider_; // declared before the pass: outlives it
  std::unique_ptr<tags::TTagPass> Pass_;
  std::mutex Lock_;
  std::vector<tags::TTagOutcome> Done_;
  QTimer *Timer_;
  // A loaded list's rows get their tags from one ordered read of the cache on Loader_, matched
  // to the rows on the main thread a few milliseconds per turn of the event loop.
  QTimer *Slices_;
  std::thread Loader_;
  std::atomic<bool> StopLoad_{false};
  std::condition_variable Room_; // for the loader, when the queue has room again
  std::deque<TCachedBatch> Batches_;
  bool LoadEnded_ = false; // Batches_ and LoadEnded_ under Lock_
  bool Loading_ = false;
  TCachedBatch Current_;
  std::size_t CurrentAt_ = 0, TextAt_ = 0;
  std::vector<TLevel> Levels_;
  bool Unshown_ = false; // tags matched that the view has not been told of
  std::chrono::steady_clock::time_point Shown_;
};

} // namespace sonquarry
