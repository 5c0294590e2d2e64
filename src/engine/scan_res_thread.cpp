#include "engine/scan_res_thread.h"

#include <exception>
#include <mutex>

#include "engine/scan_log.h"
#include "paths/net_enum.h"
#include "platform/exception.h"
#include "platform/net_provider.h"

namespace sonquarry {

namespace {

// The extension of a file name with its dot: the text from the last dot on; "" without a dot.
std::string_view ExtractFileExt(std::string_view Name) {
  const auto Dot = Name.find_last_of(".\\:");
  if (Dot == std::string_view::npos || Name[Dot] != '.') return {};
  return Name.substr(Dot);
}

} // namespace

TScanResThread::TScanResThread(std::shared_ptr<TNetResThList> ANetResList,
                               std::shared_ptr<platform::INetProvider> Provider)
    : ResList(std::move(ANetResList)) {
  if (!ResList) throw Exception("TScanResThread.Create: ANetResList is not created.");
  Provider_ = Provider ? std::move(Provider) : platform::NetProvider();
  SetFreeOnTerminate(true);
}

TScanResThread::~TScanResThread() = default;

void TScanResThread::HandOver(const std::function<void()> &Fn) {
  if (!Synchronize(Fn, Lifeline)) Terminate();
}

void TScanResThread::Execute() {
  TDomNetRes Own; // the record Next fills in IP mode
  bool First = true;
  auto Finish = [&] {
    ChildList.clear();
    WriteMessages();
  };
  try {
    for (;;) {
      Messages.clear();
      FileFound = false;
      TDomNetRes *Taken = NetBios ? nullptr : &Own;
      if (!TakeNext(Taken)) {
        Add("There is no more resources.");
        break;
      }
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
              platform::NetError Error;
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
                if (OnResEnumerated) HandOver([&] { OnResEnumerated(this, ChildList); });
              }
            }
          }
        } catch (const std::exception &E) {
          // Also what a main-thread handler raised and the hand-over passed back.
          Add(std::string("!Exception: ") + E.what());
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
    ScanShares(Taken.Domain);
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

void TScanResThread::ScanShares(const std::string &Domain) {
  for (const auto &C : ChildList) {
    if (Terminated()) return;
    if (!C.Res) continue;
    const std::string Share = GetNetResName(C.Res->RemoteName);
    if (Filter.ResAllowed(Share)) {
      TWalkedDirs Walked;
      WalkDir(C.Res->RemoteName, Domain, 0, Walked);
    } else {
      Add(FormatMessage("Resource %s was filtered.", C.Res->RemoteName));
    }
  }
}

void TScanResThread::FileFoundOnce() {
  if (FileFound) return;
  FileFound = true;
  if (OnFirstFile) HandOver([&] { OnFirstFile(this); });
}

void TScanResThread::WalkDir(const std::string &Dir, const std::string &Domain, int Depth,
                             TWalkedDirs &Walked) {
  // A stop between two directories leaves the next one unopened and unreported.
  if (Terminated()) return;
  std::vector<std::string> FileNames;
  platform::NetError Error;
  // A directory that cannot be listed is reported with no files.
  if (auto Listing = Provider_->OpenDir(Dir, &Error)) {
    // Links may lead back into the share: each directory is walked once.
    if (const uint64_t Id = Listing->DirId()) {
      const auto [Seen, New] = Walked.emplace(Id, Dir);
      if (!New) {
        Add("Directory " + Dir + " was not walked: it is " + Seen->second + " again.");
        return;
      }
    }
    platform::DirEntry E;
    while (Listing->Next(E, &Error)) {
      if (E.Name == "." || E.Name == "..") continue;
      if (E.Directory) {
        const std::string Sub = Dir + "\\" + E.Name;
        if (Depth < MaxWalkDepth)
          WalkDir(Sub, Domain, Depth + 1, Walked);
        else
          Add("Directory " + Sub + " was not walked: it lies more than " +
              std::to_string(MaxWalkDepth) + " levels below its share.");
      }
      if (Filter.ExtAllowed(ExtractFileExt(E.Name))) {
        FileNames.push_back(E.Name);
        FileFoundOnce();
      }
      if (Terminated()) return;
    }
  }
  if (Terminated()) return;
  // The provider's own failures (not the server's answers) are worth a line.
  if (Error.Broken) Add("Directory " + Dir + " was not listed completely: " + Error.Message);
  if (OnFilesFound) HandOver([&] { OnFilesFound(this, Dir, FileNames, Domain); });
}

void TScanResThread::WriteMessages() {
  if (Messages.empty()) return;
  std::lock_guard<std::mutex> L(ScanLogLock);
  Log.Add(LogLevel, Messages.front());
  for (size_t I = 1; I < Messages.size(); ++I) Log.AddCont(LogLevel, Messages[I]);
}

} // namespace sonquarry
