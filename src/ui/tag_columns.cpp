#include "ui/tag_columns.h"

#include <QTimer>

#include "engine/network.h"
#include "ui/file_list_model.h"

namespace sonquarry {

namespace {
constexpr int SliceRows = 20000;
constexpr int DrainMs = 250;
} // namespace

TTagColumns::TTagColumns(TWNetTree &Tree, TFileListModel &Model, QObject *Parent)
    : QObject(Parent), Tree_(Tree), Model_(Model), Timer_(new QTimer(this)),
      Slices_(new QTimer(this)) {
  Timer_->setInterval(DrainMs);
  connect(Timer_, &QTimer::timeout, this, [this] { Drain(); });
  Slices_->setInterval(0);
  connect(Slices_, &QTimer::timeout, this, [this] { NextSlice(); });
  // SQLite may wait for a lock or rebuild a damaged file: never on the main thread.
  Opening_ = std::thread([this] { Cache_ = std::make_unique<tags::TTagCache>(); });
}

TTagColumns::~TTagColumns() {
  Stop();
  if (Opening_.joinable()) Opening_.join();
}

bool TTagColumns::Busy() const { return Pass_ != nullptr; }

std::vector<tags::TTagJob> TTagColumns::Jobs(int From, int To, bool Missing) {
  std::vector<tags::TTagJob> Out;
  for (int I = std::max(0, From); I <= To && I < Tree_.Count(); ++I) {
    const TWNetNode F = Tree_.File(I);
    if (Missing && (Tree_.TagRef(I) != 0 || (F.State() != nsKnown && F.State() != nsNew))) continue;
    const std::string_view Name = F.Name();
    if (!tags::HasTagFormat(std::string(Name))) continue;
    Out.push_back({Tree_.GetDirectory(I) + std::string(Name), F.Id()});
  }
  return Out;
}

void TTagColumns::Start(bool CachedOnly, int Threads) {
  Stop();
  if (Opening_.joinable()) Opening_.join();
  Pass_ = std::make_unique<tags::TTagPass>(
      *NetProvider(), Cache_.get(), Threads,
      [this](const tags::TTagOutcome &O) {
        if (!O.Ok) return;
        std::lock_guard<std::mutex> L(Lock_);
        Done_.push_back(O);
      },
      tags::TTagLimits{}, CachedOnly);
  Timer_->start();
}

void TTagColumns::LoadCached() {
  if (Tree_.Count() == 0) return;
  Start(true, 1);
  SliceAt_ = 0;
  Slices_->start();
}

void TTagColumns::NextSlice() {
  if (!Pass_ || SliceAt_ >= Tree_.Count()) {
    Slices_->stop();
    return;
  }
  Pass_->Add(Jobs(SliceAt_, SliceAt_ + SliceRows - 1, false));
  SliceAt_ += SliceRows;
}

void TTagColumns::ReadMissing(int First, int Last, int Threads) {
  Start(false, Threads);
  Pass_->Add(Jobs(0, Tree_.Count() - 1, true));
  if (First >= 0) Pass_->Front(Jobs(First, Last, true));
}

void TTagColumns::Stop() {
  Slices_->stop();
  if (Pass_) {
    Pass_->Stop();
    Pass_.reset();
    Drain();
  }
  if (Cache_) Cache_->Flush();
  Timer_->stop();
}

void TTagColumns::Cleared() {
  Stop();
  {
    std::lock_guard<std::mutex> L(Lock_);
    Done_.clear();
  }
  Table.Clear();
}

void TTagColumns::Drain() {
  std::vector<tags::TTagOutcome> Got;
  {
    std::lock_guard<std::mutex> L(Lock_);
    Got.swap(Done_);
  }
  bool Any = false;
  for (const auto &O : Got) {
    // The row may have gone meanwhile, and its node been made anew for another file.
    try {
      const TWNetNode F = Tree_.Node(TNodeId(O.Key));
      const std::string_view Name = F.Name();
      if (!F.IsFile() || O.Unc.size() < Name.size() ||
          O.Unc.compare(O.Unc.size() - Name.size(), Name.size(), Name) != 0)
        continue;
    } catch (...) {
      continue;
    }
    Tree_.SetTagRef(TNodeId(O.Key), Table.Add(O.Tags));
    Any = true;
  }
  if (Any) Model_.RefreshTags();
  if (Pass_ && !Slices_->isActive() && Pass_->Wait(0)) {
    Pass_.reset();
    if (Cache_) Cache_->Flush();
    Timer_->stop();
    Drain();
  }
}

} // namespace sonquarry
