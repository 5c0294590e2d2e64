#include "platform/smb/wire/smb_wire.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sys/socket.h>
#include <sys/uio.h>
#include <zlib.h>

namespace sonquarry::smb::wire {

namespace {

constexpr uint8_t Magic[3] = {'S', 'Q', 'W'};

uint32_t Le32(const uint8_t *P) {
  return uint32_t(P[0]) | uint32_t(P[1]) << 8 | uint32_t(P[2]) << 16 | uint32_t(P[3]) << 24;
}

void SetLe32(uint8_t *P, uint32_t V) {
  for (int I = 0; I < 4; ++I) P[I] = uint8_t(V >> (8 * I));
}

} // namespace

// zlib's: the same CRC-32, several times faster than a byte table on file chunks.
uint32_t Crc32(std::span<const uint8_t> Bytes, uint32_t Crc) {
  return uint32_t(::crc32_z(Crc, Bytes.data(), Bytes.size()));
}

bool KnownType(uint8_t T) {
  return (T >= uint8_t(Type::Hello) && T <= uint8_t(Type::ReadFile)) ||
         (T >= uint8_t(Type::HelloOk) && T <= uint8_t(Type::Listing)) ||
         T == uint8_t(Type::StatFile) || T == uint8_t(Type::ReadTags) ||
         T == uint8_t(Type::FileStat) || T == uint8_t(Type::Tags) || T == uint8_t(Type::Progress) ||
         T == uint8_t(Type::AskLogin) || T == uint8_t(Type::LoginUsed) || T == uint8_t(Type::Login);
}

std::vector<uint8_t> Encode(Type Kind, const std::vector<uint8_t> &Payload) {
  // Sized up front and filled by index: GCC 12 at -O3 misreads the growth of an empty vector.
  std::vector<uint8_t> B(HeaderSize + Payload.size() + TrailerSize, 0);
  std::memcpy(B.data(), Magic, sizeof Magic);
  B[3] = Version;
  B[4] = uint8_t(Kind);
  SetLe32(B.data() + 8, uint32_t(Payload.size()));
  if (!Payload.empty()) std::memcpy(B.data() + HeaderSize, Payload.data(), Payload.size());
  const size_t Body = HeaderSize + Payload.size();
  SetLe32(B.data() + Body, Crc32(std::span<const uint8_t>(B.data(), Body)));
  return B;
}

std::optional<uint32_t> PayloadLength(std::span<const uint8_t, HeaderSize> H, std::string *Why) {
  auto Fail = [&](const char *Text) -> std::optional<uint32_t> {
    if (Why) *Why = Text;
    return std::nullopt;
  };
  if (std::memcmp(H.data(), Magic, 3) != 0) return Fail("not a worker frame");
  if (H[3] != Version) return Fail("another protocol version");
  if (!KnownType(H[4])) return Fail("unknown frame type");
  if (H[5] || H[6] || H[7]) return Fail("reserved bytes set");
  const uint32_t Length = Le32(H.data() + 8);
  if (Length > MaxPayload) return Fail("frame too long");
  return Length;
}

namespace {
// The length of the sound frame at the front of Bytes; 0 when there is none (R says why).
std::size_t Framed(std::span<const uint8_t> Bytes, DecodeResult &R) {
  if (Bytes.size() < HeaderSize) {
    R.Incomplete = true;
    R.Why = "truncated frame";
    return 0;
  }
  const auto Length = PayloadLength(Bytes.first<HeaderSize>(), &R.Why);
  if (!Length) return 0;
  const std::size_t Total = HeaderSize + *Length + TrailerSize;
  if (Bytes.size() < Total) {
    R.Incomplete = true;
    R.Why = "truncated frame";
    return 0;
  }
  if (Crc32(Bytes.first(Total - TrailerSize)) != Le32(Bytes.data() + Total - TrailerSize)) {
    R.Why = "checksum mismatch";
    return 0;
  }
  return Total;
}

void Fill(std::span<const uint8_t> Bytes, std::size_t Total, Frame &F) {
  F.Kind = Type(Bytes[4]);
  F.Payload.assign(Bytes.begin() + HeaderSize, Bytes.begin() + std::ptrdiff_t(Total - TrailerSize));
}
} // namespace

DecodeResult Decode(std::span<const uint8_t> Bytes) {
  DecodeResult R;
  if (const std::size_t Total = Framed(Bytes, R)) {
    R.F.emplace();
    Fill(Bytes, Total, *R.F);
    R.Used = Total;
  }
  return R;
}

DecodeResult Take(std::vector<uint8_t> &Buffer, Frame &Into) {
  DecodeResult R;
  if (const std::size_t Total = Framed(Buffer, R)) {
    Fill(Buffer, Total, Into);
    R.Used = Total;
    Buffer.erase(Buffer.begin(), Buffer.begin() + std::ptrdiff_t(Total));
  }
  return R;
}

bool SendFrame(int Fd, Type Kind, const std::vector<uint8_t> &Payload) {
  return SendAll(Fd, Encode(Kind, Payload));
}

bool SendAll(int Fd, std::span<const uint8_t> B) {
  std::size_t Done = 0;
  while (Done < B.size()) {
    const ssize_t N = ::send(Fd, B.data() + Done, B.size() - Done, MSG_NOSIGNAL);
    if (N < 0 && errno == EINTR) continue;
    if (N <= 0) return false;
    Done += std::size_t(N);
  }
  return true;
}

bool SendWithDescriptor(int Fd, std::span<const char> Bytes, int Passed, int Flags) {
  alignas(cmsghdr) char Control[CMSG_SPACE(sizeof(int))] = {};
  iovec Io{const_cast<char *>(Bytes.data()), Bytes.size()};
  msghdr M{};
  M.msg_iov = &Io;
  M.msg_iovlen = 1;
  M.msg_control = Control;
  M.msg_controllen = sizeof Control;
  cmsghdr *C = CMSG_FIRSTHDR(&M);
  C->cmsg_level = SOL_SOCKET;
  C->cmsg_type = SCM_RIGHTS;
  C->cmsg_len = CMSG_LEN(sizeof(int));
  std::memcpy(CMSG_DATA(C), &Passed, sizeof Passed);
  return ::sendmsg(Fd, &M, MSG_NOSIGNAL | Flags) == ssize_t(Bytes.size());
}

// ---- fields

TWriter &TWriter::U8(uint8_t V) {
  B_.push_back(V);
  return *this;
}
TWriter &TWriter::U32(uint32_t V) {
  for (int I = 0; I < 4; ++I) B_.push_back(uint8_t(V >> (8 * I)));
  return *this;
}
TWriter &TWriter::U64(uint64_t V) {
  U32(uint32_t(V));
  return U32(uint32_t(V >> 32));
}
TWriter &TWriter::Str(const std::string &V) {
  U32(uint32_t(V.size()));
  B_.insert(B_.end(), V.begin(), V.end());
  return *this;
}

bool TReader::Take(std::size_t N, const uint8_t *&P) {
  if (!Ok_ || B_.size() - Pos_ < N) {
    Ok_ = false;
    return false;
  }
  P = B_.data() + Pos_;
  Pos_ += N;
  return true;
}
bool TReader::U8(uint8_t &V) {
  const uint8_t *P;
  if (!Take(1, P)) return false;
  V = *P;
  return true;
}
bool TReader::U32(uint32_t &V) {
  const uint8_t *P;
  if (!Take(4, P)) return false;
  V = Le32(P);
  return true;
}
bool TReader::I32(int32_t &V) {
  uint32_t U;
  if (!U32(U)) return false;
  V = static_cast<int32_t>(U);
  return true;
}
bool TReader::U64(uint64_t &V) {
  uint32_t Lo, Hi;
  if (!U32(Lo) || !U32(Hi)) return false;
  V = uint64_t(Hi) << 32 | Lo;
  return true;
}
bool TReader::Str(std::string &V, uint32_t Max) {
  uint32_t N;
  const uint8_t *P;
  if (!U32(N)) return false;
  if (N > Max) {
    Ok_ = false;
    return false;
  }
  if (!Take(N, P)) return false;
  V.assign(reinterpret_cast<const char *>(P), N);
  return true;
}

// ---- messages

std::vector<uint8_t> Put(const Hello &M) {
  return TWriter().Str(M.ConfigFile).Str(M.CredentialsFile).I32(M.TimeOutMs).Take();
}
bool Get(std::span<const uint8_t> P, Hello &M) {
  TReader R(P);
  return R.Str(M.ConfigFile) && R.Str(M.CredentialsFile) && R.I32(M.TimeOutMs) && R.Done();
}

std::vector<uint8_t> Put(const EnumRequest &M) {
  return TWriter().I32(M.Level).Str(M.RemoteName).Take();
}
bool Get(std::span<const uint8_t> P, EnumRequest &M) {
  TReader R(P);
  return R.I32(M.Level) && R.Str(M.RemoteName) && R.Done();
}

std::vector<uint8_t> Put(const std::vector<Resource> &M) {
  TWriter W;
  W.U32(uint32_t(M.size()));
  for (const auto &E : M) W.I32(E.DisplayType).I32(E.Usage).Str(E.RemoteName).Str(E.Comment);
  return W.Take();
}
bool Get(std::span<const uint8_t> P, std::vector<Resource> &M) {
  TReader R(P);
  uint32_t N;
  if (!R.U32(N)) return false;
  // Each entry takes 16 bytes at least: a count beyond that is a lie, not a reason to allocate.
  if (N > R.Left() / 16) return false;
  M.clear();
  M.reserve(N);
  for (uint32_t I = 0; I < N; ++I) {
    Resource E;
    if (!R.I32(E.DisplayType) || !R.I32(E.Usage) || !R.Str(E.RemoteName) || !R.Str(E.Comment))
      return false;
    M.push_back(std::move(E));
  }
  return R.Done();
}

std::vector<uint8_t> Put(const EnumEnd &M) {
  return TWriter().U8(M.Status).I32(M.Code).Str(M.Message).Take();
}
bool Get(std::span<const uint8_t> P, EnumEnd &M) {
  TReader R(P);
  return R.U8(M.Status) && M.Status <= 3 && R.I32(M.Code) && R.Str(M.Message) && R.Done();
}

std::vector<uint8_t> Put(const ErrorReply &M) {
  return TWriter().I32(M.Code).Str(M.Message).Take();
}
bool Get(std::span<const uint8_t> P, ErrorReply &M) {
  TReader R(P);
  return R.I32(M.Code) && R.Str(M.Message) && R.Done();
}

namespace {

void PutOpened(TWriter &W, const Opened &M) { W.U32(M.Handle).U64(M.Id).U8(uint8_t(M.Kind)); }
bool GetOpened(TReader &R, Opened &M) {
  uint8_t K;
  if (!R.U32(M.Handle) || !R.U64(M.Id) || !R.U8(K) || K > uint8_t(IdKind::Listing)) return false;
  M.Kind = IdKind(K);
  return true;
}

void PutEntries(TWriter &W, const std::vector<Entry> &M, bool End) {
  W.U8(End ? 1 : 0).U32(uint32_t(M.size()));
  for (const auto &E : M)
    W.U8(E.Directory ? 1 : 0).Str(E.Name).U64(E.Size).U64(uint64_t(E.WriteTime));
}
bool GetEntries(TReader &R, std::vector<Entry> &M, bool &End) {
  uint8_t Last;
  uint32_t N;
  if (!R.U8(Last) || Last > 1 || !R.U32(N) || N > MaxBatchEntries || N > R.Left() / EntryFixedBytes)
    return false;
  M.clear();
  M.reserve(N);
  for (uint32_t I = 0; I < N; ++I) {
    Entry E;
    uint8_t Flags;
    uint64_t Time;
    if (!R.U8(Flags) || Flags > 1 || !R.Str(E.Name) || !R.U64(E.Size) || !R.U64(Time)) return false;
    E.WriteTime = int64_t(Time);
    // A name is one path component: never empty, never with a separator or a NUL.
    if (E.Name.empty() || E.Name.find_first_of(std::string("/\\\0", 3)) != std::string::npos)
      return false;
    E.Directory = Flags == 1;
    M.push_back(std::move(E));
  }
  End = Last == 1;
  return true;
}

} // namespace

std::vector<uint8_t> Put(const Opened &M) {
  TWriter W;
  PutOpened(W, M);
  return W.Take();
}
bool Get(std::span<const uint8_t> P, Opened &M) {
  TReader R(P);
  return GetOpened(R, M) && R.Done();
}

std::vector<uint8_t> Put(const ReadDir &M) { return TWriter().U32(M.Handle).U32(M.Max).Take(); }
bool Get(std::span<const uint8_t> P, ReadDir &M) {
  TReader R(P);
  return R.U32(M.Handle) && R.U32(M.Max) && R.Done();
}

std::vector<uint8_t> Put(const std::vector<Entry> &M, bool End) {
  TWriter W;
  PutEntries(W, M, End);
  return W.Take();
}
bool Get(std::span<const uint8_t> P, std::vector<Entry> &M, bool &End) {
  TReader R(P);
  return GetEntries(R, M, End) && R.Done();
}

std::vector<uint8_t> Put(const Listing &M) {
  TWriter W;
  PutOpened(W, M.Dir);
  PutEntries(W, M.Entries, M.End);
  W.U32(uint32_t(M.Next.size()));
  for (const auto &A : M.Next) {
    W.Str(A.Dir).U64(A.Id).U8(uint8_t(A.Kind));
    PutEntries(W, A.Entries, true);
  }
  return W.Take();
}
bool Get(std::span<const uint8_t> P, Listing &M) {
  TReader R(P);
  uint32_t N;
  if (!GetOpened(R, M.Dir) || !GetEntries(R, M.Entries, M.End) || !R.U32(N) || N > MaxAheadListings)
    return false;
  M.Next.clear();
  for (uint32_t I = 0; I < N; ++I) {
    AheadListing A;
    uint8_t K;
    bool End = false;
    // Whole listings only, of a named directory.
    if (!R.Str(A.Dir) || A.Dir.empty() || !R.U64(A.Id) || !R.U8(K) ||
        K > uint8_t(IdKind::Listing) || !GetEntries(R, A.Entries, End) || !End)
      return false;
    A.Kind = IdKind(K);
    M.Next.push_back(std::move(A));
  }
  return R.Done();
}

std::vector<uint8_t> Put(const ReadFile &M) { return TWriter().U32(M.Handle).U32(M.Max).Take(); }
bool Get(std::span<const uint8_t> P, ReadFile &M) {
  TReader R(P);
  return R.U32(M.Handle) && R.U32(M.Max) && R.Done();
}

std::vector<uint8_t> Put(const AskLogin &M) { return TWriter().Str(M.Server).U32(M.Index).Take(); }
bool Get(std::span<const uint8_t> P, AskLogin &M) {
  TReader R(P);
  return R.Str(M.Server, 4096) && R.U32(M.Index) && R.Done();
}
std::vector<uint8_t> Put(const Login &M) {
  return TWriter().U8(M.Has).U32(M.Index).Str(M.User).Str(M.Domain).Str(M.Password).Take();
}
bool Get(std::span<const uint8_t> P, Login &M) {
  TReader R(P);
  uint8_t Has = 0;
  if (!R.U8(Has) || Has > 1 || !R.U32(M.Index) || !R.Str(M.User, 4096) || !R.Str(M.Domain, 4096) ||
      !R.Str(M.Password, 4096) || !R.Done())
    return false;
  M.Has = Has != 0;
  return true;
}

std::vector<uint8_t> Put(const FileStat &M) {
  return TWriter().U64(M.Size).U64(uint64_t(M.WriteTime)).Take();
}
bool Get(std::span<const uint8_t> P, FileStat &M) {
  TReader R(P);
  uint64_t T;
  if (!R.U64(M.Size) || !R.U64(T) || !R.Done()) return false;
  M.WriteTime = int64_t(T);
  return true;
}

std::vector<uint8_t> Put(const ReadTags &M) {
  return TWriter()
      .Str(M.Unc)
      .U64(uint64_t(M.Size))
      .U32(M.MaxBytes)
      .U32(M.MaxTimeMs)
      .U32(M.SkipFramesAbove)
      .Take();
}
bool Get(std::span<const uint8_t> P, ReadTags &M) {
  TReader R(P);
  uint64_t S;
  if (!R.Str(M.Unc) || !R.U64(S) || !R.U32(M.MaxBytes) || !R.U32(M.MaxTimeMs) ||
      !R.U32(M.SkipFramesAbove))
    return false;
  M.Size = int64_t(S);
  return M.Size >= -1 && R.Done();
}

// Texts longer than a tag field could sensibly be are a broken worker.
constexpr uint32_t MaxTagText = 64u << 10;

std::vector<uint8_t> Put(const Tags &M) {
  return TWriter()
      .U8(M.Ok ? 1 : 0)
      .Str(M.Artist)
      .Str(M.Title)
      .Str(M.Album)
      .I32(M.Year)
      .I32(M.Length)
      .U64(M.BytesRead)
      .Take();
}
bool Get(std::span<const uint8_t> P, Tags &M) {
  TReader R(P);
  uint8_t Ok;
  if (!R.U8(Ok) || Ok > 1 || !R.Str(M.Artist, MaxTagText) || !R.Str(M.Title, MaxTagText) ||
      !R.Str(M.Album, MaxTagText) || !R.I32(M.Year) || !R.I32(M.Length) || !R.U64(M.BytesRead))
    return false;
  M.Ok = Ok == 1;
  return R.Done();
}

std::vector<uint8_t> Put(const Data &M) {
  TWriter W;
  W.U8(M.End ? 1 : 0).U32(uint32_t(M.Bytes.size()));
  auto B = W.Take();
  B.insert(B.end(), M.Bytes.begin(), M.Bytes.end());
  return B;
}
uint8_t *DataFrame(std::vector<uint8_t> &Frame, uint32_t Max) {
  Frame.resize(DataAt + Max + TrailerSize);
  return Frame.data() + DataAt;
}

void SealData(std::vector<uint8_t> &Frame, uint32_t N, bool End) {
  Frame.resize(DataAt + N + TrailerSize);
  std::memcpy(Frame.data(), Magic, sizeof Magic);
  Frame[3] = Version;
  Frame[4] = uint8_t(Type::Data);
  Frame[5] = Frame[6] = Frame[7] = 0;
  SetLe32(Frame.data() + 8, N + 5);
  Frame[HeaderSize] = End ? 1 : 0;
  SetLe32(Frame.data() + HeaderSize + 1, N);
  SetLe32(Frame.data() + DataAt + N, Crc32(std::span<const uint8_t>(Frame.data(), DataAt + N)));
}

bool Get(std::span<const uint8_t> P, Data &M) {
  TReader R(P);
  uint8_t End;
  uint32_t N;
  if (!R.U8(End) || End > 1 || !R.U32(N) || N > MaxChunk || N != R.Left()) return false;
  M.End = End == 1;
  M.Bytes.assign(P.end() - std::ptrdiff_t(N), P.end());
  return true;
}

std::vector<uint8_t> PutString(const std::string &S) { return TWriter().Str(S).Take(); }
bool GetString(std::span<const uint8_t> P, std::string &S) {
  TReader R(P);
  return R.Str(S) && R.Done();
}

std::vector<uint8_t> PutHandle(uint32_t Handle) { return TWriter().U32(Handle).Take(); }
int DepthBelowShare(const std::string &Dir) {
  const auto Slashes =
      std::count(Dir.begin() + std::min<std::size_t>(2, Dir.size()), Dir.end(), '\\');
  return int(std::max<std::ptrdiff_t>(Slashes - 1, 0));
}

void PlanSubdirs(std::deque<std::string> &Plan, const std::string &Dir,
                 const std::vector<Entry> &Entries, std::size_t Max) {
  if (!WalkedBelow(Dir)) return;
  for (auto E = Entries.rbegin(); E != Entries.rend(); ++E)
    if (IsSubdir(*E)) Plan.push_back(Dir + "\\" + E->Name);
  while (Plan.size() > Max) Plan.pop_front();
}

bool GetHandle(std::span<const uint8_t> P, uint32_t &Handle) {
  TReader R(P);
  return R.U32(Handle) && R.Done();
}

} // namespace sonquarry::smb::wire
