// The WS-Discovery parsers: pure functions of the bytes that came, apart from the sockets, so
// that the fuzz targets reach all of them.
#include "platform/wsd/ws_discovery.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cstring>
#include <memory>
#include <mutex>

#include <curl/curl.h>
#include <libxml/parser.h>
#include <libxml/tree.h>

#include "platform/wsd/wsd_soap.h"
#include "text/text.h"

namespace sonquarry::wsd {

void InitLibraries() {
  static std::once_flag Once;
  std::call_once(Once, [] {
    xmlInitParser();
    curl_global_init(CURL_GLOBAL_NOTHING);
  });
}

// A network-given text fit for a log line: printable ASCII, cut short.
std::string Shown(std::string_view S) {
  std::string R;
  for (char C : S.substr(0, 80)) R += (C >= 0x20 && C < 0x7f) ? C : '?';
  if (S.size() > 80) R += "...";
  return R;
}

std::string Dotted(uint32_t Address) {
  return std::to_string(Address >> 24) + "." + std::to_string((Address >> 16) & 255) + "." +
         std::to_string((Address >> 8) & 255) + "." + std::to_string(Address & 255);
}

namespace {

constexpr std::size_t MaxMatches = 64; // per datagram
constexpr std::size_t MaxXAddrs = 16;  // per match
constexpr std::size_t MaxUri = 1024;   // an endpoint, an XAddr, a message id
constexpr std::size_t MaxNameBytes = 63;
constexpr std::size_t MaxWorkgroupBytes = 255;

// ---- XML

struct TDocFree {
  void operator()(xmlDoc *D) const { xmlFreeDoc(D); }
};
using TDoc = std::unique_ptr<xmlDoc, TDocFree>;

TDoc ReadXml(std::string_view Data, std::size_t Limit, std::string &Why) {
  if (Data.size() > Limit) {
    Why = "too large (" + std::to_string(Data.size()) + " bytes)";
    return nullptr;
  }
  if (Data.empty()) {
    Why = "empty";
    return nullptr;
  }
  InitLibraries();
  // No network, no entity substitution; a document type declaration is refused below.
  TDoc D(xmlReadMemory(Data.data(), int(Data.size()), nullptr, nullptr,
                       XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING));
  if (!D) {
    Why = "not well-formed XML";
    return nullptr;
  }
  if (D->intSubset || D->extSubset) {
    Why = "carries a document type declaration";
    return nullptr;
  }
  return D;
}

bool Is(const xmlNode *N, const char *Ns, const char *Name) {
  return N && N->type == XML_ELEMENT_NODE && N->ns && N->ns->href &&
         xmlStrcmp(N->ns->href, BAD_CAST Ns) == 0 && xmlStrcmp(N->name, BAD_CAST Name) == 0;
}

const xmlNode *Child(const xmlNode *Parent, const char *Ns, const char *Name) {
  for (const xmlNode *C = Parent ? Parent->children : nullptr; C; C = C->next)
    if (Is(C, Ns, Name)) return C;
  return nullptr;
}

bool Space(char C) { return C == ' ' || C == '\t' || C == '\r' || C == '\n'; }

using text::Trim;

// The element's own text (text and CDATA children), trimmed.
std::string Text(const xmlNode *N) {
  std::string R;
  for (const xmlNode *C = N ? N->children : nullptr; C; C = C->next)
    if ((C->type == XML_TEXT_NODE || C->type == XML_CDATA_SECTION_NODE) && C->content)
      R += reinterpret_cast<const char *>(C->content);
  return std::string(Trim(R));
}

// A URI as these messages carry them: visible ASCII only, not too long.
bool PlainUri(std::string_view S) {
  if (S.empty() || S.size() > MaxUri) return false;
  // Printable ASCII without the characters that a URI never holds unescaped.
  return std::all_of(S.begin(), S.end(), [](char C) {
    return C > 0x20 && C < 0x7f &&
           std::string_view("\"<>\\^`{|}").find(C) == std::string_view::npos;
  });
}

struct TEnvelope {
  const xmlNode *Header = nullptr;
  const xmlNode *Body = nullptr;
  std::string Action;
  std::string RelatesTo;
};

bool ReadEnvelope(const xmlDoc *D, TEnvelope &E, std::string &Why) {
  const xmlNode *Root = xmlDocGetRootElement(const_cast<xmlDoc *>(D));
  if (!Is(Root, NsSoap, "Envelope")) {
    Why = "not a SOAP envelope";
    return false;
  }
  E.Header = Child(Root, NsSoap, "Header");
  E.Body = Child(Root, NsSoap, "Body");
  if (!E.Header || !E.Body) {
    Why = "no SOAP header or body";
    return false;
  }
  E.Action = Text(Child(E.Header, NsAddressing, "Action"));
  E.RelatesTo = Text(Child(E.Header, NsAddressing, "RelatesTo"));
  return true;
}

std::vector<std::string> Words(std::string_view S) {
  std::vector<std::string> R;
  std::size_t I = 0;
  while (I < S.size()) {
    while (I < S.size() && Space(S[I])) ++I;
    std::size_t J = I;
    while (J < S.size() && !Space(S[J])) ++J;
    if (J > I) R.emplace_back(S.substr(I, J - I));
    I = J;
  }
  return R;
}

bool ValidUtf8(std::string_view S) {
  std::size_t I = 0;
  while (I < S.size()) {
    const auto C = static_cast<unsigned char>(S[I]);
    std::size_t N = 0;
    uint32_t Code = 0;
    if (C < 0x80) {
      ++I;
      continue;
    }
    if ((C >> 5) == 6) {
      N = 1;
      Code = C & 0x1f;
    } else if ((C >> 4) == 14) {
      N = 2;
      Code = C & 0x0f;
    } else if ((C >> 3) == 30) {
      N = 3;
      Code = C & 0x07;
    } else {
      return false;
    }
    if (S.size() - I <= N) return false;
    for (std::size_t K = 1; K <= N; ++K) {
      const auto D = static_cast<unsigned char>(S[I + K]);
      if ((D >> 6) != 2) return false;
      Code = (Code << 6) | (D & 0x3f);
    }
    // Overlong forms, surrogates and values past the last code point.
    if ((N == 1 && Code < 0x80) || (N == 2 && Code < 0x800) || (N == 3 && Code < 0x10000) ||
        Code > 0x10ffff || (Code >= 0xd800 && Code <= 0xdfff))
      return false;
    I += N + 1;
  }
  return true;
}

// A computer or workgroup name that can stand in a UNC path and a log line.
bool GoodName(std::string_view S, std::size_t Max, bool Dots) {
  if (S.empty() || S.size() > Max || Trim(S).size() != S.size() || !ValidUtf8(S)) return false;
  for (char C : S) {
    const auto U = static_cast<unsigned char>(C);
    if (U < 0x20 || U == 0x7f || std::strchr("\\/:*?\"<>|", C)) return false;
  }
  if (!Dots && S.find('.') != std::string_view::npos) return false;
  return S.find_first_not_of(". ") != std::string_view::npos;
}

} // namespace

// ---- parsers

bool ParseWsdAnswer(std::string_view Datagram, WsdAnswer &Out, std::string &Why) {
  Out = WsdAnswer{};
  TDoc D = ReadXml(Datagram, WsdMaxDatagram, Why);
  if (!D) return false;
  TEnvelope E;
  if (!ReadEnvelope(D.get(), E, Why)) return false;
  const char *List = nullptr, *Item = nullptr;
  if (E.Action == ActionProbeMatches) {
    List = "ProbeMatches";
    Item = "ProbeMatch";
  } else if (E.Action == ActionResolveMatches) {
    List = "ResolveMatches";
    Item = "ResolveMatch";
    Out.Resolve = true;
  } else {
    Why = "not an answer to a Probe or Resolve (action \"" + Shown(E.Action) + "\")";
    return false;
  }
  if (!PlainUri(E.RelatesTo)) {
    Why = "no usable RelatesTo";
    return false;
  }
  Out.RelatesTo = E.RelatesTo;
  const xmlNode *Matches = Child(E.Body, NsDiscovery, List);
  if (!Matches) {
    Why = std::string("no ") + List + " in the body";
    return false;
  }
  for (const xmlNode *M = Matches->children; M; M = M->next) {
    if (!Is(M, NsDiscovery, Item)) continue;
    if (Out.Matches.size() == MaxMatches) {
      Why = "more than " + std::to_string(MaxMatches) + " matches";
      return false;
    }
    WsdMatch W;
    W.Endpoint = Text(Child(Child(M, NsAddressing, "EndpointReference"), NsAddressing, "Address"));
    if (!PlainUri(W.Endpoint)) {
      Why = "a match without a usable endpoint address";
      return false;
    }
    for (auto &X : Words(Text(Child(M, NsDiscovery, "XAddrs")))) {
      if (W.XAddrs.size() == MaxXAddrs) break;
      if (PlainUri(X)) W.XAddrs.push_back(std::move(X));
    }
    Out.Matches.push_back(std::move(W));
  }
  if (Out.Resolve && Out.Matches.size() != 1) {
    Why = "a ResolveMatches without exactly one match";
    return false;
  }
  return true;
}

bool ParseWsdComputerText(std::string_view Text, WsdComputer &Out, std::string &Why) {
  Text = Trim(Text);
  const auto Slash = Text.find('/');
  const std::string_view Name = Text.substr(0, Slash);
  const std::string_view Rest = Slash == std::string_view::npos ? "" : Text.substr(Slash + 1);
  if (!GoodName(Name, MaxNameBytes, true)) {
    Why = "not a usable computer name: \"" + Shown(Name) + "\"";
    return false;
  }
  // An address in a name's place would take that address's shares as the device's.
  if (in_addr A{};
      Name.find('.') != std::string_view::npos && ::inet_aton(std::string(Name).c_str(), &A) != 0) {
    Why = "an address, not a computer name: \"" + Shown(Name) + "\"";
    return false;
  }
  std::string_view Group;
  if (Rest.rfind("Workgroup:", 0) == 0)
    Group = Rest.substr(10);
  else if (Rest.rfind("Domain:", 0) == 0)
    Group = Rest.substr(7);
  else if (!Rest.empty() && Rest != "NotJoined") {
    Why = "unknown membership \"" + Shown(Rest) + "\"";
    return false;
  }
  if (!Group.empty() || Rest.find(':') != std::string_view::npos) {
    if (!GoodName(Group, MaxWorkgroupBytes, true)) {
      Why = "not a usable workgroup or domain name: \"" + Shown(Group) + "\"";
      return false;
    }
  }
  Out.Name = std::string(Name);
  Out.Workgroup = std::string(Group);
  return true;
}

bool ParseWsdMetadata(std::string_view Body, WsdComputer &Out, std::string &Why) {
  TDoc D = ReadXml(Body, WsdMaxMetadata, Why);
  if (!D) return false;
  TEnvelope E;
  if (!ReadEnvelope(D.get(), E, Why)) return false;
  if (E.Action != ActionGetResponse) {
    Why = "not a metadata response (action \"" + Shown(E.Action) + "\")";
    return false;
  }
  // The first pub:Computer below the body, wherever the sections put it.
  const xmlNode *N = E.Body->children;
  while (N) {
    if (Is(N, NsPub, "Computer")) return ParseWsdComputerText(Text(N), Out, Why);
    if (N->type == XML_ELEMENT_NODE && N->children) {
      N = N->children;
      continue;
    }
    while (N && !N->next && N->parent != E.Body) N = N->parent;
    N = N ? N->next : nullptr;
  }
  Why = "no computer in the metadata (not a computer)";
  return false;
}

std::string WsdUsableXAddr(const std::vector<std::string> &XAddrs, uint32_t Address) {
  InitLibraries();
  const std::string Want = Dotted(Address);
  for (const auto &X : XAddrs) {
    if (!PlainUri(X)) continue;
    std::unique_ptr<CURLU, decltype(&curl_url_cleanup)> U(curl_url(), curl_url_cleanup);
    if (!U || curl_url_set(U.get(), CURLUPART_URL, X.c_str(), 0) != CURLUE_OK) continue;
    auto Part = [&](CURLUPart P) {
      char *S = nullptr;
      std::string R;
      if (curl_url_get(U.get(), P, &S, 0) == CURLUE_OK && S) R = S;
      curl_free(S);
      return R;
    };
    if (Part(CURLUPART_SCHEME) != "http" || Part(CURLUPART_HOST) != Want) continue;
    if (!Part(CURLUPART_USER).empty() || !Part(CURLUPART_PASSWORD).empty()) continue;
    const std::string Url = Part(CURLUPART_URL);
    if (PlainUri(Url)) return Url;
  }
  return "";
}

} // namespace sonquarry::wsd
