#pragma once
// The one channel of a program's warnings: every line of platform::Diagnostic (the registry's
// included) goes into the scan log; the lines of TDiagLevel::Act also go to the user, in the way
// the program has (sonquarry-scan its standard error, the window a message box).

#include <functional>
#include <string>

namespace sonquarry {

class TDiagnosticsChannel {
public:
  // Called on the thread that warned, one complete line at a time; it must not wait for another
  // thread (the window hands the line over to its main thread).
  using TToUser = std::function<void(const std::string &Line)>;

  // Sets the scan log to LogFile at the programs' level and takes every warning from now on. A
  // channel made while another lives takes over; the older one's end then changes nothing.
  TDiagnosticsChannel(const std::string &LogFile, TToUser ToUser);
  // After this returns ToUser is not called again; the last channel's end gives the warnings back
  // to standard error.
  ~TDiagnosticsChannel();
  TDiagnosticsChannel(const TDiagnosticsChannel &) = delete;
  TDiagnosticsChannel &operator=(const TDiagnosticsChannel &) = delete;
};

} // namespace sonquarry
