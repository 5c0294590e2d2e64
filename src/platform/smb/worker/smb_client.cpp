#include "platform/smb/worker/smb_client.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <functional>
#include <iterator>
#include <optional>
#include <string_view>
#include <sys/stat.h>

#include <libsmbclient.h>

#include "platform/diag.h"
#include "platform/net/unc_path.h"
#include "platform/smb/wire/smb_error.h"
#include "platform/smb/wire/smb_url.h"
#include "platform/tags/reader/tag_reader.h"
#include "platform/tags/reader/tag_stream.h"
#include "platform/text.h"

namespace sonquarry::smb::worker {

namespace {

void DropLibraryLog(void *, int, const char *) {}

constexpr uint16_t FileAttributeDirectory = 0x10;

void CopyOut(char *To, int Size, const std::string &From) {
  if (Size <= 0) return;
  const std::size_t N = std::min(From.size(), std::size_t(Size - 1));
  std::memcpy(To, From.data(), N);
  To[N] = '\0';
}

using platform::AsciiLower;

// "smb://server/share" of a URL below it, lower case.
std::string ShareKey(const std::string &Url) {
  const std::size_t Host = Url.find("//");
  std::size_t End = Host == std::string::npos ? std::string::npos : Url.find('/', Host + 2);
  if (End != std::string::npos) End = Url.find('/', End + 1);
  return AsciiLower(Url.substr(0, End));
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

// FNV-1a, 64 bits.
struct TDigest {
  uint64_t H = 1469598103934665603ull;
  void Add(const void *P, std::size_t N) {
    const auto *B = static_cast<const unsigned char *>(P);
    for (std::size_t I = 0; I < N; ++I) H = (H ^ B[I]) * 1099511628211ull;
  }
  void Add(uint64_t V) { Add(&V, sizeof V); }
  void Add(const timespec &T) {
    Add(uint64_t(T.tv_sec));
    Add(uint64_t(T.tv_nsec));
  }
};

} // namespace

struct TSmbClient::TImpl {
  wire::Hello Config;
  std::vector<wire::SmbIdentity> Identities;
  SMBCCTX *Context = nullptr;
  wire::SmbIdentity Current;
  // Per server (lower case): the identity that worked there, and whether it speaks SMB1 only.
  std::map<std::string, std::size_t> IdentityOf;
  std::set<std::string> Smb1Only;
  // Per share: whether its listings carry the server's file ids.
  std::map<std::string, bool> RealIds;
  struct TOpen {
    SMBCFILE *Dir = nullptr; // a file's; a listing is read whole at its open
    bool File = false;
    std::string Path;                 // a file's, for its errors
    std::vector<wire::Entry> Entries; // a listing's, and the next to hand out
    std::size_t Next = 0;
  };
  std::map<uint32_t, TOpen> Open;
  uint32_t NextHandle = 1;
  int Range = -1; // the protocol range set: 0 SMB2 and up, 1 NT1 only

  static void Auth(SMBCCTX *C, const char *, const char *, char *Wg, int WgLen, char *User,
                   int UserLen, char *Password, int PasswordLen) {
    auto *Self = static_cast<TImpl *>(smbc_getOptionUserData(C));
    if (!Self) return;
    CopyOut(User, UserLen, Self->Current.User);
    CopyOut(Password, PasswordLen, Self->Current.Password);
    if (!Self->Current.Domain.empty()) CopyOut(Wg, WgLen, Self->Current.Domain);
  }

  SMBCCTX *Ctx(net::NetError &Error) {
    if (Context) return Context;
    SMBCCTX *C = smbc_new_context();
    if (!C) {
      Error = wire::SmbError(errno, "libsmbclient context");
      return nullptr;
    }
    smbc_setDebug(C, 0);
    smbc_setLogCallback(C, nullptr, DropLibraryLog);
    if (!Config.ConfigFile.empty() && smbc_setConfiguration(C, Config.ConfigFile.c_str()) != 0)
      platform::Diagnostic("SMB client configuration " + Config.ConfigFile +
                               " could not be loaded.",
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

  // Opens Url (a directory, or a file to read) with the identities in turn, in the protocol
  // range of the call. Null on failure.
  SMBCFILE *OpenUrl(const std::string &Url, const std::string &Server, bool Browse,
                    net::NetError &Error, const std::string &Where, bool File = false) {
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
      for (std::size_t I = First; I < Identities.size(); ++I) {
        Current = Identities[I];
        smbc_setUser(C, Current.User.c_str());
        SMBCFILE *Dir = File ? smbc_getFunctionOpen(C)(C, Url.c_str(), O_RDONLY, 0)
                             : smbc_getFunctionOpendir(C)(C, Url.c_str());
        Err = errno;
        if (Dir) {
          IdentityOf[Key] = I;
          if (Pass == 1 && !Browse) Smb1Only.insert(Key);
          return Dir;
        }
        // Only a refusal of who we are is worth another identity.
        if (Err != EACCES && Err != EPERM) break;
      }
      if (Pass == 1 || ProtocolNeutral(Err)) {
        Error = wire::SmbError(Err, Where);
        return nullptr;
      }
    }
    return nullptr;
  }

  // Lists Url at once; Entry for every entry.
  bool List(const std::string &Url, const std::string &Server, bool Browse,
            const std::function<void(const smbc_dirent &)> &Entry, net::NetError &Error,
            const std::string &Where) {
    SMBCFILE *Dir = OpenUrl(Url, Server, Browse, Error, Where);
    if (!Dir) return false;
    while (const smbc_dirent *D = smbc_getFunctionReaddir(Context)(Context, Dir)) Entry(*D);
    smbc_getFunctionClosedir(Context)(Context, Dir);
    return true;
  }

  // A listing read whole: its identity and entries, or why it failed.
  struct TListed {
    bool Ok = false;
    wire::Opened Dir; // Id and Kind
    std::vector<wire::Entry> Entries;
    net::NetError Error;
  };

  TListed List(const std::string &UncDir) {
    TListed L;
    const std::string Url = wire::UncToSmbUrl(UncDir);
    const std::string Server = net::UncPath::Parse(UncDir).Server;
    SMBCFILE *Dir = OpenUrl(Url, Server, false, L.Error, UncDir);
    if (!Dir) {
      if (L.Error.Code == EINVAL) {
        // Whether the server still answers tells an odd name from a broken connection.
        const auto P = net::UncPath::Parse(UncDir);
        const std::string Share = wire::UncToSmbUrl(net::UncPath{P.Server, P.Share, ""}.Str());
        struct stat St {};
        const bool Answers = smbc_getFunctionStat(Context)(Context, Share.c_str(), &St) == 0;
        L.Error = wire::SmbListingError(EINVAL, UncDir, Answers);
      }
      return L;
    }
    SMBCCTX *C = Context;
    // libsmbclient holds the whole listing once it is open: one pass takes the entries and the
    // directory's identity, and the listing is freed at once. Only "." needs the stat of
    // readdirplus2 (its file id); for every other entry that call costs a server lookup and
    // hundreds of times the plain one.
    bool WantDotId = MayHaveRealIds(Url, Server);
    TDigest Digest;
    uint64_t DotId = 0;
    struct stat St {};
    for (;;) {
      const libsmb_file_info *F = WantDotId ? smbc_getFunctionReaddirPlus2(C)(C, Dir, &St)
                                            : smbc_getFunctionReaddirPlus(C)(C, Dir);
      if (!F) break;
      if (!F->name) continue;
      const std::string_view N = F->name;
      if (N == "." && WantDotId) {
        DotId = uint64_t(St.st_ino);
        WantDotId = false;
      }
      // Never a path component: a broken or hostile server.
      if (!N.empty() && N.find_first_of("/\\") == std::string_view::npos)
        L.Entries.push_back({std::string(N), (F->attrs & FileAttributeDirectory) != 0, F->size,
                             int64_t(F->mtime_ts.tv_sec)});
      if (N == "..") continue;
      Digest.Add(N.data(), N.size());
      Digest.Add("", 1);
      Digest.Add(uint64_t(F->attrs));
      Digest.Add(F->size);
      Digest.Add(F->btime_ts);
      Digest.Add(F->mtime_ts);
      Digest.Add(F->ctime_ts);
    }
    smbc_getFunctionClosedir(C)(C, Dir);
    if (RealIdsOf(Url, Server, DotId)) {
      L.Dir.Id = DotId;
      L.Dir.Kind = wire::IdKind::FileId;
    } else {
      L.Dir.Id = Digest.H == 0 ? 1 : Digest.H;
      L.Dir.Kind = wire::IdKind::Listing;
    }
    L.Ok = true;
    return L;
  }

  // Read-ahead. A walk asks for the subdirectories of each listing, depth first, in the order
  // of its entries: Planned holds them, the next on top. While no request waits, the worker
  // lists the top ones (a few, each planning its own subdirectories), so that the server's round
  // trips overlap the program's work; the reply to an OpenDir brings those that follow it whole.
  // Anything else asked for drops what the walk passed over.
  static constexpr std::size_t MaxPlanned = 16384;
  static constexpr std::size_t MaxAhead = 8, MaxAheadEntries = 4096;
  std::deque<std::string> Planned;
  std::deque<std::pair<std::string, TListed>> Ahead;
  std::size_t AheadEntries = 0;

  // The listing of UncDir; Planned says whether its subdirectories are planned already.
  TListed Listed(const std::string &UncDir, bool &Planned_) {
    const auto Hit =
        std::find_if(Ahead.begin(), Ahead.end(), [&](const auto &A) { return A.first == UncDir; });
    if (Hit != Ahead.end()) {
      TListed L = std::move(Hit->second);
      Ahead.erase(Ahead.begin(), std::next(Hit));
      CountAhead();
      Planned_ = true;
      return L;
    }
    Ahead.clear();
    AheadEntries = 0;
    const auto It = std::find(Planned.rbegin(), Planned.rend(), UncDir);
    // Above it: what the walk passed over; none of it: another walk.
    Planned.erase(It == Planned.rend() ? Planned.begin() : std::prev(It.base()), Planned.end());
    Planned_ = false;
    return List(UncDir);
  }

  void CountAhead() {
    AheadEntries = 0;
    for (const auto &A : Ahead) AheadEntries += A.second.Entries.size();
  }

  void PlanBelow(const std::string &UncDir, const std::vector<wire::Entry> &Entries) {
    wire::PlanSubdirs(Planned, UncDir, Entries, MaxPlanned);
  }

  bool WouldReadAhead() const {
    return Ahead.size() < MaxAhead && AheadEntries < MaxAheadEntries && !Planned.empty();
  }

  bool ReadAhead() {
    if (!WouldReadAhead()) return false;
    std::string Next = std::move(Planned.back());
    Planned.pop_back();
    TListed L = List(Next);
    if (L.Ok) PlanBelow(Next, L.Entries);
    AheadEntries += L.Entries.size();
    Ahead.emplace_back(std::move(Next), std::move(L));
    return true;
  }

  // Takes the listings read ahead that follow, whole, into Out (within a frame's room).
  void Following(std::vector<wire::AheadListing> &Out) {
    std::size_t Bytes = 0;
    while (!Ahead.empty() && Out.size() < wire::MaxAheadListings) {
      auto &[Dir, L] = Ahead.front();
      if (!L.Ok || L.Entries.size() > wire::MaxBatchEntries) break;
      std::size_t Size = Dir.size() + 17;
      for (const auto &E : L.Entries) Size += E.Name.size() + wire::EntryFixedBytes;
      if (Bytes + Size > wire::MaxBatchBytes) break;
      Bytes += Size;
      Out.push_back({std::move(Dir), L.Dir.Id, L.Dir.Kind, std::move(L.Entries)});
      Ahead.pop_front();
    }
    CountAhead();
  }

  void CloseOne(const TOpen &O) {
    if (O.File) smbc_getFunctionClose(Context)(Context, O.Dir);
  }

  uint32_t Keep(TOpen O) {
    while (Open.count(NextHandle) || NextHandle == 0) ++NextHandle;
    Open[NextHandle] = std::move(O);
    return NextHandle++;
  }
  uint32_t KeepListing(std::vector<wire::Entry> Entries) {
    TOpen O;
    O.Entries = std::move(Entries);
    return Keep(std::move(O));
  }

  // Whether the listings of Url's share may carry the server's file ids: not known yet, or
  // known to.
  bool MayHaveRealIds(const std::string &Url, const std::string &Server) const {
    if (Smb1Only.count(AsciiLower(Server))) return false;
    const auto It = RealIds.find(ShareKey(Url));
    return It == RealIds.end() || It->second;
  }

  bool RealIdsOf(const std::string &Url, const std::string &Server, uint64_t DotId) {
    const std::string Key = ShareKey(Url);
    if (auto It = RealIds.find(Key); It != RealIds.end()) return It->second;
    bool Real = false;
    // libsmbclient makes ids up from names where the server gives none; those of "." and of a
    // stat of the same directory then differ.
    if (!Smb1Only.count(AsciiLower(Server)) && DotId != 0) {
      struct stat St {};
      Real = smbc_getFunctionStat(Context)(Context, Url.c_str(), &St) == 0 && St.st_ino == DotId;
    }
    RealIds[Key] = Real;
    return Real;
  }
};

TSmbClient::TSmbClient(const wire::Hello &Config) : I_(std::make_unique<TImpl>()) {
  I_->Config = Config;
  std::optional<wire::SmbIdentity> FromFile;
  if (Config.CredentialsFile != "-") {
    const std::string Path =
        Config.CredentialsFile.empty() ? wire::DefaultCredentialsFile() : Config.CredentialsFile;
    FromFile = wire::LoadCredentialsFile(Path);
  }
  I_->Identities = wire::SmbIdentities(FromFile);
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
        wire::UncToSmbUrl(RemoteName), "", true,
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
        wire::UncToSmbUrl(RemoteName), Server, false,
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

bool TSmbClient::OpenDir(const std::string &UncDir, wire::Opened &Out, net::NetError &Error) {
  if (I_->Open.size() >= MaxOpen) {
    Error = wire::SmbError(EMFILE, UncDir);
    return false;
  }
  bool Planned = false;
  TImpl::TListed L = I_->Listed(UncDir, Planned);
  if (!L.Ok) {
    Error = L.Error;
    return false;
  }
  if (!Planned) I_->PlanBelow(UncDir, L.Entries);
  Out = L.Dir;
  Out.Handle = I_->KeepListing(std::move(L.Entries));
  return true;
}

bool TSmbClient::ReadAhead() { return I_->ReadAhead(); }

bool TSmbClient::WouldReadAhead() const { return I_->WouldReadAhead(); }

void TSmbClient::Following(std::vector<wire::AheadListing> &Out) { I_->Following(Out); }

std::size_t TSmbClient::ReadAheadAfter(const std::string &UncDir) const {
  const auto &A = I_->Ahead;
  for (std::size_t I = 0; I < A.size(); ++I)
    if (A[I].first == UncDir) return A.size() - I - 1;
  if (A.empty() && !I_->Planned.empty() && I_->Planned.back() == UncDir) return 0;
  return TImpl::MaxAhead;
}

bool TSmbClient::OpenFile(const std::string &UncPath, wire::Opened &Out, net::NetError &Error,
                          int64_t Size) {
  if (I_->Open.size() >= MaxOpen) {
    Error = wire::SmbError(EMFILE, UncPath);
    return false;
  }
  SMBCFILE *F = I_->OpenUrl(wire::UncToSmbUrl(UncPath), net::UncPath::Parse(UncPath).Server, false,
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

long TSmbClient::ReadAt(uint32_t Handle, uint64_t Offset, uint8_t *To, uint32_t Max, bool &End,
                        net::NetError &Error) {
  const auto It = I_->Open.find(Handle);
  if (It == I_->Open.end() || !It->second.File || Offset > uint64_t(INT64_MAX)) {
    End = false;
    Error = wire::SmbError(EBADF, "file " + std::to_string(Handle));
    return -1;
  }
  SMBCCTX *C = I_->Context;
  if (smbc_getFunctionLseek(C)(C, It->second.Dir, off_t(Offset), SEEK_SET) < 0) {
    End = false;
    Error = wire::SmbError(errno, It->second.Path);
    return -1;
  }
  return ReadFile(Handle, To, Max, End, Error);
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

namespace {

// An open file's ranges for the tag reader, straight from libsmbclient.
class TOpenFileSource final : public tags::IRangeSource {
public:
  TOpenFileSource(SMBCCTX *C, SMBCFILE *F, int64_t Size) : C_(C), F_(F), Size_(Size) {}
  int64_t Size() const override { return Size_; }
  long ReadAt(int64_t Offset, char *To, std::size_t N) override {
    if (smbc_getFunctionLseek(C_)(C_, F_, off_t(Offset), SEEK_SET) < 0) return -1;
    std::size_t Got = 0;
    while (Got < N) {
      const ssize_t R = smbc_getFunctionRead(C_)(C_, F_, To + Got, N - Got);
      if (R < 0) return Got ? long(Got) : -1;
      if (R == 0) break;
      Got += std::size_t(R);
    }
    return long(Got);
  }

private:
  SMBCCTX *C_;
  SMBCFILE *F_;
  int64_t Size_;
};

} // namespace

bool TSmbClient::ReadTags(const wire::ReadTags &Q, wire::Tags &Out, net::NetError &Error) {
  Out = {};
  if (!tags::HasTagFormat(Q.Unc)) return true;
  wire::Opened O;
  if (!OpenFile(Q.Unc, O, Error, Q.Size)) return false;
  SMBCCTX *C = I_->Context;
  SMBCFILE *F = I_->Open[O.Handle].Dir;
  TOpenFileSource Source(C, F, int64_t(O.Id));
  // The program's budget, within what a tag could sensibly need.
  tags::TTagLimits Limits;
  Limits.MaxBytes = std::min<std::size_t>(Q.MaxBytes, tags::TSparseStream::MaxBlock);
  Limits.MaxTime = std::chrono::milliseconds(std::min<uint32_t>(Q.MaxTimeMs, 60000));
  Limits.SkipFramesAbove = Q.SkipFramesAbove;
  const tags::TTagResult R = tags::ReadTags(Source, Q.Unc, Limits);
  Close(O.Handle);
  Out.Ok = R.Ok;
  Out.Artist = R.Tags.Artist;
  Out.Title = R.Tags.Title;
  Out.Album = R.Tags.Album;
  Out.Year = R.Tags.Year;
  Out.Length = R.Tags.Length;
  Out.BytesRead = R.BytesRead;
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
  // libsmbclient may hand less than asked before the end: fill the chunk.
  while (Got < Max) {
    const ssize_t N = smbc_getFunctionRead(C)(C, It->second.Dir, To + Got, Max - Got);
    if (N < 0) {
      Error = wire::SmbError(errno, It->second.Path);
      return -1;
    }
    if (N == 0) {
      End = true;
      break;
    }
    Got += std::size_t(N);
  }
  return long(Got);
}

bool TSmbClient::ReadDir(uint32_t Handle, uint32_t Max, std::vector<wire::Entry> &Out, bool &End,
                         net::NetError &Error) {
  End = false;
  const auto It = I_->Open.find(Handle);
  if (It == I_->Open.end() || It->second.File) {
    Error = wire::SmbError(EBADF, "listing " + std::to_string(Handle));
    return false;
  }
  auto &O = It->second;
  Max = std::clamp<uint32_t>(Max, 1, wire::MaxBatchEntries);
  std::size_t Bytes = 0;
  while (Out.size() < Max && Bytes < wire::MaxBatchBytes && O.Next < O.Entries.size()) {
    Bytes += O.Entries[O.Next].Name.size() + wire::EntryFixedBytes;
    Out.push_back(std::move(O.Entries[O.Next++]));
  }
  if (O.Next == O.Entries.size()) {
    Close(Handle);
    End = true;
  }
  return true;
}

void TSmbClient::Close(uint32_t Handle) {
  const auto It = I_->Open.find(Handle);
  if (It == I_->Open.end()) return;
  I_->CloseOne(It->second);
  I_->Open.erase(It);
}

} // namespace sonquarry::smb::worker
