#include "discovery/neighbourhood.h"

#include <future>
#include <map>
#include <mutex>
#include <set>

#include "discovery/browse_lists.h"
#include "platform/net/unc_path.h"
#include "platform/os/diag.h"
#include "platform/wsd/wsd_soap.h"

namespace sonquarry::discovery {

namespace {

net::NetResource Record(int32_t DisplayType, std::string RemoteName, std::string Provider) {
  net::NetResource R;
  R.Scope = net::NetScopeGlobal;
  R.Type = net::NetTypeDisk;
  R.DisplayType = DisplayType;
  R.Usage = net::NetUsageContainer;
  R.RemoteName = std::move(RemoteName);
  R.Provider = std::move(Provider);
  return R;
}

struct TAnswer {
  FoundComputer Computer;
  std::string Method; // the discoverer's name, for the log
};

} // namespace

struct TNeighbourhood::TImpl {
  TImpl(std::shared_ptr<net::INetProvider> P, std::vector<std::shared_ptr<IDiscoverer>> D)
      : Inner(std::move(P)), Discoverers(std::move(D)), Browse(Inner) {}

  std::shared_ptr<net::INetProvider> Inner;
  std::vector<std::shared_ptr<IDiscoverer>> Discoverers;
  TBrowseLists Browse;

  std::mutex Lock;
  bool Discovered = false;
  std::vector<TAnswer> Found;              // the round's computers, each once
  std::map<std::string, uint32_t> Address; // folded name -> address, for computers a discoverer
                                           // alone knows; a tie once made in a round is kept

  // Every discoverer at once; a computer that an earlier one named (by name or by address)
  // comes once, as that one named it. Answers in a discoverer's own group come after the others,
  // so that a workgroup the computer joined wins whichever discoverer answered first.
  std::vector<TAnswer> DiscoverAll() {
    std::vector<std::future<std::vector<FoundComputer>>> Runs;
    for (auto &D : Discoverers)
      Runs.push_back(std::async(std::launch::async, [D] { return D->Discover(); }));
    std::vector<std::vector<FoundComputer>> Got;
    for (auto &R : Runs) Got.push_back(R.get());
    std::vector<TAnswer> All;
    std::set<std::string> Names;
    std::set<uint32_t> Addresses;
    for (const bool Own : {false, true})
      for (std::size_t K = 0; K < Got.size(); ++K)
        for (auto &C : Got[K]) {
          if (C.OwnGroup != Own) continue;
          const bool NewName = Names.insert(TBrowseLists::Fold(C.Name)).second;
          const bool NewAddress = Addresses.insert(C.Address).second;
          // The same device answering a second method under its first name or address.
          if ((Own || K > 0) && (!NewName || !NewAddress)) continue;
          All.push_back({std::move(C), Discoverers[K]->Name()});
        }
    return All;
  }

  // Answers in a discoverer's own group without those that a browse list names: such a computer
  // is listed once, where its browse list lists it.
  std::vector<TAnswer> Settled(std::vector<TAnswer> All) {
    std::vector<TAnswer> Kept;
    for (auto &A : All) {
      const FoundComputer &C = A.Computer;
      if (C.OwnGroup &&
          !Browse.OtherListing(TBrowseLists::Fold(C.Name), TBrowseLists::Fold(C.Workgroup)).empty())
        continue;
      Kept.push_back(std::move(A));
    }
    return Kept;
  }

  std::vector<TAnswer> Computers() {
    {
      std::lock_guard<std::mutex> L(Lock);
      if (Discovered) return Found;
    }
    auto F = Settled(DiscoverAll());
    std::lock_guard<std::mutex> L(Lock);
    Found = std::move(F);
    Discovered = true;
    return Found;
  }

  // The address through which Server is reached, when a discoverer alone knows it.
  std::string Reach(const std::string &Server) {
    std::lock_guard<std::mutex> L(Lock);
    auto It = Address.find(TBrowseLists::Fold(Server));
    return It == Address.end() ? "" : wsd::Dotted(It->second);
  }

  // Why C may not be reached under its name in Group (which does not list it): another
  // workgroup's browse list or an earlier answer ties the name to another computer. "" when it
  // may; the tie is made then.
  std::string Conflict(const FoundComputer &C, const std::string &Group) {
    const std::string Name = TBrowseLists::Fold(C.Name);
    if (const std::string Other = Browse.OtherListing(Name, Group); !Other.empty())
      return "which the browse list of " + Other + " names";
    std::lock_guard<std::mutex> L(Lock);
    const auto [It, Made] = Address.emplace(Name, C.Address);
    if (!Made && It->second != C.Address) return "which is at " + wsd::Dotted(It->second);
    return "";
  }

  // "\\NAME\rest" as "\\ADDRESS\rest" when a discoverer alone knows NAME.
  std::string ByAddress(const std::string &Unc) {
    const std::string Name = net::UncPath::Parse(Unc).Server;
    const std::string At = Name.empty() ? "" : Reach(Name);
    return At.empty() ? Unc : "\\\\" + At + Unc.substr(Name.size() + 2);
  }

  net::NetEnumStatus ListWorkgroups(const net::NetResource &Container,
                                    std::vector<net::NetResource> &Out, net::NetError *Error) {
    // The discoverers beside the browse-list request: the search waits for the slowest.
    auto Discovery = std::async(std::launch::async, [this] { return DiscoverAll(); });
    std::vector<net::NetResource> Listed;
    net::NetError Why;
    const net::NetEnumStatus S = Browse.Workgroups(Container, Listed, &Why);
    // Settled once this round's workgroups are known, so their lists are asked once.
    std::vector<TAnswer> Answers = Settled(Discovery.get());
    {
      std::lock_guard<std::mutex> L(Lock);
      Found = Answers;
      Discovered = true;
      Address.clear(); // a new round proves every tie again
    }
    std::set<std::string> Seen;
    for (auto &R : Listed) Seen.insert(TBrowseLists::Fold(R.RemoteName));
    for (auto &A : Answers)
      if (!A.Computer.Workgroup.empty() &&
          Seen.insert(TBrowseLists::Fold(A.Computer.Workgroup)).second)
        Listed.push_back(Record(net::NetDisplayDomain, A.Computer.Workgroup, Container.RemoteName));
    if (Listed.empty()) {
      if (Error) *Error = Why;
      return S;
    }
    Out.insert(Out.end(), Listed.begin(), Listed.end());
    return net::NetEnumStatus::Ok;
  }

  net::NetEnumStatus ListServers(const net::NetResource &Container,
                                 std::vector<net::NetResource> &Out, net::NetError *Error) {
    const std::string Group = TBrowseLists::Fold(Container.RemoteName);
    // A workgroup that only a discoverer named has no browse master to ask.
    const bool AskBrowse = Browse.MayList(Group);
    std::vector<net::NetResource> Listed;
    net::NetError Why;
    net::NetEnumStatus S = net::NetEnumStatus::NoMoreItems;
    if (AskBrowse) S = Browse.Servers(Container, Listed, &Why);
    std::set<std::string> Listing, Added;
    for (auto &R : Listed) Listing.insert(TBrowseLists::ServerOf(R.RemoteName));
    for (auto &A : Computers()) {
      const FoundComputer &C = A.Computer;
      if (TBrowseLists::Fold(C.Workgroup) != Group) continue;
      const std::string Name = TBrowseLists::Fold(C.Name);
      if (Listing.count(Name)) {
        // The browse list names it: reached by its name, as any listed computer.
        std::lock_guard<std::mutex> L(Lock);
        Address.erase(Name);
        continue;
      }
      // A device may answer with any name: it never takes over one that is already tied.
      if (const std::string Taken = Conflict(C, Group); !Taken.empty()) {
        platform::Diagnostic(A.Method + ": the device at " + wsd::Dotted(C.Address) +
                             " answers as " + C.Name + ", " + Taken +
                             "; it is not walked under that name.");
        continue;
      }
      if (Added.insert(Name).second)
        Listed.push_back(Record(net::NetDisplayServer, "\\\\" + C.Name, Container.Provider));
    }
    if (Listed.empty()) {
      if (Error)
        *Error = AskBrowse ? Why : net::NetError{0, Container.RemoteName + ": holds nothing"};
      return S;
    }
    Out.insert(Out.end(), Listed.begin(), Listed.end());
    return net::NetEnumStatus::Ok;
  }

  net::NetEnumStatus ListShares(const net::NetResource &Container,
                                std::vector<net::NetResource> &Out, net::NetError *Error) {
    const std::string Name = net::UncPath::Parse(Container.RemoteName).Server;
    const std::string At = Reach(Name);
    if (At.empty() || Container.RemoteName.size() != Name.size() + 2)
      return Inner->EnumResources(&Container, Out, Error);
    net::NetResource Reached = Container;
    Reached.RemoteName = "\\\\" + At;
    const std::size_t Before = Out.size();
    const net::NetEnumStatus S = Inner->EnumResources(&Reached, Out, Error);
    for (std::size_t K = Before; K < Out.size(); ++K)
      if (Out[K].RemoteName.rfind(Reached.RemoteName + "\\", 0) == 0)
        Out[K].RemoteName = Container.RemoteName + Out[K].RemoteName.substr(At.size() + 2);
    return S;
  }
};

TNeighbourhood::TNeighbourhood(std::shared_ptr<net::INetProvider> Inner,
                               std::vector<std::shared_ptr<IDiscoverer>> Discoverers)
    : I_(std::make_unique<TImpl>(std::move(Inner), std::move(Discoverers))) {}

TNeighbourhood::~TNeighbourhood() = default;

net::NetEnumStatus TNeighbourhood::EnumResources(const net::NetResource *Container,
                                                 std::vector<net::NetResource> &Out,
                                                 net::NetError *Error) {
  if (!Container) return I_->Inner->EnumResources(Container, Out, Error);
  switch (Container->DisplayType) {
  case net::NetDisplayNetwork:
    return I_->ListWorkgroups(*Container, Out, Error);
  case net::NetDisplayDomain:
    return I_->ListServers(*Container, Out, Error);
  case net::NetDisplayServer:
    return I_->ListShares(*Container, Out, Error);
  default:
    return I_->Inner->EnumResources(Container, Out, Error);
  }
}

bool TNeighbourhood::FindFiles(const std::string &UncDir, std::vector<net::DirEntry> &Out,
                               net::NetError *Error) {
  return I_->Inner->FindFiles(I_->ByAddress(UncDir), Out, Error);
}

std::unique_ptr<net::INetFile> TNeighbourhood::OpenFile(const std::string &UncPath,
                                                        net::NetError *Error) {
  return I_->Inner->OpenFile(I_->ByAddress(UncPath), Error);
}

bool TNeighbourhood::StatFile(const std::string &UncPath, net::FileStat &Out,
                              net::NetError *Error) {
  return I_->Inner->StatFile(I_->ByAddress(UncPath), Out, Error);
}

bool TNeighbourhood::ReadTags(const std::string &UncPath, int64_t Size,
                              const net::TagBudget &Budget, net::TagReading &Out,
                              net::NetError *Error) {
  return I_->Inner->ReadTags(I_->ByAddress(UncPath), Size, Budget, Out, Error);
}

std::unique_ptr<net::INetDirListing> TNeighbourhood::OpenDir(const std::string &UncDir,
                                                             net::NetError *Error) {
  return I_->Inner->OpenDir(I_->ByAddress(UncDir), Error);
}

void TNeighbourhood::NoteReachable(const std::string &Server) { I_->Inner->NoteReachable(Server); }
void TNeighbourhood::Reconnect() { I_->Inner->Reconnect(); }
void TNeighbourhood::SetWalkLimits(int ServerConnections, int Helpers) {
  I_->Inner->SetWalkLimits(ServerConnections, Helpers);
}
void TNeighbourhood::CheckSetup() const { I_->Inner->CheckSetup(); }
bool TNeighbourhood::CanSearch() const { return I_->Inner->CanSearch(); }

} // namespace sonquarry::discovery
