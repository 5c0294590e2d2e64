#include "platform/wsd/ws_discovery.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <ifaddrs.h>
#include <map>
#include <memory>
#include <mutex>
#include <net/if.h>
#include <netinet/in.h>
#include <random>
#include <sys/socket.h>
#include <unistd.h>

#include <curl/curl.h>
#include <libxml/parser.h>
#include <libxml/tree.h>

#include "platform/diag.h"

namespace sonquarry::wsd {

namespace {

constexpr const char *NsSoap = "http://www.w3.org/2003/05/soap-envelope";
constexpr const char *NsAddressing = "http://schemas.xmlsoap.org/ws/2004/08/addressing";
constexpr const char *NsDiscovery = "http://schemas.xmlsoap.org/ws/2005/04/discovery";
constexpr const char *NsPub = "http://schemas.microsoft.com/windows/pub/2005/07";
constexpr const char *ActionProbe = "http://schemas.xmlsoap.org/ws/2005/04/discovery/Probe";
constexpr const char *ActionProbeMatches =
    "http://schemas.xmlsoap.org/ws/2005/04/discovery/ProbeMatches";
constexpr const char *ActionResolve = "http://schemas.xmlsoap.org/ws/2005/04/discovery/Resolve";
constexpr const char *ActionResolveMatches =
    "http://schemas.xmlsoap.org/ws/2005/04/discovery/ResolveMatches";
constexpr const char *ActionGet = "http://schemas.xmlsoap.org/ws/2004/09/transfer/Get";
constexpr const char *ActionGetResponse =
    "http://schemas.xmlsoap.org/ws/2004/09/transfer/GetResponse";
constexpr const char *DiscoveryTo = "urn:schemas-xmlsoap-org:ws:2005:04:discovery";
constexpr const char *Anonymous = "http://schemas.xmlsoap.org/ws/2004/08/addressing/role/anonymous";
constexpr uint16_t DiscoveryPort = 3702;
constexpr uint32_t DiscoveryGroup = 0xEFFFFFFA; // 239.255.255.250

constexpr std::size_t MaxMatches = 64; // per datagram
constexpr std::size_t MaxXAddrs = 16;  // per match
constexpr std::size_t MaxUri = 1024;   // an endpoint, an XAddr, a message id
constexpr std::size_t MaxNameBytes = 63;
constexpr std::size_t MaxWorkgroupBytes = 255;

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

std::string_view Trim(std::string_view S) {
  while (!S.empty() && Space(S.front())) S.remove_prefix(1);
  while (!S.empty() && Space(S.back())) S.remove_suffix(1);
  return S;
}

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

// ---- the discovery

namespace {

using TClock = std::chrono::steady_clock;

std::string NewUuidUrn() {
  std::random_device R;
  uint8_t B[16];
  for (int I = 0; I < 16; I += 4) {
    const uint32_t V = R();
    std::memcpy(B + I, &V, 4);
  }
  B[6] = uint8_t((B[6] & 0x0f) | 0x40);
  B[8] = uint8_t((B[8] & 0x3f) | 0x80);
  static const char *Hex = "0123456789abcdef";
  std::string S = "urn:uuid:";
  for (int I = 0; I < 16; ++I) {
    if (I == 4 || I == 6 || I == 8 || I == 10) S += '-';
    S += Hex[B[I] >> 4];
    S += Hex[B[I] & 15];
  }
  return S;
}

std::string Escaped(const std::string &S) {
  xmlChar *E = xmlEncodeSpecialChars(nullptr, BAD_CAST S.c_str());
  std::string R = E ? reinterpret_cast<const char *>(E) : "";
  xmlFree(E);
  return R;
}

std::string Envelope(const std::string &To, const char *Action, const std::string &MessageId,
                     const std::string &Extra, const std::string &Body) {
  return std::string("<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
                     "<soap:Envelope xmlns:soap=\"") +
         NsSoap + "\" xmlns:wsa=\"" + NsAddressing + "\" xmlns:wsd=\"" + NsDiscovery +
         "\" xmlns:wsdp=\"http://schemas.xmlsoap.org/ws/2006/02/devprof\">"
         "<soap:Header><wsa:To>" +
         Escaped(To) + "</wsa:To><wsa:Action>" + Action + "</wsa:Action><wsa:MessageID>" +
         MessageId + "</wsa:MessageID>" + Extra + "</soap:Header><soap:Body>" + Body +
         "</soap:Body></soap:Envelope>";
}

std::string ProbeMessage(const std::string &Id) {
  return Envelope(DiscoveryTo, ActionProbe, Id, "",
                  "<wsd:Probe><wsd:Types>wsdp:Device</wsd:Types></wsd:Probe>");
}

std::string ResolveMessage(const std::string &Id, const std::string &Endpoint) {
  return Envelope(DiscoveryTo, ActionResolve, Id, "",
                  "<wsd:Resolve><wsa:EndpointReference><wsa:Address>" + Escaped(Endpoint) +
                      "</wsa:Address></wsa:EndpointReference></wsd:Resolve>");
}

std::string GetMessage(const std::string &Id, const std::string &Endpoint) {
  return Envelope(
      Endpoint, ActionGet, Id,
      std::string("<wsa:ReplyTo><wsa:Address>") + Anonymous + "</wsa:Address></wsa:ReplyTo>", "");
}

// Local IPv4 addresses of the interfaces that are up and take multicast, loopback left out.
std::vector<uint32_t> MulticastInterfaces() {
  std::vector<uint32_t> R;
  ifaddrs *List = nullptr;
  if (::getifaddrs(&List) != 0) return R;
  for (ifaddrs *A = List; A; A = A->ifa_next) {
    if (!A->ifa_addr || A->ifa_addr->sa_family != AF_INET) continue;
    if (!(A->ifa_flags & IFF_UP) || !(A->ifa_flags & IFF_MULTICAST) ||
        (A->ifa_flags & IFF_LOOPBACK))
      continue;
    const uint32_t Address =
        ntohl(reinterpret_cast<const sockaddr_in *>(A->ifa_addr)->sin_addr.s_addr);
    if (std::find(R.begin(), R.end(), Address) == R.end()) R.push_back(Address);
  }
  ::freeifaddrs(List);
  return R;
}

struct TSocket {
  int Fd = -1;
  uint32_t Local = 0;
  TSocket() = default;
  TSocket(const TSocket &) = delete;
  TSocket &operator=(const TSocket &) = delete;
  TSocket(TSocket &&O) noexcept : Fd(O.Fd), Local(O.Local) { O.Fd = -1; }
  ~TSocket() {
    if (Fd >= 0) ::close(Fd);
  }
};

struct TDevice {
  std::string Endpoint;
  uint32_t Address = 0;
  std::size_t Socket = 0;
  enum { Resolving, Getting, Done } State = Done;
  std::string ResolveId;
  TClock::time_point ResolveBy;
  std::string Url;
  std::string Request;
  std::string Response;
  bool TooLarge = false;
  CURL *Easy = nullptr;
  curl_slist *Headers = nullptr;
};

size_t Collect(char *Data, size_t Size, size_t Count, void *User) {
  auto *D = static_cast<TDevice *>(User);
  const size_t N = Size * Count;
  if (D->Response.size() + N > WsdMaxMetadata) {
    D->TooLarge = true;
    return 0;
  }
  D->Response.append(Data, N);
  return N;
}

class TDiscovery {
public:
  explicit TDiscovery(const WsdOptions &O) : O_(O) {}
  ~TDiscovery() {
    for (auto &D : Devices_) Release(*D);
    if (Multi_) curl_multi_cleanup(Multi_);
  }

  std::vector<WsdComputer> Run();

private:
  void Log(const std::string &Line) const {
    if (O_.Log)
      O_.Log("WS-Discovery: " + Line);
    else
      platform::Diagnostic("WS-Discovery: " + Line);
  }
  bool Open();
  void Send(std::size_t Socket, const std::string &Message, const char *What);
  void Receive(std::size_t Socket, TClock::time_point Now);
  void Answer(const std::string &Data, uint32_t From, std::size_t Socket, TClock::time_point Now);
  void StartGet(TDevice &D);
  void Finished(CURLMsg *M);
  void Release(TDevice &D);

  const WsdOptions &O_;
  std::vector<TSocket> Sockets_;
  CURLM *Multi_ = nullptr;
  std::string ProbeId_;
  TClock::time_point ProbeEnd_;
  std::vector<std::unique_ptr<TDevice>> Devices_;
  std::map<std::string, TDevice *> ByEndpoint_;
  std::map<std::string, TDevice *> ByResolveId_;
  bool TooMany_ = false;
  std::vector<WsdComputer> Found_;
};

bool TDiscovery::Open() {
  const std::vector<uint32_t> Locals =
      O_.Interfaces.empty() ? MulticastInterfaces() : O_.Interfaces;
  for (uint32_t Local : Locals) {
    TSocket S;
    S.Local = Local;
    S.Fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (S.Fd < 0) continue;
    sockaddr_in A{};
    A.sin_family = AF_INET;
    A.sin_addr.s_addr = htonl(Local);
    in_addr If{};
    If.s_addr = htonl(Local);
    const unsigned char Ttl = 1; // the local link only
    if (::bind(S.Fd, reinterpret_cast<sockaddr *>(&A), sizeof A) != 0 ||
        ::setsockopt(S.Fd, IPPROTO_IP, IP_MULTICAST_IF, &If, sizeof If) != 0 ||
        ::setsockopt(S.Fd, IPPROTO_IP, IP_MULTICAST_TTL, &Ttl, sizeof Ttl) != 0) {
      Log("interface " + Dotted(Local) + " left out: " + std::strerror(errno));
      continue;
    }
    Sockets_.push_back(std::move(S));
  }
  if (Sockets_.empty()) {
    Log("no IPv4 interface to probe on");
    return false;
  }
  Multi_ = curl_multi_init();
  return Multi_ != nullptr;
}

void TDiscovery::Send(std::size_t Socket, const std::string &Message, const char *What) {
  sockaddr_in To{};
  To.sin_family = AF_INET;
  To.sin_port = htons(DiscoveryPort);
  To.sin_addr.s_addr = htonl(DiscoveryGroup);
  if (::sendto(Sockets_[Socket].Fd, Message.data(), Message.size(), 0,
               reinterpret_cast<sockaddr *>(&To), sizeof To) < 0)
    Log(std::string(What) + " on " + Dotted(Sockets_[Socket].Local) +
        " not sent: " + std::strerror(errno));
}

void TDiscovery::Receive(std::size_t Socket, TClock::time_point Now) {
  std::string Buffer(65536, '\0');
  for (int I = 0; I < 64; ++I) {
    sockaddr_in From{};
    socklen_t Len = sizeof From;
    const ssize_t N = ::recvfrom(Sockets_[Socket].Fd, Buffer.data(), Buffer.size(), MSG_TRUNC,
                                 reinterpret_cast<sockaddr *>(&From), &Len);
    if (N < 0) return;
    const uint32_t Address = ntohl(From.sin_addr.s_addr);
    if (std::size_t(N) > WsdMaxDatagram) {
      Log("answer from " + Dotted(Address) + " refused: too large (" + std::to_string(N) +
          " bytes)");
      continue;
    }
    Answer(Buffer.substr(0, std::size_t(N)), Address, Socket, Now);
  }
}

void TDiscovery::Answer(const std::string &Data, uint32_t From, std::size_t Socket,
                        TClock::time_point Now) {
  WsdAnswer A;
  std::string Why;
  if (!ParseWsdAnswer(Data, A, Why)) {
    Log("answer from " + Dotted(From) + " refused: " + Why);
    return;
  }
  if (A.Resolve) {
    auto It = ByResolveId_.find(A.RelatesTo);
    if (It == ByResolveId_.end()) return; // a repeat, or not ours
    TDevice &D = *It->second;
    if (D.State != TDevice::Resolving) return;
    if (From != D.Address || A.Matches[0].Endpoint != D.Endpoint) {
      Log("answer to the Resolve for " + Shown(D.Endpoint) + " from " + Dotted(From) +
          " refused: not the device that answered the Probe");
      return;
    }
    D.Url = WsdUsableXAddr(A.Matches[0].XAddrs, D.Address);
    if (D.Url.empty()) {
      Log(Dotted(D.Address) + " left out: no http address at " + Dotted(D.Address));
      D.State = TDevice::Done;
      return;
    }
    StartGet(D);
    return;
  }
  if (A.RelatesTo != ProbeId_) {
    Log("answer from " + Dotted(From) + " refused: it answers no Probe of ours");
    return;
  }
  if (Now >= ProbeEnd_) return; // too late
  for (auto &M : A.Matches) {
    if (ByEndpoint_.count(M.Endpoint)) continue; // a repeat, or seen on another interface
    if (Devices_.size() >= O_.MaxDevices) {
      if (!TooMany_)
        Log("more than " + std::to_string(O_.MaxDevices) + " devices: the rest left out");
      TooMany_ = true;
      return;
    }
    auto D = std::make_unique<TDevice>();
    D->Endpoint = M.Endpoint;
    D->Address = From;
    D->Socket = Socket;
    ByEndpoint_[D->Endpoint] = D.get();
    TDevice &Dev = *D;
    Devices_.push_back(std::move(D));
    if (M.XAddrs.empty()) {
      // No transport address in the answer: ask for it.
      Dev.State = TDevice::Resolving;
      Dev.ResolveId = NewUuidUrn();
      Dev.ResolveBy = Now + std::chrono::milliseconds(O_.ResolveWaitMs);
      ByResolveId_[Dev.ResolveId] = &Dev;
      Send(Socket, ResolveMessage(Dev.ResolveId, Dev.Endpoint), "Resolve");
      continue;
    }
    Dev.Url = WsdUsableXAddr(M.XAddrs, From);
    if (Dev.Url.empty()) {
      Log(Dotted(From) + " left out: no http address at " + Dotted(From) + " among \"" +
          Shown(M.XAddrs[0]) + "\"...");
      continue;
    }
    StartGet(Dev);
  }
}

void TDiscovery::StartGet(TDevice &D) {
  D.State = TDevice::Done;
  D.Easy = curl_easy_init();
  if (!D.Easy) return;
  D.Request = GetMessage(NewUuidUrn(), D.Endpoint);
  D.Headers = curl_slist_append(nullptr, "Content-Type: application/soap+xml");
  D.Headers = curl_slist_append(D.Headers, "Expect:");
  CURL *E = D.Easy;
  curl_easy_setopt(E, CURLOPT_URL, D.Url.c_str());
  curl_easy_setopt(E, CURLOPT_PROTOCOLS_STR, "http");
  curl_easy_setopt(E, CURLOPT_NOPROXY, "*"); // straight to the device, whatever the environment
  curl_easy_setopt(E, CURLOPT_FOLLOWLOCATION, 0L);
  curl_easy_setopt(E, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(E, CURLOPT_TIMEOUT_MS, long(O_.GetTimeOutMs));
  curl_easy_setopt(E, CURLOPT_MAXFILESIZE_LARGE, curl_off_t(WsdMaxMetadata));
  curl_easy_setopt(E, CURLOPT_HTTPHEADER, D.Headers);
  curl_easy_setopt(E, CURLOPT_USERAGENT, "Sonquarry");
  curl_easy_setopt(E, CURLOPT_POSTFIELDS, D.Request.c_str());
  curl_easy_setopt(E, CURLOPT_POSTFIELDSIZE, long(D.Request.size()));
  curl_easy_setopt(E, CURLOPT_WRITEFUNCTION, Collect);
  curl_easy_setopt(E, CURLOPT_WRITEDATA, &D);
  curl_easy_setopt(E, CURLOPT_PRIVATE, &D);
  if (curl_multi_add_handle(Multi_, E) != CURLM_OK) {
    Release(D);
    return;
  }
  D.State = TDevice::Getting;
}

void TDiscovery::Finished(CURLMsg *M) {
  TDevice *D = nullptr;
  curl_easy_getinfo(M->easy_handle, CURLINFO_PRIVATE, &D);
  if (!D) return;
  const std::string Who = Dotted(D->Address);
  long Status = 0;
  curl_easy_getinfo(M->easy_handle, CURLINFO_RESPONSE_CODE, &Status);
  WsdComputer C;
  std::string Why;
  if (D->TooLarge || M->data.result == CURLE_FILESIZE_EXCEEDED)
    Log("metadata from " + Who + " refused: larger than " + std::to_string(WsdMaxMetadata) +
        " bytes");
  else if (M->data.result == CURLE_OPERATION_TIMEDOUT)
    Log("no metadata from " + Who + " within " + std::to_string(O_.GetTimeOutMs) + " ms");
  else if (M->data.result != CURLE_OK)
    Log("metadata from " + Who + " not read: " + curl_easy_strerror(M->data.result));
  else if (Status != 200)
    Log("metadata from " + Who + " not read: HTTP status " + std::to_string(Status));
  else if (!ParseWsdMetadata(D->Response, C, Why))
    Log("metadata from " + Who + " refused: " + Why);
  else {
    C.Address = D->Address;
    Found_.push_back(std::move(C));
  }
  Release(*D);
  D->State = TDevice::Done;
}

void TDiscovery::Release(TDevice &D) {
  if (D.Easy) {
    if (Multi_) curl_multi_remove_handle(Multi_, D.Easy);
    curl_easy_cleanup(D.Easy);
    D.Easy = nullptr;
  }
  curl_slist_free_all(D.Headers);
  D.Headers = nullptr;
}

std::vector<WsdComputer> TDiscovery::Run() {
  if (!Open()) return {};
  const auto Start = TClock::now();
  ProbeEnd_ = Start + std::chrono::milliseconds(O_.ProbeWaitMs);
  const auto HardEnd =
      ProbeEnd_ + std::chrono::milliseconds(O_.ResolveWaitMs + O_.GetTimeOutMs + 200);
  // The protocol repeats UDP messages; devices drop the repeat by its message id.
  const auto Repeat = Start + std::chrono::milliseconds(std::min(100, O_.ProbeWaitMs / 2));
  bool Repeated = false;
  ProbeId_ = NewUuidUrn();
  const std::string Probe = ProbeMessage(ProbeId_);
  for (std::size_t I = 0; I < Sockets_.size(); ++I) Send(I, Probe, "Probe");

  std::vector<curl_waitfd> Fds(Sockets_.size());
  for (;;) {
    auto Now = TClock::now();
    if (!Repeated && Now >= Repeat) {
      for (std::size_t I = 0; I < Sockets_.size(); ++I) Send(I, Probe, "Probe");
      Repeated = true;
    }
    bool Busy = Now < ProbeEnd_;
    for (auto &D : Devices_) {
      if (D->State == TDevice::Resolving && Now >= D->ResolveBy) {
        Log("no answer to the Resolve from " + Dotted(D->Address) + " within " +
            std::to_string(O_.ResolveWaitMs) + " ms");
        D->State = TDevice::Done;
      }
      if (D->State != TDevice::Done) Busy = true;
    }
    if (!Busy) break;
    if (Now >= HardEnd) {
      for (auto &D : Devices_)
        if (D->State != TDevice::Done) Log("gave up waiting for " + Dotted(D->Address));
      break;
    }
    for (std::size_t I = 0; I < Sockets_.size(); ++I) {
      Fds[I].fd = Sockets_[I].Fd;
      Fds[I].events = CURL_WAIT_POLLIN;
      Fds[I].revents = 0;
    }
    curl_multi_poll(Multi_, Fds.data(), unsigned(Fds.size()), 20, nullptr);
    Now = TClock::now();
    for (std::size_t I = 0; I < Sockets_.size(); ++I)
      if (Fds[I].revents & CURL_WAIT_POLLIN) Receive(I, Now);
    int Running = 0;
    curl_multi_perform(Multi_, &Running);
    int Left = 0;
    while (CURLMsg *M = curl_multi_info_read(Multi_, &Left))
      if (M->msg == CURLMSG_DONE) Finished(M);
  }
  return std::move(Found_);
}

} // namespace

std::vector<WsdComputer> DiscoverComputers(const WsdOptions &Options) {
  try {
    InitLibraries();
    TDiscovery D(Options);
    return D.Run();
  } catch (const std::exception &E) {
    const std::string Line = std::string("WS-Discovery: failed: ") + E.what();
    if (Options.Log)
      Options.Log(Line);
    else
      platform::Diagnostic(Line);
    return {};
  }
}

} // namespace sonquarry::wsd
