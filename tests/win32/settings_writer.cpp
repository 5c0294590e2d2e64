// Stores the settings that sonquarry-scan's options name (--ip, --ext, --connections) through the
// settings and registry rooms, as Ok in the Options dialog would: the Wine test reads them back
// with reg.exe and with sonquarry-scan --settings.
#include <exception>
#include <iostream>
#include <string>
#include <vector>

#include "app/scan_cli.h"
#include "settings/settings.h"

int main(int argc, char **argv) {
  using namespace sonquarry;
  try {
    const TScanCommand C = ParseScanArgs(std::vector<std::string>(argv + 1, argv + argc));
    TScanOptions Scan;
    TMainFormSettings Form;
    ApplyMainFormDefaults(Scan, Form);
    if (C.NetBios) Scan.NetBios = *C.NetBios;
    for (const TIPRange &R : C.Ranges) Form.IPRanges.Add(R.From(), R.To(), 1);
    if (C.Extentions) Scan.Filter.Extentions = *C.Extentions;
    if (C.Connections) Scan.ServerConnections = *C.Connections;
    SaveSettings(Scan, Form);
  } catch (const std::exception &E) {
    std::cerr << "settings_writer: " << E.what() << "\n";
    return 2;
  }
  return 0;
}
