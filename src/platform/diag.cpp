#include "platform/diag.h"

#include <cstdio>
#include <mutex>

namespace sonquarry::platform {

namespace {
std::mutex SinkLock;
std::function<void(const std::string &)> &Sink() {
  static std::function<void(const std::string &)> S;
  return S;
}
} // namespace

void Diagnostic(const std::string &Line) {
  std::lock_guard<std::mutex> L(SinkLock);
  if (Sink())
    Sink()(Line);
  else
    std::fprintf(stderr, "sonquarry: %s\n", Line.c_str());
}

std::function<void(const std::string &)>
SetDiagnosticSink(std::function<void(const std::string &)> S) {
  std::lock_guard<std::mutex> L(SinkLock);
  auto Old = std::move(Sink());
  Sink() = std::move(S);
  return Old;
}

} // namespace sonquarry::platform
