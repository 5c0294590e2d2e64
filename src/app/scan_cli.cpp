#include "app/scan_cli.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>

#include "platform/os/exception.h"

namespace sonquarry {

namespace {

std::string Trim(const std::string &S) {
  const auto B = S.find_first_not_of(" \t");
  if (B == std::string::npos) return "";
  const auto E = S.find_last_not_of(" \t");
  return S.substr(B, E - B + 1);
}

// Four dotted groups of one to three digits, each at most 255.
uint32_t ParseAddress(const std::string &Text, const std::string &Whole) {
  int Groups = 0, Digits = 0;
  for (char C : Text) {
    if (C == '.') {
      if (Digits == 0) Groups = 99;
      ++Groups;
      Digits = 0;
    } else if (std::isdigit(static_cast<unsigned char>(C)) && Digits < 3) {
      ++Digits;
    } else {
      Groups = 99;
      break;
    }
  }
  if (Groups != 3 || Digits == 0)
    throw TUsageError("'" + Whole + "' is not an IPv4 address, range or block");
  try {
    return StrIP(Text);
  } catch (const Exception &) {
    throw TUsageError("'" + Whole + "' is not an IPv4 address, range or block");
  }
}

int ParseInt(const std::string &Option, const std::string &Value, int Min, int Max) {
  if (Value.empty() || Value.find_first_not_of("0123456789") != std::string::npos)
    throw TUsageError(Option + " needs a whole number, not '" + Value + "'");
  errno = 0;
  const long long N = std::strtoll(Value.c_str(), nullptr, 10);
  if (errno != 0 || N < Min || N > Max)
    throw TUsageError(Option + " must lie between " + std::to_string(Min) + " and " +
                      std::to_string(Max));
  return static_cast<int>(N);
}

void Append(std::optional<TNameList> &List, std::string Value) {
  if (!List) List.emplace();
  List->push_back(std::move(Value));
}

} // namespace

TIPRange ParseIPRangeArg(const std::string &Arg) {
  const std::string Text = Trim(Arg);
  if (const auto Slash = Text.find('/'); Slash != std::string::npos) {
    const uint32_t Address = ParseAddress(Trim(Text.substr(0, Slash)), Arg);
    const int Bits = IPPrefixLength(Trim(Text.substr(Slash + 1)));
    if (Bits < 0)
      throw TUsageError("'" + Arg + "': the prefix length after / must lie between 0 and 32");
    return IPBlock(Address, Bits);
  }
  if (const auto Dash = Text.find('-'); Dash != std::string::npos)
    return TIPRange(ParseAddress(Trim(Text.substr(0, Dash)), Arg),
                    ParseAddress(Trim(Text.substr(Dash + 1)), Arg));
  const uint32_t Address = ParseAddress(Text, Arg);
  return TIPRange(Address, Address);
}

TScanCommand ParseScanArgs(const std::vector<std::string> &Args) {
  TScanCommand C;
  bool SawNeighbourhood = false;
  for (size_t I = 0; I < Args.size(); ++I) {
    std::string Option = Args[I];
    std::optional<std::string> Inline;
    if (Option.rfind("--", 0) == 0) {
      if (const auto Eq = Option.find('='); Eq != std::string::npos) {
        Inline = Option.substr(Eq + 1);
        Option.resize(Eq);
      }
    }
    auto Value = [&]() -> std::string {
      if (Inline) return *Inline;
      if (I + 1 >= Args.size()) throw TUsageError(Option + " needs a value");
      return Args[++I];
    };
    auto NoValue = [&] {
      if (Inline) throw TUsageError(Option + " takes no value");
    };
    if (Option == "-h" || Option == "--help") {
      NoValue();
      C.Help = true;
    } else if (Option == "--version") {
      NoValue();
      C.Version = true;
    } else if (Option == "--neighbourhood" || Option == "--neighborhood") {
      NoValue();
      SawNeighbourhood = true;
      C.NetBios = true;
    } else if (Option == "--wsd" || Option == "--no-wsd") {
      NoValue();
      C.WsDiscovery = Option == "--wsd";
    } else if (Option == "--mdns" || Option == "--no-mdns") {
      NoValue();
      C.Mdns = Option == "--mdns";
    } else if (Option == "--ip") {
      C.Ranges.push_back(ParseIPRangeArg(Value()));
      C.NetBios = false;
    } else if (Option == "--allow-computer") {
      Append(C.AllowedComps, AddNetPrefix(Value()));
    } else if (Option == "--deny-computer") {
      Append(C.DeniedComps, AddNetPrefix(Value()));
    } else if (Option == "--allow-share") {
      Append(C.AllowedRes, Value());
    } else if (Option == "--deny-share") {
      Append(C.DeniedRes, Value());
    } else if (Option == "--ext") {
      std::string E = Trim(Value());
      if (E.empty() || E == ".") throw TUsageError("--ext needs an extension such as .mp3");
      if (E[0] != '.') E.insert(0, 1, '.');
      Append(C.Extentions, E);
    } else if (Option == "--threads") {
      C.Threads = ParseInt(Option, Value(), 1, 1024);
    } else if (Option == "--connections") {
      C.Connections = ParseInt(Option, Value(), 1, 1024);
    } else if (Option == "--timeout") {
      C.TimeOut = ParseInt(Option, Value(), 0, 600000);
    } else if (Option == "--port445") {
      NoValue();
      C.Probe445 = true;
    } else if (Option == "--no-port445") {
      NoValue();
      C.Probe445 = false;
    } else if (Option == "--scan-method") {
      const std::string M = Value();
      if (M == "xp")
        C.ScanMethod = smWinXPSP2;
      else if (M == "other")
        C.ScanMethod = smOtherOS;
      else if (M == "auto")
        C.ScanMethod = smAutoDetect;
      else
        throw TUsageError("--scan-method is xp, other or auto, not '" + M + "'");
    } else if (Option == "--settings") {
      NoValue();
      C.Settings = true;
    } else if (Option == "--list") {
      C.ListFile = Value();
      if (C.ListFile.empty()) throw TUsageError("--list needs a file name");
    } else if (Option == "--clear") {
      NoValue();
      C.Clear = true;
    } else if (Option == "--no-clear") {
      NoValue();
      C.Clear = false;
    } else if (Option == "--format") {
      const std::string F = Value();
      if (F == "paths")
        C.Format = TOutputFormat::Paths;
      else if (F == "tsv")
        C.Format = TOutputFormat::Tsv;
      else if (F == "none")
        C.Format = TOutputFormat::None;
      else
        throw TUsageError("--format is paths, tsv or none, not '" + F + "'");
    } else if (Option == "--tags") {
      NoValue();
      C.Tags = true;
    } else if (Option == "--sort") {
      std::string S = Value();
      const auto Colon = S.find(':');
      std::string Order;
      if (Colon != std::string::npos) {
        Order = S.substr(Colon + 1);
        S.resize(Colon);
      }
      if (S == "name")
        C.SortColumn = scFileName;
      else if (S == "domain")
        C.SortColumn = scDomain;
      else if (S == "directory")
        C.SortColumn = scDirectory;
      else
        throw TUsageError("--sort is name, domain or directory, optionally with :asc or :desc");
      if (Order == "desc")
        C.SortAscending = false;
      else if (Order.empty() || Order == "asc")
        C.SortAscending = true;
      else
        throw TUsageError("--sort order is asc or desc, not '" + Order + "'");
    } else if (Option == "--log") {
      C.LogFile = Value();
      if (C.LogFile.empty()) throw TUsageError("--log needs a file name");
    } else if (Option.rfind("-", 0) == 0) {
      throw TUsageError("unknown option " + Option);
    } else {
      throw TUsageError("unexpected argument '" + Option + "'");
    }
  }
  if (SawNeighbourhood && !C.Ranges.empty())
    throw TUsageError("--neighbourhood and --ip exclude each other");
  return C;
}

std::string ScanUsage() {
  return R"(Usage: sonquarry-scan [OPTION]...
Finds the music files shared on the SMB network and prints one row per file.

Discovery:
  --neighbourhood         walk workgroups, their computers and shares (default)
  --no-wsd                leave out the computers that only WS-Discovery finds
                          (current Windows); --wsd takes them in (default)
  --no-mdns               leave out the computers that only mDNS announces (Macs,
                          NAS; listed under LOCAL, found through avahi-daemon);
                          --mdns takes them in (default)
  --ip RANGE              probe addresses for TCP port 139 instead (repeatable);
                          RANGE is a.b.c.d, a.b.c.d-e.f.g.h or a.b.c.d/nn
Filters (repeatable; '*' any run, '?' one character; lower-case letters in a
mask fit either case):
  --allow-computer MASK   scan only computers fitting one such mask (pc*, \\pc*)
  --deny-computer MASK    never scan computers fitting the mask
  --allow-share MASK      walk only shares fitting one such mask
  --deny-share MASK       never walk shares fitting the mask
  --ext EXT               collect files with this extension (default .mp3)
Scan:
  --threads N             scanning threads (default 16)
  --connections N         SMB connections one server gets at most (default 8, at most
                          the thread count)
  --timeout MS            time-out of one address probe in IP mode (default 500)
  --port445               IP mode: also find hosts that accept SMB on TCP port
                          445 only (without NetBIOS); --no-port445: do not
  --scan-method METHOD    xp (9 threads pausing 30 s between resources), other,
                          or auto (default)
  --settings              start from the settings the Sonquarry window stored;
                          the options given here override them
List:
  --list FILE             load FILE before the scan, mark its rows after it
                          and write it back
  --clear                 empty the list before the scan
  --no-clear              keep it, whatever the stored settings say
Output:
  --format FORMAT         paths: the full path of each row (default);
                          tsv: file name, domain, directory, state
                          (0 known, 1 new, 2 removed or inaccessible,
                          3 computer not reached); none: no rows
  --tags                  read the music tags of the files found (.mp3, .mp2,
                          .wma, .flac, .ogg, .opus, .m4a): tsv adds artist,
                          title, album, year and length in seconds; the tag
                          cache in ~/.cache/sonquarry/ is shared with the
                          window
  --sort KEY[:desc]       sort the rows by name, domain or directory
  --log FILE              the scan log (default scan.log in
                          ~/.local/share/sonquarry/, beside the window's
                          search.log)
  -h, --help              show this text
  --version               show the version

Logins: a computer that refuses anonymous and guest access is offered, in turn,
its SMB passwords in the desktop's keyring (the schema file managers use,
org.gnome.keyring.NetworkPassword; a locked keyring is not opened), its section
of ~/.config/sonquarry/credentials, then that file's lines for every computer.
The file (mode 0600, smbclient's format) may hold sections:
  username = me                 lines before any section: every computer
  password = secret
  [\\NAS]                       this computer only (its name or address as
  username = nasuser            listed, in any case); a section wins and is
  password = other              offered to no other computer
  domain = HOME

A progress line is shown on stderr when it is a terminal, and the end-of-scan
report at the end. Ctrl+C stops the scan as the window's Stop does; the list is
still written (a second Ctrl+C stops waiting for threads in a network call).

Exit status: 0 scan done; 1 the scan could not start, the list is held by the
window (or another scan), or it could not be read or written, the rows could
not be written, or no SMB worker could run; 2 bad arguments, or nothing to
scan; 130 stopped by a signal (rows not reached keep state 3).
)";
}

} // namespace sonquarry
