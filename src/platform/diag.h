#pragma once
// Diagnostic lines of the platform layer (a refused credentials file, ...). They go to stderr
// unless the program installs a sink (the GUI's log, a test).

#include <functional>
#include <string>

namespace sonquarry::platform {

void Diagnostic(const std::string &Line);
// Installs Sink (empty: back to stderr); returns the previous one.
std::function<void(const std::string &)>
SetDiagnosticSink(std::function<void(const std::string &)> Sink);

} // namespace sonquarry::platform
