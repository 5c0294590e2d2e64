#include "platform/smb/worker/smb_client_impl.h"

#include <algorithm>
#include <iterator>
#include <string_view>
#include <sys/stat.h>

#include "platform/net/smb_url.h"
#include "platform/net/unc_path.h"
#include "platform/smb/wire/smb_error.h"
#include "text/text.h"

// Listings: read whole at their open, with the directory's identity, and the listings read ahead
// of the walk.

namespace sonquarry::smb::worker {

namespace {

constexpr uint16_t FileAttributeDirectory = 0x10;

using text::AsciiLower;

// "smb://server/share" of a URL below it, lower case.
std::string ShareKey(const std::string &Url) {
  const std::size_t Host = Url.find("//");
  std::size_t End = Host == std::string::npos ? std::string::npos : Url.find('/', Host + 2);
  if (End != std::string::npos) End = Url.find('/', End + 1);
  return AsciiLower(Url.substr(0, End));
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

TSmbClient::TImpl::TListed TSmbClient::TImpl::List(const std::string &UncDir) {
  TListed L;
  const std::string Url = net::UncToSmbUrl(UncDir);
  const std::string Server = net::UncPath::Parse(UncDir).Server;
  SMBCFILE *Dir = OpenUrl(Url, Server, false, L.Error, UncDir);
  if (!Dir) {
    if (L.Error.Code == EINVAL) {
      // Whether the server still answers tells an odd name from a broken connection.
      const auto P = net::UncPath::Parse(UncDir);
      const std::string Share = net::UncToSmbUrl(net::UncPath{P.Server, P.Share, ""}.Str());
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

TSmbClient::TImpl::TListed TSmbClient::TImpl::Listed(const std::string &UncDir, bool &Planned_) {
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

void TSmbClient::TImpl::CountAhead() {
  AheadEntries = 0;
  for (const auto &A : Ahead) AheadEntries += A.second.Entries.size();
}

void TSmbClient::TImpl::PlanBelow(const std::string &UncDir,
                                  const std::vector<wire::Entry> &Entries) {
  wire::PlanSubdirs(Planned, UncDir, Entries, MaxPlanned);
}

bool TSmbClient::TImpl::WouldReadAhead() const {
  return Ahead.size() < MaxAhead && AheadEntries < MaxAheadEntries && !Planned.empty();
}

bool TSmbClient::TImpl::ReadAhead() {
  if (!WouldReadAhead()) return false;
  std::string Next = std::move(Planned.back());
  Planned.pop_back();
  TListed L = List(Next);
  if (L.Ok) PlanBelow(Next, L.Entries);
  AheadEntries += L.Entries.size();
  Ahead.emplace_back(std::move(Next), std::move(L));
  return true;
}

void TSmbClient::TImpl::Following(std::vector<wire::AheadListing> &Out) {
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

bool TSmbClient::TImpl::MayHaveRealIds(const std::string &Url, const std::string &Server) const {
  if (Smb1Only.count(AsciiLower(Server))) return false;
  const auto It = RealIds.find(ShareKey(Url));
  return It == RealIds.end() || It->second;
}

bool TSmbClient::TImpl::RealIdsOf(const std::string &Url, const std::string &Server,
                                  uint64_t DotId) {
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

} // namespace sonquarry::smb::worker
