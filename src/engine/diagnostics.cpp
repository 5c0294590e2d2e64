#include "engine/diagnostics.h"

#include <mutex>

#include "engine/scan_log.h"
#include "platform/os/diag.h"

namespace sonquarry {

namespace {

// Level of the lines in the log, and the level the programs write the log at.
constexpr int DiagnosticLogLevel = llWarning;
constexpr uint8_t ProgramLogLevel = llAll;

std::mutex UserLock;
const TDiagnosticsChannel *Owner = nullptr;
TDiagnosticsChannel::TToUser ToUserOf;

void Sink(platform::TDiagLevel Level, const std::string &Line) {
  {
    std::lock_guard<std::mutex> L(ScanLogLock);
    Log.Add(DiagnosticLogLevel, Line);
  }
  if (Level != platform::TDiagLevel::Act) return;
  std::lock_guard<std::mutex> L(UserLock);
  if (ToUserOf) ToUserOf(Line);
}

} // namespace

TDiagnosticsChannel::TDiagnosticsChannel(const std::string &LogFile, TToUser ToUser) {
  {
    std::lock_guard<std::mutex> L(ScanLogLock);
    Log.SetFileName(LogFile);
    Log.SetLevel(ProgramLogLevel);
  }
  {
    std::lock_guard<std::mutex> L(UserLock);
    Owner = this;
    ToUserOf = std::move(ToUser);
  }
  platform::SetDiagnosticSink(Sink);
}

TDiagnosticsChannel::~TDiagnosticsChannel() {
  {
    std::lock_guard<std::mutex> L(UserLock);
    if (Owner != this) return;
    Owner = nullptr;
    ToUserOf = nullptr;
  }
  platform::SetDiagnosticSink(nullptr);
}

} // namespace sonquarry
