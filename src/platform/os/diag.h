#pragma once
// Diagnostic lines of the platform layer (a refused credentials file, a hive that does not parse,
// a worker that died, ...). They go to stderr unless the program installs a sink (its scan log, a
// test). The sink is called on the thread that warns, one complete line at a time, and never
// twice at once; it must not wait for another thread.

#include <functional>
#include <string>

namespace sonquarry::platform {

// What a line asks of the user: Note only tells (the log keeps it); Act names something the user
// has to put right or should know at once (a file refused, settings lost, a missing part).
enum class TDiagLevel { Note, Act };

using TDiagnosticSink = std::function<void(TDiagLevel Level, const std::string &Line)>;

void Diagnostic(const std::string &Line, TDiagLevel Level = TDiagLevel::Note);
// Installs Sink (empty: back to stderr); returns the previous one.
TDiagnosticSink SetDiagnosticSink(TDiagnosticSink Sink);

} // namespace sonquarry::platform
