#pragma once
// Who the program is on each computer beyond anonymous and guest, in this order: the keyring's
// entries for it, its section of the credentials file, the file's lines for every computer,
// then (when the program can ask) the user's answer, asked once per computer and search and once
// more after a refused answer. A worker is given a computer's identity only when it asks for that
// computer; the file's section of one computer goes to no other.

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/smb/wire/smb_auth.h"
#include "platform/smb/wire/smb_wire.h"

namespace sonquarry::smb {

// What the program asks the user for a computer that refused every identity it had.
struct SmbLoginQuestion {
  std::string Computer; // as the list shows it
  std::string User, Domain;
  bool Again = false;       // the previous answer was refused
  bool CanRemember = false; // a keyring is there to remember it in
};
struct SmbLoginAnswer {
  wire::SmbIdentity Id;
  bool Remember = false;
};
// Runs on the walk's thread and may wait for the user; none: cancelled.
using TSmbAskLogin = std::function<std::optional<SmbLoginAnswer>(const SmbLoginQuestion &)>;

class TSmbLogins {
public:
  // CredentialsFile: "" the default one, "-" none.
  TSmbLogins(std::string CredentialsFile, bool Keyring, TSmbAskLogin Ask);

  // A new search with the credentials file as read now: the keyring is asked again, and the
  // questions may come again. Before the first, the file is read when first needed.
  void NewSearch(wire::SmbCredentials File);

  // The identity after the Index-th given for Server (Index-1 was refused there); none when
  // there is none left. Server "" is the browse list's: it gets the file's lines for every
  // computer only.
  wire::Login Next(const std::string &Server, uint32_t Index);
  // The identity Index worked on Server: it is tried first there from now on, and remembered in
  // the keyring when the user asked for that.
  void Used(const std::string &Server, uint32_t Index);

private:
  struct TCandidate {
    wire::SmbIdentity Id;
    bool Answered = false; // the user's
    bool Remember = false;
  };
  struct TServer {
    bool Built = false;
    std::vector<TCandidate> List;
    uint32_t First = 0; // those before it were refused
    int Asked = 0;
    bool Asking = false, LeftOut = false;
  };

  void Build(const std::string &Server, TServer &S);
  void LoadFile();

  const std::string File_;
  const bool Keyring_;
  const TSmbAskLogin Ask_;
  std::mutex Lock_;
  std::condition_variable Answered_;
  bool Loaded_ = false;
  wire::SmbCredentials Credentials_;
  bool KeyringTold_ = false; // the search's one line about a keyring that could not serve
  std::map<std::string, TServer> Servers_;
};

} // namespace sonquarry::smb
