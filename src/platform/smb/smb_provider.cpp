#include "platform/smb/smb_provider.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <iterator>
#include <optional>
#include <poll.h>
#include <system_error>
#include <unistd.h>
#include <utility>

#include "platform/net/unc_path.h"
#include "platform/os/diag.h"
#include "platform/smb/smb_provider_impl.h"
#include "platform/smb/wire/smb_auth.h"
#include "platform/smb/wire/smb_error.h"

namespace sonquarry::smb {

namespace {

thread_local std::vector<TSlot> Slots;

// A listing or a file of a path on a share: the server's probe first; an open marks it
// reachable.
template <class TOpen>
auto OpenBelowShare(const std::shared_ptr<TSmbProvider::TImpl> &P, const std::string &Unc,
                    net::NetError *Error, TOpen Open) {
  net::NetError E;
  const net::UncPath Path = net::UncPath::Parse(Unc);
  decltype(Open(P, Unc, E)) Result;
  if (Path.Share.empty()) {
    E = wire::SmbError(EINVAL, Unc);
  } else if (P->Reach.Reachable(Path.Server, &E)) {
    if ((Result = Open(P, Unc, E))) P->Reach.MarkReachable(Path.Server);
  }
  if (Error) *Error = E;
  return Result;
}

} // namespace

// ---- the provider

uint64_t TSmbProvider::TImpl::NextId() {
  static std::atomic<uint64_t> Next{1};
  return Next++;
}

std::shared_ptr<TWorker> TSmbProvider::TImpl::Worker(bool Spawn, net::NetError &Error) {
  for (auto &S : Slots)
    if (S.Provider == Id && S.Worker) return S.Worker;
  if (!Spawn) return nullptr;
  {
    std::lock_guard<std::mutex> L(WorkersLock);
    if (Released) {
      Error = Broken(ECANCELED, "the SMB provider was released");
      return nullptr;
    }
  }
  // A start may take long on a loaded machine: its greeting gets more than a call.
  auto W = TWorker::Spawn(WorkerPath, Config, std::max(Options.CallTimeOutMs, 60000), Error);
  if (!W) {
    if (!StopRequested()) platform::Diagnostic(Error.Message);
    return nullptr;
  }
  W->ServeLogins(Logins);
  if (!Register(W)) {
    Error = Broken(ECANCELED, "the SMB provider was released");
    return nullptr;
  }
  std::erase_if(Slots, [](const TSlot &S) { return !S.Worker; });
  TSlot Slot;
  Slot.Provider = Id;
  Slot.Worker = W;
  Slot.Plan = TWalkPlan(Options.LatencyBoundMs, Options.SecondWorkerAfterDirs);
  Slots.push_back(std::move(Slot));
  return W;
}

TSlot *TSmbProvider::TImpl::OwnSlot() {
  for (auto &S : Slots)
    if (S.Provider == Id && S.Worker) return &S;
  return nullptr;
}

bool TSmbProvider::TImpl::Register(const std::shared_ptr<TWorker> &W) {
  std::lock_guard<std::mutex> L(WorkersLock);
  std::erase_if(Workers, [](const std::weak_ptr<TWorker> &P) { return P.expired(); });
  if (Released) return false;
  Workers.push_back(W);
  return true;
}

bool TSmbProvider::TImpl::TakeAhead(const std::string &Unc, wire::AheadListing &Out) {
  for (auto &S : Slots) {
    if (S.Provider != Id || S.Ahead.empty()) continue;
    const auto It = std::find_if(S.Ahead.begin(), S.Ahead.end(),
                                 [&](const wire::AheadListing &A) { return A.Dir == Unc; });
    if (It == S.Ahead.end()) {
      S.Ahead.clear();
      return false;
    }
    Out = std::move(*It);
    S.Ahead.erase(S.Ahead.begin(), std::next(It));
    return true;
  }
  return false;
}

void TSmbProvider::TImpl::KeepAhead(std::vector<wire::AheadListing> &Listings) {
  if (TSlot *S = OwnSlot())
    S->Ahead.assign(std::make_move_iterator(Listings.begin()),
                    std::make_move_iterator(Listings.end()));
}

void TSmbProvider::TImpl::Fail(const std::shared_ptr<TWorker> &W, const std::string &What,
                               net::NetError &Error) {
  for (auto &S : Slots)
    if (S.Provider == Id && S.Worker == W) S.Worker.reset();
  const std::string Pid = std::to_string(W->Pid());
  W->End();
  if (W->EndedByOwner() || StopRequested()) {
    Error = Broken(ECANCELED, What + ": stopped");
    return;
  }
  Error.Message = "SMB worker " + Pid + " " + Error.Message + " during " + What +
                  "; the next call gets a new worker";
  Error.Broken = true;
  platform::Diagnostic(Error.Message);
}

bool TSmbProvider::TImpl::Ask(std::shared_ptr<TWorker> &W, wire::Type Kind,
                              const std::vector<uint8_t> &Payload, wire::Frame &Reply,
                              const std::string &What, net::NetError &Error) {
  if (StopRequested()) {
    Error = Broken(ECANCELED, What + ": stopped");
    return false;
  }
  if (!W && !(W = Worker(true, Error))) return false;
  Touch();
  TCancelScope Cancel(W);
  if (StopRequested()) {
    Error = Broken(ECANCELED, What + ": stopped");
    return false;
  }
  if (W->Send(Kind, Payload, Error) && Next(W, Reply, Error)) return true;
  Fail(W, What, Error);
  return false;
}

bool TSmbProvider::TImpl::Next(const std::shared_ptr<TWorker> &W, wire::Frame &Reply,
                               net::NetError &Error) {
  const auto Deadline = Clock::now() + std::chrono::milliseconds(Options.CallTimeOutMs);
  // While the walk waits for its own worker, its second workers' answers are taken and each is
  // given its next directory: over a slow link they would idle meanwhile.
  for (TSlot *S = OwnSlot();
       S && S->Worker == W && Clock::now() < W->Until(Deadline, Options.CallTimeOutMs);) {
    std::vector<pollfd> Fds{{W->Fd(), POLLIN, 0}};
    for (const auto &P : S->Plan.Helpers())
      if (P->InFlight && !P->Dead)
        Fds.push_back({static_cast<const TSecond &>(*P).Worker->Fd(), POLLIN, 0});
    if (Fds.size() == 1) break;
    if (const int T = W->TryReceive(Reply, Error)) return T > 0;
    const auto Left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          W->Until(Deadline, Options.CallTimeOutMs) - Clock::now())
                          .count();
    if (::poll(Fds.data(), Fds.size(), int(std::clamp<long long>(Left, 0, 1000))) < 0 &&
        errno != EINTR)
      break;
    if (std::any_of(Fds.begin() + 1, Fds.end(), [](const pollfd &P) { return P.revents != 0; }))
      PumpSecond(*S);
  }
  return W->Receive(Reply, Deadline, Options.CallTimeOutMs, Error);
}

bool TSmbProvider::TImpl::Unexpected(const std::shared_ptr<TWorker> &W, const std::string &What,
                                     net::NetError &Error) {
  W->End();
  Error = Broken(EPROTO, "broke the protocol (an unexpected reply)");
  Fail(W, What, Error);
  return false;
}

bool TSmbProvider::TImpl::ServerError(const wire::Frame &F, net::NetError &Error) {
  wire::ErrorReply R;
  if (F.Kind != wire::Type::Error || !wire::Get(F.Payload, R)) return false;
  Error = net::NetError{R.Code, R.Message};
  return true;
}

void TSmbProvider::TImpl::EndAll() {
  std::vector<std::shared_ptr<TWorker>> All;
  {
    std::lock_guard<std::mutex> L(WorkersLock);
    Released = true;
    for (auto &P : Workers)
      if (auto W = P.lock()) All.push_back(std::move(W));
    Workers.clear();
  }
  for (auto &W : All) {
    W->Kill();
    W->End();
  }
}

net::NetEnumStatus TSmbProvider::TImpl::Enum(int32_t Level, const std::string &RemoteName,
                                             std::vector<net::NetResource> &Out,
                                             net::NetError &Error) {
  std::shared_ptr<TWorker> W;
  wire::Frame F;
  const std::string What = "the listing of " + RemoteName;
  if (!Ask(W, wire::Type::Enum, wire::Put(wire::EnumRequest{Level, RemoteName}), F, What, Error))
    return net::NetEnumStatus::OpenFailed;
  std::vector<wire::Resource> Batch;
  for (;;) {
    if (F.Kind == wire::Type::Resources && wire::Get(F.Payload, Batch)) {
      for (auto &R : Batch) {
        net::NetResource N;
        N.Scope = net::NetScopeGlobal;
        N.Type = net::NetTypeDisk;
        N.DisplayType = R.DisplayType;
        N.Usage = R.Usage;
        N.RemoteName = std::move(R.RemoteName);
        N.Comment = std::move(R.Comment);
        N.Provider = ProviderName;
        Out.push_back(std::move(N));
      }
    } else if (wire::EnumEnd End; F.Kind == wire::Type::EnumEnd && wire::Get(F.Payload, End)) {
      if (End.Status != uint8_t(net::NetEnumStatus::Ok))
        Error = net::NetError{End.Code, End.Message};
      return net::NetEnumStatus(End.Status);
    } else {
      Unexpected(W, What, Error);
      return net::NetEnumStatus::ReadFailed;
    }
    TCancelScope Cancel(W);
    if (StopRequested() || !Next(W, F, Error)) {
      Fail(W, What, Error);
      return net::NetEnumStatus::ReadFailed;
    }
  }
}

TSmbProvider::TSmbProvider(SmbProviderOptions Options) : I_(std::make_shared<TImpl>()) {
  I_->Options = std::move(Options);
  I_->WorkerPath = I_->Options.WorkerPath.empty() ? SmbWorkerPath() : I_->Options.WorkerPath;
  I_->Config.ConfigFile = I_->Options.ConfigFile;
  I_->Config.CredentialsFile = I_->Options.CredentialsFile;
  I_->Config.TimeOutMs = I_->Options.TimeOutMs;
  I_->Logins = std::make_shared<TSmbLogins>(I_->Options.CredentialsFile, I_->Options.Keyring,
                                            I_->Options.AskLogin);
  SetWalkLimits(I_->Options.ServerConnections, I_->Options.Helpers);
  WarmWorkers(I_->WorkerPath);
}

void TSmbProvider::SetWalkLimits(int ServerConnections, int Helpers) {
  I_->ServerCap = std::max(1, ServerConnections);
  I_->HelperCap = std::max(0, Helpers);
}

TSmbProvider::~TSmbProvider() { I_->EndAll(); }

const SmbProviderOptions &TSmbProvider::Options() const { return I_->Options; }

std::vector<pid_t> TSmbProvider::WorkerPids() const {
  std::vector<pid_t> Out;
  std::lock_guard<std::mutex> L(I_->WorkersLock);
  for (auto &P : I_->Workers)
    if (auto W = P.lock(); W && W->Alive()) Out.push_back(W->Pid());
  return Out;
}

std::size_t TSmbProvider::ListingsFromSecondWorkers() const { return I_->SecondTaken; }

bool TSmbProvider::StartWorker(net::NetError *Error) {
  net::NetError E;
  const bool Ok = I_->Worker(true, E) != nullptr;
  if (Error) *Error = E;
  return Ok;
}

bool TSmbProvider::CanSearch() const {
  return !I_->Options.WorkerPath.empty() || !SmbWorkerPath().empty();
}

void TSmbProvider::CheckSetup() const {
  const std::string &Credentials = I_->Options.CredentialsFile;
  std::optional<wire::SmbCredentials> File;
  if (Credentials != "-") // a refusal is told by the loading itself
    File = wire::LoadCredentialsFile(Credentials.empty() ? wire::DefaultCredentialsFile()
                                                         : Credentials);
  I_->Logins->NewSearch(File ? std::move(*File) : wire::SmbCredentials{});
  const std::string &Config = I_->Options.ConfigFile;
  if (Config.empty()) {
    for (const auto &Line : wire::UnusableHomeSmbConf())
      platform::Diagnostic(Line, platform::TDiagLevel::Act);
    return;
  }
  std::string Why;
  const int Fd = wire::OpenRegularFile(Config, Why);
  if (Fd >= 0) {
    ::close(Fd);
    return;
  }
  platform::Diagnostic("SMB client configuration " + Config + " could not be loaded (" +
                           (Why.empty() ? "no such file" : Why) + ").",
                       platform::TDiagLevel::Act);
}

void TSmbProvider::NoteReachable(const std::string &Server) { I_->Reach.MarkReachable(Server); }

void TSmbProvider::Reconnect() {
  for (auto &S : Slots)
    if (S.Provider == I_->Id && S.Worker) std::exchange(S.Worker, nullptr)->End();
}

net::NetEnumStatus TSmbProvider::EnumResources(const net::NetResource *Container,
                                               std::vector<net::NetResource> &Out,
                                               net::NetError *Error) {
  net::NetError E;
  auto Done = [&](net::NetEnumStatus S) {
    if (Error) *Error = E;
    return S;
  };
  if (!Container) {
    net::NetResource Top;
    Top.Scope = net::NetScopeGlobal;
    Top.Type = net::NetTypeDisk;
    Top.DisplayType = net::NetDisplayNetwork;
    Top.Usage = net::NetUsageContainer;
    Top.RemoteName = ProviderName;
    Top.Provider = ProviderName;
    Out.push_back(std::move(Top));
    return Done(net::NetEnumStatus::Ok);
  }
  const std::string &Name = Container->RemoteName;
  switch (Container->DisplayType) {
  case net::NetDisplayNetwork: // the workgroups
    return Done(I_->Enum(net::NetDisplayNetwork, Name, Out, E));
  case net::NetDisplayDomain: // the servers of a workgroup
    if (Name.empty() || Name.find('\\') != std::string::npos) {
      E = wire::SmbError(EINVAL, Name);
      return Done(net::NetEnumStatus::OpenFailed);
    }
    return Done(I_->Enum(net::NetDisplayDomain, Name, Out, E));
  case net::NetDisplayServer: { // the disk shares of a server
    const std::string Server = net::UncPath::Parse(Name).Server;
    if (Server.empty() || net::UncPath{Server, "", ""}.Str() != Name) {
      E = wire::SmbError(EINVAL, Name);
      return Done(net::NetEnumStatus::OpenFailed);
    }
    if (!I_->Reach.Reachable(Server, &E)) return Done(net::NetEnumStatus::OpenFailed);
    const auto S = I_->Enum(net::NetDisplayServer, Name, Out, E);
    if (S == net::NetEnumStatus::Ok || S == net::NetEnumStatus::NoMoreItems)
      I_->Reach.MarkReachable(Server);
    return Done(S);
  }
  default:
    E = wire::SmbError(ENOTDIR, Name);
    return Done(net::NetEnumStatus::OpenFailed);
  }
}

std::unique_ptr<net::INetFile> TSmbProvider::OpenFile(const std::string &UncPath,
                                                      net::NetError *Error) {
  return OpenBelowShare(I_, UncPath, Error,
                        [](const std::shared_ptr<TImpl> &P, const std::string &Unc,
                           net::NetError &E) { return OpenSmbFile(P, Unc, E); });
}

bool TSmbProvider::StatFile(const std::string &UncPath, net::FileStat &Out, net::NetError *Error) {
  // Empty on failure, as an open's null.
  auto Stat = [&Out](const std::shared_ptr<TImpl> &P, const std::string &Unc, net::NetError &E) {
    return StatSmbFile(P, Unc, Out, E) ? std::optional<bool>(true) : std::nullopt;
  };
  return OpenBelowShare(I_, UncPath, Error, Stat).has_value();
}

bool TSmbProvider::ReadTags(const std::string &UncPath, int64_t Size, const net::TagBudget &Budget,
                            net::TagReading &Out, net::NetError *Error) {
  Out = {};
  // A failure leaves the tags unknown: the reading was this provider's to do.
  auto Read = [&](const std::shared_ptr<TImpl> &P, const std::string &Unc, net::NetError &E) {
    return ReadSmbTags(P, Unc, Size, Budget, Out, E) ? std::optional<bool>(true) : std::nullopt;
  };
  OpenBelowShare(I_, UncPath, Error, Read);
  return true;
}

std::unique_ptr<net::INetDirListing> TSmbProvider::OpenDir(const std::string &UncDir,
                                                           net::NetError *Error) {
  return OpenBelowShare(I_, UncDir, Error, OpenSmbListing);
}

bool TSmbProvider::FindFiles(const std::string &UncDir, std::vector<net::DirEntry> &Out,
                             net::NetError *Error) {
  auto L = OpenDir(UncDir, Error);
  if (!L) return false;
  net::DirEntry D;
  net::NetError E;
  while (L->Next(D, &E)) Out.push_back(std::move(D));
  if (Error) *Error = E;
  return E.Code == 0 && !E.Broken;
}

std::string SmbWorkerPath() {
  namespace fs = std::filesystem;
  if (const char *Env = std::getenv("SONQUARRY_SMB_WORKER"); Env && *Env) return Env;
  std::error_code Ec;
  const fs::path Exe = fs::read_symlink("/proc/self/exe", Ec);
  if (Ec) return "";
  const fs::path Dir = Exe.parent_path();
  for (const char *Rel : {".", "../libexec/sonquarry", "../src/app", "../../src/app"}) {
    const fs::path P = (Dir / Rel / "sonquarry-smb-worker").lexically_normal();
    if (::access(P.c_str(), X_OK) == 0) return P.string();
  }
  return "";
}

} // namespace sonquarry::smb
