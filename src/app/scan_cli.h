#pragma once
// The command line of sonquarry-scan.

#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "discovery/ip_range.h"
#include "engine/scan_filter.h"
#include "engine/scan_options.h"
#include "paths/wnet_tree.h"

namespace sonquarry {

// A command line that cannot be used; the message says why.
class TUsageError : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

enum class TOutputFormat { Paths, Tsv, None };

// What the command line asks for. Unset optionals leave the setting as the defaults or the stored
// settings have it.
struct TScanCommand {
  bool Help = false;
  bool Version = false;
  bool Settings = false;
  std::optional<bool> NetBios;
  std::optional<bool> WsDiscovery;
  std::optional<bool> Mdns;
  std::vector<TIPRange> Ranges;
  std::optional<TNameList> AllowedComps, DeniedComps, AllowedRes, DeniedRes, Extentions;
  std::optional<int> Threads;
  std::optional<int> Connections;
  std::optional<int> TimeOut;
  std::optional<bool> Probe445;
  std::optional<TScanMethod> ScanMethod;
  std::string ListFile;
  std::optional<bool> Clear;
  TOutputFormat Format = TOutputFormat::Paths;
  bool Tags = false;   // read the music tags of the rows found
  int SortColumn = -1; // a TSortColumn; -1 row order
  bool SortAscending = true;
  std::string LogFile; // empty: the per-user default
};

// Throws TUsageError for an unknown option, a missing or malformed value, or a conflict.
TScanCommand ParseScanArgs(const std::vector<std::string> &Args);

// "a.b.c.d", "a.b.c.d-e.f.g.h" or "a.b.c.d/nn" (the whole block); throws TUsageError.
TIPRange ParseIPRangeArg(const std::string &Text);

std::string ScanUsage();

} // namespace sonquarry
