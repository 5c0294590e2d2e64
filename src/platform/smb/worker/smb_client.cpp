#include "platform/smb/worker/smb_client.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <sys/stat.h>

#include "platform/net/smb_url.h"
#include "platform/net/unc_path.h"
#include "platform/os/diag.h"
#include "platform/smb/wire/smb_error.h"
#include "platform/smb/worker/smb_client_impl.h"
#include "text/text.h"

namespace sonquarry::smb::worker {

namespace {

void DropLibraryLog(void *, int, const char *) {}

using text::AsciiLower;

void CopyOut(char *To, int Size, const std::string &From) {
  if (Size <= 0) return;
  const std::size_t N = std::min(From.size(), std::size_t(Size - 1));
  std::memcpy(To, From.data(), N);
  To[N] = '\0';
}

std::string Name(const char *Text, std::size_t Max) {
  return std::string(Text, strnlen(Text, Max));
}

// Failures that say nothing about the protocol: another protocol would fail the same way.
bool ProtocolNeutral(int Err) {
  switch (Err) {
  case EACCES:
  case EPERM:
  case ENOENT:
  case ENOTDIR:
  case ENODEV:
  case ETIMEDOUT:
  case ECONNREFUSED:
  case EHOSTUNREACH:
  case ENETUNREACH:
  case EHOSTDOWN:
    return true;
  default:
    return false;
  }
}

} // namespace

void TSmbClient::TImpl::Auth(SMBCCTX *C, const char *, const char *, char *Wg, int WgLen,
                             char *User, int UserLen, char *Password, int PasswordLen) {
  auto *Self = static_cast<TImpl *>(smbc_getOptionUserData(C));
  if (!Self) return;
  CopyOut(User, UserLen, Self->Current.User);
  CopyOut(Password, PasswordLen, Self->Current.Password);
  if (!Self->Current.Domain.empty()) CopyOut(Wg, WgLen, Self->Current.Domain);
}

SMBCCTX *TSmbClient::TImpl::Ctx(net::NetError &Error) {
  if (Context) return Context;
  // The first context loads $HOME/.smb/smb.conf, and would wait for ever on a FIFO there: the
  // library is then shown no home, and takes the system's configuration.
  const char *Home = std::getenv("HOME");
  const std::string WasHome = Home ? Home : "";
  const bool HideHome = Home && !wire::UnusableHomeSmbConf().empty();
  if (HideHome) ::setenv("HOME", "/nonexistent", 1);
  SMBCCTX *C = smbc_new_context();
  if (HideHome) ::setenv("HOME", WasHome.c_str(), 1);
  if (!C) {
    Error = wire::SmbError(errno, "libsmbclient context");
    return nullptr;
  }
  smbc_setDebug(C, 0);
  smbc_setLogCallback(C, nullptr, DropLibraryLog);
  // libsmbclient opens it itself, and would wait for ever on a FIFO.
  std::string Why;
  const int Fd = Config.ConfigFile.empty() ? -1 : wire::OpenRegularFile(Config.ConfigFile, Why);
  if (Fd >= 0) ::close(Fd);
  if (!Config.ConfigFile.empty() &&
      (Fd < 0 || smbc_setConfiguration(C, Config.ConfigFile.c_str()) != 0))
    platform::Diagnostic("SMB client configuration " + Config.ConfigFile + " could not be loaded.",
                         platform::TDiagLevel::Act);
  smbc_setTimeout(C, Config.TimeOutMs);
  smbc_setOptionUseKerberos(C, 0);
  smbc_setOptionFallbackAfterKerberos(C, 1);
  smbc_setOptionUseCCache(C, 0);
  smbc_setOptionUserData(C, this);
  smbc_setFunctionAuthDataWithContext(C, Auth);
  if (!smbc_init_context(C)) {
    const int Err = errno;
    smbc_free_context(C, 0);
    Error = wire::SmbError(Err, "libsmbclient context");
    return nullptr;
  }
  Context = C;
  return C;
}

SMBCFILE *TSmbClient::TImpl::OpenUrl(const std::string &Url, const std::string &Server, bool Browse,
                                     net::NetError &Error, const std::string &Where, bool File) {
  SMBCCTX *C = Ctx(Error);
  if (!C) return nullptr;
  const std::string Key = AsciiLower(Server);
  const bool Old = Browse || Smb1Only.count(Key);
  for (int Pass = Old ? 1 : 0; Pass < 2; ++Pass) {
    // Setting the range looks its parameters up by name: only when it changes.
    if (Pass != Range)
      smbc_setOptionProtocols(C, Pass == 0 ? "SMB2_02" : "NT1", Pass == 0 ? "SMB3" : "NT1");
    Range = Pass;
    std::size_t First = 0;
    if (auto It = IdentityOf.find(Key); It != IdentityOf.end()) First = It->second;
    int Err = 0;
    // Past Identities: the program's, asked for one after another (Given.Index + 1 after a
    // refusal), starting from the one that worked here before.
    wire::Login Given;
    if (auto It = GivenOf.find(Key); It != GivenOf.end()) Given = It->second;
    bool Fresh = !Given.Has;
    for (std::size_t I = First;; I = std::min(I + 1, Identities.size())) {
      if (I < Identities.size()) {
        Current = Identities[I];
      } else {
        if (!Given.Has) {
          if (!AskLogin) break;
          Given = AskLogin(wire::AskLogin{Server, Given.Index});
          Fresh = true;
          if (!Given.Has) break;
        }
        Current = {Given.User, Given.Password, Given.Domain};
      }
      smbc_setUser(C, Current.User.c_str());
      SMBCFILE *Dir = File ? smbc_getFunctionOpen(C)(C, Url.c_str(), O_RDONLY, 0)
                           : smbc_getFunctionOpendir(C)(C, Url.c_str());
      Err = errno;
      if (Dir) {
        IdentityOf[Key] = I;
        if (I >= Identities.size()) {
          GivenOf[Key] = Given;
          if (Fresh && LoginUsed) LoginUsed(wire::AskLogin{Server, Given.Index});
        }
        if (Pass == 1 && !Browse) Smb1Only.insert(Key);
        return Dir;
      }
      // Only a refusal of who we are is worth another identity.
      if (Err != EACCES && Err != EPERM) break;
      if (I >= Identities.size()) {
        GivenOf.erase(Key);
        Given = {false, Given.Index + 1, "", "", ""};
      }
    }
    if (Pass == 1 || ProtocolNeutral(Err)) {
      Error = wire::SmbError(Err, Where);
      return nullptr;
    }
  }
  return nullptr;
}

bool TSmbClient::TImpl::List(const std::string &Url, const std::string &Server, bool Browse,
                             const std::function<void(const smbc_dirent &)> &Entry,
                             net::NetError &Error, const std::string &Where) {
  SMBCFILE *Dir = OpenUrl(Url, Server, Browse, Error, Where);
  if (!Dir) return false;
  while (const smbc_dirent *D = smbc_getFunctionReaddir(Context)(Context, Dir)) Entry(*D);
  smbc_getFunctionClosedir(Context)(Context, Dir);
  return true;
}

void TSmbClient::TImpl::CloseOne(const TOpen &O) {
  if (O.File) smbc_getFunctionClose(Context)(Context, O.Dir);
}

uint32_t TSmbClient::TImpl::Keep(TOpen O) {
  while (Open.count(NextHandle) || NextHandle == 0) ++NextHandle;
  Open[NextHandle] = std::move(O);
  return NextHandle++;
}

uint32_t TSmbClient::TImpl::KeepListing(std::vector<wire::Entry> Entries) {
  TOpen O;
  O.Entries = std::move(Entries);
  return Keep(std::move(O));
}

TSmbClient::TSmbClient(const wire::Hello &Config) : I_(std::make_unique<TImpl>()) {
  I_->Config = Config;
  I_->Identities = wire::SmbIdentities();
}

void TSmbClient::ServeLogins(std::function<wire::Login(const wire::AskLogin &)> Ask,
                             std::function<void(const wire::AskLogin &)> Used) {
  I_->AskLogin = std::move(Ask);
  I_->LoginUsed = std::move(Used);
}

TSmbClient::~TSmbClient() {
  if (I_->Context) {
    for (const auto &[H, O] : I_->Open) I_->CloseOne(O);
    smbc_free_context(I_->Context, 1);
  }
}

net::NetEnumStatus TSmbClient::Enum(int32_t Level, const std::string &RemoteName,
                                    std::vector<wire::Resource> &Out, net::NetError &Error) {
  auto Add = [&](int32_t DisplayType, int32_t Usage, std::string Remote, const smbc_dirent &D) {
    Out.push_back({DisplayType, Usage, std::move(Remote), D.comment ? D.comment : ""});
  };
  const std::size_t Before = Out.size();
  bool Ok = false;
  switch (Level) {
  case net::NetDisplayNetwork:
    Ok = I_->List(
        "smb://", "", true,
        [&](const smbc_dirent &D) {
          if (D.smbc_type == SMBC_WORKGROUP)
            Add(net::NetDisplayDomain, net::NetUsageContainer, Name(D.name, D.namelen + 1), D);
        },
        Error, RemoteName);
    break;
  case net::NetDisplayDomain:
    Ok = I_->List(
        net::UncToSmbUrl(RemoteName), "", true,
        [&](const smbc_dirent &D) {
          if (D.smbc_type == SMBC_SERVER)
            Add(net::NetDisplayServer, net::NetUsageContainer, "\\\\" + Name(D.name, D.namelen + 1),
                D);
        },
        Error, RemoteName);
    break;
  case net::NetDisplayServer: {
    const std::string Server = net::UncPath::Parse(RemoteName).Server;
    Ok = I_->List(
        net::UncToSmbUrl(RemoteName), Server, false,
        [&](const smbc_dirent &D) {
          const std::string Share = Name(D.name, D.namelen + 1);
          // Disk shares only; "$" shares are hidden ones (impacket calls IPC$ a disk).
          if (D.smbc_type != SMBC_FILE_SHARE || Share.empty() || Share.back() == '$') return;
          Add(net::NetDisplayShare, net::NetUsageConnectable, "\\\\" + Server + "\\" + Share, D);
        },
        Error, RemoteName);
    break;
  }
  default:
    Error = wire::SmbError(ENOTDIR, RemoteName);
    return net::NetEnumStatus::OpenFailed;
  }
  // The share list's connection (IPC$) is not one a walk uses: it goes now, and with it every
  // other this worker no longer uses, so that a server sees only the connections of walks.
  if (Level == net::NetDisplayServer && I_->Context)
    smbc_getFunctionPurgeCachedServers(I_->Context)(I_->Context);
  if (!Ok) return net::NetEnumStatus::OpenFailed;
  if (Out.size() == Before) {
    Error = net::NetError{0, RemoteName + ": holds nothing"};
    return net::NetEnumStatus::NoMoreItems;
  }
  return net::NetEnumStatus::Ok;
}

bool TSmbClient::OpenFile(const std::string &UncPath, wire::Opened &Out, net::NetError &Error,
                          int64_t Size) {
  if (I_->Open.size() >= MaxOpen) {
    Error = wire::SmbError(EMFILE, UncPath);
    return false;
  }
  SMBCFILE *F = I_->OpenUrl(net::UncToSmbUrl(UncPath), net::UncPath::Parse(UncPath).Server, false,
                            Error, UncPath, true);
  if (!F) return false;
  struct stat St {};
  SMBCCTX *C = I_->Context;
  // The status is a round trip of its own: skipped when the listing has told the size.
  if (Size >= 0) {
    St.st_size = off_t(Size);
  } else if (smbc_getFunctionFstat(C)(C, F, &St) == 0 && S_ISDIR(St.st_mode)) {
    smbc_getFunctionClose(C)(C, F);
    Error = wire::SmbError(EISDIR, UncPath);
    return false;
  }
  Out.Id = St.st_size > 0 ? uint64_t(St.st_size) : 0;
  Out.Kind = wire::IdKind::None;
  TImpl::TOpen O;
  O.Dir = F;
  O.File = true;
  O.Path = UncPath;
  Out.Handle = I_->Keep(std::move(O));
  return true;
}

bool TSmbClient::StatFile(const std::string &UncPath, wire::FileStat &Out, net::NetError &Error) {
  // Through an open: the identities and protocol ranges are tried there.
  wire::Opened O;
  if (!OpenFile(UncPath, O, Error, 0)) return false;
  SMBCCTX *C = I_->Context;
  struct stat St {};
  const auto It = I_->Open.find(O.Handle);
  const bool Ok = smbc_getFunctionFstat(C)(C, It->second.Dir, &St) == 0;
  if (!Ok) Error = wire::SmbError(errno, UncPath);
  Close(O.Handle);
  if (!Ok) return false;
  Out.Size = St.st_size > 0 ? uint64_t(St.st_size) : 0;
  Out.WriteTime = int64_t(St.st_mtime);
  return true;
}

long TSmbClient::ReadFile(uint32_t Handle, uint8_t *To, uint32_t Max, bool &End,
                          net::NetError &Error) {
  End = false;
  const auto It = I_->Open.find(Handle);
  if (It == I_->Open.end() || !It->second.File) {
    Error = wire::SmbError(EBADF, "file " + std::to_string(Handle));
    return -1;
  }
  SMBCCTX *C = I_->Context;
  std::size_t Got = 0;
  auto &O = It->second;
  using TClock = std::chrono::steady_clock;
  const auto Start = TClock::now();
  // libsmbclient may hand less than asked before the end: fill the chunk. In pieces of about a
  // second of the server's pace, and no more pieces after ChunkFor: the program's deadline is
  // one reply's, and over a slow link a whole chunk would pass it though data keeps coming.
  while (Got < Max && (Got == 0 || TClock::now() - Start < ChunkFor)) {
    const std::size_t Want = std::min<std::size_t>(Max - Got, O.Piece);
    const auto T0 = TClock::now();
    const ssize_t N = smbc_getFunctionRead(C)(C, O.Dir, To + Got, Want);
    if (N < 0) {
      Error = wire::SmbError(errno, It->second.Path);
      return -1;
    }
    if (N == 0) {
      End = true;
      break;
    }
    Got += std::size_t(N);
    const double Secs = std::chrono::duration<double>(TClock::now() - T0).count();
    O.Piece = std::clamp<std::size_t>(Secs > 0 ? std::size_t(double(N) / Secs) : Max, MinPiece,
                                      wire::MaxChunk);
  }
  return long(Got);
}

void TSmbClient::Close(uint32_t Handle) {
  const auto It = I_->Open.find(Handle);
  if (It == I_->Open.end()) return;
  I_->CloseOne(It->second);
  I_->Open.erase(It);
}

} // namespace sonquarry::smb::worker
