#pragma once
// The desktop's keyring (the Secret Service, through libsecret): SMB passwords under the schema
// that desktop file managers use, org.gnome.keyring.NetworkPassword (user, domain, server,
// protocol "smb"), so that a password saved in the file manager serves here, and one remembered
// here serves there. Nothing here unlocks a locked keyring: that would wait on the user.

#include <string>
#include <vector>

namespace sonquarry::keyring {

struct NetworkPassword {
  std::string User, Domain, Server, Password;
};

// Whether a session bus is there to ask (Why says why not); the Secret Service may still be
// missing from it.
bool HasSessionBus(std::string &Why);

// The SMB passwords saved for any of Servers (without regard to ASCII case), in the keyring's
// order. Why is set when the keyring could not be asked or held matching entries locked; the
// entries that could be read are returned all the same.
std::vector<NetworkPassword> FindSmbPasswords(const std::vector<std::string> &Servers,
                                              std::string &Why);

// Saves P in the default collection; false (Why says why) when there is no keyring or it is
// locked.
bool StoreSmbPassword(const NetworkPassword &P, std::string &Why);

} // namespace sonquarry::keyring
