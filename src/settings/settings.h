#pragma once
// The settings model and its registry layout below "\Software\Vantrell Software\Sonquarry\".
// The scan settings live in the coordinator (TScanOptions), the rest in the main window
// (TMainFormSettings); loading and saving work on both without a window.

#include "discovery/ip_range.h"
#include "engine/scan_filter.h"
#include "engine/scan_options.h"

#include <string>

namespace sonquarry {

namespace registry {
class TRegistry;
}

// The main key and the subkeys of the settings.
inline const std::string SettingsKey = "\\Software\\Vantrell Software\\Sonquarry\\";
inline const std::string AllowedCompsKey = SettingsKey + "AllowedComps";
inline const std::string DeniedCompsKey = SettingsKey + "DeniedComps";
inline const std::string AllowedResKey = SettingsKey + "AllowedRes";
inline const std::string DeniedResKey = SettingsKey + "DeniedRes";
inline const std::string ExtentionsKey = SettingsKey + "Extentions";
inline const std::string IPRangesKey = SettingsKey + "IPRanges";
inline const std::string MainFormKey = SettingsKey + "MainForm";

// The thread count a stored MaxThreadCount is held to: every thread has an SMB worker process of
// its own (some megabytes each), and far more of them than this only runs out of processes.
inline constexpr int32_t MaxThreadCountLimit = 256;

// The settings the main window holds.
struct TMainFormSettings {
  std::string PlayListExt = ".m3u";
  std::string PathForCopy;     // last destination of a copy
  TIPList IPRanges;            // the edited and stored ranges; Tag non-zero: enabled
  std::string PlayerCommand;   // empty: playlists open with the desktop's handler
  bool ReadTags = true;        // music tags read after a search
  bool ScanMethodUnset = true; // no "ScanMethod" was loaded; not stored
};

// The main window's defaults before loading: ".m3u", no copy path, ".mp3" in Extentions.
void ApplyMainFormDefaults(TScanOptions &Scan, TMainFormSettings &Form);

// Clears AStrings, then appends the string data of every value of the open key in enumeration
// order; the value names are not interpreted. Raises "ReadRegStrings: Reg = nil." or
// "ReadRegStrings: AStrings = nil."; a value that is not a string raises the registry's error,
// the entries read so far staying in AStrings.
void ReadRegStrings(registry::TRegistry *Reg, TNameList *AStrings);
// Writes entry i as the string value "Item" + i into the open key. Raises
// "WriteRegStrings: Reg = nil." or "WriteRegStrings: AStrings = nil.".
void WriteRegStrings(registry::TRegistry *Reg, const TNameList *AStrings);
// Opens Key read-only and, when it opened, ReadRegStrings; closes the key in every case.
// Returns whether the key opened. Raises "LoadRegStrings: Reg = nil." without a registry.
bool LoadRegStrings(registry::TRegistry *Reg, const std::string &Key, TNameList *AStrings);
// Deletes Key if it exists, opens it with creation and, when it opened, WriteRegStrings; closes
// the key in every case. Returns whether the key opened. Raises "SaveRegStrings: Reg = nil.".
bool SaveRegStrings(registry::TRegistry *Reg, const std::string &Key, const TNameList *AStrings);

// Empties AList, then reads the ranges of Key: every value whose name begins with an upper-case
// "A" is a From; the same name with "B" gives To (else To = From) and with "C" the enabled flag
// (else enabled). Returns whether the key opened; closes it in every case.
bool ReadIPRanges(registry::TRegistry *Reg, const std::string &Key, TIPList *AList);
// Deletes Key if it exists, creates it and writes "AItem" + i, "BItem" + i, "CItem" + i for each
// range in order. Returns whether the key opened; closes it in every case.
bool WriteIPRanges(registry::TRegistry *Reg, const std::string &Key, const TIPList *AList);

// Copies the enabled ranges into the coordinator's list, in order: AddIP for a one-address
// range, else AddIPRange.
void ApplyIPRanges(const TIPList &IPRanges, TIPRangeTarget &Target);

// Loads every setting (not the window position nor the column widths) into Scan and Form, then
// applies the IP ranges to Target. A registry error ends the load silently where it happened.
void LoadSettings(registry::TRegistry &Reg, TScanOptions &Scan, TMainFormSettings &Form,
                  TIPRangeTarget &Target);
// Saves the main key's values (the seven of the original layout, then "Probe445",
// "WsDiscovery", "PlayerCommand", "ReadTags", "ServerConnections" and "Mdns"), the five list
// subkeys and the IP ranges. A registry error ends the save silently; what was written before
// stays.
void SaveSettings(registry::TRegistry &Reg, const TScanOptions &Scan,
                  const TMainFormSettings &Form);

// The same on the current user's hive, as one registry task each (a save reaches the hive as a
// whole when it ends).
void LoadSettings(TScanOptions &Scan, TMainFormSettings &Form, TIPRangeTarget &Target);
void SaveSettings(const TScanOptions &Scan, const TMainFormSettings &Form);

} // namespace sonquarry
