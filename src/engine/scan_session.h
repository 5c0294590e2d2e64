#pragma once
// One search as the window and sonquarry-scan both run it: the checks before it starts, the
// WS-Discovery choice, the marks of the list's rows, the end-of-search summary, and the messages
// of the list file. The programs differ only in how they show what it says.

#include <cstdint>
#include <string>

#include "engine/net_scan.h"
#include "engine/scan_report.h"
#include "paths/wnet_tree.h"

namespace sonquarry {

// Why a search cannot start with the settings it has.
enum class TSearchBlock { None, NoWorker, SameComps, SameRes, NoAddresses };

class TScanSession {
public:
  TScanSession(TNetScan &Scan, TWNetTree &Tree) : Scan_(Scan), Tree_(Tree) {}

  // The first reason the search cannot start; None when it can.
  TSearchBlock Check() const;
  // The line that tells the user so ("" for None).
  static std::string Message(TSearchBlock Block);

  // The list before a search: emptied when the settings say so, every row's mark reset.
  void PrepareList();
  // Starts the search: WS-Discovery as the settings ask, the scan, then what the network will
  // refuse of its configuration told into the scan log the start has emptied. A failure of the
  // scan's start propagates.
  void Start();
  // After the search's end: its counters kept for the summary and the rows' marks finished. The
  // last use of the scan: it may be released after this.
  void Finish();
  // The end-of-search report's figures; SearchTime already formatted by the program.
  TScanSummary Summary(const std::string &SearchTime) const;
  // After Finish: "" when every directory was read, else the line that sends the user to the
  // scan log before removing rows.
  std::string UnreadNote() const;

private:
  TNetScan &Scan_;
  TWNetTree &Tree_;
  int32_t FoundComps_ = 0;
  int32_t ScannedComps_ = 0;
  int32_t UnreadDirs_ = 0;
};

// The list file loaded into Tree (marked as loading meanwhile): "" on success, else the line that
// tells the user what went wrong. What was read before a failure stays in Tree.
std::string LoadListWithMessage(const std::string &File, TWNetTree &Tree);
// Tree saved to File: "" on success, else the line for the user (a missing folder included).
// With Unsynced, the save's flush and rename may be left to the caller (see SaveListFile); a
// failed Commit of it is told by ListWriteFailedMessage, with errno as Commit left it.
std::string SaveListWithMessage(const std::string &File, TWNetTree &Tree,
                                std::shared_ptr<files::TAtomicFile> *Unsynced = nullptr);
std::string ListWriteFailedMessage(const std::string &File);

} // namespace sonquarry
