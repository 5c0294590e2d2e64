#include "platform/mdns/dns_sd.h"

#include <arpa/inet.h>
#include <avahi-client/client.h>
#include <avahi-client/lookup.h>
#include <avahi-common/error.h>
#include <avahi-common/simple-watch.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <set>

#include "platform/os/diag.h"
#include "text/text.h"
#include "text/utf8_text.h"

namespace sonquarry::mdns {

namespace {

constexpr std::size_t MaxNameBytes = 63; // a DNS label, which an instance name is

using TClock = std::chrono::steady_clock;

struct TBrowse {
  const BrowseOptions &Options;
  BrowseResult Result;
  AvahiClient *Client = nullptr;
  std::set<AvahiServiceResolver *> Pending;
  std::set<std::string> Seen; // names asked for, each once (a service shows on every interface)
  bool AllForNow = false;
  bool Failed = false;
  bool Capped = false;

  void Log(const std::string &Line) const {
    if (Options.Log)
      Options.Log(Line);
    else
      platform::Diagnostic(Line);
  }
  bool Done() const { return Failed || (AllForNow && Pending.empty()); }
};

void OnResolved(AvahiServiceResolver *R, AvahiIfIndex, AvahiProtocol, AvahiResolverEvent Event,
                const char *Name, const char *, const char *, const char *HostName,
                const AvahiAddress *Address, uint16_t Port, AvahiStringList *,
                AvahiLookupResultFlags, void *Data) {
  auto &B = *static_cast<TBrowse *>(Data);
  B.Pending.erase(R);
  avahi_service_resolver_free(R);
  if (Event != AVAHI_RESOLVER_FOUND || !Address || Address->proto != AVAHI_PROTO_INET) return;
  SmbService S;
  S.Name = Name ? Name : "";
  S.Host = HostName ? HostName : "";
  S.Address = ntohl(Address->data.ipv4.address);
  S.Port = Port;
  B.Result.Services.push_back(std::move(S));
}

void OnBrowsed(AvahiServiceBrowser *, AvahiIfIndex Interface, AvahiProtocol Protocol,
               AvahiBrowserEvent Event, const char *Name, const char *Type, const char *Domain,
               AvahiLookupResultFlags, void *Data) {
  auto &B = *static_cast<TBrowse *>(Data);
  switch (Event) {
  case AVAHI_BROWSER_NEW: {
    const std::string N = Name ? Name : "";
    if (B.Seen.count(N)) return;
    std::string Why;
    if (!UsableServiceName(N, Why)) {
      B.Seen.insert(N);
      B.Log("mDNS: a service of _smb._tcp is left out: " + Why + ".");
      return;
    }
    if (B.Seen.size() >= B.Options.MaxServices) {
      if (!B.Capped)
        B.Log("mDNS: more than " + std::to_string(B.Options.MaxServices) +
              " SMB services; the others are left out.");
      B.Capped = true;
      return;
    }
    B.Seen.insert(N);
    if (auto *R = avahi_service_resolver_new(B.Client, Interface, Protocol, Name, Type, Domain,
                                             AVAHI_PROTO_INET, AvahiLookupFlags(0), OnResolved, &B))
      B.Pending.insert(R);
    break;
  }
  case AVAHI_BROWSER_ALL_FOR_NOW:
    B.AllForNow = true;
    break;
  case AVAHI_BROWSER_FAILURE:
    B.Log(std::string("mDNS: the browse failed: ") + avahi_strerror(avahi_client_errno(B.Client)) +
          ".");
    B.Failed = true;
    break;
  default: // REMOVE, CACHE_EXHAUSTED
    break;
  }
}

void OnClient(AvahiClient *, AvahiClientState State, void *Data) {
  // The daemon went away while we browse.
  if (State == AVAHI_CLIENT_FAILURE) static_cast<TBrowse *>(Data)->Failed = true;
}

} // namespace

bool UsableServiceName(std::string_view Name, std::string &Why) {
  const std::string Shown = "\"" + text::Printable(Name) + "\"";
  if (Name.empty() || Name.size() > MaxNameBytes || text::Trim(Name).size() != Name.size() ||
      !text::IsValidUtf8(Name)) {
    Why = "not a usable computer name: " + Shown;
    return false;
  }
  for (char C : Name) {
    const auto U = static_cast<unsigned char>(C);
    // What a UNC path or a URL would read as something else than a name.
    if (U < 0x20 || U == 0x7f || std::strchr("\\/:*?\"<>|%", C)) {
      Why = "not a usable computer name: " + Shown;
      return false;
    }
  }
  if (Name.find_first_not_of(". ") == std::string_view::npos) {
    Why = "not a usable computer name: " + Shown;
    return false;
  }
  // An address in a name's place would take that address's shares as the service's.
  if (in_addr A{};
      Name.find('.') != std::string_view::npos && ::inet_aton(std::string(Name).c_str(), &A) != 0) {
    Why = "an address, not a computer name: " + Shown;
    return false;
  }
  return true;
}

BrowseResult BrowseSmb(const BrowseOptions &Options) {
  TBrowse B{Options, {}, nullptr, {}, {}, false, false, false};
  const auto Deadline = TClock::now() + std::chrono::milliseconds(std::max(0, Options.WaitMs));
  AvahiSimplePoll *Poll = avahi_simple_poll_new();
  if (!Poll) {
    B.Result.Daemon = false;
    B.Result.Why = "out of memory";
    return std::move(B.Result);
  }
  int Error = 0;
  // Without AVAHI_CLIENT_NO_FAIL: no daemon means an answer now, not a wait for one to start.
  B.Client =
      avahi_client_new(avahi_simple_poll_get(Poll), AvahiClientFlags(0), OnClient, &B, &Error);
  if (!B.Client) {
    B.Result.Daemon = false;
    B.Result.Why = avahi_strerror(Error);
    avahi_simple_poll_free(Poll);
    return std::move(B.Result);
  }
  AvahiServiceBrowser *Browser =
      avahi_service_browser_new(B.Client, AVAHI_IF_UNSPEC, AVAHI_PROTO_INET, "_smb._tcp", "local",
                                AvahiLookupFlags(0), OnBrowsed, &B);
  if (!Browser) {
    B.Log(std::string("mDNS: the browse cannot start: ") +
          avahi_strerror(avahi_client_errno(B.Client)) + ".");
    B.Failed = true;
  }
  while (!B.Done()) {
    const auto Left =
        std::chrono::duration_cast<std::chrono::milliseconds>(Deadline - TClock::now()).count();
    if (Left <= 0) break;
    if (avahi_simple_poll_iterate(Poll, int(Left)) != 0) break;
  }
  for (auto *R : B.Pending) avahi_service_resolver_free(R);
  B.Pending.clear();
  if (Browser) avahi_service_browser_free(Browser);
  avahi_client_free(B.Client);
  avahi_simple_poll_free(Poll);
  return std::move(B.Result);
}

} // namespace sonquarry::mdns
