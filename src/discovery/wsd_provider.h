#pragma once
// The network provider with the computers that WS-Discovery finds joined into its levels, so
// that the scan and the "Select computers" dialog see one tree:
// - the provider's workgroups: the browse lists' and WS-Discovery's, each once;
// - a workgroup's servers: the browse list's and those WS-Discovery puts in it, each once
//   (names compared without regard to ASCII case; the browse list's spelling wins);
// - a computer that only WS-Discovery knows is reached by the address that answered: its shares
//   and directories are asked for at "\\ADDRESS\..." and handed back under "\\NAME\...".
//   Any device may answer with any name: one that a browse list (of any workgroup) or an earlier
//   answer already ties to another computer is logged and left out, never redirected.
// One discovery runs with each listing of the provider's workgroups (once per scan), beside the
// browse-list request, not after it.

#include <functional>
#include <memory>
#include <vector>

#include "platform/net/net_provider.h"
#include "platform/wsd/ws_discovery.h"

namespace sonquarry::wsd {

class TWsdNetProvider final : public net::INetProvider {
public:
  using TDiscover = std::function<std::vector<WsdComputer>()>;

  // Discover: the discovery to run (none: DiscoverComputers with default options).
  explicit TWsdNetProvider(std::shared_ptr<net::INetProvider> Inner, TDiscover Discover = nullptr);
  ~TWsdNetProvider() override;

  net::NetEnumStatus EnumResources(const net::NetResource *Container,
                                   std::vector<net::NetResource> &Out,
                                   net::NetError *Error = nullptr) override;
  bool FindFiles(const std::string &UncDir, std::vector<net::DirEntry> &Out,
                 net::NetError *Error = nullptr) override;
  std::unique_ptr<net::INetFile> OpenFile(const std::string &UncPath,
                                          net::NetError *Error = nullptr) override;
  bool StatFile(const std::string &UncPath, net::FileStat &Out,
                net::NetError *Error = nullptr) override;
  bool ReadTags(const std::string &UncPath, int64_t Size, const net::TagBudget &Budget,
                net::TagReading &Out, net::NetError *Error = nullptr) override;
  // The inner provider's listing as it is: its directory identity keeps links that loop from
  // being walked again.
  std::unique_ptr<net::INetDirListing> OpenDir(const std::string &UncDir,
                                               net::NetError *Error = nullptr) override;
  void NoteReachable(const std::string &Server) override;
  void Reconnect() override;

  const std::shared_ptr<net::INetProvider> &Inner() const;

  struct TImpl;

private:
  std::unique_ptr<TImpl> I_;
};

} // namespace sonquarry::wsd
