// What the TCP probe before the first connection costs and saves. Run inside the test network:
//   tests/testnet/testnet.sh exec --dir DIR -- build/bench/smb_probe_bench
// Prints, for an open, a refused, a silent and a missing computer (by address), the time of the
// first share listing with the probe and without it.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>

#include "platform/smb/smb_provider.h"
#include "support/smb_testnet.h"

using namespace sonquarry;

static double ListMs(const std::string &Conf, int ProbeMs, const std::string &Unc, bool &Ok) {
  smb::SmbProviderOptions O;
  O.ConfigFile = Conf;
  O.CredentialsFile = "-";
  O.ProbeTimeOutMs = ProbeMs;
  smb::TSmbProvider P(O); // fresh: no connection, no probe result kept
  net::NetResource R;
  R.DisplayType = net::NetDisplayServer;
  R.RemoteName = Unc;
  std::vector<net::NetResource> Out;
  const auto T = std::chrono::steady_clock::now();
  Ok = P.EnumResources(&R, Out) == net::NetEnumStatus::Ok;
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - T).count();
}

int main() {
  sonquarry::testing::TestNet Net;
  if (!Net.Ok()) {
    std::fprintf(stderr, "run inside the test network (SQ_TESTNET_ENV unset)\n");
    return 2;
  }
  const std::string Conf = Net.Get("SQ_CLIENT_CONF");
  bool Ok = false;
  ListMs(Conf, 0, "\\\\" + Net.Ip("ALPHA"), Ok); // loads the library and its configuration
  for (const char *Host : {"ALPHA", "REFUSED", "SILENT", "MISSING"}) {
    const std::string Unc = "\\\\" + Net.Ip(Host);
    for (int Probe : {0, 500}) {
      // Open and refused computers answer quickly: the best of three runs.
      double Best = 1e9;
      for (int Run = 0; Run < (Host[0] == 'A' || Host[0] == 'R' ? 3 : 1); ++Run)
        Best = std::min(Best, ListMs(Conf, Probe, Unc, Ok));
      std::printf("first share listing of %s by address (%s), probe %s: %.1f ms\n", Host,
                  Ok ? "ok" : "failed", Probe ? "500 ms" : "off", Best);
    }
  }
  // By NetBIOS name the probe does not apply: the name resolution decides.
  for (const char *Host : {"SILENT", "MISSING"}) {
    const double Ms = ListMs(Conf, 500, "\\\\" + Net.Name(Host), Ok);
    std::printf("first share listing of %s by name (%s): %.1f ms\n", Host, Ok ? "ok" : "failed",
                Ms);
  }
  return 0;
}
