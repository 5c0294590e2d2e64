#include "platform/smb_provider.h"

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <shared_mutex>
#include <sstream>
#include <system_error>

#include <libsmbclient.h>

#include "platform/diag.h"
#include "platform/smb_auth.h"
#include "platform/smb_threads.h"
#include "platform/smb_url.h"
#include "platform/tcp_probe.h"

namespace sonquarry::platform {

// ---- errors

NetError SmbError(int Errno, const std::string &Where) {
  const char *Text = nullptr;
  switch (Errno) {
  case 0:
    Text = "failed without a reason";
    break;
  case ENOENT:
    Text = "no such computer, workgroup, share or directory";
    break;
  case EACCES:
  case EPERM:
    Text = "access denied";
    break;
  case ETIMEDOUT:
    Text = "no answer in time";
    break;
  case ECONNREFUSED:
    Text = "connection refused";
    break;
  case ECONNRESET:
    Text = "connection reset";
    break;
  case EHOSTUNREACH:
    Text = "host unreachable";
    break;
  case ENETUNREACH:
    Text = "network unreachable";
    break;
  case EHOSTDOWN:
    Text = "does not answer on TCP port 445 or 139";
    break;
  case ENOTDIR:
    Text = "not a directory or container";
    break;
  case EINVAL:
    Text = "not a valid network name";
    break;
  case ENODEV:
    Text = "no such share";
    break;
  case EPROTONOSUPPORT:
  case ENOTSUP:
    Text = "protocol not supported by the server";
    break;
  case ENOMEM:
    Text = "out of memory";
    break;
  default:
    break;
  }
  const std::string Reason = Text ? Text : std::generic_category().message(Errno);
  return NetError{Errno == 0 ? EIO : Errno,
                  Where + ": " + Reason + " (errno " + std::to_string(Errno) + ")"};
}

namespace {

// ---- process-wide libsmbclient state

// libsmbclient keeps process-wide state behind every context: talloc stack frames and locks (per
// thread once the thread hooks are in), the protocol range, the configuration, the name caches.
// Making or freeing a context, a browse listing (it sets the process-wide protocol range) and
// the first connection of a context to a share (name resolution, caches) hold this lock
// exclusively; listings over a connection the calling thread's context already holds share it.
// Without the thread hooks every call is exclusive.
std::shared_mutex LibraryLock;
std::atomic<uint64_t> NextProviderId{1};

void DropLibraryLog(void *, int, const char *) {}

struct TContextDeleter {
  void operator()(SMBCCTX *C) const {
    std::unique_lock<std::shared_mutex> L(LibraryLock);
    smbc_free_context(C, 1);
  }
};
using TContextPtr = std::unique_ptr<SMBCCTX, TContextDeleter>;

// What one thread keeps: its context, and for each computer the identity that worked there.
struct TThreadState {
  uint64_t Provider = 0;
  TContextPtr Context;
  std::vector<SmbIdentity> Identities;
  std::map<std::string, std::size_t> IdentityOf;
  // Server and share of the connections the context has made ("smb://server/share", lower case).
  std::set<std::string> Connected;
  SmbIdentity Current;
};
thread_local TThreadState Tls;

void CopyOut(char *To, int Size, const std::string &From) {
  if (Size <= 0) return;
  const std::size_t N = std::min(From.size(), std::size_t(Size - 1));
  std::memcpy(To, From.data(), N);
  To[N] = '\0';
}

void AuthFn(SMBCCTX *C, const char *, const char *, char *Wg, int WgLen, char *User, int UserLen,
            char *Password, int PasswordLen) {
  auto *S = static_cast<TThreadState *>(smbc_getOptionUserData(C));
  if (!S) return;
  CopyOut(User, UserLen, S->Current.User);
  CopyOut(Password, PasswordLen, S->Current.Password);
  if (!S->Current.Domain.empty()) CopyOut(Wg, WgLen, S->Current.Domain);
}

std::string Lower(std::string S) {
  for (auto &C : S) C = char(std::tolower(static_cast<unsigned char>(C)));
  return S;
}

// "client min protocol" and "client max protocol" of the [global] section of Path.
void ReadProtocolRange(const std::string &Path, std::string &Min, std::string &Max) {
  std::ifstream In(Path);
  std::string Line, Section = "global";
  while (std::getline(In, Line)) {
    std::string T;
    bool Blank = false;
    for (char C : Line) {
      if (C == ' ' || C == '\t' || C == '\r')
        Blank = !T.empty();
      else {
        if (Blank) T += ' ';
        Blank = false;
        T += C;
      }
    }
    if (T.empty() || T[0] == '#' || T[0] == ';') continue;
    if (T[0] == '[') {
      Section = Lower(T.substr(1, T.find(']') - 1));
      continue;
    }
    if (Section != "global") continue;
    const auto Eq = T.find('=');
    if (Eq == std::string::npos) continue;
    std::string Key = Lower(T.substr(0, Eq));
    while (!Key.empty() && Key.back() == ' ') Key.pop_back();
    std::string Value = T.substr(Eq + 1);
    while (!Value.empty() && Value.front() == ' ') Value.erase(0, 1);
    if (Key == "client min protocol")
      Min = Value;
    else if (Key == "client max protocol")
      Max = Value;
  }
}

// The IPv4 address that a static name table (lmhosts, or /etc/hosts) gives Name, if any.
// Lines: "ADDRESS NAME[#TYPE] ..."; "#" starts a comment unless it follows a name.
std::optional<uint32_t> StaticAddress(const std::string &Path, const std::string &Name) {
  std::ifstream In(Path);
  std::string Line;
  const std::string Want = Lower(Name);
  while (std::getline(In, Line)) {
    std::istringstream S(Line);
    std::string Address, Word;
    if (!(S >> Address) || Address[0] == '#') continue;
    in_addr A{};
    if (::inet_pton(AF_INET, Address.c_str(), &A) != 1) continue;
    while (S >> Word) {
      if (Word[0] == '#') break;
      const auto Hash = Word.find('#');
      std::string N = Lower(Word.substr(0, Hash));
      if (N.size() >= 2 && N.front() == '"' && N.back() == '"') N = N.substr(1, N.size() - 2);
      const std::string Type = Hash == std::string::npos ? "" : Word.substr(Hash + 1);
      if (N == Want && (Type.empty() || Type == "20")) return ntohl(A.s_addr);
      // /etc/hosts names may carry a domain: "pc1.lan" stands for "PC1" too.
      if (N.rfind(Want + ".", 0) == 0) return ntohl(A.s_addr);
    }
  }
  return std::nullopt;
}

} // namespace

// ---- the provider

struct TSmbProvider::TImpl {
  SmbProviderOptions Options;
  uint64_t Id = NextProviderId++;
  std::vector<SmbIdentity> Identities;
  std::string MinProtocol = "SMB2_02", MaxProtocol = "SMB3";
  bool Threads = false; // the library's thread hooks are in: listings may run side by side

  struct TProbe {
    bool Reachable;
    std::chrono::steady_clock::time_point At;
  };
  std::mutex ProbeLock;
  std::map<uint32_t, TProbe> Probes;

  // The calling thread's context for this provider, created on first use. LibraryLock held.
  SMBCCTX *Context(NetError *Error);
  bool Reachable(const std::string &Server, NetError *Error);
  // Lists Url with the identities in turn; calls Entry for every entry. False on failure.
  bool List(const std::string &Url, const std::string &Server, bool Browse,
            const std::function<void(const smbc_dirent &)> &Entry, NetError *Error,
            const std::string &Where);
};

SMBCCTX *TSmbProvider::TImpl::Context(NetError *Error) {
  if (Tls.Context && Tls.Provider == Id) return Tls.Context.get();
  if (Tls.Context) smbc_free_context(Tls.Context.release(), 1); // the lock is held already
  Tls.IdentityOf.clear();
  Tls.Connected.clear();
  SMBCCTX *C = smbc_new_context();
  if (!C) {
    if (Error) *Error = SmbError(errno, "libsmbclient context");
    return nullptr;
  }
  smbc_setDebug(C, 0);
  smbc_setLogCallback(C, nullptr, DropLibraryLog);
  if (!Options.ConfigFile.empty() && smbc_setConfiguration(C, Options.ConfigFile.c_str()) != 0)
    Diagnostic("SMB client configuration " + Options.ConfigFile + " could not be loaded.");
  smbc_setTimeout(C, Options.TimeOutMs);
  smbc_setOptionUseKerberos(C, 0);
  smbc_setOptionFallbackAfterKerberos(C, 1);
  smbc_setOptionUseCCache(C, 0);
  smbc_setOptionUserData(C, &Tls);
  smbc_setFunctionAuthDataWithContext(C, AuthFn);
  if (!smbc_init_context(C)) {
    const int Err = errno;
    smbc_free_context(C, 0);
    if (Error) *Error = SmbError(Err, "libsmbclient context");
    return nullptr;
  }
  Tls.Context.reset(C);
  Tls.Provider = Id;
  Tls.Identities = Identities;
  return C;
}

bool TSmbProvider::TImpl::Reachable(const std::string &Server, NetError *Error) {
  if (Options.ProbeTimeOutMs <= 0) return true;
  in_addr A{};
  uint32_t Address;
  if (::inet_pton(AF_INET, Server.c_str(), &A) == 1) {
    Address = ntohl(A.s_addr);
  } else {
    // A name that a static table maps to an address may point at a computer that is gone; names
    // found only by broadcast are left to libsmbclient, which fails those quickly.
    auto Known = StaticAddress(Options.LmhostsFile, Server);
    if (!Known) Known = StaticAddress(Options.HostsFile, Server);
    if (!Known) return true;
    Address = *Known;
  }
  const auto Now = std::chrono::steady_clock::now();
  {
    std::lock_guard<std::mutex> L(ProbeLock);
    auto It = Probes.find(Address);
    if (It != Probes.end()) {
      const int Keep = It->second.Reachable ? Options.ProbeKeepMs : Options.ProbeKeepFailedMs;
      if (Now - It->second.At < std::chrono::milliseconds(Keep)) {
        if (!It->second.Reachable && Error) *Error = SmbError(EHOSTDOWN, "\\\\" + Server);
        return It->second.Reachable;
      }
    }
  }
  const bool Ok = ProbeTcp(Address, 445, Options.ProbeTimeOutMs) ||
                  ProbeTcp(Address, 139, Options.ProbeTimeOutMs);
  {
    std::lock_guard<std::mutex> L(ProbeLock);
    Probes[Address] = {Ok, std::chrono::steady_clock::now()};
  }
  if (!Ok && Error) *Error = SmbError(EHOSTDOWN, "\\\\" + Server);
  return Ok;
}

namespace {

// "smb://server/share" of a URL below it, lower case: one connection of a context.
std::string ConnectionKey(const std::string &Url) {
  const std::size_t Host = Url.find("//");
  std::size_t End = Host == std::string::npos ? std::string::npos : Url.find('/', Host + 2);
  if (End != std::string::npos) End = Url.find('/', End + 1);
  return Lower(Url.substr(0, End));
}

} // namespace

bool TSmbProvider::TImpl::List(const std::string &Url, const std::string &Server, bool Browse,
                               const std::function<void(const smbc_dirent &)> &Entry,
                               NetError *Error, const std::string &Where) {
  const std::string Key = Lower(Server);
  const std::string Connection = ConnectionKey(Url);
  if (Threads && !Browse && Tls.Context && Tls.Provider == Id && !Tls.Identities.empty() &&
      Tls.Connected.count(Connection)) {
    // Over a connection this context holds already: beside other threads' listings.
    std::shared_lock<std::shared_mutex> Shared(LibraryLock);
    SMBCCTX *C = Tls.Context.get();
    const auto It = Tls.IdentityOf.find(Key);
    Tls.Current = Tls.Identities[It == Tls.IdentityOf.end() ? 0 : It->second];
    smbc_setUser(C, Tls.Current.User.c_str());
    if (SMBCFILE *Dir = smbc_getFunctionOpendir(C)(C, Url.c_str())) {
      while (const smbc_dirent *D = smbc_getFunctionReaddir(C)(C, Dir)) Entry(*D);
      smbc_getFunctionClosedir(C)(C, Dir);
      return true;
    }
    // A failure is tried again alone, with every identity.
  }
  std::unique_lock<std::shared_mutex> Library(LibraryLock);
  SMBCCTX *C = Context(Error);
  if (!C) return false;
  std::size_t First = 0;
  if (auto It = Tls.IdentityOf.find(Key); It != Tls.IdentityOf.end()) First = It->second;
  int Err = 0;
  for (std::size_t I = First; I < Tls.Identities.size(); ++I) {
    Tls.Current = Tls.Identities[I];
    smbc_setUser(C, Tls.Current.User.c_str());
    SMBCFILE *Dir = nullptr;
    // The range is process-wide: browse listings set NT1 and put the configured range back.
    if (Browse) smbc_setOptionProtocols(C, "NT1", "NT1");
    Dir = smbc_getFunctionOpendir(C)(C, Url.c_str());
    Err = errno;
    if (Dir) {
      while (const smbc_dirent *D = smbc_getFunctionReaddir(C)(C, Dir)) Entry(*D);
      smbc_getFunctionClosedir(C)(C, Dir);
    }
    if (Browse) smbc_setOptionProtocols(C, MinProtocol.c_str(), MaxProtocol.c_str());
    if (Dir) {
      Tls.IdentityOf[Key] = I;
      if (!Browse) Tls.Connected.insert(Connection);
      return true;
    }
    // Only a refusal of who we are is worth another identity.
    if (Err != EACCES && Err != EPERM) break;
  }
  if (Error) *Error = SmbError(Err, Where);
  return false;
}

TSmbProvider::TSmbProvider(SmbProviderOptions Options) : I_(std::make_unique<TImpl>()) {
  I_->Options = std::move(Options);
  {
    // Before the first context of the process.
    std::unique_lock<std::shared_mutex> L(LibraryLock);
    I_->Threads = EnableSmbThreads();
  }
  std::optional<SmbIdentity> FromFile;
  if (I_->Options.CredentialsFile != "-") {
    const std::string Path = I_->Options.CredentialsFile.empty() ? DefaultCredentialsFile()
                                                                 : I_->Options.CredentialsFile;
    FromFile = LoadCredentialsFile(Path);
  }
  I_->Identities = SmbIdentities(FromFile);
  std::string Conf = I_->Options.ConfigFile;
  if (Conf.empty()) {
    const char *Home = std::getenv("HOME");
    const std::string User = Home ? std::string(Home) + "/.smb/smb.conf" : "";
    Conf = (!User.empty() && std::ifstream(User).good()) ? User : "/etc/samba/smb.conf";
  }
  ReadProtocolRange(Conf, I_->MinProtocol, I_->MaxProtocol);
}

TSmbProvider::~TSmbProvider() = default;

const SmbProviderOptions &TSmbProvider::Options() const { return I_->Options; }

namespace {

NetResource Entry(int32_t DisplayType, int32_t Usage, std::string RemoteName, std::string Comment) {
  NetResource R;
  R.Scope = NetScopeGlobal;
  R.Type = NetTypeDisk;
  R.DisplayType = DisplayType;
  R.Usage = Usage;
  R.RemoteName = std::move(RemoteName);
  R.Comment = std::move(Comment);
  R.Provider = TSmbProvider::ProviderName;
  return R;
}

std::string Name(const smbc_dirent &D) {
  return std::string(D.name, strnlen(D.name, D.namelen + 1));
}
std::string Comment(const smbc_dirent &D) {
  return D.comment ? std::string(D.comment) : std::string();
}

} // namespace

NetEnumStatus TSmbProvider::EnumResources(const NetResource *Container,
                                          std::vector<NetResource> &Out, NetError *Error) {
  if (!Container) {
    Out.push_back(Entry(NetDisplayNetwork, NetUsageContainer, ProviderName, ""));
    return NetEnumStatus::Ok;
  }
  const std::size_t Before = Out.size();
  bool Ok = false;
  switch (Container->DisplayType) {
  case NetDisplayNetwork:
    Ok = I_->List(
        "smb://", "", true,
        [&](const smbc_dirent &D) {
          if (D.smbc_type == SMBC_WORKGROUP)
            Out.push_back(Entry(NetDisplayDomain, NetUsageContainer, Name(D), Comment(D)));
        },
        Error, Container->RemoteName);
    break;
  case NetDisplayDomain:
    if (Container->RemoteName.empty() || Container->RemoteName.find('\\') != std::string::npos) {
      if (Error) *Error = SmbError(EINVAL, Container->RemoteName);
      return NetEnumStatus::OpenFailed;
    }
    Ok = I_->List(
        UncToSmbUrl(Container->RemoteName), "", true,
        [&](const smbc_dirent &D) {
          if (D.smbc_type == SMBC_SERVER)
            Out.push_back(Entry(NetDisplayServer, NetUsageContainer, "\\\\" + Name(D), Comment(D)));
        },
        Error, Container->RemoteName);
    break;
  case NetDisplayServer: {
    const std::string Server = UncServer(Container->RemoteName);
    if (Server.empty() || Container->RemoteName.size() != Server.size() + 2) {
      if (Error) *Error = SmbError(EINVAL, Container->RemoteName);
      return NetEnumStatus::OpenFailed;
    }
    if (!I_->Reachable(Server, Error)) return NetEnumStatus::OpenFailed;
    Ok = I_->List(
        UncToSmbUrl(Container->RemoteName), Server, false,
        [&](const smbc_dirent &D) {
          const std::string Share = Name(D);
          // Disk shares only; "$" shares are hidden ones (impacket calls IPC$ a disk).
          if (D.smbc_type != SMBC_FILE_SHARE || Share.empty() || Share.back() == '$') return;
          Out.push_back(Entry(NetDisplayShare, NetUsageConnectable, "\\\\" + Server + "\\" + Share,
                              Comment(D)));
        },
        Error, Container->RemoteName);
    break;
  }
  default:
    if (Error) *Error = SmbError(ENOTDIR, Container->RemoteName);
    return NetEnumStatus::OpenFailed;
  }
  if (!Ok) return NetEnumStatus::OpenFailed;
  if (Out.size() == Before) {
    if (Error) *Error = NetError{0, Container->RemoteName + ": holds nothing"};
    return NetEnumStatus::NoMoreItems;
  }
  return NetEnumStatus::Ok;
}

bool TSmbProvider::FindFiles(const std::string &UncDir, std::vector<DirEntry> &Out,
                             NetError *Error) {
  const std::string Server = UncServer(UncDir);
  // A share at least: "\\PC\share".
  if (Server.empty() || UncDir.find_first_not_of('\\', Server.size() + 2) == std::string::npos) {
    if (Error) *Error = SmbError(EINVAL, UncDir);
    return false;
  }
  if (!I_->Reachable(Server, Error)) return false;
  return I_->List(
      UncToSmbUrl(UncDir), Server, false,
      [&](const smbc_dirent &D) {
        if (D.smbc_type == SMBC_DIR)
          Out.push_back({Name(D), true});
        else if (D.smbc_type == SMBC_FILE || D.smbc_type == SMBC_LINK)
          Out.push_back({Name(D), false});
      },
      Error, UncDir);
}

// ---- the process-wide provider

namespace {
std::mutex ProviderLock;
std::shared_ptr<INetProvider> &Installed() {
  static std::shared_ptr<INetProvider> P;
  return P;
}
} // namespace

std::shared_ptr<INetProvider> NetProvider() {
  std::lock_guard<std::mutex> L(ProviderLock);
  if (!Installed()) Installed() = std::make_shared<TSmbProvider>();
  return Installed();
}

void SetNetProvider(std::shared_ptr<INetProvider> P) {
  std::lock_guard<std::mutex> L(ProviderLock);
  Installed() = std::move(P);
}

} // namespace sonquarry::platform
