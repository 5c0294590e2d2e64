#include "platform/net/net_provider.h"

#include <cerrno>

namespace sonquarry::net {

namespace {

class TListedDir final : public INetDirListing {
public:
  explicit TListedDir(std::vector<DirEntry> Entries) : Entries_(std::move(Entries)) {}
  bool Next(DirEntry &Entry, NetError *Error) override {
    if (Error) *Error = NetError{};
    if (Pos_ >= Entries_.size()) return false;
    Entry = std::move(Entries_[Pos_++]);
    return true;
  }
  bool Buffered() const override { return true; }

private:
  std::vector<DirEntry> Entries_;
  std::size_t Pos_ = 0;
};

} // namespace

std::unique_ptr<INetDirListing> INetProvider::OpenDir(const std::string &UncDir, NetError *Error) {
  std::vector<DirEntry> Entries;
  if (!FindFiles(UncDir, Entries, Error)) return nullptr;
  return std::make_unique<TListedDir>(std::move(Entries));
}

std::unique_ptr<INetFile> INetProvider::OpenFile(const std::string &UncPath, NetError *Error) {
  if (Error) *Error = NetError{ENOTSUP, UncPath + ": files cannot be read here"};
  return nullptr;
}

bool INetProvider::StatFile(const std::string &UncPath, FileStat &, NetError *Error) {
  if (Error) *Error = NetError{ENOTSUP, UncPath + ": files cannot be asked about here"};
  return false;
}

} // namespace sonquarry::net
