#pragma once
// The settings that the scan coordinator holds, as a plain base that the coordinator derives
// from, and the address-list interface through which the stored IP ranges reach it.

#include "discovery/ip_range.h"
#include "engine/scan_filter.h"

#include <cstdint>

namespace sonquarry {

// How a scan limits its connections: the stored "ScanMethod" byte, and the options' "IP address
// scanning:" choices in this order. The limited method runs 9 threads that pause between
// resources; "Auto detect" takes it on Windows XP SP2 only.
enum TScanMethod : uint8_t { smWinXPSP2 = 0, smOtherOS = 1, smAutoDetect = 2 };

struct TScanOptions {
  bool IsClearBefor = false;             // clear the result list before each search
  bool NetBios = true;                   // true: network neighbourhood; false: IP ranges
  int32_t TimeOut = DefaultProbeTimeOut; // ms allowed for one address probe
  int32_t MaxThreadCount = 16;
  // SMB connections that one server gets at most from a walk, its helpers included; never more
  // than the thread count.
  int32_t ServerConnections = 8;
  uint8_t ScanMethod = smAutoDetect; // a TScanMethod; other values: not limited
  bool Probe445 = false;             // IP mode: a host listening on TCP 445 only counts as well
  bool WsDiscovery = true; // neighbourhood mode: add the computers that WS-Discovery finds
  bool Mdns = true;        // neighbourhood mode: add the computers that mDNS announces
  TScanFilter Filter;      // master copy; each scanning thread gets its own
};

// The coordinator's address list that ApplyIPRanges fills.
class TIPRangeTarget {
public:
  virtual ~TIPRangeTarget() = default;
  virtual void AddIP(uint32_t Address) = 0;
  virtual void AddIPRange(uint32_t From, uint32_t To) = 0;
};

} // namespace sonquarry
