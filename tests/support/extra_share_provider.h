#pragma once
// A network provider that lists one more share on one computer: for a share the SMB provider
// leaves out of its lists (a hidden "$" share).

#include <memory>
#include <string>
#include <vector>

#include "platform/net/net_provider.h"
#include "platform/smb/smb_provider.h"

namespace sonquarry::testing {

class ExtraShareProvider : public net::INetProvider {
public:
  ExtraShareProvider(
      std::string Server, std::string Share,
      std::shared_ptr<net::INetProvider> Real = std::make_shared<smb::TSmbProvider>())
      : Real_(std::move(Real)), Server_(std::move(Server)), Share_(std::move(Share)) {}
  net::NetEnumStatus EnumResources(const net::NetResource *C, std::vector<net::NetResource> &Out,
                                   net::NetError *Error) override {
    auto S = Real_->EnumResources(C, Out, Error);
    if (C && C->RemoteName == Server_ && S == net::NetEnumStatus::Ok) {
      net::NetResource R = Out.back();
      R.RemoteName = Server_ + "\\" + Share_;
      Out.push_back(R);
    }
    return S;
  }
  bool FindFiles(const std::string &Dir, std::vector<net::DirEntry> &Out,
                 net::NetError *Error) override {
    return Real_->FindFiles(Dir, Out, Error);
  }
  std::unique_ptr<net::INetDirListing> OpenDir(const std::string &Dir,
                                               net::NetError *Error) override {
    return Real_->OpenDir(Dir, Error);
  }
  void NoteReachable(const std::string &Server) override { Real_->NoteReachable(Server); }
  void Reconnect() override { Real_->Reconnect(); }

private:
  std::shared_ptr<net::INetProvider> Real_;
  std::string Server_, Share_;
};

} // namespace sonquarry::testing
