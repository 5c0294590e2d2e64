#pragma once
// Who Sonquarry is on an SMB server: anonymous first, then guest, then the user of the optional
// credentials file (smbclient's authentication-file format: "username = ...", "password = ...",
// "domain = ..."). A file that group or others may read is refused, with a diagnostic line.

#include <optional>
#include <string>
#include <vector>

namespace sonquarry::smb::wire {

struct SmbIdentity {
  std::string User; // "" is anonymous
  std::string Password;
  std::string Domain; // "" leaves the workgroup of the client configuration
};

// "$XDG_CONFIG_HOME/sonquarry/credentials", with "~/.config" when XDG_CONFIG_HOME is unset or
// not absolute; "" when neither that nor HOME is known.
std::string DefaultCredentialsFile();

// The identity of the file Path; none when it does not exist, cannot be read, names no user or is
// readable by group or others (Refusal, when given, then receives the reason; also logged).
std::optional<SmbIdentity> LoadCredentialsFile(const std::string &Path,
                                               std::string *Refusal = nullptr);

// Opens Path for reading when it is a regular file, without waiting on a FIFO or a device; -1
// otherwise, Why then saying why ("" when it does not exist).
int OpenRegularFile(const std::string &Path, std::string &Why, bool FollowLinks = true);

// The configuration files libsmbclient reads by itself, $HOME/.smb/smb.conf and its ".append",
// that exist and are no regular files: each with why.
std::vector<std::string> UnusableHomeSmbConf();

// Parses the text of a credentials file; none when it names no user.
std::optional<SmbIdentity> ParseCredentials(const std::string &Text);

// The identities tried in order: anonymous, guest, then File's user if there is one.
std::vector<SmbIdentity> SmbIdentities(const std::optional<SmbIdentity> &File);

} // namespace sonquarry::smb::wire
