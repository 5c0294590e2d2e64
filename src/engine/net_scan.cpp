#include "engine/net_scan.h"

#include <algorithm>
#include <mutex>

#include "discovery/ip_range.h"
#include "engine/network.h"
#include "engine/scan_log.h"
#include "engine/scan_res_thread.h"
#include "platform/os/exception.h"

namespace sonquarry {

TNetScan::TNetScan()
    : NetResList(std::make_shared<TNetResThList>(std::make_unique<TNetResList>())),
      IPResList(std::make_shared<TNetResThList>(std::make_unique<TIPResList>())),
      Lifeline(platform::TLifeline::Create()) {}

TNetScan::~TNetScan() { Detach(); }

void TNetScan::Detach() {
  if (Ahead) Ahead->Stop();
  for (const auto &T : Threads) {
    T->Terminate();
    T->SetOnTerminate(nullptr);
  }
  Threads.clear();
  // Hand-overs that wait now return at once; none of this object's handlers runs again.
  Lifeline->Cut();
}

void TNetScan::AddIP(uint32_t Address) {
  TNetResThList::Guard G(*IPResList);
  static_cast<TIPResList *>(G.get())->AddIP(Address);
}

void TNetScan::AddIPRange(uint32_t From, uint32_t To) {
  if (From == To) {
    AddIP(From);
    return;
  }
  TNetResThList::Guard G(*IPResList);
  static_cast<TIPResList *>(G.get())->AddIPRange(From, To);
}

size_t TNetScan::IPRangeCount() {
  TNetResThList::Guard G(*IPResList);
  return static_cast<TIPResList *>(G.get())->IPList.Count();
}

void TNetScan::ClearNetRes() {
  TNetResThList::Guard G(*NetResList);
  G->FreeAll();
}

bool TNetScan::LimitedMethod() const {
  switch (ScanMethod) {
  case smWinXPSP2:
    return true;
  case smAutoDetect:
    return IsXPSP2();
  default:
    return false;
  }
}

int TNetScan::ThreadCountToStart() const {
  return LimitedMethod() ? LimitedThreadCount : std::max<int32_t>(1, MaxThreadCount);
}

int TNetScan::DelayToStart() const { return LimitedMethod() ? LimitedDelay : 0; }

std::shared_ptr<net::INetProvider> TNetScan::ProviderToStart() const {
  if (Provider || !Network) return Provider;
  return Network->Neighbourhood({NetBios && WsDiscovery, NetBios && Mdns});
}

void TNetScan::Start() {
  // The items of a list are in use until its last thread has ended.
  if (!Threads.empty()) throw Exception("TNetScan.Start: a scan is running.");
  if (!Provider && !Network) throw Exception("TNetScan.Start: no network.");
  // One round of discovery per scan, and only in neighbourhood mode.
  Active_ = Provider ? Provider : Network->StartSearch({NetBios && WsDiscovery, NetBios && Mdns});
  FoundComps = 0;
  ScannedComps = 0;
  UnreadDirs = 0;
  Stopped = false;
  LostComps.clear();
  const auto &List = NetBios ? NetResList : IPResList;
  const int Count = ThreadCountToStart();
  const int Delay = DelayToStart();
  TIPList Ranges;
  {
    TNetResThList::Guard G(*List);
    G->Init();
    if (!NetBios) Ranges = static_cast<TIPResList *>(G.get())->IPList;
  }
  {
    // Threads of a coordinator released during its scan may still be writing their last blocks.
    std::lock_guard<std::mutex> L(ScanLogLock);
    Log.Truncate(0);
  }
  // The limited-connection method exists to keep connection attempts few: no probing ahead.
  // The sweep's thread keeps a copy of the filter: the options may change while it runs.
  if (!NetBios && !Probe && Delay == 0)
    Ahead = std::make_shared<TIpSweep>(
        Ranges, [F = Filter](const std::string &C) { return F.CompAllowed(C); }, TimeOut, Probe445,
        Count);
  // Opened however the start ends: the threads started run on.
  struct TOpenGate {
    std::shared_ptr<TStartGate> G = std::make_shared<TStartGate>();
    ~TOpenGate() { G->Open(); }
  } Gate;
  struct TNoThreads {
    TNetScan &S;
    ~TNoThreads() {
      // A start that failed before its first thread leaves no probing behind.
      if (S.Threads.empty() && S.Ahead) {
        S.Ahead->Stop();
        S.Ahead.reset();
      }
    }
  } NoThreads{*this};
  Active_->SetWalkLimits(std::min(ServerConnections, Count), Count);
  Threads.reserve(Count); // a started thread is always listed
  for (int I = 0; I < Count; ++I) {
    auto T = std::make_shared<TScanResThread>(List, Active_);
    T->OnResEnumerated = OnResEnumerated;
    T->OnResQueued = OnResQueued;
    T->OnFilesFound = OnFilesFound;
    T->OnFileStats = OnFileStats;
    T->OnEnumError = OnEnumError;
    T->OnCompScanned = [this](TScanResThread *S, int N) { OnCompScanned(S, N); };
    T->OnFirstFile = [this](TScanResThread *S) { OnFirstFile(S); };
    T->OnDirsUnread = [this](TScanResThread *, int N) { UnreadDirs += N; };
    T->OnCompLost = [this](TScanResThread *, const std::string &Domain, const std::string &Comp) {
      LostComps.emplace_back(Domain, Comp);
    };
    T->SetOnTerminate([this](platform::TThread *S) { ThreadTerminated(S); });
    T->NetBios = NetBios;
    T->TimeOut = TimeOut;
    T->Delay = Delay;
    T->PollInterval = PollInterval;
    T->DelaySlice = DelaySlice;
    T->Probe = Probe;
    T->MaxShareDirs = MaxShareDirs;
    T->Probe445 = Probe445;
    T->Ahead = Ahead;
    T->Lifeline = Lifeline;
    T->Gate = Gate.G;
    Filter.AssignTo(T->Filter);
    T->Resume();
    // Still at the gate, which opens when Start ends: a thread that failed to start is never
    // waited for.
    Gate.G->Enlist();
    Threads.push_back(std::move(T));
  }
}

void TNetScan::Stop() {
  if (!Threads.empty()) Stopped = true;
  for (const auto &T : Threads) T->Terminate();
  // Threads waiting for a probe get their answer now.
  if (Ahead) Ahead->Stop();
}

void TNetScan::ThreadTerminated(platform::TThread *Sender) {
  const auto It = std::find_if(Threads.begin(), Threads.end(),
                               [Sender](const auto &T) { return T.get() == Sender; });
  if (It == Threads.end()) return;
  Threads.erase(It);
  if (Threads.empty() && Ahead) {
    Ahead->Stop();
    Ahead.reset();
  }
  if (Threads.empty() && OnFinish) {
    ClearNetRes();
    OnFinish(this);
  }
}

} // namespace sonquarry
