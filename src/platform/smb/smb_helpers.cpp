// The helpers of a walk: the workers that list ahead of it where its plan (TWalkPlan) says.

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
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

TSecond &Second(const std::unique_ptr<THelper> &P) { return static_cast<TSecond &>(*P); }

// SONQUARRY_WALK_TIMELINE=FILE: a line per event of the walks and their helpers (ms since the
// first, event, worker, directory, and for the walk's own listings how long each waited), to see
// where a walk's time goes.
void Timeline(const char *Event, pid_t Worker, const std::string &Dir = "", double WaitedMs = -1) {
  static FILE *const Out = [] {
    const char *Path = std::getenv("SONQUARRY_WALK_TIMELINE");
    return Path && *Path ? std::fopen(Path, "a") : nullptr;
  }();
  if (!Out) return;
  static const auto Start = Clock::now();
  static std::mutex M;
  std::lock_guard<std::mutex> L(M);
  std::fprintf(Out, "%.3f\t%s\t%d\t%s",
               std::chrono::duration<double, std::milli>(Clock::now() - Start).count(), Event,
               int(Worker), Dir.c_str());
  if (WaitedMs >= 0) std::fprintf(Out, "\t%.1f", WaitedMs);
  std::fputc('\n', Out);
  std::fflush(Out);
}

} // namespace

void TSmbProvider::TImpl::Touch() {
  std::lock_guard<std::mutex> L(ActiveLock);
  Active[std::this_thread::get_id()] = Clock::now();
}

bool TSmbProvider::TImpl::SpareCore() {
  // Asked once: glibc reads /sys for it, three system calls a directory otherwise.
  static const unsigned Online = std::max(1u, std::thread::hardware_concurrency());
  const unsigned Cores = Options.Cores ? Options.Cores : Online;
  std::lock_guard<std::mutex> L(ActiveLock);
  const auto Now = Clock::now();
  std::erase_if(Active, [&](const auto &A) { return Now - A.second > ActiveFor; });
  return Active.size() + std::size_t(std::max(0, SecondsBusy->load())) < Cores;
}

void TSmbProvider::TImpl::Walked(const std::string &Unc, uint64_t DirId,
                                 const std::vector<wire::Entry> &Entries, double WaitedMs) {
  TSlot *S = OwnSlot();
  if (!S) return;
  Timeline("walk", S->Worker->Pid(), Unc, WaitedMs);
  // A new share: the last share's helpers have ended, and their connections with them.
  if (S->Plan.Opened(ShareOf(Unc), Unc, DirId, Entries, WaitedMs, [this] { return SpareCore(); })) {
    S->Walk.reset();
    // The walk's own connection counts whatever the cap: it lists what no helper does.
    S->Walk = TClaim::Take(Load, ServerOf(Unc), INT_MAX, false, 0);
  }
  PumpSecond(*S);
  // Nothing left for the helpers: their connections go now rather than with the next share.
  S->Plan.EndIdle();
}

void TSmbProvider::TImpl::WalkedOn(const std::string &Unc,
                                   const std::vector<wire::Entry> &Entries) {
  TSlot *S = OwnSlot();
  if (!S || ShareOf(Unc) != S->Plan.Share()) return;
  S->Plan.ReadOn(ShareOf(Unc), Unc, Entries);
  PumpSecond(*S);
}

bool TSmbProvider::TImpl::TakeSecond(const std::string &Unc, wire::AheadListing &Out) {
  TSlot *S = OwnSlot();
  if (!S) return false;
  // While a helper lists Unc, the other helpers' answers are taken and each is given its next
  // directory: waiting on that one alone would idle them meanwhile.
  const auto Deadline = Clock::now() + std::chrono::milliseconds(Options.CallTimeOutMs);
  bool Waited = false;
  while (!StopRequested() && !S->Plan.Has(Unc)) {
    THelper *H = S->Plan.Listing(Unc);
    if (!H) break;
    TSecond &Sec = static_cast<TSecond &>(*H);
    if (!Waited) {
      Timeline("wait", S->Worker->Pid(), Unc);
      S->Plan.CaughtUp(Sec);
    }
    Waited = true;
    const auto Left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          Sec.Worker->Until(Deadline, Options.CallTimeOutMs) - Clock::now())
                          .count();
    if (Left <= 0) {
      DropSecond(*S, Sec,
                 Broken(ETIMEDOUT,
                        "did not answer within " + std::to_string(Options.CallTimeOutMs) + " ms"));
      break;
    }
    std::vector<pollfd> Fds;
    for (const auto &P : S->Plan.Helpers())
      if (P->InFlight && !P->Dead) Fds.push_back({Second(P).Worker->Fd(), POLLIN, 0});
    {
      TCancelScope Cancel(Sec.Worker);
      if (StopRequested() ||
          (::poll(Fds.data(), Fds.size(), int(std::min<long long>(Left, 1000))) < 0 &&
           errno != EINTR))
        break;
    }
    PumpSecond(*S);
  }
  S->Plan.Prune();
  if (Waited) Timeline("waited", S->Worker->Pid(), Unc);
  if (!S->Plan.Take(Unc, Out)) return false;
  ++SecondTaken;
  return true;
}

void TSmbProvider::TImpl::DropSecond(TSlot &S, TSecond &Sec, const net::NetError &Why) {
  if (Sec.Dead) return;
  const auto W = Sec.Worker;
  W->End();
  if (!W->EndedByOwner() && !StopRequested())
    platform::Diagnostic("SMB worker " + std::to_string(W->Pid()) + " " + Why.Message +
                         " while listing ahead of a walk; the walk lists on by itself");
  S.Plan.Drop(Sec);
  Sec.Count();
}

void TSmbProvider::TImpl::SecondReply(TSlot &S, TSecond &Sec, wire::Frame &F) {
  net::NetError E;
  if (!Sec.Greeted) {
    Sec.InFlight = false;
    if (Sec.Worker->Greets(F)) {
      Timeline("greeted", Sec.Worker->Pid());
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
  Timeline("listed", Sec.Worker->Pid(), Sec.Asked);
  if (L.End) {
    S.Plan.Keep(Sec, {Sec.Asked, L.Dir.Id, L.Dir.Kind, std::move(L.Entries)});
  } else if (Sec.Worker->Send(wire::Type::Close, wire::PutHandle(L.Dir.Handle), E)) {
    // Longer than one reply: the walk lists it itself.
    Sec.InFlight = Sec.Closing = true;
  } else {
    return DropSecond(S, Sec, E);
  }
  for (auto &A : L.Next) S.Plan.Keep(Sec, std::move(A));
}

bool TSmbProvider::TImpl::SpawnSecond(TSlot &S) {
  auto Claim = TClaim::Take(Load, ServerOf(S.Plan.Share()), ServerCap, true, HelperCap);
  if (!Claim) return false;
  net::NetError E;
  auto W = TWorker::Spawn(WorkerPath, Config, 0, E, false);
  if (W) W->ServeLogins(Logins);
  if (!W || !Register(W)) {
    S.Plan.NoMoreHelpers();
    return false;
  }
  Timeline("helper", W->Pid());
  auto Sec = std::make_unique<TSecond>();
  Sec->Claim = std::move(Claim);
  Sec->Worker = std::move(W);
  Sec->AtWork = SecondsBusy;
  S.Plan.Add(std::move(Sec));
  return true;
}

void TSmbProvider::TImpl::PumpSecond(TSlot &S) {
  const bool Latency = S.Plan.LatencyBound();
  const auto Spare = [this] { return SpareCore(); };
  // Stop is looked at between starts: seven of them take the walk's thread tens of ms.
  while (!StopRequested() && S.Plan.WantsHelper(ServerCap, HelperCap, Spare) && SpawnSecond(S)) {
  }
  for (auto &P : S.Plan.Helpers()) {
    TSecond &Sec = Second(P);
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
  for (auto &P : S.Plan.Helpers()) {
    TSecond &Sec = Second(P);
    if (Sec.Dead) continue;
    Sec.Count();
    std::string Dir = S.Plan.NextFor(Sec, Latency, Spare);
    if (Dir.empty()) continue;
    net::NetError E;
    Sec.Asked = std::move(Dir);
    if (!Sec.Worker->Send(wire::Type::OpenDir, wire::PutString(Sec.Asked), E)) {
      DropSecond(S, Sec, E);
      continue;
    }
    Timeline("ask", Sec.Worker->Pid(), Sec.Asked);
    Sec.InFlight = true;
    Sec.Count();
  }
  S.Plan.Prune();
}

} // namespace sonquarry::smb
