#pragma once
// A network provider for unit tests: a fixed tree of resources, a log of the containers asked
// for, and an optional gate that holds an enumeration until the test opens it.

#include <algorithm>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/net/net_provider.h"

namespace sonquarry::testing {

class FakeNetProvider : public net::INetProvider {
public:
  // Key of the top of the network.
  static constexpr const char *Top = "";

  void Set(const std::string &Container, std::vector<net::NetResource> Children,
           net::NetEnumStatus Status = net::NetEnumStatus::Ok) {
    std::lock_guard<std::mutex> L(Lock_);
    Tree_[Container] = {std::move(Children), Status};
  }
  void SetDir(const std::string &Unc, std::vector<net::DirEntry> Entries) {
    std::lock_guard<std::mutex> L(Lock_);
    Dirs_[Unc] = std::move(Entries);
  }
  void SetFile(const std::string &Unc, std::string Content) {
    std::lock_guard<std::mutex> L(Lock_);
    Files_[Unc] = std::move(Content);
  }
  // While closed, an enumeration of Container waits until Open.
  void Close(const std::string &Container) {
    std::lock_guard<std::mutex> L(Lock_);
    Gated_ = Container;
    GateOpen_ = false;
  }
  void Open() {
    std::lock_guard<std::mutex> L(Lock_);
    GateOpen_ = true;
    Cv_.notify_all();
  }
  // Waits until an enumeration of the gated container has begun.
  bool WaitBlocked(int Ms) {
    std::unique_lock<std::mutex> L(Lock_);
    return Cv_.wait_for(L, std::chrono::milliseconds(Ms), [&] { return Blocked_; });
  }
  std::vector<std::string> Calls() const {
    std::lock_guard<std::mutex> L(Lock_);
    return Calls_;
  }

  net::NetEnumStatus EnumResources(const net::NetResource *Container,
                                   std::vector<net::NetResource> &Out,
                                   net::NetError *Error) override {
    const std::string Key = Container ? Container->RemoteName : Top;
    std::unique_lock<std::mutex> L(Lock_);
    Calls_.push_back(Key);
    if (!GateOpen_ && Key == Gated_) {
      Blocked_ = true;
      Cv_.notify_all();
      Cv_.wait(L, [&] { return GateOpen_; });
      Blocked_ = false;
    }
    auto It = Tree_.find(Key);
    if (It == Tree_.end()) {
      if (Error) *Error = {2, "no such container: " + Key};
      return net::NetEnumStatus::OpenFailed;
    }
    if (It->second.Status != net::NetEnumStatus::Ok) return It->second.Status;
    if (It->second.Children.empty()) return net::NetEnumStatus::NoMoreItems;
    Out.insert(Out.end(), It->second.Children.begin(), It->second.Children.end());
    return net::NetEnumStatus::Ok;
  }

  bool FindFiles(const std::string &UncDir, std::vector<net::DirEntry> &Out,
                 net::NetError *Error) override {
    std::lock_guard<std::mutex> L(Lock_);
    auto It = Dirs_.find(UncDir);
    if (It == Dirs_.end()) {
      if (Error) *Error = {2, "no such directory: " + UncDir};
      return false;
    }
    Out.insert(Out.end(), It->second.begin(), It->second.end());
    return true;
  }

  std::unique_ptr<net::INetFile> OpenFile(const std::string &UncPath,
                                          net::NetError *Error) override {
    std::lock_guard<std::mutex> L(Lock_);
    auto It = Files_.find(UncPath);
    if (It == Files_.end()) {
      if (Error) *Error = {2, "no such file: " + UncPath};
      return nullptr;
    }
    return std::make_unique<TFile>(It->second);
  }

  static net::NetResource Res(int32_t DisplayType, const std::string &RemoteName,
                              int32_t Usage = net::NetUsageContainer) {
    net::NetResource R;
    R.Scope = net::NetScopeGlobal;
    R.Type = net::NetTypeDisk;
    R.DisplayType = DisplayType;
    R.Usage = Usage;
    R.RemoteName = RemoteName;
    R.Provider = "SMB Network";
    R.Comment = "comment of " + RemoteName;
    return R;
  }

private:
  class TFile final : public net::INetFile {
  public:
    explicit TFile(std::string AContent) : Content(std::move(AContent)) {}
    int64_t Size() const override { return int64_t(Content.size()); }
    long Read(char *Buffer, std::size_t Capacity, net::NetError *) override {
      const std::size_t N = std::min(Capacity, Content.size() - Pos);
      std::copy_n(Content.data() + Pos, N, Buffer);
      Pos += N;
      return long(N);
    }
    void Cancel() override {}

  private:
    std::string Content;
    std::size_t Pos = 0;
  };
  struct Node {
    std::vector<net::NetResource> Children;
    net::NetEnumStatus Status;
  };
  mutable std::mutex Lock_;
  std::condition_variable Cv_;
  std::map<std::string, Node> Tree_;
  std::map<std::string, std::vector<net::DirEntry>> Dirs_;
  std::map<std::string, std::string> Files_;
  std::vector<std::string> Calls_;
  std::string Gated_;
  bool GateOpen_ = true, Blocked_ = false;
};

} // namespace sonquarry::testing
