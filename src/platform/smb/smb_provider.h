#pragma once
// The network provider over SMB. libsmbclient never runs in the program: every thread that
// calls this provider gets a worker process of its own (sonquarry-smb-worker, see smb_worker.h),
// spawned on its first call, that holds one single-threaded libsmbclient context.
//
// Top: one provider, "SMB Network" (display type 6). Its children: the workgroups of smb://
// (display type 1). A workgroup's: the servers of smb://WORKGROUP (2, "\\NAME"). A server's: its
// disk shares (3, "\\NAME\share"; printer, IPC and "$" shares are left out). Every entry has
// scope 2 and type 1; providers, workgroups and servers are containers, shares connectable.
// EnumResources is the one place that maps these levels to their sources.
//
// Calls and their ends
// - Each exchange with a worker is bounded by CallTimeOutMs; a worker that passes it, dies or
//   breaks the protocol fails that call only (NetError::Broken, a diagnostic line), is ended and
//   replaced at the thread's next call. A listing that was open in it carries on in the new one.
// - When the calling TThread is asked to terminate, its worker is ended at once and the call in
//   flight returns.
// - A thread's worker ends with the thread; every worker ends when the provider is released; a
//   worker ends by itself with the program, even a killed one.
//
// - A thread deep in the walk of a share may get a second worker while a core is free; it lists
//   the directories that the walk reaches last (see TSecond). Its failure costs nothing but the
//   help: the walk lists those directories itself.
// - A walk whose listings wait on the link's round trips rather than on the server's work gets
//   helpers of that kind up to the server's cap at once (ServerConnections): each lists subtrees
//   of the walk's plan on a connection of its own, one request at a time; they end when the walk
//   has nothing left for them or moves to another share.
//
// Before the first connection to a computer the provider makes a TCP probe of 445, then 139, with
// ProbeTimeOutMs; a computer that answers on neither fails at once (EHOSTDOWN) instead of holding
// a worker in libsmbclient's connection time-outs. This needs the address: a computer named by
// IPv4 address, or by a name that lmhosts or the hosts file maps to one. Names found only by
// NetBIOS broadcast are left to libsmbclient. Results are kept per address for a while; a
// computer that NoteReachable names, or that answers a call, counts as reachable.

#include <memory>
#include <string>
#include <sys/types.h>
#include <vector>

#include "platform/net/net_provider.h"
#include "platform/smb/smb_logins.h"

namespace sonquarry::smb {

struct SmbProviderOptions {
  // smb.conf of the client; "" leaves libsmbclient's choice ($HOME/.smb/smb.conf, then
  // /etc/samba/smb.conf).
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
  // The worker program; "" the one beside the executable (SmbWorkerPath).
  std::string WorkerPath = "";
  // Bound of one exchange with a worker (a level, opening a listing, a batch of entries).
  int CallTimeOutMs = 20000;
  // A thread that has opened this many directories of one share gets a second worker for the
  // rest of that walk while a core is free (fewer threads at work than Cores); 0: never.
  int SecondWorkerAfterDirs = 64;
  // The cores that count for that; 0: the machine's.
  unsigned Cores = 0;
  // Connections one server gets at most from the walks of this provider (each walk's own worker
  // and its helpers), and helpers of all walks at most; SetWalkLimits changes both.
  int ServerConnections = 8;
  int Helpers = 16;
  // A walk whose listings take this long each (ms) is bound by the link's latency, not by the
  // server's work: it gets helpers up to the cap. 0: every walk; below 0: none.
  int LatencyBoundMs = 6;
  // Whether the desktop's keyring is asked for a computer's password (and may keep one).
  bool Keyring = true;
  // Asks the user for a computer that refused every identity; empty: nobody to ask.
  TSmbAskLogin AskLogin = {};
};

class TSmbProvider final : public net::INetProvider {
public:
  static constexpr const char *ProviderName = "SMB Network";

  explicit TSmbProvider(SmbProviderOptions Options = {});
  // Ends every worker of this provider; calls still in flight fail.
  ~TSmbProvider() override;

  net::NetEnumStatus EnumResources(const net::NetResource *Container,
                                   std::vector<net::NetResource> &Out,
                                   net::NetError *Error = nullptr) override;
  bool FindFiles(const std::string &UncDir, std::vector<net::DirEntry> &Out,
                 net::NetError *Error = nullptr) override;
  std::unique_ptr<net::INetDirListing> OpenDir(const std::string &UncDir,
                                               net::NetError *Error = nullptr) override;
  // Read in chunks of wire::MaxChunk by the calling thread's worker, a few asked for ahead, each
  // bounded by CallTimeOutMs; Cancel ends the worker.
  std::unique_ptr<net::INetFile> OpenFile(const std::string &UncPath,
                                          net::NetError *Error = nullptr) override;
  bool StatFile(const std::string &UncPath, net::FileStat &Out,
                net::NetError *Error = nullptr) override;
  // In the calling thread's worker: a file costs one exchange, and a crash of the parser on a
  // hostile file ends only the worker.
  bool ReadTags(const std::string &UncPath, int64_t Size, const net::TagBudget &Budget,
                net::TagReading &Out, net::NetError *Error = nullptr) override;
  void NoteReachable(const std::string &Server) override;
  // Ends the calling thread's worker: its next call gets a new one.
  void Reconnect() override;

  void SetWalkLimits(int ServerConnections, int Helpers) override;

  // Starts the calling thread's worker now rather than at its first call; false when it cannot
  // be started (Error says why).
  bool StartWorker(net::NetError *Error = nullptr);
  // What the workers will refuse: a credentials file that others may read or that cannot be
  // read, a client configuration that cannot be read. The workers tell only their own standard
  // error. A new search: the credentials file and the keyring are read again, and a computer may
  // be asked for again.
  void CheckSetup() const override;
  // False when the worker program is not where an installation puts it.
  bool CanSearch() const override;

  const SmbProviderOptions &Options() const;
  // The process ids of the workers alive now.
  std::vector<pid_t> WorkerPids() const;
  // The listings that walks took from second workers so far.
  std::size_t ListingsFromSecondWorkers() const;

  struct TImpl;

private:
  std::shared_ptr<TImpl> I_;
};

// sonquarry-smb-worker beside the running executable: in the same directory (the build tree's
// programs, an installation's bin), in ../libexec/sonquarry, or in the build tree's src/app seen
// from its tests/ and bench/; SONQUARRY_SMB_WORKER overrides. "" when none exists.
std::string SmbWorkerPath();

// The worker processes this process started that greeted it, and the starts that failed: a scan
// with failures and no greeting walked nothing.
struct WorkerStarts {
  unsigned Greeted = 0, Failed = 0;
};
WorkerStarts CountWorkerStarts();

} // namespace sonquarry::smb
