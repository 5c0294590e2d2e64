#pragma once
// Files read over the network for the copier.

#include "platform/net/net_provider.h"
#include "platform/os/thread.h"
#include "services/copier/file_copier.h"

#include <atomic>
#include <memory>
#include <string>
#include <vector>

namespace sonquarry::copier {

// A source that reads the files through Provider (over SMB: by the copying thread's worker
// process); one per copy, used from the copying thread only.
std::unique_ptr<ICopySource> MakeNetCopySource(std::shared_ptr<net::INetProvider> Provider);

// A copy on a thread of its own. With the SMB source, a Cancel while a file opens then ends the
// open at once (the worker of a thread asked to terminate is ended) instead of waiting for the
// server.
class TCopyThread final : public platform::TThread {
public:
  TCopyThread(TFileCopier &ACopier, std::vector<std::string> ASources, std::string ADirectory)
      : Copier(ACopier), Sources(std::move(ASources)), Directory(std::move(ADirectory)) {}
  // TFileCopier::Copy's result, once Finished.
  int Result() const { return Code.load(); }

protected:
  void Execute() override { Code = Copier.Copy(Sources, Directory); }

private:
  TFileCopier &Copier;
  std::vector<std::string> Sources;
  std::string Directory;
  std::atomic<int> Code{1};
};

} // namespace sonquarry::copier
