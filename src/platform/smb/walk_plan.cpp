#include "platform/smb/walk_plan.h"

#include <algorithm>
#include <cerrno>
#include <iterator>

#include "platform/diag.h"
#include "platform/net/unc_path.h"
#include "platform/smb/smb_provider_impl.h"
#include "platform/text.h"

namespace sonquarry::smb {

namespace {

// "\\pc\share" of a path below it: the plan is the walk's of one share.
std::string ShareOf(const std::string &Unc) {
  const auto P = net::UncPath::Parse(Unc);
  return platform::AsciiLower(net::UncPath{P.Server, P.Share, ""}.Str());
}

} // namespace

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
                                 const std::vector<wire::Entry> &Entries) {
  TSlot *S = OwnSlot();
  if (!S) return;
  if (const std::string Share = ShareOf(Unc); Share != S->Share) {
    S->Share = Share;
    S->Opened = 0;
    S->Plan.clear();
    S->Listed.clear();
    S->ListedEntries = 0;
    S->WalkIds.clear();
    S->SecondIds.clear();
    if (S->Second) {
      S->Second->Frontier.clear();
      S->Second->Planned.clear();
    }
  } else if (const auto It = std::find(S->Plan.rbegin(), S->Plan.rend(), Unc);
             It != S->Plan.rend()) {
    // Above it: what the walk passed over.
    S->Plan.erase(std::prev(It.base()), S->Plan.end());
  }
  ++S->Opened;
  // The walk does not enter a directory it has met before.
  if (DirId == 0 || S->WalkIds.insert(DirId).second)
    wire::PlanSubdirs(S->Plan, Unc, Entries, MaxPlanned);
  PumpSecond(*S);
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
  if (S->Second && S->Second->Greeted && S->Second->InFlight && !S->Second->Closing &&
      S->Second->Asked == Unc && !StopRequested()) {
    TCancelScope Cancel(S->Second->Worker);
    wire::Frame F;
    net::NetError E;
    while (S->Second && S->Second->InFlight) {
      if (StopRequested() || !Next(S->Second->Worker, F, E)) {
        DropSecond(*S, E);
        break;
      }
      SecondReply(*S, F);
    }
  }
  if (const auto It = S->Listed.find(Unc); It != S->Listed.end()) {
    Out = std::move(It->second);
    S->ListedEntries -= Out.Entries.size();
    S->Listed.erase(It);
    ++SecondTaken;
    return true;
  }
  if (S->Second) S->Second->Planned.erase(Unc);
  return false;
}

void TSmbProvider::TImpl::DropSecond(TSlot &S, const net::NetError &Why) {
  if (!S.Second) return;
  const auto W = S.Second->Worker;
  W->End();
  if (!W->EndedByOwner() && !StopRequested())
    platform::Diagnostic("SMB worker " + std::to_string(W->Pid()) + " " + Why.Message +
                         " while listing ahead of a walk; the walk lists on by itself");
  S.Second.reset();
  S.NoSecond = true;
}

void TSmbProvider::TImpl::KeepSecond(TSlot &S, wire::AheadListing A) {
  TSecond &Sec = *S.Second;
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

void TSmbProvider::TImpl::SecondReply(TSlot &S, wire::Frame &F) {
  TSecond &Sec = *S.Second;
  net::NetError E;
  if (!Sec.Greeted) {
    Sec.InFlight = false;
    if (Sec.Worker->Greets(F)) {
      Sec.Greeted = true;
      return;
    }
    return DropSecond(S, Broken(EPROTO, "did not greet as a worker"));
  }
  if (Sec.Closing) {
    Sec.InFlight = Sec.Closing = false;
    if (F.Kind != wire::Type::Closed)
      DropSecond(S, Broken(EPROTO, "broke the protocol (an unexpected reply)"));
    return;
  }
  Sec.InFlight = false;
  // A directory that the server refuses: the walk meets the refusal itself.
  if (ServerError(F, E)) return;
  wire::Listing L;
  if (F.Kind != wire::Type::Listing || !wire::Get(F.Payload, L))
    return DropSecond(S, Broken(EPROTO, "broke the protocol (an unexpected reply)"));
  if (L.End) {
    KeepSecond(S, {Sec.Asked, L.Dir.Id, L.Dir.Kind, std::move(L.Entries)});
  } else if (Sec.Worker->Send(wire::Type::Close, wire::PutHandle(L.Dir.Handle), E)) {
    // Longer than one reply: the walk lists it itself.
    Sec.InFlight = Sec.Closing = true;
  } else {
    return DropSecond(S, E);
  }
  for (auto &A : L.Next) KeepSecond(S, std::move(A));
}

void TSmbProvider::TImpl::PumpSecond(TSlot &S) {
  if (S.NoSecond || Options.SecondWorkerAfterDirs <= 0 || S.Opened < Options.SecondWorkerAfterDirs)
    return;
  if (!S.Second) {
    if (S.Plan.size() < 2 || !SpareCore()) return;
    net::NetError E;
    auto W = TWorker::Spawn(WorkerPath, Config, 0, E, false);
    if (!W || !Register(W)) {
      S.NoSecond = true;
      return;
    }
    S.Second = std::make_unique<TSecond>();
    S.Second->Worker = std::move(W);
    S.Second->Busy = SecondsBusy;
    S.Second->InFlight = true;
  }
  wire::Frame F;
  net::NetError E;
  while (S.Second && S.Second->InFlight) {
    const int R = S.Second->Worker->TryReceive(F, E);
    if (R == 0) break;
    if (R < 0) return DropSecond(S, E);
    SecondReply(S, F);
  }
  if (!S.Second) return;
  TSecond &Sec = *S.Second;
  auto &Fr = Sec.Frontier;
  while (!Fr.empty() && (!Sec.Planned.count(Fr.back()) || S.Listed.count(Fr.back()))) {
    Sec.Planned.erase(Fr.back());
    Fr.pop_back();
  }
  Sec.Count();
  if (Sec.InFlight || S.ListedEntries >= MaxSecondEntries) return;
  if (Fr.empty()) {
    // The walk's last directory, while the walk has more before it.
    while (S.Plan.size() >= 2 && S.Listed.count(S.Plan.front())) S.Plan.pop_front();
    if (S.Plan.size() < 2 || !SpareCore()) return;
    Fr.push_back(std::move(S.Plan.front()));
    S.Plan.pop_front();
  } else {
    Sec.Planned.erase(Fr.back());
  }
  Sec.Asked = std::move(Fr.back());
  Fr.pop_back();
  if (!Sec.Worker->Send(wire::Type::OpenDir, wire::PutString(Sec.Asked), E))
    return DropSecond(S, E);
  Sec.InFlight = true;
  Sec.Count();
}

} // namespace sonquarry::smb
