#pragma once
// The network provider over libsmbclient.
//
// Top: one provider, "SMB Network" (display type 6). Its children: the workgroups of smb://
// (display type 1). A workgroup's: the servers of smb://WORKGROUP (2, "\\NAME"). A server's: its
// disk shares (3, "\\NAME\share"; printer, IPC and "$" shares are left out). Every entry has
// scope 2 and type 1; providers, workgroups and servers are containers, shares connectable.
// The workgroup and server levels need SMB1 browsing: they are listed with the protocol range
// NT1..NT1, shares and directories with the client configuration's range.
//
// Each thread gets its own libsmbclient context (contexts are not thread-safe), freed when the
// thread ends. libsmbclient also keeps process-wide state behind its contexts (talloc stack
// frames, the protocol range) and Debian's build exports no thread hooks, so calls from several
// threads into the library are serialised: SMB requests of different threads do not overlap.
//
// Before the first connection to a computer the provider makes a TCP probe of 445, then 139, with
// ProbeTimeOutMs; a computer that answers on neither fails at once (EHOSTDOWN) instead of holding
// the thread in libsmbclient's connection time-outs (5-10 s). This needs the address: a computer
// named by IPv4 address, or by a name that lmhosts or the hosts file maps to one. Names found
// only by NetBIOS broadcast are left to libsmbclient: a name nobody answers for fails there in
// under a second. Results are kept per address for a while.

#include <memory>
#include <string>

#include "platform/net_provider.h"

namespace sonquarry::platform {

struct SmbProviderOptions {
  // smb.conf of the client; "" leaves libsmbclient's choice ($HOME/.smb/smb.conf, then
  // /etc/samba/smb.conf). It is process-wide in libsmbclient: the first context loads it.
  std::string ConfigFile;
  // The credentials file; "" the default one (DefaultCredentialsFile), "-" none.
  std::string CredentialsFile;
  // libsmbclient's wait for one reply.
  int TimeOutMs = 5000;
  // TCP probe of 445/139 before the first connection; 0 or less: no probe.
  int ProbeTimeOutMs = 500;
  // How long a probe result is kept: reachable, and not reachable.
  int ProbeKeepMs = 60000;
  int ProbeKeepFailedMs = 10000;
  // Static name tables that give a name its address for the probe.
  std::string LmhostsFile = "/etc/samba/lmhosts";
  std::string HostsFile = "/etc/hosts";
};

class TSmbProvider final : public INetProvider {
public:
  static constexpr const char *ProviderName = "SMB Network";

  explicit TSmbProvider(SmbProviderOptions Options = {});
  ~TSmbProvider() override;

  NetEnumStatus EnumResources(const NetResource *Container, std::vector<NetResource> &Out,
                              NetError *Error = nullptr) override;
  bool FindFiles(const std::string &UncDir, std::vector<DirEntry> &Out,
                 NetError *Error = nullptr) override;

  const SmbProviderOptions &Options() const;

  struct TImpl;

private:
  std::unique_ptr<TImpl> I_;
};

// The one mapping of libsmbclient's errno values to a code and a log line about Where.
NetError SmbError(int Errno, const std::string &Where);

} // namespace sonquarry::platform
