#include "platform/smb/walk_plan.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <iterator>
#include <poll.h>

#include "platform/net/unc_path.h"
#include "platform/os/diag.h"
#include "platform/smb/smb_provider_impl.h"
#include "text/text.h"

namespace sonquarry::smb {

namespace {

// "\\pc\share" of a path below it: the plan is the walk's of one share.
std::string ShareOf(const std::string &Unc) {
  const auto P = net::UncPath::Parse(Unc);
  return text::AsciiLower(net::UncPath{P.Server, P.Share, ""}.Str());
}

// The server of a path, lower case: the key of its cap.
std::string ServerOf(const std::string &Unc) {
  return text::AsciiLower(net::UncPath::Parse(Unc).Server);
}

// Listings in a row that waited on the link before a walk counts as latency-bound: the first of
// a share also connects.
constexpr int SlowInARow = 5;

} // namespace

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

void TSmbProvider::TImpl::Touch() {
  std::lock_guard<std::mutex> L(ActiveLock);
  Active[std::this_thread::get_id()] = Clock::now();
}

bool TSmbProvider::TImpl::SpareCore() {
  const unsigned Cores =
      Options.Cores ? Options.Cores : std::max(1u, std::thread::hardware_concurrency());
  std::lock_guard<std::mutex> L(ActiveLock);
  const auto Now = Clock::now();
  std::erase_if(Active, [&](const auto &A) { return Now - A.second > ActiveFor; });
  return Active.size() + std::size_t(std::max(0, SecondsBusy->load())) < Cores;
}

void TSmbProvider::TImpl::Walked(const std::string &Unc, uint64_t DirId,
                                 const std::vector<wire::Entry> &Entries, double WaitedMs) {
  TSlot *S = OwnSlot();
  if (!S) return;
  if (const std::string Share = ShareOf(Unc); Share != S->Share) {
    S->Share = Share;
    S->Opened = 0;
    S->Slow = 0;
    S->Plan.clear();
    S->Listed.clear();
    S->ListedEntries = 0;
    S->WalkIds.clear();
    S->SecondIds.clear();
    // The last share's helpers end, and their connections with them.
    S->Seconds.clear();
    S->Walk.reset();
    // The walk's own connection counts whatever the cap: it lists what no helper does.
    S->Walk = TClaim::Take(Load, ServerOf(Unc), INT_MAX, false, 0);
  } else if (const auto It = std::find(S->Plan.rbegin(), S->Plan.rend(), Unc);
             It != S->Plan.rend()) {
    // Above it: what the walk passed over.
    S->Plan.erase(std::prev(It.base()), S->Plan.end());
  }
  // Once latency-bound, the walk of this share stays so: listings read ahead come quickly.
  if (WaitedMs >= 0 && S->Slow < SlowInARow)
    S->Slow = WaitedMs >= Options.LatencyBoundMs ? S->Slow + 1 : 0;
  ++S->Opened;
  // The walk does not enter a directory it has met before.
  if (DirId == 0 || S->WalkIds.insert(DirId).second)
    wire::PlanSubdirs(S->Plan, Unc, Entries, MaxPlanned);
  PumpSecond(*S);
  // Nothing left for the helpers: their connections go now rather than with the next share.
  if (S->Plan.empty() && std::none_of(S->Seconds.begin(), S->Seconds.end(), [](const auto &P) {
        return P->InFlight || !P->Planned.empty();
      }))
    S->Seconds.clear();
}

bool TSmbProvider::TImpl::LatencyBound(const TSlot &S) const {
  return Options.LatencyBoundMs == 0 || (Options.LatencyBoundMs > 0 && S.Slow >= SlowInARow);
}

void TSmbProvider::TImpl::WalkedOn(const std::string &Unc,
                                   const std::vector<wire::Entry> &Entries) {
  TSlot *S = OwnSlot();
  if (!S || ShareOf(Unc) != S->Share) return;
  wire::PlanSubdirs(S->Plan, Unc, Entries, MaxPlanned);
  PumpSecond(*S);
}

bool TSmbProvider::TImpl::TakeSecond(const std::string &Unc, wire::AheadListing &Out) {
  TSlot *S = OwnSlot();
  if (!S) return false;
  // While a helper lists Unc, the other helpers' answers are taken and each is given its next
  // directory: waiting on that one alone would idle them meanwhile.
  const auto Deadline = Clock::now() + std::chrono::milliseconds(Options.CallTimeOutMs);
  while (!StopRequested() && !S->Listed.count(Unc)) {
    const auto It = std::find_if(S->Seconds.begin(), S->Seconds.end(), [&](const auto &P) {
      return !P->Dead && P->Greeted && P->InFlight && !P->Closing && P->Asked == Unc;
    });
    if (It == S->Seconds.end()) break;
    TSecond &Sec = **It;
    const auto Left =
        std::chrono::duration_cast<std::chrono::milliseconds>(Deadline - Clock::now()).count();
    if (Left <= 0) {
      DropSecond(*S, Sec,
                 Broken(ETIMEDOUT,
                        "did not answer within " + std::to_string(Options.CallTimeOutMs) + " ms"));
      break;
    }
    std::vector<pollfd> Fds;
    for (const auto &P : S->Seconds)
      if (P->InFlight && !P->Dead) Fds.push_back({P->Worker->Fd(), POLLIN, 0});
    {
      TCancelScope Cancel(Sec.Worker);
      if (StopRequested() ||
          (::poll(Fds.data(), Fds.size(), int(std::min<long long>(Left, 1000))) < 0 &&
           errno != EINTR))
        break;
    }
    PumpSecond(*S);
  }
  Prune(*S);
  if (const auto It = S->Listed.find(Unc); It != S->Listed.end()) {
    Out = std::move(It->second);
    S->ListedEntries -= Out.Entries.size();
    S->Listed.erase(It);
    ++SecondTaken;
    return true;
  }
  for (auto &P : S->Seconds) P->Planned.erase(Unc);
  return false;
}

void TSmbProvider::TImpl::DropSecond(TSlot &S, TSecond &Sec, const net::NetError &Why) {
  if (Sec.Dead) return;
  Sec.Dead = true;
  const auto W = Sec.Worker;
  W->End();
  if (!W->EndedByOwner() && !StopRequested())
    platform::Diagnostic("SMB worker " + std::to_string(W->Pid()) + " " + Why.Message +
                         " while listing ahead of a walk; the walk lists on by itself");
  Sec.InFlight = false;
  Sec.Planned.clear();
  Sec.Frontier.clear();
  Sec.Count();
  S.NoSecond = true;
}

void TSmbProvider::TImpl::Prune(TSlot &S) {
  std::erase_if(S.Seconds, [](const std::unique_ptr<TSecond> &P) { return P->Dead; });
}

void TSmbProvider::TImpl::KeepSecond(TSlot &S, TSecond &Sec, wire::AheadListing A) {
  Sec.Planned.erase(A.Dir);
  if (A.Id == 0 || (!S.WalkIds.count(A.Id) && S.SecondIds.insert(A.Id).second)) {
    for (auto E = A.Entries.rbegin(); E != A.Entries.rend(); ++E)
      if (wire::IsSubdir(*E))
        if (std::string Sub = A.Dir + "\\" + E->Name; Sec.Planned.insert(Sub).second)
          Sec.Frontier.push_back(std::move(Sub));
    if (Sec.Frontier.size() > MaxPlanned) {
      const auto Cut = Sec.Frontier.end() - MaxPlanned;
      for (auto It = Sec.Frontier.begin(); It != Cut; ++It) Sec.Planned.erase(*It);
      Sec.Frontier.erase(Sec.Frontier.begin(), Cut);
    }
  }
  S.ListedEntries += A.Entries.size();
  std::string Dir = A.Dir;
  S.Listed.insert_or_assign(std::move(Dir), std::move(A));
}

void TSmbProvider::TImpl::SecondReply(TSlot &S, TSecond &Sec, wire::Frame &F) {
  net::NetError E;
  if (!Sec.Greeted) {
    Sec.InFlight = false;
    if (Sec.Worker->Greets(F)) {
      Sec.Greeted = true;
      return;
    }
    return DropSecond(S, Sec, Broken(EPROTO, "did not greet as a worker"));
  }
  if (Sec.Closing) {
    Sec.InFlight = Sec.Closing = false;
    if (F.Kind != wire::Type::Closed)
      DropSecond(S, Sec, Broken(EPROTO, "broke the protocol (an unexpected reply)"));
    return;
  }
  Sec.InFlight = false;
  // A directory that the server refuses: the walk meets the refusal itself.
  if (ServerError(F, E)) return;
  wire::Listing L;
  if (F.Kind != wire::Type::Listing || !wire::Get(F.Payload, L))
    return DropSecond(S, Sec, Broken(EPROTO, "broke the protocol (an unexpected reply)"));
  if (L.End) {
    KeepSecond(S, Sec, {Sec.Asked, L.Dir.Id, L.Dir.Kind, std::move(L.Entries)});
  } else if (Sec.Worker->Send(wire::Type::Close, wire::PutHandle(L.Dir.Handle), E)) {
    // Longer than one reply: the walk lists it itself.
    Sec.InFlight = Sec.Closing = true;
  } else {
    return DropSecond(S, Sec, E);
  }
  for (auto &A : L.Next) KeepSecond(S, Sec, std::move(A));
}

bool TSmbProvider::TImpl::SpawnSecond(TSlot &S) {
  auto Claim = TClaim::Take(Load, ServerOf(S.Share), ServerCap, true, HelperCap);
  if (!Claim) return false;
  net::NetError E;
  auto W = TWorker::Spawn(WorkerPath, Config, 0, E, false);
  if (!W || !Register(W)) {
    S.NoSecond = true;
    return false;
  }
  auto Sec = std::make_unique<TSecond>();
  Sec->Claim = std::move(Claim);
  Sec->Worker = std::move(W);
  Sec->Busy = SecondsBusy;
  Sec->InFlight = true;
  S.Seconds.push_back(std::move(Sec));
  return true;
}

std::string TSmbProvider::TImpl::NextFor(TSlot &S, TSecond &Sec, bool Latency) {
  auto &Fr = Sec.Frontier;
  while (!Fr.empty() && (!Sec.Planned.count(Fr.back()) || S.Listed.count(Fr.back()))) {
    Sec.Planned.erase(Fr.back());
    Fr.pop_back();
  }
  std::string Dir;
  if (!Fr.empty()) {
    Dir = std::move(Fr.back());
    Fr.pop_back();
    Sec.Planned.erase(Dir);
    return Dir;
  }
  // The walk's last directory, while the walk has more before it; not one that a helper has.
  while (S.Plan.size() >= 2 && Taken(S, S.Plan.front())) S.Plan.pop_front();
  if (S.Plan.size() >= 2 && (Latency || SpareCore())) {
    Dir = std::move(S.Plan.front());
    S.Plan.pop_front();
    return Dir;
  }
  if (!Latency) return Dir;
  // Latency-bound: the last planned directory of the helper with the most.
  TSecond *Most = nullptr;
  for (auto &P : S.Seconds)
    if (!P->Dead && P.get() != &Sec && (!Most || P->Planned.size() > Most->Planned.size()))
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

bool TSmbProvider::TImpl::Taken(const TSlot &S, const std::string &Dir) {
  if (S.Listed.count(Dir)) return true;
  for (const auto &P : S.Seconds)
    if (P->Planned.count(Dir) || (P->InFlight && P->Asked == Dir)) return true;
  return false;
}

std::size_t TSmbProvider::TImpl::Untaken(const TSlot &S, std::size_t Enough) {
  std::size_t N = 0;
  for (auto It = S.Plan.begin(); It != S.Plan.end() && N < Enough; ++It) N += !Taken(S, *It);
  return N;
}

void TSmbProvider::TImpl::PumpSecond(TSlot &S) {
  const bool Latency = LatencyBound(S);
  if (!S.NoSecond && Options.SecondWorkerAfterDirs > 0) {
    if (Latency) {
      // One more while the plan holds more than the helpers without work can take.
      for (;;) {
        const auto Idle =
            std::size_t(std::count_if(S.Seconds.begin(), S.Seconds.end(), [](const auto &P) {
              return !P->Greeted || (!P->InFlight && P->Planned.empty());
            }));
        // Only directories that no helper has listed or planned call for one more; the count
        // is skipped at the caps, where the plan is mostly taken.
        if (int(S.Seconds.size()) + 1 >= ServerCap || int(S.Seconds.size()) >= HelperCap ||
            Untaken(S, Idle + 2) < Idle + 2 || !SpawnSecond(S))
          break;
      }
    } else if (S.Seconds.empty() && S.Opened >= Options.SecondWorkerAfterDirs &&
               S.Plan.size() >= 2 && SpareCore()) {
      SpawnSecond(S);
    }
  }
  for (auto &P : S.Seconds) {
    TSecond &Sec = *P;
    wire::Frame F;
    net::NetError E;
    while (!Sec.Dead && Sec.InFlight) {
      const int R = Sec.Worker->TryReceive(F, E);
      if (R == 0) break;
      if (R < 0) {
        DropSecond(S, Sec, E);
        break;
      }
      SecondReply(S, Sec, F);
    }
  }
  for (auto &P : S.Seconds) {
    TSecond &Sec = *P;
    if (Sec.Dead) continue;
    Sec.Count();
    if (Sec.InFlight || S.ListedEntries >= MaxSecondEntries) continue;
    std::string Dir = NextFor(S, Sec, Latency);
    if (Dir.empty()) continue;
    net::NetError E;
    Sec.Asked = std::move(Dir);
    if (!Sec.Worker->Send(wire::Type::OpenDir, wire::PutString(Sec.Asked), E)) {
      DropSecond(S, Sec, E);
      continue;
    }
    Sec.InFlight = true;
    Sec.Count();
  }
  Prune(S);
}

} // namespace sonquarry::smb
