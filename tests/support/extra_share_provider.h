#pragma once
// A network provider that lists one more share on one computer: for a share the SMB provider
// leaves out of its lists (a hidden "$" share).

#include <memory>
#include <string>
#include <vector>

#include "platform/net_provider.h"

namespace sonquarry::testing {

class ExtraShareProvider : public platform::INetProvider {
public:
  ExtraShareProvider(std::string Server, std::string Share,
                     std::shared_ptr<platform::INetProvider> Real = platform::NetProvider())
      : Real_(std::move(Real)), Server_(std::move(Server)), Share_(std::move(Share)) {}
  platform::NetEnumStatus EnumResources(const platform::NetResource *C,
                                        std::vector<platform::NetResource> &Out,
                                        platform::NetError *Error) override {
    auto S = Real_->EnumResources(C, Out, Error);
    if (C && C->RemoteName == Server_ && S == platform::NetEnumStatus::Ok) {
      platform::NetResource R = Out.back();
      R.RemoteName = Server_ + "\\" + Share_;
      Out.push_back(R);
    }
    return S;
  }
  bool FindFiles(const std::string &Dir, std::vector<platform::DirEntry> &Out,
                 platform::NetError *Error) override {
    return Real_->FindFiles(Dir, Out, Error);
  }
  std::unique_ptr<platform::INetDirListing> OpenDir(const std::string &Dir,
                                                    platform::NetError *Error) override {
    return Real_->OpenDir(Dir, Error);
  }
  void NoteReachable(const std::string &Server) override { Real_->NoteReachable(Server); }

private:
  std::shared_ptr<platform::INetProvider> Real_;
  std::string Server_, Share_;
};

} // namespace sonquarry::testing
