#include "discovery/wsd_provider.h"

#include <arpa/inet.h>
#include <future>
#include <map>
#include <mutex>
#include <set>

#include "platform/net/unc_path.h"
#include "platform/os/diag.h"
#include "platform/wsd/wsd_soap.h"
#include "text/text.h"

namespace sonquarry::wsd {

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

} // namespace

struct TWsdNetProvider::TImpl {
  std::shared_ptr<net::INetProvider> Inner;
  TDiscover Discover;

  std::mutex Lock;
  bool Discovered = false;
  std::vector<WsdComputer> Found;                      // the last discovery's computers
  std::map<std::string, std::string> BrowseWorkgroups; // folded -> as listed; the last browse
                                                       // listing's
  bool BrowseKnown = false;                // a browse listing of the workgroups succeeded
  std::map<std::string, uint32_t> Address; // folded name -> address, for computers WS-Discovery
                                           // alone knows; a tie once made is never re-pointed
  std::map<std::string, std::set<std::string>> BrowseServers; // folded workgroup -> folded names,
                                                              // of this round's browse lists

  std::vector<WsdComputer> Computers() {
    {
      std::lock_guard<std::mutex> L(Lock);
      if (Discovered) return Found;
    }
    auto F = Discover();
    std::lock_guard<std::mutex> L(Lock);
    Found = std::move(F);
    Discovered = true;
    return Found;
  }

  // The address through which Server is reached, when WS-Discovery alone knows it.
  std::string Reach(const std::string &Server) {
    std::lock_guard<std::mutex> L(Lock);
    auto It = Address.find(text::AsciiLower(Server));
    return It == Address.end() ? "" : Dotted(It->second);
  }

  // Folded names of Wg's servers as its browse list has them (asked once a round).
  std::set<std::string> BrowseNames(const std::string &Wg) {
    std::string Spelled;
    {
      std::lock_guard<std::mutex> L(Lock);
      if (auto It = BrowseServers.find(Wg); It != BrowseServers.end()) return It->second;
      Spelled = BrowseWorkgroups[Wg];
    }
    net::NetResource Group = Record(net::NetDisplayDomain, Spelled, "");
    std::vector<net::NetResource> Listed;
    Inner->EnumResources(&Group, Listed, nullptr);
    std::set<std::string> Names;
    for (auto &R : Listed) Names.insert(text::AsciiLower(net::UncPath::Parse(R.RemoteName).Server));
    std::lock_guard<std::mutex> L(Lock);
    return BrowseServers.emplace(Wg, std::move(Names)).first->second;
  }

  // Why C may not be reached under its name in Wg (which does not list it): another workgroup's
  // browse list or an earlier answer ties the name to another computer. "" when it may; the tie
  // is made then.
  std::string Conflict(const WsdComputer &C, const std::string &Wg) {
    const std::string Name = text::AsciiLower(C.Name);
    std::map<std::string, std::string> Others;
    {
      std::lock_guard<std::mutex> L(Lock);
      if (BrowseKnown) Others = BrowseWorkgroups;
    }
    Others.erase(Wg);
    for (const auto &[Other, Spelled] : Others)
      if (BrowseNames(Other).count(Name)) return "which the browse list of " + Spelled + " names";
    std::lock_guard<std::mutex> L(Lock);
    const auto [It, Made] = Address.emplace(Name, C.Address);
    if (!Made && It->second != C.Address) return "which is at " + Dotted(It->second);
    return "";
  }

  // "\\NAME\rest" as "\\ADDRESS\rest" when WS-Discovery alone knows NAME.
  std::string ByAddress(const std::string &Unc) {
    const std::string Name = net::UncPath::Parse(Unc).Server;
    const std::string At = Name.empty() ? "" : Reach(Name);
    return At.empty() ? Unc : "\\\\" + At + Unc.substr(Name.size() + 2);
  }
};

TWsdNetProvider::TWsdNetProvider(std::shared_ptr<net::INetProvider> Inner, TDiscover Discover)
    : I_(std::make_unique<TImpl>()) {
  I_->Inner = std::move(Inner);
  I_->Discover = Discover ? std::move(Discover) : [] { return DiscoverComputers(); };
}

TWsdNetProvider::~TWsdNetProvider() = default;

const std::shared_ptr<net::INetProvider> &TWsdNetProvider::Inner() const { return I_->Inner; }

net::NetEnumStatus TWsdNetProvider::EnumResources(const net::NetResource *Container,
                                                  std::vector<net::NetResource> &Out,
                                                  net::NetError *Error) {
  if (!Container) return I_->Inner->EnumResources(Container, Out, Error);
  switch (Container->DisplayType) {
  case net::NetDisplayNetwork: {
    // A new discovery beside the browse-list request: the scan waits for the slower of the two.
    auto Discovery = std::async(std::launch::async, [this] { return I_->Discover(); });
    std::vector<net::NetResource> Listed;
    net::NetError Why;
    const net::NetEnumStatus S = I_->Inner->EnumResources(Container, Listed, &Why);
    std::vector<WsdComputer> Found = Discovery.get();
    std::set<std::string> Seen;
    std::map<std::string, std::string> Browse;
    for (auto &R : Listed) {
      Seen.insert(text::AsciiLower(R.RemoteName));
      Browse.emplace(text::AsciiLower(R.RemoteName), R.RemoteName);
    }
    {
      std::lock_guard<std::mutex> L(I_->Lock);
      I_->Found = Found;
      I_->Discovered = true;
      I_->BrowseServers.clear(); // a new round: the browse lists are asked again
      if (S == net::NetEnumStatus::Ok) {
        I_->BrowseWorkgroups = std::move(Browse);
        I_->BrowseKnown = true;
      }
    }
    for (auto &C : Found)
      if (!C.Workgroup.empty() && Seen.insert(text::AsciiLower(C.Workgroup)).second)
        Listed.push_back(Record(net::NetDisplayDomain, C.Workgroup, Container->RemoteName));
    if (Listed.empty()) {
      if (Error) *Error = Why;
      return S;
    }
    Out.insert(Out.end(), Listed.begin(), Listed.end());
    return net::NetEnumStatus::Ok;
  }
  case net::NetDisplayDomain: {
    const std::string Wg = text::AsciiLower(Container->RemoteName);
    bool AskBrowse = true;
    {
      std::lock_guard<std::mutex> L(I_->Lock);
      // A workgroup that only WS-Discovery named has no browse master to ask.
      AskBrowse = !I_->BrowseKnown || I_->BrowseWorkgroups.count(Wg);
    }
    std::vector<net::NetResource> Listed;
    net::NetError Why;
    net::NetEnumStatus S = net::NetEnumStatus::NoMoreItems;
    if (AskBrowse) S = I_->Inner->EnumResources(Container, Listed, &Why);
    std::set<std::string> Browse, Added;
    for (auto &R : Listed)
      Browse.insert(text::AsciiLower(net::UncPath::Parse(R.RemoteName).Server));
    if (AskBrowse && S == net::NetEnumStatus::Ok) {
      std::lock_guard<std::mutex> L(I_->Lock);
      I_->BrowseServers[Wg] = Browse;
    }
    for (auto &C : I_->Computers()) {
      if (text::AsciiLower(C.Workgroup) != Wg) continue;
      const std::string Name = text::AsciiLower(C.Name);
      if (Browse.count(Name)) {
        // The browse list names it: reached by its name, as any listed computer.
        std::lock_guard<std::mutex> L(I_->Lock);
        I_->Address.erase(Name);
        continue;
      }
      // A device may answer with any name: it never takes over one that is already tied.
      if (const std::string Why = I_->Conflict(C, Wg); !Why.empty()) {
        platform::Diagnostic("WS-Discovery: the device at " + Dotted(C.Address) + " answers as " +
                             C.Name + ", " + Why + "; it is not walked under that name.");
        continue;
      }
      if (Added.insert(Name).second)
        Listed.push_back(Record(net::NetDisplayServer, "\\\\" + C.Name, Container->Provider));
    }
    if (Listed.empty()) {
      if (Error)
        *Error = AskBrowse ? Why : net::NetError{0, Container->RemoteName + ": holds nothing"};
      return S;
    }
    Out.insert(Out.end(), Listed.begin(), Listed.end());
    return net::NetEnumStatus::Ok;
  }
  case net::NetDisplayServer: {
    const std::string Name = net::UncPath::Parse(Container->RemoteName).Server;
    const std::string At = I_->Reach(Name);
    if (At.empty() || Container->RemoteName.size() != Name.size() + 2)
      return I_->Inner->EnumResources(Container, Out, Error);
    net::NetResource ByAddress = *Container;
    ByAddress.RemoteName = "\\\\" + At;
    const std::size_t Before = Out.size();
    const net::NetEnumStatus S = I_->Inner->EnumResources(&ByAddress, Out, Error);
    for (std::size_t K = Before; K < Out.size(); ++K)
      if (Out[K].RemoteName.rfind(ByAddress.RemoteName + "\\", 0) == 0)
        Out[K].RemoteName = Container->RemoteName + Out[K].RemoteName.substr(At.size() + 2);
    return S;
  }
  default:
    return I_->Inner->EnumResources(Container, Out, Error);
  }
}

bool TWsdNetProvider::FindFiles(const std::string &UncDir, std::vector<net::DirEntry> &Out,
                                net::NetError *Error) {
  return I_->Inner->FindFiles(I_->ByAddress(UncDir), Out, Error);
}

std::unique_ptr<net::INetFile> TWsdNetProvider::OpenFile(const std::string &UncPath,
                                                         net::NetError *Error) {
  return I_->Inner->OpenFile(I_->ByAddress(UncPath), Error);
}

bool TWsdNetProvider::StatFile(const std::string &UncPath, net::FileStat &Out,
                               net::NetError *Error) {
  return I_->Inner->StatFile(I_->ByAddress(UncPath), Out, Error);
}

bool TWsdNetProvider::ReadTags(const std::string &UncPath, int64_t Size,
                               const net::TagBudget &Budget, net::TagReading &Out,
                               net::NetError *Error) {
  return I_->Inner->ReadTags(I_->ByAddress(UncPath), Size, Budget, Out, Error);
}

std::unique_ptr<net::INetDirListing> TWsdNetProvider::OpenDir(const std::string &UncDir,
                                                              net::NetError *Error) {
  return I_->Inner->OpenDir(I_->ByAddress(UncDir), Error);
}

void TWsdNetProvider::NoteReachable(const std::string &Server) { I_->Inner->NoteReachable(Server); }

void TWsdNetProvider::Reconnect() { I_->Inner->Reconnect(); }

} // namespace sonquarry::wsd
