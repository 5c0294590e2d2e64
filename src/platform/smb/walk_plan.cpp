#include "platform/smb/walk_plan.h"

#include <algorithm>
#include <iterator>

namespace sonquarry::smb {

std::unique_ptr<TClaim> TClaim::Take(const std::shared_ptr<TLoad> &L, const std::string &Server,
                                     int Cap, bool Helper, int HelperCap) {
  std::lock_guard<std::mutex> G(L->Lock);
  int &N = L->Conns[Server];
  if (N >= Cap || (Helper && L->Helpers >= HelperCap)) {
    if (N == 0) L->Conns.erase(Server);
    return nullptr;
  }
  ++N;
  if (Helper) ++L->Helpers;
  return std::unique_ptr<TClaim>(new TClaim(L, Server, Helper));
}

TClaim::~TClaim() {
  std::lock_guard<std::mutex> G(L_->Lock);
  if (--L_->Conns[Server_] <= 0) L_->Conns.erase(Server_);
  if (Helper_) --L_->Helpers;
}

bool TWalkPlan::Opened(const std::string &Share, const std::string &Unc, uint64_t DirId,
                       const std::vector<wire::Entry> &Entries, double WaitedMs,
                       const std::function<bool()> &SpareCore) {
  const bool NewShare = Share != Share_;
  if (NewShare) {
    Share_ = Share;
    Opened_ = 0;
    Slow_ = Clear_ = 0;
    Clearly_ = false;
    Plan_.clear();
    Listed_.clear();
    ListedEntries_ = 0;
    WalkIds_.clear();
    HelperIds_.clear();
    Helpers_.clear();
  } else if (const auto It = std::find(Plan_.rbegin(), Plan_.rend(), Unc); It != Plan_.rend()) {
    // Above it: what the walk passed over.
    Plan_.erase(std::prev(It.base()), Plan_.end());
  }
  // Once latency-bound, the walk of this share stays so: listings read ahead come quickly.
  const bool Was = LatencyBound() && Opened_ > 0;
  if (WaitedMs >= 0 && Slow_ < SlowInARow) Slow_ = WaitedMs >= LatencyBoundMs_ ? Slow_ + 1 : 0;
  // Two listings of four round trips at a few ms each already say so when the cores are idle:
  // the helpers start a few hundred ms sooner on the link they are for.
  if (WaitedMs >= 0 && Opened_ > 0 && !Clearly_ && LatencyBoundMs_ > 0) {
    Clear_ = WaitedMs >= double(ClearlySlow) * LatencyBoundMs_ ? Clear_ + 1 : 0;
    Clearly_ = Clear_ >= ClearlyInARow && SpareCore && SpareCore();
  }
  ++Opened_;
  Burst_ = !Was && LatencyBound();
  // The walk does not enter a directory it has met before.
  if (DirId == 0 || WalkIds_.insert(DirId).second)
    wire::PlanSubdirs(Plan_, Unc, Entries, MaxPlanned);
  return NewShare;
}

void TWalkPlan::ReadOn(const std::string &Share, const std::string &Unc,
                       const std::vector<wire::Entry> &Entries) {
  if (Share == Share_) wire::PlanSubdirs(Plan_, Unc, Entries, MaxPlanned);
}

bool TWalkPlan::LatencyBound() const {
  return LatencyBoundMs_ == 0 || (LatencyBoundMs_ > 0 && (Slow_ >= SlowInARow || Clearly_));
}

bool TWalkPlan::WantsHelper(int ServerCap, int HelperCap,
                            const std::function<bool()> &SpareCore) const {
  if (NoHelper_ || HelperAfterDirs_ <= 0) return false;
  const int N = int(Helpers_.size());
  // Not for directories that a helper has listed already: one ended when the plan ran empty,
  // and a listing of its that the walk opens plans its subdirectories, listed too.
  if (!LatencyBound())
    return N == 0 && Opened_ >= HelperAfterDirs_ && Untaken(2) >= 2 && SpareCore();
  if (N + 1 >= ServerCap || N >= HelperCap) return false;
  // The listing that showed the walk latency-bound starts the helpers up to the caps at once:
  // the tree ahead is most of the share, and each helper's start and connection cost round
  // trips of their own. Those that find no directory of the walk's take other helpers'.
  if (Burst_) return Untaken(2) >= 2;
  // Later, only directories that no helper has listed or planned call for one more; the count
  // is skipped at the caps, where the plan is mostly taken.
  const auto Idle = std::size_t(std::count_if(Helpers_.begin(), Helpers_.end(), [](const auto &P) {
    return !P->Greeted || (!P->InFlight && P->Planned.empty());
  }));
  return Untaken(Idle + 2) >= Idle + 2;
}

THelper &TWalkPlan::Add(std::unique_ptr<THelper> H) {
  Helpers_.push_back(std::move(H));
  return *Helpers_.back();
}

void TWalkPlan::Drop(THelper &H) {
  H.Dead = true;
  H.InFlight = false;
  H.Planned.clear();
  H.Frontier.clear();
  NoHelper_ = true;
}

void TWalkPlan::Prune() {
  std::erase_if(Helpers_, [](const std::unique_ptr<THelper> &P) { return P->Dead; });
}

bool TWalkPlan::EndIdle() {
  if (!Plan_.empty() ||
      std::any_of(Helpers_.begin(), Helpers_.end(), [](const auto &P) { return P->Busy(); }))
    return false;
  Helpers_.clear();
  return true;
}

void TWalkPlan::Keep(THelper &H, wire::AheadListing A) {
  H.Planned.erase(A.Dir);
  if (wire::WalkedBelow(A.Dir) &&
      (A.Id == 0 || (!WalkIds_.count(A.Id) && HelperIds_.insert(A.Id).second))) {
    for (auto E = A.Entries.rbegin(); E != A.Entries.rend(); ++E)
      if (wire::IsSubdir(*E))
        if (std::string Sub = A.Dir + "\\" + E->Name; H.Planned.insert(Sub).second)
          H.Frontier.push_back(std::move(Sub));
    if (H.Frontier.size() > MaxPlanned) {
      const auto Cut = H.Frontier.end() - MaxPlanned;
      for (auto It = H.Frontier.begin(); It != Cut; ++It) H.Planned.erase(*It);
      H.Frontier.erase(H.Frontier.begin(), Cut);
    }
  }
  ListedEntries_ += A.Entries.size();
  std::string Dir = A.Dir;
  Listed_.insert_or_assign(std::move(Dir), std::move(A));
}

std::string TWalkPlan::NextFor(THelper &H, bool Latency, const std::function<bool()> &SpareCore) {
  std::string Dir;
  if (H.Dead || H.InFlight || ListedEntries_ >= MaxListedEntries) return Dir;
  auto &Fr = H.Frontier;
  while (!Fr.empty() && (!H.Planned.count(Fr.back()) || Listed_.count(Fr.back()))) {
    H.Planned.erase(Fr.back());
    Fr.pop_back();
  }
  if (!Fr.empty()) {
    Dir = std::move(Fr.back());
    Fr.pop_back();
    H.Planned.erase(Dir);
    return Dir;
  }
  // The walk's last directory, while the walk has more before it; not one that a helper has.
  while (Plan_.size() >= 2 && Taken(Plan_.front())) Plan_.pop_front();
  if (Plan_.size() >= 2 && (Latency || SpareCore())) {
    Dir = std::move(Plan_.front());
    Plan_.pop_front();
    return Dir;
  }
  if (!Latency) return Dir;
  // Latency-bound: the last planned directory of the helper with the most.
  THelper *Most = nullptr;
  for (auto &P : Helpers_)
    if (!P->Dead && P.get() != &H && (!Most || P->Planned.size() > Most->Planned.size()))
      Most = P.get();
  if (!Most || Most->Planned.size() < 2) return Dir;
  auto &MF = Most->Frontier;
  const auto First = std::find_if(MF.begin(), MF.end(),
                                  [&](const std::string &D) { return Most->Planned.count(D) > 0; });
  if (First == MF.end()) return Dir;
  Dir = std::move(*First);
  MF.erase(MF.begin(), std::next(First));
  Most->Planned.erase(Dir);
  return Dir;
}

THelper *TWalkPlan::Listing(const std::string &Unc) const {
  for (const auto &P : Helpers_)
    if (!P->Dead && P->Greeted && P->InFlight && !P->Closing && P->Asked == Unc) return P.get();
  return nullptr;
}

void TWalkPlan::CaughtUp(THelper &H) {
  auto &Fr = H.Frontier;
  const auto Left = std::size_t(std::count_if(
      Fr.begin(), Fr.end(), [&](const std::string &D) { return H.Planned.count(D); }));
  for (std::size_t Give = Left / 2; Give > 0 && !Fr.empty(); Fr.pop_back())
    Give -= H.Planned.erase(Fr.back());
}

bool TWalkPlan::Take(const std::string &Unc, wire::AheadListing &Out) {
  if (const auto It = Listed_.find(Unc); It != Listed_.end()) {
    Out = std::move(It->second);
    ListedEntries_ -= Out.Entries.size();
    Listed_.erase(It);
    return true;
  }
  for (auto &P : Helpers_) P->Planned.erase(Unc);
  return false;
}

bool TWalkPlan::Taken(const std::string &Dir) const {
  if (Listed_.count(Dir)) return true;
  for (const auto &P : Helpers_)
    if (P->Planned.count(Dir) || (P->InFlight && P->Asked == Dir)) return true;
  return false;
}

std::size_t TWalkPlan::Untaken(std::size_t Enough) const {
  std::size_t N = 0;
  for (auto It = Plan_.begin(); It != Plan_.end() && N < Enough; ++It) N += !Taken(*It);
  return N;
}

} // namespace sonquarry::smb
