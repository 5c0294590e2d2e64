#pragma once
// The text of the end-of-search report, as the main window shows it.

#include <cstdint>
#include <string>

namespace sonquarry {

struct TScanSummary {
  std::string SearchTime; // already formatted (the GUI: the locale's time format)
  int32_t FoundComps = 0;
  int32_t ScannedComps = 0;
  int AllFiles = 0;
  int NewFiles = 0;     // nsNew
  int RemovedFiles = 0; // nsInaccessible
  int UnknownFiles = 0; // nsUnreached
};

// The lines of the report joined by CR (code 13, no line feed).
std::string ScanReportText(const TScanSummary &S);

// "hh:mm:ss" of a duration; hours go on past 23.
std::string FormatHMS(double Seconds);

} // namespace sonquarry
