#include "engine/net_enum.h"

#include <exception>
#include <vector>

#include "platform/net/net_provider.h"

namespace sonquarry {

int EnumNetResources(net::INetProvider &Provider, const TNetRes *Parent, TNetResStrings *List,
                     net::NetError *Error) {
  if (!List) return EnumOtherError;
  try {
    net::NetResource Container;
    if (Parent) {
      Container.Scope = Parent->Scope;
      Container.Type = Parent->ResourceType;
      Container.DisplayType = Parent->DisplayType;
      Container.Usage = Parent->Usage;
      Container.RemoteName = Parent->RemoteName;
      Container.Provider = Parent->Provider;
    }
    std::vector<net::NetResource> Children;
    switch (Provider.EnumResources(Parent ? &Container : nullptr, Children, Error)) {
    case net::NetEnumStatus::OpenFailed:
      return EnumOpenFailed;
    case net::NetEnumStatus::NoMoreItems:
    case net::NetEnumStatus::ReadFailed:
      return EnumReadFailed;
    case net::NetEnumStatus::Ok:
      break;
    }
    if (Children.empty()) return EnumReadFailed;
    List->reserve(List->size() + Children.size());
    for (auto &C : Children) {
      auto R = std::make_unique<TNetRes>();
      R->Scope = C.Scope;
      R->ResourceType = C.Type;
      R->DisplayType = C.DisplayType;
      R->Usage = C.Usage;
      R->RemoteName = std::move(C.RemoteName);
      R->Provider = std::move(C.Provider);
      std::string Name = R->RemoteName;
      List->push_back(TNetResItem{std::move(Name), std::move(R)});
    }
    return EnumDone;
  } catch (const std::exception &E) {
    if (Error) *Error = net::NetError{0, E.what()};
    return EnumOtherError;
  } catch (...) {
    return EnumOtherError;
  }
}

} // namespace sonquarry
