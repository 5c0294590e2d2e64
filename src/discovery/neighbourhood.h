#pragma once
// The one neighbourhood: the provider's levels with the computers that the discoverers find
// merged in, so that the scan and the "Select computers" dialog see one tree:
// - the provider's workgroups: the browse lists' and the discoverers', each once;
// - a workgroup's servers: the browse list's and those a discoverer puts in it, each once (names
//   compared without regard to ASCII case; the browse list's spelling wins, then the first
//   discoverer's that named the computer, by name or by address);
// - a computer that only a discoverer knows is reached by the address that answered: its shares
//   and directories are asked for at "\\ADDRESS\..." and handed back under "\\NAME\...".
//   Any device may answer with any name: one that a browse list (of any workgroup) or an earlier
//   answer of the round already ties to another computer is logged and left out, never
//   redirected. Each round proves the ties again.
// - a computer that a discoverer puts in a group of its own (mDNS's "LOCAL") is left there only
//   when no browse list and no other discoverer names it (by name, or by address for the
//   latter): otherwise it comes once, where they list it.
// A round starts with each listing of the provider's workgroups (once per search): every
// discoverer runs then, beside the browse-list request, not after it.

#include <memory>
#include <vector>

#include "discovery/discoverer.h"
#include "platform/net/net_provider.h"

namespace sonquarry::discovery {

class TNeighbourhood final : public net::INetProvider {
public:
  TNeighbourhood(std::shared_ptr<net::INetProvider> Inner,
                 std::vector<std::shared_ptr<IDiscoverer>> Discoverers);
  ~TNeighbourhood() override;

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
  void SetWalkLimits(int ServerConnections, int Helpers) override;
  void CheckSetup() const override;
  bool CanSearch() const override;

  struct TImpl;

private:
  std::unique_ptr<TImpl> I_;
};

} // namespace sonquarry::discovery
