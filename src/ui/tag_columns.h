#pragma once
// The window's music tags: taken from the cache for the rows of a loaded list, read from the
// network for the rows a search found (those in view first), all in the background; what comes
// reaches the rows a few times a second.

#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include <QObject>

#include "paths/wnet_tree.h"
#include "platform/tags/tag_pass.h"
#include "ui/row_tags.h"

class QTimer;

namespace sonquarry {

class TFileListModel;

class TTagColumns final : public QObject {
  Q_OBJECT
public:
  TTagColumns(TWNetTree &Tree, TFileListModel &Model, QObject *Parent = nullptr);
  ~TTagColumns() override;

  TRowTags Table;

  // The rows of a loaded list: what the cache knows of them.
  void LoadCached();
  // After a search: the rows whose files were there and have no tags yet, rows [First, Last]
  // first.
  void ReadMissing(int First, int Last, int Threads);
  // Ends the reading; what came stays.
  void Stop();
  // The list was emptied.
  void Cleared();
  bool Busy() const;

private:
  std::vector<tags::TTagJob> Jobs(int From, int To, bool Missing);
  void Start(bool CachedOnly, int Threads);
  void Drain();
  void NextSlice();

  TWNetTree &Tree_;
  TFileListModel &Model_;
  std::unique_ptr<tags::TTagCache> Cache_;
  std::thread Opening_; // the cache is opened off the main thread
  std::unique_ptr<tags::TTagPass> Pass_;
  std::mutex Lock_;
  std::vector<tags::TTagOutcome> Done_;
  QTimer *Timer_;
  QTimer *Slices_; // a loaded list's rows handed over in slices
  int SliceAt_ = 0;
};

} // namespace sonquarry
