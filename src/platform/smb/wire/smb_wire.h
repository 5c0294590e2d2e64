#pragma once
// The protocol between the programs and sonquarry-smb-worker, over a socket pair.
//
// A frame: magic "SQW" (3 bytes), version (1 byte), type (1 byte), three zero bytes, payload
// length (u32), the payload, then the CRC-32 of everything before it (u32). Integers are little
// endian; a string is a u32 length and its bytes. A frame that is truncated, too long, of another
// version, with non-zero reserved bytes or a wrong checksum is refused; so is a payload that does
// not hold exactly what its type says. Nothing is trusted before it is checked.
//
// Exchanges (the program asks, the worker answers each request with one reply, or with a run of
// Resources frames ended by EnumEnd):
//   Hello      -> HelloOk                      configuration; the first request
//   Enum       -> Resources* EnumEnd | Error   the children of a workgroup/server level
//   OpenDir    -> Listing | Error              a directory listing with its first entries; when
//                                              those are not the last, read on with ReadDir. It
//                                              may bring whole listings of the directories the
//                                              walk opens next (read ahead), to be taken from it
//                                              instead of asking
//   ReadDir    -> Entries | Error              the next entries, and whether they are the last
//   OpenFile   -> Opened | Error               a file for reading; Id holds its size
//   ReadFile   -> Data | Error                 the next bytes of a file, and whether they end it
//   Close      -> Closed                       ends a listing or a file (a listing whose last
//                                              entries were sent is closed already)
//   StatFile   -> FileStat | Error             a file's size and last-write time, unopened
//   ReadTags   -> Tags | Error                 a music file's tags, read by the worker within
//                                              a budget of bytes and time: the file's bytes stay
//                                              in the worker, only the tags come back
// While it serves a request, a server that refused anonymous and guest makes the worker ask:
//   AskLogin   -> Login                        the program's next identity for that computer
//   LoginUsed                                  (no reply) the one given worked there
// so that a computer's password goes to a worker only when it meets that computer.
// Handles number the open listings and files of one worker. Requests may be sent before the
// replies of earlier ones arrive (a reader keeps a few ReadFile in flight); replies keep their
// order.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "platform/net/net_provider.h"

namespace sonquarry::smb::wire {

// The worker's end of the socket pair, as the program hands it over.
constexpr int WorkerFd = 3;

// 2: OpenDir answers with the first entries (one exchange for most directories).
// 3: and with the whole listings read ahead that follow it.
// 4: entries carry their size and last-write time; OpenFile may bring the file's size and
//    ranges to read with the open.
// 5: ReadTags; the tags, which read files in ranges, are read in the worker: OpenFile is a path
//    again, and ReadAt is gone.
// 6: AskLogin, Login and LoginUsed; the worker reads no credentials file.
constexpr uint8_t Version = 6;
constexpr std::size_t HeaderSize = 12;
constexpr std::size_t TrailerSize = 4;
// Bytes of one Data frame at most: big, because each is one read that waits for the server.
constexpr uint32_t MaxChunk = 4u << 20;
// A frame never carries more: a bigger length is a broken peer, not a big directory.
constexpr uint32_t MaxPayload = MaxChunk + 64;
// Entries of one Entries frame, and bytes of their names, at most.
constexpr uint32_t MaxBatchEntries = 512;
constexpr uint32_t MaxBatchBytes = 256u << 10;
// Listings read ahead in one Listing at most.
constexpr uint32_t MaxAheadListings = 16;

enum class Type : uint8_t {
  Hello = 1,
  Enum = 2,
  OpenDir = 3,
  ReadDir = 4,
  Close = 5,
  OpenFile = 6,
  ReadFile = 7,
  HelloOk = 64,
  Error = 65,
  Resources = 66,
  EnumEnd = 67,
  Opened = 68,
  Entries = 69,
  Closed = 70,
  Data = 71,
  Listing = 72,
  // Apart from the runs above, so that other additions keep their numbers.
  StatFile = 25,
  ReadTags = 26,
  AskLogin = 27,
  LoginUsed = 28,
  FileStat = 88,
  Tags = 89,
  // No payload, at any time while a request is in progress: its server is still sending.
  Progress = 90,
  Login = 91,
};
bool KnownType(uint8_t T);

struct Frame {
  Type Kind = Type::Error;
  std::vector<uint8_t> Payload;
};

// The whole frame, ready to send.
std::vector<uint8_t> Encode(Type Kind, const std::vector<uint8_t> &Payload);

// Checks the header of a frame; the payload length when it is sound.
std::optional<uint32_t> PayloadLength(std::span<const uint8_t, HeaderSize> Header,
                                      std::string *Why = nullptr);
// Decodes one frame from the front of Bytes: the frame and the bytes it used, or none (Why says
// why; Incomplete tells a short buffer from a broken one).
struct DecodeResult {
  std::optional<Frame> F;
  std::size_t Used = 0;
  bool Incomplete = false;
  std::string Why;
};
DecodeResult Decode(std::span<const uint8_t> Bytes);
// Decodes the first frame of Buffer into Into (its payload's room is reused; R.F stays empty) and
// takes its bytes out of Buffer; R.Used is 0 when there is none.
DecodeResult Take(std::vector<uint8_t> &Buffer, Frame &Into);

// Sends the whole frame on a stream socket (no SIGPIPE); false when the peer is gone.
bool SendFrame(int Fd, Type Kind, const std::vector<uint8_t> &Payload);
bool SendAll(int Fd, std::span<const uint8_t> Bytes);
// One message of a SOCK_SEQPACKET socket with Passed along (SCM_RIGHTS), MSG_NOSIGNAL and Flags:
// whether it went, whole (errno says why not).
bool SendWithDescriptor(int Fd, std::span<const char> Bytes, int Passed, int Flags = 0);

uint32_t Crc32(std::span<const uint8_t> Bytes, uint32_t Crc = 0);

// ---- payload fields

class TWriter {
public:
  TWriter &U8(uint8_t V);
  TWriter &U32(uint32_t V);
  TWriter &I32(int32_t V) { return U32(static_cast<uint32_t>(V)); }
  TWriter &U64(uint64_t V);
  TWriter &Str(const std::string &V);
  const std::vector<uint8_t> &Bytes() const { return B_; }
  std::vector<uint8_t> Take() { return std::move(B_); }

private:
  std::vector<uint8_t> B_;
};

// Every read fails (and keeps failing) once the payload is short; Done checks that nothing is
// left over.
class TReader {
public:
  explicit TReader(std::span<const uint8_t> Bytes) : B_(Bytes) {}
  bool U8(uint8_t &V);
  bool U32(uint32_t &V);
  bool I32(int32_t &V);
  bool U64(uint64_t &V);
  bool Str(std::string &V, uint32_t Max = MaxPayload);
  bool Done() const { return Ok_ && Pos_ == B_.size(); }
  std::size_t Left() const { return Ok_ ? B_.size() - Pos_ : 0; }

private:
  bool Take(std::size_t N, const uint8_t *&P);
  std::span<const uint8_t> B_;
  std::size_t Pos_ = 0;
  bool Ok_ = true;
};

// ---- messages

struct Hello {
  std::string ConfigFile;      // "" libsmbclient's own choice
  std::string CredentialsFile; // unused since version 6: the program offers identities
  int32_t TimeOutMs = 5000;
};
struct EnumRequest {
  int32_t Level = 0; // the container's display type
  std::string RemoteName;
};
struct Resource {
  int32_t DisplayType = 0;
  int32_t Usage = 0;
  std::string RemoteName;
  std::string Comment;
};
struct EnumEnd {
  uint8_t Status = 0; // NetEnumStatus
  int32_t Code = 0;
  std::string Message;
};
struct ErrorReply {
  int32_t Code = 0;
  std::string Message;
};
enum class IdKind : uint8_t { None = 0, FileId = 1, Listing = 2 };
struct Opened {
  uint32_t Handle = 0;
  uint64_t Id = 0;
  IdKind Kind = IdKind::None;
};
struct ReadDir {
  uint32_t Handle = 0;
  uint32_t Max = MaxBatchEntries;
};
struct Entry {
  std::string Name;
  bool Directory = false;
  uint64_t Size = 0;
  int64_t WriteTime = 0; // seconds since 1970
};
// Bytes of an entry on the wire besides its name.
constexpr std::size_t EntryFixedBytes = 21;
// A directory a walk enters: any but "." and "..".
inline bool IsSubdir(const Entry &E) { return E.Directory && E.Name != "." && E.Name != ".."; }
// How many levels below its share the UNC directory Dir lies: 0 for the share itself.
int DepthBelowShare(const std::string &Dir);
// Whether a walk enters the subdirectories of Dir (it stops at net::MaxWalkDepth).
inline bool WalkedBelow(const std::string &Dir) { return DepthBelowShare(Dir) < net::MaxWalkDepth; }
// Puts Dir's subdirectories among Entries on top of Plan, the first topmost, so that a walk that
// takes from the top meets them in listing order; past Max entries the bottom ones go. None
// below the depth a walk enters.
void PlanSubdirs(std::deque<std::string> &Plan, const std::string &Dir,
                 const std::vector<Entry> &Entries, std::size_t Max);
// A whole listing read ahead: the directory, its identity and all its entries.
struct AheadListing {
  std::string Dir;
  uint64_t Id = 0;
  IdKind Kind = IdKind::None;
  std::vector<Entry> Entries;
};
// The reply to OpenDir.
struct Listing {
  Opened Dir;
  std::vector<Entry> Entries;
  bool End = false;               // no more entries follow (the listing is closed)
  std::vector<AheadListing> Next; // in the order the walk asks for them
};
struct ReadFile {
  uint32_t Handle = 0;
  uint32_t Max = MaxChunk;
};
struct Data {
  bool End = false; // nothing follows these bytes
  std::vector<uint8_t> Bytes;
};
struct FileStat {
  uint64_t Size = 0;
  int64_t WriteTime = 0; // seconds since 1970
};

struct ReadTags {
  std::string Unc;
  int64_t Size = -1; // -1: the worker asks the server
  uint32_t MaxBytes = 0;
  uint32_t MaxTimeMs = 0;
  uint32_t SkipFramesAbove = 0;
};
struct Tags {
  bool Ok = false; // the file was recognised
  std::string Artist, Title, Album;
  int32_t Year = 0;
  int32_t Length = -1;
  uint64_t BytesRead = 0;
  bool operator==(const Tags &) const = default;
};

// The worker's question: the identity after the Index-th it was given for Server (0: the first);
// asking for Index says that Index-1 was refused. LoginUsed carries the same fields.
struct AskLogin {
  std::string Server;
  uint32_t Index = 0;
};
// The answer: Has false when the program has none left (the server is then left out).
struct Login {
  bool Has = false;
  uint32_t Index = 0; // the index of the identity given, at least the one asked for
  std::string User, Domain, Password;
};

std::vector<uint8_t> Put(const AskLogin &M);
std::vector<uint8_t> Put(const Login &M);
std::vector<uint8_t> Put(const Hello &M);
std::vector<uint8_t> Put(const EnumRequest &M);
std::vector<uint8_t> Put(const std::vector<Resource> &M);
std::vector<uint8_t> Put(const EnumEnd &M);
std::vector<uint8_t> Put(const ErrorReply &M);
std::vector<uint8_t> Put(const Opened &M);
std::vector<uint8_t> Put(const ReadDir &M);
std::vector<uint8_t> Put(const ReadFile &M);
std::vector<uint8_t> Put(const Data &M);
std::vector<uint8_t> Put(const Listing &M);
std::vector<uint8_t> Put(const FileStat &M);
std::vector<uint8_t> Put(const ReadTags &M);
std::vector<uint8_t> Put(const Tags &M);
// A Data frame built in place, without copying its bytes: DataFrame sizes Frame for Max bytes,
// which go at DataAt; SealData fixes the frame for the N bytes that came.
constexpr std::size_t DataAt = HeaderSize + 5;
uint8_t *DataFrame(std::vector<uint8_t> &Frame, uint32_t Max);
void SealData(std::vector<uint8_t> &Frame, uint32_t N, bool End);
// End: the listing has no more entries after these (and is closed).
std::vector<uint8_t> Put(const std::vector<Entry> &M, bool End);
std::vector<uint8_t> PutString(const std::string &S);
std::vector<uint8_t> PutHandle(uint32_t Handle);

// Each false when the payload does not hold exactly one such message.
bool Get(std::span<const uint8_t> P, AskLogin &M);
bool Get(std::span<const uint8_t> P, Login &M);
bool Get(std::span<const uint8_t> P, Hello &M);
bool Get(std::span<const uint8_t> P, EnumRequest &M);
bool Get(std::span<const uint8_t> P, std::vector<Resource> &M);
bool Get(std::span<const uint8_t> P, EnumEnd &M);
bool Get(std::span<const uint8_t> P, ErrorReply &M);
bool Get(std::span<const uint8_t> P, Opened &M);
bool Get(std::span<const uint8_t> P, ReadDir &M);
bool Get(std::span<const uint8_t> P, ReadFile &M);
bool Get(std::span<const uint8_t> P, Data &M);
bool Get(std::span<const uint8_t> P, Listing &M);
bool Get(std::span<const uint8_t> P, FileStat &M);
bool Get(std::span<const uint8_t> P, ReadTags &M);
bool Get(std::span<const uint8_t> P, Tags &M);
bool Get(std::span<const uint8_t> P, std::vector<Entry> &M, bool &End);
bool GetString(std::span<const uint8_t> P, std::string &S);
bool GetHandle(std::span<const uint8_t> P, uint32_t &Handle);

} // namespace sonquarry::smb::wire
