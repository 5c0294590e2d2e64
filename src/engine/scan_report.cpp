#include "engine/scan_report.h"

#include <cmath>
#include <cstdio>

namespace sonquarry {

std::string ScanReportText(const TScanSummary &S) {
  const char CR = '\r';
  std::string T = "Scan completed";
  T += CR;
  T += "Search Time : " + S.SearchTime;
  T += CR;
  T += "Computers with audio files / All Computers : " + std::to_string(S.FoundComps) + "/" +
       std::to_string(S.ScannedComps);
  T += CR;
  T += CR;
  T += "All files : " + std::to_string(S.AllFiles);
  T += CR;
  T += std::string(62, '-');
  T += CR;
  T += "New : " + std::to_string(S.NewFiles);
  T += CR;
  T += "Removed (or inaccessible) : " + std::to_string(S.RemovedFiles);
  T += CR;
  T += "Unknown (computer not found) : " + std::to_string(S.UnknownFiles);
  return T;
}

std::string FormatHMS(double Seconds) {
  const long long Total = Seconds > 0 ? static_cast<long long>(std::floor(Seconds)) : 0;
  char Buf[32];
  std::snprintf(Buf, sizeof Buf, "%02lld:%02lld:%02lld", Total / 3600, Total / 60 % 60, Total % 60);
  return Buf;
}

} // namespace sonquarry
