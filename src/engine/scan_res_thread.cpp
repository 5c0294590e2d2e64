#include "engine/scan_res_thread.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <exception>
#include <mutex>
#include <utility>

#include "engine/net_enum.h"
#include "engine/scan_log.h"
#include "platform/net/net_provider.h"
#include "platform/os/exception.h"

namespace sonquarry {

namespace {

// The extension of a file name with its dot: the text from the last dot on; "" without a dot.
std::string_view ExtractFileExt(std::string_view Name) {
  const auto Dot = Name.find_last_of(".\\:");
  if (Dot == std::string_view::npos || Name[Dot] != '.') return {};
  return Name.substr(Dot);
}

// The server's own answer about the one directory: another connection would get the same.
bool Refusal(const net::NetError &E) {
  if (E.Broken) return false;
  switch (E.Code) {
  case EACCES:
  case EPERM:
  case ENOTDIR:
  case ENODEV:
    return true;
  default:
    return false;
  }
}

// Why a listing failed, without the path the message may begin with.
std::string Reason(const net::NetError &E, const std::string &Dir) {
  const std::string Prefix = Dir + ": ";
  if (E.Message.rfind(Prefix, 0) == 0) return E.Message.substr(Prefix.size());
  return E.Message.empty() ? "no reason given (errno " + std::to_string(E.Code) + ")" : E.Message;
}

} // namespace

void TStartGate::Open() {
  std::lock_guard<std::mutex> L(Lock_);
  Open_ = true;
  Opened_.notify_all();
}

void TStartGate::Wait() {
  std::unique_lock<std::mutex> L(Lock_);
  Opened_.wait(L, [this] { return Open_; });
}

void TStartGate::Enlist() {
  std::lock_guard<std::mutex> L(Lock_);
  ++Unsettled_;
}

void TStartGate::Settled() {
  std::lock_guard<std::mutex> L(Lock_);
  --Unsettled_;
}

bool TStartGate::FirstWaveSettled() {
  std::lock_guard<std::mutex> L(Lock_);
  return Unsettled_ <= 0;
}

// The directories a thread handed over without waiting: how many wait, and what became of them.
struct TScanResThread::TPosted {
  std::mutex Lock;
  std::condition_variable Changed;
  int Pending = 0;
  bool Dropped = false;     // one was refused: lifeline cut or dispatcher closed
  std::exception_ptr Error; // the first handler failure since the thread last looked
  size_t Mark = 0;          // the log lines there were when the failed directory was handed over
  std::atomic<bool> Failed{false};
};

// Lives as long as the posted call that holds it: counts it off when the main thread has run or
// dropped it.
struct TScanResThread::TPostedCall {
  explicit TPostedCall(std::shared_ptr<TPosted> Of) : P(std::move(Of)) {}
  TPostedCall(const TPostedCall &) = delete;
  TPostedCall &operator=(const TPostedCall &) = delete;
  ~TPostedCall() {
    std::lock_guard<std::mutex> L(P->Lock);
    --P->Pending;
    if (!Ran) P->Dropped = true;
    P->Changed.notify_all();
  }
  const std::shared_ptr<TPosted> P;
  bool Ran = false;
};

TScanResThread::TScanResThread(std::shared_ptr<TNetResThList> ANetResList,
                               std::shared_ptr<net::INetProvider> Provider)
    : ResList(std::move(ANetResList)), Posted_(std::make_shared<TPosted>()) {
  if (!ResList) throw Exception("TScanResThread.Create: ANetResList is not created.");
  if (!Provider) throw Exception("TScanResThread.Create: no network provider.");
  Provider_ = std::move(Provider);
  SetFreeOnTerminate(true);
}

TScanResThread::~TScanResThread() = default;

void TScanResThread::HandOver(const std::function<void()> &Fn) {
  // Runs after this thread's directories handed over before it: not after one that failed.
  const bool Ran = Synchronize(
      [&] {
        if (!Posted_->Failed.load(std::memory_order_acquire)) Fn();
      },
      Lifeline);
  if (!Ran) Terminate();
  AwaitPosted(0);
}

void TScanResThread::PostFilesFound(const std::string &Dir, std::vector<std::string> FileNames,
                                    std::vector<net::FileStat> Stats, const std::string &Domain) {
  AwaitPosted(MaxPosted - 1);
  if (Stopped()) return;
  TPosted &P = *Posted_;
  {
    std::lock_guard<std::mutex> L(P.Lock);
    ++P.Pending;
  }
  auto Call = std::make_shared<TPostedCall>(Posted_);
  const size_t Mark = Messages.size();
  // The thread waits for its posted calls before it ends: this stays valid while one runs.
  platform::MainThread().Post(
      [this, Call, Mark, Dir, Names = std::move(FileNames), Stats = std::move(Stats), Domain] {
        Call->Ran = true;
        TPosted &P = *Posted_;
        // Stopped meanwhile: had it waited, the thread would not have walked this far.
        if (Terminated() || P.Failed.load(std::memory_order_acquire)) return;
        try {
          if (OnFilesFound) OnFilesFound(this, Dir, Names, Domain);
          if (OnFileStats) OnFileStats(Dir, Names, Stats);
        } catch (...) {
          std::lock_guard<std::mutex> L(P.Lock);
          P.Error = std::current_exception();
          P.Mark = Mark;
          P.Failed.store(true, std::memory_order_release);
        }
      },
      Lifeline);
}

void TScanResThread::AwaitPosted(int Keep) {
  TPosted &P = *Posted_;
  std::unique_lock<std::mutex> L(P.Lock);
  auto Gone = [&] { return P.Dropped || (Lifeline && !Lifeline->Alive()); };
  // A failure: the calls after it skip their handlers; they are waited for all the same.
  const auto Enough = [&] { return P.Pending <= (P.Error ? 0 : Keep); };
  // A cut lifeline wakes nobody here: look again now and then.
  while (!Enough() && !Gone()) P.Changed.wait_for(L, std::chrono::milliseconds(50));
  if (Gone()) {
    L.unlock();
    Terminate();
    return;
  }
  if (!P.Error) return;
  const std::exception_ptr Error = std::exchange(P.Error, nullptr);
  P.Failed.store(false, std::memory_order_release);
  if (Messages.size() > P.Mark) Messages.resize(P.Mark);
  L.unlock();
  std::rethrow_exception(Error);
}

bool TScanResThread::Stopped() const {
  return Terminated() || Posted_->Failed.load(std::memory_order_acquire);
}

void TScanResThread::Execute() {
  if (Gate) Gate->Wait();
  TDomNetRes Own; // the record Next fills in IP mode
  bool First = true;
  bool Settled = false;
  auto Settle = [&] {
    if (Gate && !std::exchange(Settled, true)) Gate->Settled();
  };
  auto Finish = [&] {
    Settle();
    try {
      // Posted calls refer to this thread.
      AwaitPosted(0);
    } catch (...) {
    }
    ChildList.clear();
    WriteMessages();
  };
  try {
    for (;;) {
      Messages.clear();
      FileFound = false;
      TDomNetRes *Taken = NetBios ? nullptr : &Own;
      if ((!First && !AwaitFirstWave()) || !TakeNext(Taken)) {
        Add("There is no more resources.");
        break;
      }
      Settle();
      if (!First) WaitDelay();
      // Left without marking the resource done: a stopped scan does not drain its list.
      if (Terminated()) break;
      First = false;
      bool Leave = false;
      {
        struct TMarkDone {
          TNetResThList &List;
          ~TMarkDone() {
            TNetResThList::Guard G(List);
            G->MarkDone();
          }
        } MarkDone{*ResList};
        try {
          ChildList.clear();
          if (!Taken) {
            Add("Error: we have not got resource. It is nil.");
            Leave = true;
          } else {
            if (Taken->NetRes)
              Add("Processing resource " + Taken->NetRes->RemoteName + ".");
            else
              Add("Processing root resource.");
            if (!CheckResource(Taken)) {
              Add("Not respond");
            } else {
              net::NetError Error;
              const int Code =
                  EnumNetResources(*Provider_, Taken->NetRes.get(), &ChildList, &Error);
              if (Error.Broken && !Terminated())
                Add("The children could not be listed: " + Error.Message);
              if (Code != EnumDone && OnEnumError) HandOver([&] { OnEnumError(this, Code); });
              if (Terminated()) {
                Add("Thread was terminated.");
                Leave = true;
              } else {
                ProcessChildren(*Taken);
                AwaitPosted(0);
                if (OnResEnumerated) HandOver([&] { OnResEnumerated(this, ChildList); });
              }
            }
          }
        } catch (const std::exception &E) {
          // Also what a main-thread handler raised and the hand-over passed back; a directory's
          // handler that failed before this error came first.
          std::string What = E.what();
          try {
            AwaitPosted(0);
          } catch (const std::exception &First) {
            What = First.what();
          }
          Add("!Exception: " + What);
        }
      }
      if (Leave) break;
      WriteMessages();
    }
  } catch (...) {
    Finish();
    throw;
  }
  Finish();
}

bool TScanResThread::TakeNext(TDomNetRes *&Taken) {
  TDomNetRes *const Target = Taken;
  try {
    for (;;) {
      int Result;
      {
        TNetResThList::Guard G(*ResList);
        TDomNetRes *Item = Target;
        Result = G->Next(Item);
        if (Result == NextTaken) Taken = Item;
      }
      if (Result == NextTaken) return true;
      if (Result != NextWait) return false;
      if (WaitTerminated(PollInterval)) return false;
    }
  } catch (const std::exception &) {
    return false;
  }
}

bool TScanResThread::AwaitFirstWave() {
  if (!Gate || Delay <= 0) return true;
  while (!Gate->FirstWaveSettled())
    if (WaitTerminated(PollInterval)) return false;
  return true;
}

void TScanResThread::WaitDelay() {
  const int Slice = DelaySlice > 0 ? DelaySlice : 1;
  for (int Count = Slice; Delay > Count; Count += Slice)
    if (WaitTerminated(Slice)) return;
}

bool TScanResThread::CheckResource(const TDomNetRes *DomNetRes) {
  if (!DomNetRes) throw Exception("TNetScan.CheckResource: DomNetRes = nil.");
  if (NetBios) return true;
  if (!DomNetRes->NetRes) return false;
  const std::string &Name = DomNetRes->NetRes->RemoteName;
  if (!Filter.CompAllowed(Name)) return false;
  try {
    const std::string Host = ExtractCompName(Name);
    // The user's time-out is the one that counts: the provider does not probe this host again.
    bool Up = false;
    if (Ahead) {
      Up = Ahead->Probe(StrIP(Host));
    } else {
      for (const int Port : ProbePorts(Probe445))
        if ((Up = Probe ? Probe(Host, Port, TimeOut) : ProbeHost(Host, Port, TimeOut))) break;
    }
    if (Up) Provider_->NoteReachable(Host);
    return Up;
  } catch (const std::exception &) {
    return false;
  }
}

void TScanResThread::ProcessChildren(const TDomNetRes &Taken) {
  auto ListChildren = [&] {
    if (ChildList.empty()) Add("This resource is empty.");
    for (const auto &C : ChildList) Add(C.Name);
  };
  if (!Taken.NetRes) {
    Add("This resource is root.");
    ListChildren();
    QueueChildren();
  } else if (IsDomain(*Taken.NetRes)) {
    Add("This resource is domain.");
    ListChildren();
    QueueComputers(Taken.NetRes->RemoteName);
  } else if (IsServer(*Taken.NetRes)) {
    if (OnCompScanned) HandOver([&] { OnCompScanned(this, 1); });
    Add("This resource is computer.");
    ListChildren();
    ScanShares(Taken);
  } else {
    Add("This type of resource doesn't matter.");
    ListChildren();
    QueueChildren();
  }
}

void TScanResThread::QueueChildren() {
  for (const auto &C : ChildList) {
    if (!C.Res) continue;
    {
      auto Item = std::make_unique<TDomNetRes>();
      // A copy: the list handed to OnResEnumerated keeps every record.
      Item->NetRes = std::make_unique<TNetRes>(*C.Res);
      TNetResThList::Guard G(*ResList);
      G->AddRes(std::move(Item));
    }
    if (OnResQueued) HandOver([&] { OnResQueued(this, C.Name); });
  }
}

void TScanResThread::QueueComputers(const std::string &DomainName) {
  TNetResThList::Guard G(*ResList);
  for (const auto &C : ChildList) {
    if (!C.Res) continue;
    if (Filter.CompAllowed(C.Res->RemoteName)) {
      auto Item = std::make_unique<TDomNetRes>();
      Item->Domain = DomainName;
      Item->NetRes = std::make_unique<TNetRes>(*C.Res);
      G->AddRes(std::move(Item));
    } else {
      Add(FormatMessage("Resource %s was filtered", C.Res->RemoteName));
    }
  }
}

void TScanResThread::ScanShares(const TDomNetRes &Taken) {
  const std::string &Domain = Taken.Domain;
  Walk_ = TCompWalk{};
  Walk_.Comp = Taken.NetRes.get();
  for (const auto &C : ChildList) {
    if (Stopped()) return;
    if (!C.Res) continue;
    const std::string Share = GetNetResName(C.Res->RemoteName);
    if (!Filter.ResAllowed(Share)) {
      Add(FormatMessage("Resource %s was filtered.", C.Res->RemoteName));
    } else if (Walk_.Lost) {
      ++Walk_.Unvisited;
    } else {
      TWalkedDirs Walked;
      Walk_.ShareDirs = 0;
      Walk_.Share = C.Res->RemoteName;
      WalkDir(C.Res->RemoteName, Domain, 0, Walked);
    }
  }
  if (Stopped()) return;
  const std::string &Comp = Taken.NetRes->RemoteName;
  if (Walk_.Lost) {
    Add("Computer " + Comp + " stopped answering during its walk (" + Walk_.Why +
        "): " + std::to_string(Walk_.Unvisited) + " known " +
        (Walk_.Unvisited == 1 ? "directory was" : "directories were") +
        " left unvisited; its files not found again are unknown, not removed.");
    if (OnCompLost) HandOver([&] { OnCompLost(this, Domain, ExtractCompName(Comp)); });
  } else if (Walk_.Cut && OnCompLost) {
    // Its files in the directories left out were not looked for: unknown, not removed.
    HandOver([&] { OnCompLost(this, Domain, ExtractCompName(Comp)); });
  }
  if (const int Unread = Walk_.Refused + Walk_.Unvisited; Unread > 0 && OnDirsUnread)
    HandOver([&] { OnDirsUnread(this, Unread); });
}

void TScanResThread::FileFoundOnce() {
  if (FileFound) return;
  FileFound = true;
  if (OnFirstFile) HandOver([&] { OnFirstFile(this); });
}

void TScanResThread::WalkDir(const std::string &Dir, const std::string &Domain, int Depth,
                             TWalkedDirs &Walked) {
  // A stop between two directories leaves the next one unopened and unreported.
  if (Stopped()) return;
  if (++Walk_.ShareDirs > MaxShareDirs) {
    if (Walk_.ShareDirs == MaxShareDirs + 1)
      Add("Share " + Walk_.Share + " holds more than " + std::to_string(MaxShareDirs) +
          " directories: " + Dir + " and the rest were not walked.");
    Walk_.Cut = true;
    return;
  }
  std::vector<std::string> FileNames;
  std::vector<net::FileStat> Stats;
  net::NetError Error;
  uint64_t Taken = 0; // entries taken, skipped when the listing is read again
  for (bool Retried = false;; Retried = true) {
    Error = net::NetError{};
    if (auto Listing = Provider_->OpenDir(Dir, &Error)) {
      // Links may lead back into the share: each directory is walked once.
      if (const uint64_t Id = Listing->DirId()) {
        const auto [Seen, New] = Walked.emplace(Id, Dir);
        if (!New && Seen->second != Dir) {
          Add("Directory " + Dir + " was not walked: it is " + Seen->second + " again.");
          return;
        }
      }
      net::DirEntry E;
      for (uint64_t Skip = Taken; Listing->Next(E, &Error);) {
        if (Skip > 0) {
          --Skip;
          continue;
        }
        ++Taken;
        if (E.Name == "." || E.Name == "..") continue;
        if (E.Directory) {
          const std::string Sub = Dir + "\\" + E.Name;
          if (Depth < MaxWalkDepth)
            WalkDir(Sub, Domain, Depth + 1, Walked);
          else
            Add("Directory " + Sub + " was not walked: it lies more than " +
                std::to_string(MaxWalkDepth) + " levels below its share.");
        }
        Found(E, FileNames, Stats);
        if (Stopped()) return;
        if (Walk_.Lost) {
          TakeRest(*Listing, FileNames, Stats);
          break;
        }
      }
      if (Walk_.Lost || (Error.Code == 0 && !Error.Broken)) break;
    }
    if (Stopped()) return;
    // Once more on a connection of its own, unless the server has answered for this directory.
    if (!Retried && !Refusal(Error)) {
      if (!Error.Broken) Provider_->Reconnect();
      continue;
    }
    if (Refusal(Error) || ComputerAnswers()) {
      Add("Directory " + Dir + " could not be listed: " + Reason(Error, Dir));
      ++Walk_.Refused;
    } else {
      Walk_.Lost = true;
      Walk_.Why = Dir + ": " + Reason(Error, Dir);
      ++Walk_.Unvisited;
    }
    break;
  }
  if (Stopped()) return;
  if (OnFilesFound) PostFilesFound(Dir, std::move(FileNames), std::move(Stats), Domain);
}

void TScanResThread::Found(const net::DirEntry &E, std::vector<std::string> &FileNames,
                           std::vector<net::FileStat> &Stats) {
  if (!Filter.ExtAllowed(ExtractFileExt(E.Name))) return;
  FileNames.push_back(E.Name);
  if (OnFileStats) Stats.push_back({E.Directory ? -1 : E.Size, E.WriteTime, E.Directory});
  FileFoundOnce();
}

void TScanResThread::TakeRest(net::INetDirListing &Listing, std::vector<std::string> &FileNames,
                              std::vector<net::FileStat> &Stats) {
  net::DirEntry E;
  while (Listing.Buffered() && Listing.Next(E)) {
    if (E.Name == "." || E.Name == "..") continue;
    if (E.Directory) ++Walk_.Unvisited;
    Found(E, FileNames, Stats);
  }
}

bool TScanResThread::ComputerAnswers() {
  if (!Walk_.Comp) return true;
  TNetResStrings Shares;
  net::NetError Ignored;
  return EnumNetResources(*Provider_, Walk_.Comp, &Shares, &Ignored) == EnumDone;
}

void TScanResThread::WriteMessages() {
  if (Messages.empty()) return;
  std::lock_guard<std::mutex> L(ScanLogLock);
  Log.Add(LogLevel, Messages.front());
  for (size_t I = 1; I < Messages.size(); ++I) Log.AddCont(LogLevel, Messages[I]);
}

} // namespace sonquarry
