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

#include "platform/os/diag.h"
#include "platform/wsd/wsd_soap.h"

namespace sonquarry::wsd {

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

// The netmask of the interface with the local address Local; all ones when none has it.
uint32_t InterfaceMask(uint32_t Local) {
  uint32_t Mask = 0xffffffffu;
  ifaddrs *List = nullptr;
  if (::getifaddrs(&List) != 0) return Mask;
  for (ifaddrs *A = List; A; A = A->ifa_next)
    if (A->ifa_addr && A->ifa_netmask && A->ifa_addr->sa_family == AF_INET &&
        ntohl(reinterpret_cast<const sockaddr_in *>(A->ifa_addr)->sin_addr.s_addr) == Local) {
      Mask = ntohl(reinterpret_cast<const sockaddr_in *>(A->ifa_netmask)->sin_addr.s_addr);
      break;
    }
  ::freeifaddrs(List);
  return Mask;
}

struct TSocket {
  int Fd = -1;
  uint32_t Local = 0, Mask = 0xffffffffu;
  TSocket() = default;
  TSocket(const TSocket &) = delete;
  TSocket &operator=(const TSocket &) = delete;
  TSocket(TSocket &&O) noexcept : Fd(O.Fd), Local(O.Local), Mask(O.Mask) { O.Fd = -1; }
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
    S.Mask = InterfaceMask(Local);
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
    // A device of this link answers from its subnet; anything else came through a router or
    // forged its source, and its address would be trusted for the name it gives.
    const TSocket &S = Sockets_[Socket];
    if (((Address ^ S.Local) & S.Mask) != 0) {
      Log("answer from " + Dotted(Address) + " refused: outside the subnet of " + Dotted(S.Local));
      continue;
    }
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
