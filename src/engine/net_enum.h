#pragma once
// The children of a network resource through the network provider, and two tests on a record.

#include "engine/net_res.h"

namespace sonquarry {

namespace net {
class INetProvider;
struct NetError;
} // namespace net

// Result codes of EnumNetResources.
constexpr int EnumDone = 0;       // list filled
constexpr int EnumOpenFailed = 1; // the enumeration could not be opened
constexpr int EnumReadFailed = 2; // the enumeration failed, or there was nothing to enumerate
constexpr int EnumOtherError = 3; // anything else, a missing list included

// Appends the children of Parent (none: the top of the network, the providers) to List, each as
// its RemoteName with a new record, through Provider. Never throws; records appended before an
// error stay. Error, when given, receives the provider's reason.
int EnumNetResources(net::INetProvider &Provider, const TNetRes *Parent, TNetResStrings *List,
                     net::NetError *Error = nullptr);

inline bool IsDomain(const TNetRes &R) { return R.DisplayType == RESOURCEDISPLAYTYPE_DOMAIN; }
inline bool IsServer(const TNetRes &R) { return R.DisplayType == RESOURCEDISPLAYTYPE_SERVER; }

} // namespace sonquarry
