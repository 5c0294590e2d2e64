#pragma once
// The SMB side of sonquarry-smb-worker: one libsmbclient context, used by one thread only (the
// worker's), so nothing here locks. Only the worker links libsmbclient.
//
// Protocol ranges per call: the browse levels (workgroups, the servers of a workgroup) need SMB1
// browsing and are listed with NT1 only; shares and directories are asked with SMB2_02..SMB3
// first and with NT1 when the server negotiates nothing newer (remembered per server).
//
// Listings: a directory is listed whole when it is opened (libsmbclient reads it whole anyway);
// ReadDir hands out what is left. See ReadAhead and Following.
//
// Directory identity: a listing's Id is the server's file id of the directory (from the "."
// entry, checked once per share against a stat) when the server gives real file ids (SMB2 and
// up); otherwise libsmbclient makes ids up from names, and the Id is a digest of the listing
// (the directory's own times and every entry's name, attributes, size and times), which two
// paths to one directory share.

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "platform/net/net_provider.h"
#include "platform/smb/wire/smb_auth.h"
#include "platform/smb/wire/smb_wire.h"

namespace sonquarry::smb::worker {

class TSmbClient {
public:
  // Open listings and files of one worker at most: a walk holds one listing per level.
  static constexpr std::size_t MaxOpen = 256;

  explicit TSmbClient(const wire::Hello &Config);
  ~TSmbClient();
  TSmbClient(const TSmbClient &) = delete;
  TSmbClient &operator=(const TSmbClient &) = delete;

  // How a server's identity beyond anonymous and guest is asked of the program (Ask), and how
  // the program hears that one worked (Used); without them none is tried.
  void ServeLogins(std::function<wire::Login(const wire::AskLogin &)> Ask,
                   std::function<void(const wire::AskLogin &)> Used);

  // The children of a container: Level is its display type (network, domain, server).
  net::NetEnumStatus Enum(int32_t Level, const std::string &RemoteName,
                          std::vector<wire::Resource> &Out, net::NetError &Error);
  bool OpenDir(const std::string &UncDir, wire::Opened &Out, net::NetError &Error);
  // Lists the directory that a walk will most likely ask for next, for its OpenDir; false when
  // there is none to list or one is listed already. For the time no request waits.
  bool ReadAhead();
  // Whether ReadAhead has anything to do.
  bool WouldReadAhead() const;
  // How many listings are read ahead after UncDir's (which is read ahead or next to be); a
  // large number when the walk went elsewhere.
  std::size_t ReadAheadAfter(const std::string &UncDir) const;
  // After an OpenDir: the listings read ahead that the walk asks for next, whole, for its reply.
  void Following(std::vector<wire::AheadListing> &Out);
  // The next entries of a listing, at most Max; End when no more follow (the listing is then
  // closed).
  bool ReadDir(uint32_t Handle, uint32_t Max, std::vector<wire::Entry> &Out, bool &End,
               net::NetError &Error);
  // A file for reading: Out.Id holds its size, Size when that is known (not asked then).
  bool OpenFile(const std::string &UncPath, wire::Opened &Out, net::NetError &Error,
                int64_t Size = -1);
  // A chunk of a file read over a slow link ends after about this long (a shorter Data frame).
  static constexpr auto ChunkFor = std::chrono::seconds(2);
  static constexpr std::size_t MinPiece = 64u << 10;
  // The next bytes of a file into To, at most Max: how many (End: the file ends there), or -1.
  long ReadFile(uint32_t Handle, uint8_t *To, uint32_t Max, bool &End, net::NetError &Error);
  // A file's size and last-write time without opening it for reading.
  bool StatFile(const std::string &UncPath, wire::FileStat &Out, net::NetError &Error);
  // The music tags of UncPath (Size -1: asked of the server), read here within the request's
  // budget; false when the file cannot be opened.
  bool ReadTags(const wire::ReadTags &Q, wire::Tags &Out, net::NetError &Error);
  // Ends a listing or a file.
  void Close(uint32_t Handle);

  struct TImpl;

private:
  std::unique_ptr<TImpl> I_;
};

} // namespace sonquarry::smb::worker
