#pragma once
// The names of the WS-Discovery protocol and the helpers that its parser (wsd_parse.cpp) and its
// transport (ws_discovery.cpp) share. Internal to the WS-Discovery room.

#include <cstdint>
#include <string>
#include <string_view>

namespace sonquarry::wsd {

inline constexpr const char *NsSoap = "http://www.w3.org/2003/05/soap-envelope";
inline constexpr const char *NsAddressing = "http://schemas.xmlsoap.org/ws/2004/08/addressing";
inline constexpr const char *NsDiscovery = "http://schemas.xmlsoap.org/ws/2005/04/discovery";
inline constexpr const char *NsPub = "http://schemas.microsoft.com/windows/pub/2005/07";
inline constexpr const char *ActionProbe = "http://schemas.xmlsoap.org/ws/2005/04/discovery/Probe";
inline constexpr const char *ActionProbeMatches =
    "http://schemas.xmlsoap.org/ws/2005/04/discovery/ProbeMatches";
inline constexpr const char *ActionResolve =
    "http://schemas.xmlsoap.org/ws/2005/04/discovery/Resolve";
inline constexpr const char *ActionResolveMatches =
    "http://schemas.xmlsoap.org/ws/2005/04/discovery/ResolveMatches";
inline constexpr const char *ActionGet = "http://schemas.xmlsoap.org/ws/2004/09/transfer/Get";
inline constexpr const char *ActionGetResponse =
    "http://schemas.xmlsoap.org/ws/2004/09/transfer/GetResponse";
inline constexpr const char *DiscoveryTo = "urn:schemas-xmlsoap-org:ws:2005:04:discovery";
inline constexpr const char *Anonymous =
    "http://schemas.xmlsoap.org/ws/2004/08/addressing/role/anonymous";
inline constexpr uint16_t DiscoveryPort = 3702;
inline constexpr uint32_t DiscoveryGroup = 0xEFFFFFFA; // 239.255.255.250

// libxml2 and libcurl set up once per process.
void InitLibraries();

// A network-given text fit for a log line: printable ASCII, cut short.
std::string Shown(std::string_view S);

// "a.b.c.d" of an IPv4 address in host order.
std::string Dotted(uint32_t Address);

} // namespace sonquarry::wsd
