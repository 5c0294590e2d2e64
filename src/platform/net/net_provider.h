#pragma once
// The network provider as the core sees it: the children of a network resource, and the entries
// of a share directory. The SMB implementation is in smb_provider.h; tests install fakes.
//
// Levels: no container -> the providers; a provider (display type 6) -> its workgroups and
// domains (1); a domain -> its servers (2, remote name "\\NAME"); a server -> its disk shares
// (3, "\\NAME\share"). Every entry of a container is returned, however many there are.
//
// Threads: an implementation may be called from several threads at once; it keeps whatever is not
// thread-safe (a libsmbclient context) per thread. A listing belongs to the thread that opened it.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace sonquarry::net {

// The numbers of a network resource, as the Windows provider uses them.
// Directories deeper than this below their share are not walked (links may loop), nor listed
// ahead of the walk.
constexpr int MaxWalkDepth = 64;

constexpr int32_t NetScopeGlobal = 2;      // RESOURCE_GLOBALNET
constexpr int32_t NetTypeDisk = 1;         // RESOURCETYPE_DISK
constexpr int32_t NetDisplayGeneric = 0;   // RESOURCEDISPLAYTYPE_GENERIC
constexpr int32_t NetDisplayDomain = 1;    // RESOURCEDISPLAYTYPE_DOMAIN
constexpr int32_t NetDisplayServer = 2;    // RESOURCEDISPLAYTYPE_SERVER
constexpr int32_t NetDisplayShare = 3;     // RESOURCEDISPLAYTYPE_SHARE
constexpr int32_t NetDisplayNetwork = 6;   // RESOURCEDISPLAYTYPE_NETWORK
constexpr int32_t NetUsageConnectable = 1; // RESOURCEUSAGE_CONNECTABLE
constexpr int32_t NetUsageContainer = 2;   // RESOURCEUSAGE_CONTAINER

// One resource description (the platform's NETRESOURCE).
struct NetResource {
  int32_t Scope = 0;
  int32_t Type = 0;
  int32_t DisplayType = 0;
  int32_t Usage = 0;
  std::string LocalName;
  std::string RemoteName;
  std::string Comment;
  std::string Provider;
};

// A failure: Code is an errno value (0: none), Message a line fit for the log. Broken: the call
// failed for the provider's own sake (its worker died, timed out, broke the protocol or was
// ended by a stop), not for the server's answer.
struct NetError {
  int Code = 0;
  std::string Message;
  bool Broken = false;
};

enum class NetEnumStatus {
  Ok,          // Out holds the entries (at least one)
  OpenFailed,  // the container could not be opened
  NoMoreItems, // opened, but it holds nothing
  ReadFailed,  // opened, reading it failed
};

// One directory entry: its bare name, whether it is a directory, and its size and last-write
// time (seconds since 1970) when the listing tells them (Size -1: it does not).
struct DirEntry {
  std::string Name;
  bool Directory = false;
  int64_t Size = -1;
  int64_t WriteTime = 0;
};

// A directory listing read entry by entry.
class INetDirListing {
public:
  virtual ~INetDirListing() = default;
  // The next entry; false at the end (Error's Code 0) or on a failure.
  virtual bool Next(DirEntry &Entry, NetError *Error = nullptr) = 0;
  // The directory's identity on its server: the same for every path that leads to the same
  // directory of a share; 0 when unknown.
  virtual uint64_t DirId() const { return 0; }
  // Whether Next has its answer without asking the network (the next entry, or the end).
  virtual bool Buffered() const { return false; }
};

// A file of a share read from its start to its end, by the thread that opened it.
class INetFile {
public:
  virtual ~INetFile() = default;
  // The size when it was opened; -1 when unknown.
  virtual int64_t Size() const = 0;
  // The next bytes, at most Capacity: how many, 0 at the end of the file, -1 on a failure.
  virtual long Read(char *Buffer, std::size_t Capacity, NetError *Error = nullptr) = 0;
  // From any thread: a Read in flight and every later one fail soon.
  virtual void Cancel() = 0;
};

// A file's size and last-write time (seconds since 1970).
struct FileStat {
  int64_t Size = -1;
  int64_t WriteTime = 0;
  bool Directory = false; // a directory that a file's extension names: no tags to read
};

// What a music file's tags say.
struct MusicTags {
  std::string Artist, Title, Album; // UTF-8
  int Year = 0;                     // 0: none
  int Length = -1;                  // seconds, rounded; -1: unknown
  bool operator==(const MusicTags &) const = default;
};

// What reading one file's tags may cost, whatever the file claims.
struct TagBudget {
  // Bytes read from the file at most.
  std::size_t MaxBytes = 256u << 10;
  std::chrono::milliseconds MaxTime{5000};
  // Frames of an ID3v2 tag larger than this that hold no text (pictures, objects) are not read.
  std::size_t SkipFramesAbove = 2048;
};

struct TagReading {
  bool Ok = false; // the file was recognised (its tags may still be empty)
  MusicTags Tags;
  std::size_t BytesRead = 0;
  // Reading it ended the process that read it (its memory or time ran out, or it broke): the
  // file's tags are lost, and it is not worth reading again while it stays as it is.
  bool EndedReader = false;
};

class INetProvider {
public:
  virtual ~INetProvider() = default;

  // Appends the children of Container (none: the top of the network) to Out, in the provider's
  // order. Error, when given, receives the reason of a status other than Ok.
  virtual NetEnumStatus EnumResources(const NetResource *Container, std::vector<NetResource> &Out,
                                      NetError *Error = nullptr) = 0;

  // Appends every entry of the directory UncDir ("\\PC\share" or "\\PC\share\dir\sub", no
  // trailing backslash needed) to Out in the server's order, "." and ".." included when the
  // server reports them. False when the directory cannot be listed.
  virtual bool FindFiles(const std::string &UncDir, std::vector<DirEntry> &Out,
                         NetError *Error = nullptr) = 0;

  // The entries of UncDir as FindFiles gives them, one at a time; null when the directory cannot
  // be listed. This one lists the whole directory with FindFiles first.
  virtual std::unique_ptr<INetDirListing> OpenDir(const std::string &UncDir,
                                                  NetError *Error = nullptr);

  // The file UncPath ("\\PC\share\dir\name") for reading; null when it cannot be opened. This
  // one opens nothing (ENOTSUP).
  virtual std::unique_ptr<INetFile> OpenFile(const std::string &UncPath, NetError *Error = nullptr);

  // The tags of the music file UncPath of Size bytes (-1: unknown) read where the file is, within
  // Budget: only the tag's bytes cross the link to the reader, and only the tags come back. False
  // when this provider cannot (its files' tags stay unknown); true with Out.Ok false
  // when the file could not be read or is not one whose tags are known (Error says why).
  virtual bool ReadTags(const std::string &UncPath, int64_t Size, const TagBudget &Budget,
                        TagReading &Out, NetError *Error = nullptr) {
    (void)UncPath;
    (void)Size;
    (void)Budget;
    (void)Out;
    (void)Error;
    return false;
  }

  // The size and last-write time of UncPath without reading it; false when it cannot be
  // asked (this one: ENOTSUP).
  virtual bool StatFile(const std::string &UncPath, FileStat &Out, NetError *Error = nullptr);

  // The caller has just reached Server (a name or dotted address) itself, with its own time-out:
  // no probe of the provider's own needs to ask again.
  virtual void NoteReachable(const std::string &Server) { (void)Server; }

  // The calling thread's next call starts on a connection of its own, as after a failure of the
  // one it had: for a call that failed in a way another connection may not.
  virtual void Reconnect() {}

  // The cap of connections per server (at least 1) and of helpers in all (0: none), for the
  // walks that start from now on.
  virtual void SetWalkLimits(int ServerConnections, int Helpers) {
    (void)ServerConnections;
    (void)Helpers;
  }
  // Tells through platform::Diagnostic what of its configuration the provider will refuse; a
  // program asks once per search, after its log was started.
  virtual void CheckSetup() const {}
  // False when a search through this provider would end at once and find nothing (the SMB
  // provider without its worker program).
  virtual bool CanSearch() const { return true; }
};

} // namespace sonquarry::net
