#include "platform/smb/smb_logins.h"

#include <algorithm>
#include <utility>

#include "platform/keyring/keyring.h"
#include "platform/os/diag.h"
#include "text/text.h"

namespace sonquarry::smb {

namespace {

bool Same(const wire::SmbIdentity &A, const wire::SmbIdentity &B) {
  return A.User == B.User && A.Domain == B.Domain && A.Password == B.Password;
}

std::string Unc(const std::string &Server) { return "\\\\" + Server; }

} // namespace

TSmbLogins::TSmbLogins(std::string CredentialsFile, bool Keyring, TSmbAskLogin Ask)
    : File_(std::move(CredentialsFile)), Keyring_(Keyring), Ask_(std::move(Ask)) {}

void TSmbLogins::NewSearch(wire::SmbCredentials File) {
  std::lock_guard<std::mutex> L(Lock_);
  // A question still open keeps its server's state until it is answered.
  std::erase_if(Servers_, [](const auto &P) { return !P.second.Asking; });
  Credentials_ = std::move(File);
  Loaded_ = true;
  KeyringTold_ = false;
}

void TSmbLogins::LoadFile() {
  if (Loaded_) return;
  Loaded_ = true;
  Credentials_ = {};
  if (File_ == "-") return;
  // A refusal is told by the loading itself.
  if (auto C = wire::LoadCredentialsFile(File_.empty() ? wire::DefaultCredentialsFile() : File_))
    Credentials_ = std::move(*C);
}

void TSmbLogins::Build(const std::string &Server, TServer &S) {
  if (S.Built) return;
  S.Built = true;
  LoadFile();
  auto Add = [&S](const wire::SmbIdentity &Id) {
    if (std::none_of(S.List.begin(), S.List.end(),
                     [&](const TCandidate &C) { return Same(C.Id, Id); }))
      S.List.push_back({Id});
  };
  if (!Server.empty() && Keyring_) {
    std::string Why;
    for (const auto &P : keyring::FindSmbPasswords({Server}, Why))
      Add({P.User, P.Password, P.Domain});
    if (!Why.empty() && !KeyringTold_) {
      KeyringTold_ = true;
      platform::Diagnostic("The desktop's keyring was not used for SMB passwords: " + Why + ".");
    }
  }
  if (!Server.empty())
    if (auto Id = Credentials_.SectionFor(Server)) Add(*Id);
  if (Credentials_.Global) Add(*Credentials_.Global);
}

wire::Login TSmbLogins::Next(const std::string &Server, uint32_t Index) {
  std::unique_lock<std::mutex> L(Lock_);
  TServer &S = Servers_[text::AsciiLower(Server)];
  Build(Server, S);
  if (Index > 0 && Index <= S.List.size()) S.First = std::max(S.First, Index);
  for (;;) {
    const uint32_t I = std::max(Index, S.First);
    if (I < S.List.size()) {
      const auto &Id = S.List[I].Id;
      return {true, I, Id.User, Id.Domain, Id.Password};
    }
    if (Server.empty() || !Ask_ || S.LeftOut) return {};
    if (S.Asking) {
      Answered_.wait(L);
      continue;
    }
    if (S.Asked >= 2) {
      S.LeftOut = true;
      platform::Diagnostic(Unc(Server) + " refused the user name and password given twice; it is "
                                         "left out of this search.");
      return {};
    }
    SmbLoginQuestion Q;
    Q.Computer = Server;
    Q.Again = S.Asked > 0;
    for (auto It = S.List.rbegin(); It != S.List.rend(); ++It)
      if (!It->Id.User.empty()) {
        Q.User = It->Id.User;
        Q.Domain = It->Id.Domain;
        break;
      }
    std::string Why;
    Q.CanRemember = Keyring_ && keyring::HasSessionBus(Why);
    S.Asking = true;
    L.unlock();
    std::optional<SmbLoginAnswer> A;
    try {
      A = Ask_(Q);
    } catch (...) {
      A.reset();
    }
    L.lock();
    // NewSearch keeps a server whose question is open: S is still this server's.
    S.Asking = false;
    ++S.Asked;
    Answered_.notify_all();
    if (!A || A->Id.User.empty()) {
      S.LeftOut = true;
      platform::Diagnostic(Unc(Server) + " refused anonymous and guest access and no user name "
                                         "was given; it is left out of this search.");
      return {};
    }
    S.List.push_back({A->Id, true, A->Remember});
    S.First = std::max<uint32_t>(S.First, uint32_t(S.List.size() - 1));
  }
}

void TSmbLogins::Used(const std::string &Server, uint32_t Index) {
  keyring::NetworkPassword Keep;
  {
    std::lock_guard<std::mutex> L(Lock_);
    auto It = Servers_.find(text::AsciiLower(Server));
    if (It == Servers_.end() || Index >= It->second.List.size()) return;
    TServer &S = It->second;
    S.First = std::max(S.First, Index);
    TCandidate &C = S.List[Index];
    if (!C.Remember) return;
    C.Remember = false;
    Keep = {C.Id.User, C.Id.Domain, Server, C.Id.Password};
  }
  std::string Why;
  if (keyring::StoreSmbPassword(Keep, Why))
    platform::Diagnostic("The password of " + Keep.User + " on " + Unc(Server) +
                         " was saved in the desktop's keyring.");
  else
    platform::Diagnostic("The password of " + Keep.User + " on " + Unc(Server) +
                             " could not be saved in the desktop's keyring: " + Why + ".",
                         platform::TDiagLevel::Act);
}

} // namespace sonquarry::smb
