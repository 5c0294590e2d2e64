#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/wsd/ws_discovery.h"
#include "support/wsd_messages.h"

using namespace sonquarry;
using namespace sonquarry::testing;

namespace {

const std::string Id = "urn:uuid:7e3a4c1d-5b6f-4a80-9d2e-1f0a3b4c5d6e";
const std::string Ep = "urn:uuid:5c0a0000-0000-4000-8000-000000000014";

TEST(WsdAnswerTest, ProbeAndResolveAnswersAsDevicesSendThem) {
  wsd::WsdAnswer A;
  std::string Why;
  ASSERT_TRUE(wsd::ParseWsdAnswer(WsdProbeMatches(Id, Ep), A, Why)) << Why;
  EXPECT_FALSE(A.Resolve);
  EXPECT_EQ(A.RelatesTo, Id);
  ASSERT_EQ(A.Matches.size(), 1u);
  EXPECT_EQ(A.Matches[0].Endpoint, Ep);
  EXPECT_TRUE(A.Matches[0].XAddrs.empty());

  ASSERT_TRUE(wsd::ParseWsdAnswer(
      WsdResolveMatches(Id, Ep, " http://10.0.0.4:5357/x\n http://[fe80::1]:5357/x "), A, Why))
      << Why;
  EXPECT_TRUE(A.Resolve);
  EXPECT_EQ(A.Matches[0].XAddrs,
            (std::vector<std::string>{"http://10.0.0.4:5357/x", "http://[fe80::1]:5357/x"}));
}

TEST(WsdAnswerTest, AnythingElseIsRefusedWithAReason) {
  const std::string Billion = "<?xml version=\"1.0\"?><!DOCTYPE x [<!ENTITY a \"aaaaaaaaaa\">"
                              "<!ENTITY b \"&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;\">]>" +
                              WsdProbeMatches(Id, "&b;").substr(39);
  const std::string NoEndpoint = WsdProbeMatches(Id, "");
  std::string Many;
  const std::string Large = WsdProbeMatches(Id, Ep, std::string(wsd::WsdMaxDatagram, 'x'));
  for (int I = 0; I < 65; ++I) Many += WsdMatchXml("ProbeMatch", Ep, "");
  const struct {
    std::string Data, Why;
  } Cases[] = {
      {"", "empty"},
      {"\x01\x02 garbage <<<", "not well-formed XML"},
      {"<a><b></a>", "not well-formed XML"},
      {Billion, "carries a document type declaration"},
      {"<Envelope/>", "not a SOAP envelope"},
      {WsdEnvelope("http://schemas.xmlsoap.org/ws/2005/04/discovery/Hello", Id, ""),
       "not an answer to a Probe or Resolve (action "
       "\"http://schemas.xmlsoap.org/ws/2005/04/discovery/Hello\")"},
      {WsdProbeMatches("", Ep), "no usable RelatesTo"},
      {NoEndpoint, "a match without a usable endpoint address"},
      {WsdProbeMatches(Id, "urn:uuid:a b"), "a match without a usable endpoint address"},
      {WsdEnvelope("http://schemas.xmlsoap.org/ws/2005/04/discovery/ProbeMatches", Id,
                   "<wsd:ProbeMatches>" + Many + "</wsd:ProbeMatches>"),
       "more than 64 matches"},
      {WsdEnvelope("http://schemas.xmlsoap.org/ws/2005/04/discovery/ResolveMatches", Id,
                   "<wsd:ResolveMatches/>"),
       "a ResolveMatches without exactly one match"},
      {Large, "too large (" + std::to_string(Large.size()) + " bytes)"},
  };
  for (const auto &C : Cases) {
    wsd::WsdAnswer A;
    std::string Why;
    EXPECT_FALSE(wsd::ParseWsdAnswer(C.Data, A, Why)) << C.Data.substr(0, 60);
    EXPECT_EQ(Why, C.Why) << C.Data.substr(0, 60);
  }
}

TEST(WsdMetadataTest, ComputerNameAndWorkgroupOrDomain) {
  const struct {
    std::string Text, Name, Workgroup;
  } Cases[] = {
      {"SQDELTA/Workgroup:SQGROUP3", "SQDELTA", "SQGROUP3"},
      {"desktop-7f3k/Domain:corp.example.com", "desktop-7f3k", "corp.example.com"},
      {"LAPTOP/NotJoined", "LAPTOP", ""},
      {"  Müller-PC/Workgroup:ARBEITSGRUPPE \n", "Müller-PC", "ARBEITSGRUPPE"},
      {"PLAIN", "PLAIN", ""},
      {"pc.10/Workgroup:WG", "pc.10", "WG"},
  };
  for (const auto &C : Cases) {
    wsd::WsdComputer Got;
    std::string Why;
    ASSERT_TRUE(wsd::ParseWsdMetadata(WsdGetResponse(C.Text), Got, Why)) << C.Text << ": " << Why;
    EXPECT_EQ(Got.Name, C.Name);
    EXPECT_EQ(Got.Workgroup, C.Workgroup);
  }
}

TEST(WsdMetadataTest, NamesThatCannotNameAComputerAreRefused) {
  const struct {
    std::string Text, Why;
  } Cases[] = {
      {"/Workgroup:WG", "not a usable computer name: \"\""},
      {"..\\..\\etc/Workgroup:WG", "not a usable computer name: \"..\\..\\etc\""},
      {"A*B/Workgroup:WG", "not a usable computer name: \"A*B\""},
      {"PC\x01/Workgroup:WG", "not a usable computer name: \"PC?\""},
      {"PC\xC0\xAF/Workgroup:WG", "not a usable computer name: \"PC??\""},
      {std::string(64, 'A'), "not a usable computer name: \"" + std::string(64, 'A') + "\""},
      {"PC/Workgroup:", "not a usable workgroup or domain name: \"\""},
      {"PC/Workgroup:W\\G", "not a usable workgroup or domain name: \"W\\G\""},
      {"PC/Member:WG", "unknown membership \"Member:WG\""},
      {"10.213.77.12/Workgroup:WG", "an address, not a computer name: \"10.213.77.12\""},
      {"127.1", "an address, not a computer name: \"127.1\""},
      {"0x7f.0.0.1/NotJoined", "an address, not a computer name: \"0x7f.0.0.1\""},
  };
  for (const auto &C : Cases) {
    wsd::WsdComputer Got;
    std::string Why;
    EXPECT_FALSE(wsd::ParseWsdComputerText(C.Text, Got, Why)) << C.Text;
    EXPECT_EQ(Why, C.Why);
  }
  wsd::WsdComputer Got;
  std::string Why;
  EXPECT_FALSE(wsd::ParseWsdMetadata(WsdProbeMatches(Id, Ep), Got, Why));
  EXPECT_EQ(Why, "not a metadata response (action "
                 "\"http://schemas.xmlsoap.org/ws/2005/04/discovery/ProbeMatches\")");
  EXPECT_FALSE(wsd::ParseWsdMetadata(
      WsdEnvelope("http://schemas.xmlsoap.org/ws/2004/09/transfer/GetResponse", Id, "<x/>"), Got,
      Why));
  EXPECT_EQ(Why, "no computer in the metadata (not a computer)");
}

TEST(WsdXAddrTest, OnlyPlainHttpToTheAddressThatAnswered) {
  const uint32_t A = 0x0AD54D0E; // 10.213.77.14
  const struct {
    std::vector<std::string> XAddrs;
    std::string Want;
  } Cases[] = {
      {{"http://10.213.77.14:5357/5c0a"}, "http://10.213.77.14:5357/5c0a"},
      {{"http://[fe80::1]:5357/x", "http://10.213.77.99:5357/x", "http://10.213.77.14/y"},
       "http://10.213.77.14/y"},
      {{"http://10.213.77.99:5357/x"}, ""},
      {{"https://10.213.77.14:5358/x"}, ""},
      {{"file:///etc/passwd"}, ""},
      {{"http://user:pw@10.213.77.14/x"}, ""},
      {{"http://pc.example:5357/x"}, ""},
      {{"gopher://10.213.77.14/x"}, ""},
      {{}, ""},
  };
  for (const auto &C : Cases)
    EXPECT_EQ(wsd::WsdUsableXAddr(C.XAddrs, A), C.Want) << (C.XAddrs.empty() ? "" : C.XAddrs[0]);
}

} // namespace
