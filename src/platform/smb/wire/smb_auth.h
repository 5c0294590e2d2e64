#pragma once
// Who Sonquarry is on an SMB server: anonymous first, then guest, then the users the program
// offers that server. The optional credentials file keeps smbclient's authentication-file format
// ("username = ...", "password = ...", "domain = ...") and adds sections: the lines before any
// section are for every computer; after "[\\NAME]" or "[\\a.b.c.d]" they are for that computer
// only (its name or address as the list shows it, without regard to case). A file that group or
// others may read is refused, with a diagnostic line.

#include <optional>
#include <string>
#include <utility>
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

// What a credentials file says: the identity of the lines before any section, and each section's.
struct SmbCredentials {
  std::optional<SmbIdentity> Global;
  // By computer, lower case (ASCII), without the leading backslashes; only those naming a user.
  std::vector<std::pair<std::string, SmbIdentity>> Sections;
  // The identity of Computer's section, none when it has none.
  std::optional<SmbIdentity> SectionFor(const std::string &Computer) const;
  bool Empty() const { return !Global && Sections.empty(); }
};

// The credentials of the file Path; none when it does not exist, cannot be read, names no user or
// is readable by group or others (Refusal, when given, then receives the reason; also logged).
std::optional<SmbCredentials> LoadCredentialsFile(const std::string &Path,
                                                  std::string *Refusal = nullptr);

// Opens Path for reading when it is a regular file, without waiting on a FIFO or a device; -1
// otherwise, Why then saying why ("" when it does not exist).
int OpenRegularFile(const std::string &Path, std::string &Why, bool FollowLinks = true);

// The configuration files libsmbclient reads by itself, $HOME/.smb/smb.conf and its ".append",
// that exist and are no regular files: each with why.
std::vector<std::string> UnusableHomeSmbConf();

// Parses the text of a credentials file. A "[...]" line of another form starts a section that
// serves no computer, so that its lines never reach another.
SmbCredentials ParseCredentials(const std::string &Text);

// The identities every computer is tried with before any the program offers: anonymous, guest.
std::vector<SmbIdentity> SmbIdentities();

} // namespace sonquarry::smb::wire
