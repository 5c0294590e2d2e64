#include "ui/list/tag_columns.h"

#include <QTimer>
#include <string_view>

#include "engine/network.h"
#include "ui/list/file_list_model.h"

namespace sonquarry {

namespace {
constexpr int DrainMs = 250;
constexpr std::size_t BatchRows = 4096, MaxBatches = 4;
constexpr auto SliceTime = std::chrono::milliseconds(8);
constexpr int FirstRows = 100;
} // namespace

TTagColumns::TTagColumns(TWNetTree &Tree, TFileListModel &Model, std::shared_ptr<TNetwork> Network,
                         QObject *Parent)
    : QObject(Parent), Tree_(Tree), Model_(Model), Network_(std::move(Network)),
      Timer_(new QTimer(this)), Slices_(new QTimer(this)) {
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

bool TTagColumns::Busy() const { return Pass_ != nullptr || Loading_; }

void TTagColumns::AddJobs(int From, int To, std::vector<tags::TTagJob> &Out) {
  for (int I = std::max(0, From); I <= To && I < Tree_.Count(); ++I) {
    const TWNetNode F = Tree_.File(I);
    if (F.State() != nsKnown && F.State() != nsNew) continue;
    const std::string_view Name = F.Name();
    if (!tags::HasTagFormat(std::string(Name))) continue;
    std::string Unc = Tree_.GetDirectory(I) + std::string(Name);
    const net::FileStat St = Stamps.Find(Unc);
    if (St.Directory) continue;
    // Tags a loaded list took from the cache may be of an older file: the listing's size and
    // time tell, at no cost to the server when they still match.
    if (Tree_.TagRef(I) != 0 && St.Size < 0) continue;
    Out.push_back({std::move(Unc), F.Id(), St.Size, St.WriteTime});
  }
}

void TTagColumns::Start(int Threads) {
  Stop();
  if (Opening_.joinable()) Opening_.join();
  if (!Network_) return;
  // The pass's provider outlives it: a later search may change what the network's files go
  // through.
  PassProvider_ = Network_->Files();
  Pass_ = std::make_unique<tags::TTagPass>(*PassProvider_, Cache_.get(), Threads,
                                           [this](const tags::TTagOutcome &O) {
                                             if (!O.Ok) return;
                                             std::lock_guard<std::mutex> L(Lock_);
                                             Done_.push_back(O);
                                           });
  Timer_->start();
}

void TTagColumns::LoadCached() {
  EndLoad();
  if (Tree_.Count() == 0) return;
  Table.Reserve(Table.Count() + std::size_t(Tree_.Count()) + FirstRows);
  // The tree makes its array of refs at the first one set: now, not in a turn of the loop.
  Tree_.SetTagRef(Tree_.File(0).Id(), Tree_.TagRef(0));
  Loading_ = true;
  LoadEnded_ = false;
  StopLoad_ = false;
  Shown_ = {};
  // The rows on the first screen are looked up before the whole table is read.
  std::vector<std::string> First;
  for (int I = 0; I < std::min(Tree_.Count(), FirstRows); ++I)
    First.push_back(Tree_.GetDirectory(I) + std::string(Tree_.File(I).Name()));
  Loader_ =
      std::thread([this, First = std::move(First)]() mutable { LoadThread(std::move(First)); });
}

void TTagColumns::LoadThread(std::vector<std::string> First) {
  if (Opening_.joinable()) Opening_.join();
  TCachedBatch Batch;
  const auto Take = [&Batch](const tags::TTagCache::TEntry &E) {
    for (const std::string_view T : {E.Path, E.Artist, E.Title, E.Album}) Batch.Text.append(T);
    Batch.Entries.push_back({uint32_t(E.Path.size()), uint32_t(E.Artist.size()),
                             uint32_t(E.Title.size()), uint32_t(E.Album.size()), E.Year, E.Length});
  };
  if (!Cache_) First.clear();
  for (const std::string &Path : First)
    if (const auto T = Cache_->FindAny(Path))
      Take({Path, T->Artist, T->Title, T->Album, T->Year, T->Length});
  if (!Batch.Entries.empty()) Hand(Batch);
  if (Cache_)
    Cache_->Scan([&](const tags::TTagCache::TEntry &E) {
      if (StopLoad_) return false;
      Take(E);
      return Batch.Entries.size() < BatchRows || Hand(Batch);
    });
  if (!Batch.Entries.empty()) Hand(Batch);
  {
    std::lock_guard<std::mutex> L(Lock_);
    LoadEnded_ = true;
  }
  QMetaObject::invokeMethod(
      this, [this] { Slices_->start(); }, Qt::QueuedConnection);
}

bool TTagColumns::Hand(TCachedBatch &Batch) {
  std::unique_lock<std::mutex> L(Lock_);
  Room_.wait(L, [this] { return StopLoad_ || Batches_.size() < MaxBatches; });
  if (StopLoad_) return false;
  const bool Idle = Batches_.empty();
  Batches_.push_back(std::move(Batch));
  Batch = {};
  L.unlock();
  if (Idle)
    QMetaObject::invokeMethod(
        this, [this] { Slices_->start(); }, Qt::QueuedConnection);
  return true;
}

void TTagColumns::NextSlice() {
  if (!Loading_) {
    Slices_->stop();
    return;
  }
  const auto Began = std::chrono::steady_clock::now();
  // The tree may have changed since the last turn: its nodes are looked up anew.
  Levels_.clear();
  bool Ended = false, More = true;
  for (std::size_t N = 1; Loading_; ++N) {
    if (CurrentAt_ == Current_.Entries.size()) {
      std::lock_guard<std::mutex> L(Lock_);
      if (Batches_.empty()) {
        Ended = LoadEnded_;
        More = false;
        break;
      }
      Current_ = std::move(Batches_.front());
      Batches_.pop_front();
      CurrentAt_ = TextAt_ = 0;
      Room_.notify_one();
    }
    const TCachedBatch::TEntry &E = Current_.Entries[CurrentAt_++];
    const char *Texts = Current_.Text.data() + TextAt_;
    TextAt_ += std::size_t(E.PathLen) + E.ArtistLen + E.TitleLen + E.AlbumLen;
    try {
      Match(std::string_view(Texts, E.PathLen), E, Texts + E.PathLen);
    } catch (...) {
      Levels_.clear();
    }
    if (N % 256 == 0 && std::chrono::steady_clock::now() - Began > SliceTime) break;
  }
  if (!More) Slices_->stop();
  if (Ended) EndLoad();
  if (Unshown_ && std::chrono::steady_clock::now() - Shown_ > std::chrono::milliseconds(DrainMs)) {
    Unshown_ = false;
    Shown_ = std::chrono::steady_clock::now();
    Model_.RefreshTags();
  }
}

void TTagColumns::Match(std::string_view Path, const TCachedBatch::TEntry &E, const char *Texts) {
  if (Path.size() < 3 || Path[0] != '\\' || Path[1] != '\\') return;
  // Computer, share, directories: those the last path shared are known already.
  std::size_t Depth = 0, At = 2;
  for (std::size_t Sep; (Sep = Path.find('\\', At)) != std::string_view::npos; At = Sep + 1) {
    const std::string_view Part = Path.substr(At, Sep - At);
    if (Part.empty()) continue;
    if (Depth < Levels_.size() && Levels_[Depth].Name == Part) {
      ++Depth;
      continue;
    }
    Levels_.resize(Depth);
    TLevel Next{std::string(Part), {}};
    if (Depth == 0) {
      for (const TNodeId Domain : Tree_.Root().Children())
        if (const TWNetNode C = Tree_.FindNode(Tree_.Node(Domain), Part))
          Next.Nodes.push_back(C.Id());
    } else {
      for (const TNodeId Up : Levels_[Depth - 1].Nodes)
        if (const TWNetNode C = Tree_.FindNode(Tree_.Node(Up), Part)) Next.Nodes.push_back(C.Id());
    }
    Levels_.push_back(std::move(Next));
    ++Depth;
  }
  if (Depth < 2 || At == Path.size()) return; // no share, or no file name
  Levels_.resize(Depth);
  uint32_t Ref = 0;
  for (const TNodeId Dir : Levels_[Depth - 1].Nodes) {
    const TWNetNode F = Tree_.FindNode(Tree_.Node(Dir), Path.substr(At));
    if (!F || !F.IsFile()) continue;
    if (Ref == 0) {
      const std::string_view Artist(Texts, E.ArtistLen), Title(Texts + E.ArtistLen, E.TitleLen),
          Album(Texts + E.ArtistLen + E.TitleLen, E.AlbumLen);
      Ref = Table.Add(Artist, Title, Album, E.Year, E.Length);
    }
    Tree_.SetTagRef(F.Id(), Ref);
    Unshown_ = true;
  }
}

void TTagColumns::EndLoad() {
  Slices_->stop();
  if (Loader_.joinable()) {
    {
      std::lock_guard<std::mutex> L(Lock_);
      StopLoad_ = true;
    }
    Room_.notify_all();
    Loader_.join();
  }
  Batches_.clear();
  Current_ = {};
  CurrentAt_ = TextAt_ = 0;
  Levels_.clear();
  Loading_ = false;
  if (Unshown_) {
    Unshown_ = false;
    Model_.RefreshTags();
  }
}

void TTagColumns::ReadMissing(int First, int Last, int Threads) {
  Start(Threads);
  // The rows in view first, then the rest in row order; each once.
  std::vector<tags::TTagJob> Jobs;
  if (First < 0 || Last < First) First = Last = Tree_.Count();
  AddJobs(First, Last, Jobs);
  AddJobs(0, First - 1, Jobs);
  AddJobs(Last + 1, Tree_.Count() - 1, Jobs);
  Pass_->Add(std::move(Jobs));
  Stamps.Clear();
}

void TTagColumns::Stop() {
  EndLoad();
  if (Pass_) {
    Pass_->Stop();
    Pass_.reset();
    Drain();
  }
  // Until the cache is open (and its thread joined) nothing has been put in it.
  if (!Opening_.joinable() && Cache_) Cache_->Flush();
  Timer_->stop();
}

void TTagColumns::Cleared() {
  Stop();
  {
    std::lock_guard<std::mutex> L(Lock_);
    Done_.clear();
  }
  Table.Clear();
  Stamps.Clear();
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
    // Confirmed as they were: the row keeps its entry.
    if (const uint32_t Had = Tree_.TagRefOf(TNodeId(O.Key));
        Table.Has(Had) && Table.Tags(Had) == O.Tags)
      continue;
    Tree_.SetTagRef(TNodeId(O.Key), Table.Add(O.Tags));
    Any = true;
  }
  if (Any) Model_.RefreshTags();
  if (Pass_ && Pass_->Wait(0)) {
    Pass_.reset();
    if (Cache_) Cache_->Flush();
    Timer_->stop();
    Drain();
  }
}

} // namespace sonquarry
