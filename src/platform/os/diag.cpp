#include "platform/os/diag.h"

#include <cstdio>
#include <mutex>

namespace sonquarry::platform {

namespace {
std::mutex SinkLock;
TDiagnosticSink &Sink() {
  static TDiagnosticSink S;
  return S;
}
} // namespace

void Diagnostic(const std::string &Line, TDiagLevel Level) {
  // Held across the call: once SetDiagnosticSink has returned, the old sink is never called again.
  std::lock_guard<std::mutex> L(SinkLock);
  if (Sink())
    Sink()(Level, Line);
  else
    std::fprintf(stderr, "sonquarry: %s\n", Line.c_str());
}

TDiagnosticSink SetDiagnosticSink(TDiagnosticSink S) {
  std::lock_guard<std::mutex> L(SinkLock);
  auto Old = std::move(Sink());
  Sink() = std::move(S);
  return Old;
}

} // namespace sonquarry::platform
