#include "platform/smb/wire/smb_auth.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sstream>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

#include "platform/os/diag.h"
#include "text/text.h"

namespace sonquarry::smb::wire {

namespace {

std::string Octal(mode_t M) {
  char Buf[8];
  std::snprintf(Buf, sizeof Buf, "%04o", unsigned(M & 07777));
  return Buf;
}

} // namespace

std::string DefaultCredentialsFile() {
  const char *Xdg = std::getenv("XDG_CONFIG_HOME");
  std::string Base;
  if (Xdg && Xdg[0] == '/')
    Base = Xdg;
  else if (const char *Home = std::getenv("HOME"); Home && Home[0])
    Base = std::string(Home) + "/.config";
  else
    return "";
  return Base + "/sonquarry/credentials";
}

namespace {

// A section's or the global lines' identity as far as it is read.
struct TDraft {
  std::string Computer; // "" the lines before any section
  bool Serves = true;   // false: a header of another form
  SmbIdentity Id;
};

std::optional<SmbIdentity> Finish(SmbIdentity Id) {
  if (Id.User.empty()) return std::nullopt;
  // smbclient accepts "DOMAIN\user" and "DOMAIN/user" in the user line.
  const auto Sep = Id.User.find_first_of("\\/");
  if (Sep != std::string::npos && Id.Domain.empty()) {
    Id.Domain = Id.User.substr(0, Sep);
    Id.User = Id.User.substr(Sep + 1);
  }
  return Id;
}

} // namespace

std::optional<SmbIdentity> SmbCredentials::SectionFor(const std::string &Computer) const {
  const std::string Key = text::AsciiLower(Computer);
  for (const auto &[Name, Id] : Sections)
    if (Name == Key) return Id;
  return std::nullopt;
}

SmbCredentials ParseCredentials(const std::string &Text) {
  SmbCredentials Out;
  std::vector<TDraft> Drafts(1);
  std::istringstream In(Text);
  std::string Line;
  while (std::getline(In, Line)) {
    const std::string T = std::string(text::Trim(Line, " \t\r"));
    if (T.empty() || T[0] == '#' || T[0] == ';') continue;
    if (T.front() == '[' && T.back() == ']') {
      const std::string Inner = std::string(text::Trim(T.substr(1, T.size() - 2), " \t"));
      TDraft D;
      D.Computer = Inner.size() > 2 && Inner.compare(0, 2, "\\\\") == 0
                       ? text::AsciiLower(Inner.substr(2))
                       : "";
      D.Serves = !D.Computer.empty() && D.Computer.find('\\') == std::string::npos;
      Drafts.push_back(std::move(D));
      continue;
    }
    const auto Eq = T.find('=');
    if (Eq == std::string::npos) continue;
    const std::string Key = std::string(text::Trim(T.substr(0, Eq), " \t\r"));
    // The value is everything after "=" less the blanks around it, so passwords keep inner blanks.
    const std::string Value = std::string(text::Trim(T.substr(Eq + 1), " \t\r"));
    SmbIdentity &Id = Drafts.back().Id;
    if (Key == "username")
      Id.User = Value;
    else if (Key == "password")
      Id.Password = Value;
    else if (Key == "domain")
      Id.Domain = Value;
  }
  Out.Global = Finish(Drafts.front().Id);
  for (std::size_t I = 1; I < Drafts.size(); ++I) {
    if (!Drafts[I].Serves) continue;
    auto Id = Finish(Drafts[I].Id);
    if (!Id) continue;
    // A computer named twice keeps its first section.
    if (!Out.SectionFor(Drafts[I].Computer)) Out.Sections.emplace_back(Drafts[I].Computer, *Id);
  }
  return Out;
}

int OpenRegularFile(const std::string &Path, std::string &Why, bool FollowLinks) {
  Why.clear();
  // O_NONBLOCK: a FIFO planted there would hold the open until someone writes to it.
  const int Fd =
      ::open(Path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | (FollowLinks ? 0 : O_NOFOLLOW));
  if (Fd < 0) {
    if (errno != ENOENT) Why = std::generic_category().message(errno);
    return -1;
  }
  struct stat St {};
  if (::fstat(Fd, &St) != 0 || !S_ISREG(St.st_mode)) {
    ::close(Fd);
    Why = "not a regular file";
    return -1;
  }
  ::fcntl(Fd, F_SETFL, ::fcntl(Fd, F_GETFL) & ~O_NONBLOCK);
  return Fd;
}

std::vector<std::string> UnusableHomeSmbConf() {
  std::vector<std::string> Out;
  const char *Home = std::getenv("HOME");
  if (!Home || !*Home) return Out;
  for (const char *Name : {"/.smb/smb.conf", "/.smb/smb.conf.append"}) {
    const std::string Path = std::string(Home) + Name;
    std::string Why;
    if (const int Fd = OpenRegularFile(Path, Why); Fd >= 0)
      ::close(Fd);
    else if (!Why.empty())
      Out.push_back("SMB client configuration " + Path + " could not be loaded (" + Why + ").");
  }
  return Out;
}

std::optional<SmbCredentials> LoadCredentialsFile(const std::string &Path, std::string *Refusal) {
  auto Refuse = [&](const std::string &Why) -> std::optional<SmbCredentials> {
    platform::Diagnostic(Why, platform::TDiagLevel::Act);
    if (Refusal) *Refusal = Why;
    return std::nullopt;
  };
  if (Path.empty()) return std::nullopt;
  std::string Why;
  const int Fd = OpenRegularFile(Path, Why, false);
  if (Fd < 0) {
    if (Why.empty()) return std::nullopt; // the file is optional
    if (Why == "not a regular file")
      return Refuse("SMB credentials file " + Path + " is not a regular file; it is ignored.");
    return Refuse("SMB credentials file " + Path + " can not be read (" + Why +
                  "); it is ignored.");
  }
  struct stat St {};
  std::string Text;
  const bool Stat = ::fstat(Fd, &St) == 0;
  if (Stat && (St.st_mode & (S_IRWXG | S_IRWXO)) == 0) {
    char Buf[4096];
    ssize_t N;
    while ((N = ::read(Fd, Buf, sizeof Buf)) > 0 && Text.size() < 65536)
      Text.append(Buf, size_t(N));
  }
  ::close(Fd);
  if (!Stat) return Refuse("SMB credentials file " + Path + " can not be read; it is ignored.");
  if (St.st_mode & (S_IRWXG | S_IRWXO))
    return Refuse("SMB credentials file " + Path + " is open to group or others (mode " +
                  Octal(St.st_mode) + "); it is ignored. Make it private: chmod 600 " + Path);
  auto Id = ParseCredentials(Text);
  if (Id.Empty())
    return Refuse("SMB credentials file " + Path + " names no username; it is ignored.");
  return Id;
}

std::vector<SmbIdentity> SmbIdentities() { return {{"", "", ""}, {"guest", "", ""}}; }

} // namespace sonquarry::smb::wire
