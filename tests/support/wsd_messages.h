#pragma once
// WS-Discovery messages as devices send them (the shape of wsdd's), for the tests.

#include <string>

namespace sonquarry::testing {

inline std::string WsdEnvelope(const std::string &Action, const std::string &RelatesTo,
                               const std::string &Body) {
  return "<?xml version='1.0' encoding='utf-8'?>\n"
         "<soap:Envelope xmlns:soap=\"http://www.w3.org/2003/05/soap-envelope\" "
         "xmlns:wsa=\"http://schemas.xmlsoap.org/ws/2004/08/addressing\" "
         "xmlns:wsd=\"http://schemas.xmlsoap.org/ws/2005/04/discovery\" "
         "xmlns:wsx=\"http://schemas.xmlsoap.org/ws/2004/09/mex\" "
         "xmlns:wsdp=\"http://schemas.xmlsoap.org/ws/2006/02/devprof\" "
         "xmlns:pub=\"http://schemas.microsoft.com/windows/pub/2005/07\">"
         "<soap:Header><wsa:To>http://schemas.xmlsoap.org/ws/2004/08/addressing/role/anonymous"
         "</wsa:To><wsa:Action>" +
         Action +
         "</wsa:Action><wsa:MessageID>urn:uuid:0b6f3e2c-1a2b-11ef-9c3d-0242ac110002"
         "</wsa:MessageID><wsa:RelatesTo>" +
         RelatesTo + "</wsa:RelatesTo></soap:Header><soap:Body>" + Body +
         "</soap:Body></soap:Envelope>";
}

inline std::string WsdMatchXml(const char *Item, const std::string &Endpoint,
                               const std::string &XAddrs) {
  return std::string("<wsd:") + Item + "><wsa:EndpointReference><wsa:Address>" + Endpoint +
         "</wsa:Address></wsa:EndpointReference><wsd:Types>wsdp:Device pub:Computer</wsd:Types>" +
         (XAddrs.empty() ? "" : "<wsd:XAddrs>" + XAddrs + "</wsd:XAddrs>") +
         "<wsd:MetadataVersion>1</wsd:MetadataVersion></wsd:" + Item + ">";
}

inline std::string WsdProbeMatches(const std::string &RelatesTo, const std::string &Endpoint,
                                   const std::string &XAddrs = "") {
  return WsdEnvelope("http://schemas.xmlsoap.org/ws/2005/04/discovery/ProbeMatches", RelatesTo,
                     "<wsd:ProbeMatches>" + WsdMatchXml("ProbeMatch", Endpoint, XAddrs) +
                         "</wsd:ProbeMatches>");
}

inline std::string WsdResolveMatches(const std::string &RelatesTo, const std::string &Endpoint,
                                     const std::string &XAddrs) {
  return WsdEnvelope("http://schemas.xmlsoap.org/ws/2005/04/discovery/ResolveMatches", RelatesTo,
                     "<wsd:ResolveMatches>" + WsdMatchXml("ResolveMatch", Endpoint, XAddrs) +
                         "</wsd:ResolveMatches>");
}

// The metadata of a computer; Computer is the text of pub:Computer ("NAME/Workgroup:WG").
inline std::string WsdGetResponse(const std::string &Computer) {
  const std::string Dev = "http://schemas.xmlsoap.org/ws/2006/02/devprof";
  return WsdEnvelope(
      "http://schemas.xmlsoap.org/ws/2004/09/transfer/GetResponse", "urn:uuid:1",
      "<wsx:Metadata><wsx:MetadataSection Dialect=\"" + Dev +
          "/ThisDevice\"><wsdp:ThisDevice><wsdp:FriendlyName>WSD Device</wsdp:FriendlyName>"
          "</wsdp:ThisDevice></wsx:MetadataSection><wsx:MetadataSection Dialect=\"" +
          Dev + "/Relationship\"><wsdp:Relationship Type=\"" + Dev +
          "/host\"><wsdp:Host><wsa:EndpointReference><wsa:Address>urn:uuid:1</wsa:Address>"
          "</wsa:EndpointReference><wsdp:Types>pub:Computer</wsdp:Types><pub:Computer>" +
          Computer +
          "</pub:Computer></wsdp:Host></wsdp:Relationship></wsx:MetadataSection>"
          "</wsx:Metadata>");
}

} // namespace sonquarry::testing
