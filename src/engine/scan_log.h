#pragma once
// The scan log: plain text, one timestamped line or one indented continuation line per call,
// each written with its own open, append and close so the file is complete after every line.

#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

namespace sonquarry {

// Levels of log lines: a line is written when its level is at most the log's. The programs set
// llAll; the scanning threads write their blocks at llScan, problems no caller hears of at
// llWarning. The level-change line gives the number.
enum TLogLevel : uint8_t { llNone = 0, llWarning = 1, llScan = 3, llAll = 4 };

class TLog {
public:
  // Width of "dd.mm.yyyy hh:nn:ss : ", the indent of a continuation line.
  static constexpr int ContIndent = 22;

  TLog() = default;
  ~TLog();
  TLog(const TLog &) = delete;
  TLog &operator=(const TLog &) = delete;

  // Takes Name (empty: no log) when it differs from the current one, closing any open stream.
  void SetFileName(const std::string &Name);
  const std::string &FileName() const { return FileName_; }
  // A change away from a non-zero level first writes the level-change line; if that fails the
  // level stays and the message goes to Errors.
  void SetLevel(uint8_t NewLevel);
  uint8_t Level() const { return Level_; }
  // Writes a timestamped line when MsgLevel <= Level; failures go to Errors, never to the caller.
  void Add(int MsgLevel, const std::string &Text);
  // The same with a continuation line.
  void AddCont(int MsgLevel, const std::string &Text);
  // Sets the file's size (creating it); throws Exception on failure. Nothing without a file name;
  // a log that is not a regular file (/dev/null, a terminal, a pipe) is left as it is.
  void Truncate(std::uintmax_t Size);
  // Messages of writes that failed.
  const std::vector<std::string> &Errors() const { return Errors_; }
  void ClearErrors() { Errors_.clear(); }

  // "dd.mm.yyyy hh:nn:ss" of the local time.
  static std::string TimeStamp();

private:
  void OpenFile();
  int CloseFile() noexcept; // 0 or the errno of a failed flush
  void WriteLine(const std::string &Line);
  void WriteOne(const std::string &Line);
  void AddLine(int MsgLevel, const std::string &Line);

  std::FILE *Stream_ = nullptr;
  std::string FileName_;
  uint8_t Level_ = llNone;
  std::vector<std::string> Errors_;
};

// The process-wide log, and the lock a scanning thread holds while it writes one block.
// TLog does not lock by itself. Both are created on first use and never destroyed, so a thread
// that outlives its coordinator (or main) can still write its last block during the exit.
extern TLog &Log;
extern std::mutex &ScanLogLock;

} // namespace sonquarry
