#pragma once
// The state of one TSmbClient, shared by the files that serve it: the context, the identities and
// the open files (smb_client.cpp), the listings with their identities and what is read ahead
// (smb_client_listing.cpp), and the tags read beside a file (smb_client_tags.cpp).

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include <libsmbclient.h>

#include "platform/smb/worker/smb_client.h"

namespace sonquarry::smb::worker {

struct TSmbClient::TImpl {
  wire::Hello Config;
  std::vector<wire::SmbIdentity> Identities;
  SMBCCTX *Context = nullptr;
  wire::SmbIdentity Current;
  // Per server (lower case): the identity that worked there (past the last of Identities: the
  // one the program gave, GivenOf), and whether it speaks SMB1 only.
  std::map<std::string, std::size_t> IdentityOf;
  std::map<std::string, wire::Login> GivenOf;
  // The program's identities for a server, asked while a request is served; and the note that
  // one worked.
  std::function<wire::Login(const wire::AskLogin &)> AskLogin;
  std::function<void(const wire::AskLogin &)> LoginUsed;
  std::set<std::string> Smb1Only;
  // Per share: whether its listings carry the server's file ids.
  std::map<std::string, bool> RealIds;
  struct TOpen {
    SMBCFILE *Dir = nullptr; // a file's; a listing is read whole at its open
    bool File = false;
    std::size_t Piece = 256u << 10;   // a file's next read, after the pace it was read at
    std::string Path;                 // a file's, for its errors
    std::vector<wire::Entry> Entries; // a listing's, and the next to hand out
    std::size_t Next = 0;
  };
  std::map<uint32_t, TOpen> Open;
  uint32_t NextHandle = 1;
  int Range = -1; // the protocol range set: 0 SMB2 and up, 1 NT1 only

  static void Auth(SMBCCTX *C, const char *, const char *, char *Wg, int WgLen, char *User,
                   int UserLen, char *Password, int PasswordLen);

  SMBCCTX *Ctx(net::NetError &Error);

  // Opens Url (a directory, or a file to read) with the identities in turn, in the protocol
  // range of the call. Null on failure.
  SMBCFILE *OpenUrl(const std::string &Url, const std::string &Server, bool Browse,
                    net::NetError &Error, const std::string &Where, bool File = false);

  // Lists Url at once; Entry for every entry.
  bool List(const std::string &Url, const std::string &Server, bool Browse,
            const std::function<void(const smbc_dirent &)> &Entry, net::NetError &Error,
            const std::string &Where);

  // A listing read whole: its identity and entries, or why it failed.
  struct TListed {
    bool Ok = false;
    wire::Opened Dir; // Id and Kind
    std::vector<wire::Entry> Entries;
    net::NetError Error;
  };

  TListed List(const std::string &UncDir);

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
  TListed Listed(const std::string &UncDir, bool &Planned_);
  void CountAhead();
  void PlanBelow(const std::string &UncDir, const std::vector<wire::Entry> &Entries);
  bool WouldReadAhead() const;
  bool ReadAhead();

  // Takes the listings read ahead that follow, whole, into Out (within a frame's room).
  void Following(std::vector<wire::AheadListing> &Out);
  void CloseOne(const TOpen &O);
  uint32_t Keep(TOpen O);
  uint32_t KeepListing(std::vector<wire::Entry> Entries);

  // Whether the listings of Url's share may carry the server's file ids: not known yet, or
  // known to.
  bool MayHaveRealIds(const std::string &Url, const std::string &Server) const;
  bool RealIdsOf(const std::string &Url, const std::string &Server, uint64_t DotId);
};

} // namespace sonquarry::smb::worker
