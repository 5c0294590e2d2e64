#include "platform/smb_copy_source.h"

#include "platform/net_provider.h"

#include <atomic>
#include <mutex>

namespace sonquarry {
namespace {

// Files read through the process-wide network provider, so the computers that only WS-Discovery
// found are reached too; its SMB reading runs in the copying thread's own worker process.
class TNetCopySource final : public ICopySource {
public:
  ~TNetCopySource() override { Close(); }

  bool Open(const std::string &UncPath, int64_t &Size, std::string &Error) override {
    Close();
    if (Cancelled) {
      Error = "cancelled";
      return false;
    }
    platform::NetError E;
    auto F = platform::NetProvider()->OpenFile(UncPath, &E);
    if (!F) {
      Error = E.Message.empty() ? UncPath + ": cannot be opened" : E.Message;
      return false;
    }
    Size = F->Size();
    std::lock_guard<std::mutex> l(Lock);
    File = std::move(F);
    // A Cancel that came while it opened ends the read at once.
    if (Cancelled) File->Cancel();
    return true;
  }

  long Read(char *Buffer, size_t Capacity, std::string &Error) override {
    if (!File) {
      Error = "no file is open";
      return -1;
    }
    platform::NetError E;
    const long n = File->Read(Buffer, Capacity, &E);
    if (n < 0) Error = E.Message;
    return n;
  }

  void Close() override {
    std::unique_ptr<platform::INetFile> f;
    {
      std::lock_guard<std::mutex> l(Lock);
      f = std::move(File);
    }
  }

  void Cancel() override {
    Cancelled = true;
    std::lock_guard<std::mutex> l(Lock);
    if (File) File->Cancel();
  }

private:
  std::mutex Lock; // File's hand-over against Cancel
  std::unique_ptr<platform::INetFile> File;
  std::atomic<bool> Cancelled{false};
};

} // namespace

std::unique_ptr<ICopySource> MakeSmbCopySource() { return std::make_unique<TNetCopySource>(); }

} // namespace sonquarry
