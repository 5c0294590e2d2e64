#include "services/copier/net_copy_source.h"

#include "platform/net/net_provider.h"
#include "platform/os/thread.h"
#include "services/copier/copy_dest.h"

#include <atomic>
#include <mutex>

namespace sonquarry::copier {
namespace {

// Files read through a network provider (the process-wide one, so the computers that only
// WS-Discovery found are reached too); its SMB reading runs in the copying thread's own worker.
class TNetCopySource final : public ICopySource {
public:
  explicit TNetCopySource(std::shared_ptr<net::INetProvider> AProvider)
      : Provider(std::move(AProvider)) {}
  ~TNetCopySource() override { Close(); }

  bool Open(const std::string &UncPath, int64_t &Size, std::string &Error) override {
    Close();
    {
      std::lock_guard<std::mutex> l(Lock);
      if (Cancelled) {
        Error = "cancelled";
        return false;
      }
      // A Cancel while it opens ends this thread's worker, and the call with it (a thread that
      // is not a TThread waits for the open).
      Opener = platform::TThread::Current();
    }
    net::NetError E;
    auto F = Provider->OpenFile(UncPath, &E);
    std::lock_guard<std::mutex> l(Lock);
    Opener = nullptr;
    if (!F) {
      Error = E.Message.empty() ? UncPath + ": cannot be opened" : E.Message;
      return false;
    }
    Size = F->Size();
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
    net::NetError E;
    const long n = File->Read(Buffer, Capacity, &E);
    if (n < 0) Error = E.Message;
    return n;
  }

  void Close() override {
    std::unique_ptr<net::INetFile> f;
    {
      std::lock_guard<std::mutex> l(Lock);
      f = std::move(File);
    }
  }

  void Cancel() override {
    Cancelled = true;
    std::lock_guard<std::mutex> l(Lock);
    if (File) File->Cancel();
    if (Opener) Opener->Terminate();
  }

  // Windows: the system's own copy reaches the share without the provider.
  std::string SystemPath(const std::string &UncPath) const override {
    return SystemPathOfUnc(UncPath);
  }

private:
  std::shared_ptr<net::INetProvider> Provider;
  std::mutex Lock; // File's hand-over and Opener against Cancel
  std::unique_ptr<net::INetFile> File;
  platform::TThread *Opener = nullptr; // the thread in OpenFile
  std::atomic<bool> Cancelled{false};
};

} // namespace

std::unique_ptr<ICopySource> MakeNetCopySource(std::shared_ptr<net::INetProvider> Provider) {
  return std::make_unique<TNetCopySource>(std::move(Provider));
}

} // namespace sonquarry::copier
