#include "settings/settings.h"

#include "platform/os/diag.h"
#include "platform/os/exception.h"
#include "platform/registry/registry.h"

#include <algorithm>

namespace sonquarry {

void ApplyMainFormDefaults(TScanOptions &Scan, TMainFormSettings &Form) {
  Form.PlayListExt = ".m3u";
  Scan.Filter.Extentions.push_back(".mp3");
  Form.PathForCopy.clear();
}

void ReadRegStrings(registry::TRegistry *Reg, TNameList *AStrings) {
  if (!Reg) throw Exception("ReadRegStrings: Reg = nil.");
  if (!AStrings) throw Exception("ReadRegStrings: AStrings = nil.");
  AStrings->clear();
  for (const std::string &name : Reg->GetValueNames()) AStrings->push_back(Reg->ReadString(name));
}

void WriteRegStrings(registry::TRegistry *Reg, const TNameList *AStrings) {
  if (!Reg) throw Exception("WriteRegStrings: Reg = nil.");
  if (!AStrings) throw Exception("WriteRegStrings: AStrings = nil.");
  for (size_t i = 0; i < AStrings->size(); ++i) {
    Reg->WriteString("Item" + std::to_string(i), (*AStrings)[i]);
  }
}

bool LoadRegStrings(registry::TRegistry *Reg, const std::string &Key, TNameList *AStrings) {
  if (!Reg) throw Exception("LoadRegStrings: Reg = nil.");
  registry::TRegKeyCloser closer(*Reg);
  if (!Reg->OpenKeyReadOnly(Key)) return false;
  ReadRegStrings(Reg, AStrings);
  return true;
}

bool SaveRegStrings(registry::TRegistry *Reg, const std::string &Key, const TNameList *AStrings) {
  if (!Reg) throw Exception("SaveRegStrings: Reg = nil.");
  registry::TRegKeyCloser closer(*Reg);
  Reg->DeleteKey(Key); // also when another instance made it since this one read the hive
  if (!Reg->OpenKey(Key, true)) return false;
  WriteRegStrings(Reg, AStrings);
  return true;
}

bool ReadIPRanges(registry::TRegistry *Reg, const std::string &Key, TIPList *AList) {
  if (!Reg) throw Exception("ReadIPRanges: Reg = nil.");
  if (!AList) throw Exception("ReadIPRanges: AList = nil.");
  AList->Clear();
  registry::TRegKeyCloser closer(*Reg);
  if (!Reg->OpenKeyReadOnly(Key)) return false;
  for (const std::string &name : Reg->GetValueNames()) {
    if (name.empty() || name[0] != 'A') continue;
    const std::string rest = name.substr(1);
    const auto from = static_cast<uint32_t>(Reg->ReadInteger(name));
    uint32_t to = from;
    if (Reg->ValueExists("B" + rest)) to = static_cast<uint32_t>(Reg->ReadInteger("B" + rest));
    bool enabled = true;
    if (Reg->ValueExists("C" + rest)) enabled = Reg->ReadBool("C" + rest);
    AList->Add(from, to, enabled ? 1 : 0);
  }
  return true;
}

bool WriteIPRanges(registry::TRegistry *Reg, const std::string &Key, const TIPList *AList) {
  if (!Reg) throw Exception("WriteIPRanges: Reg = nil.");
  if (!AList) throw Exception("WriteIPRanges: AList = nil.");
  registry::TRegKeyCloser closer(*Reg);
  Reg->DeleteKey(Key); // also when another instance made it since this one read the hive
  if (!Reg->OpenKey(Key, true)) return false;
  for (size_t i = 0; i < AList->Count(); ++i) {
    const TIPRange &r = (*AList)[i];
    const std::string n = std::to_string(i);
    Reg->WriteInteger("AItem" + n, static_cast<int32_t>(r.From()));
    Reg->WriteInteger("BItem" + n, static_cast<int32_t>(r.To()));
    Reg->WriteBool("CItem" + n, r.Tag != 0);
  }
  return true;
}

void ApplyIPRanges(const TIPList &IPRanges, TIPRangeTarget &Target) {
  for (const TIPRange &r : IPRanges) {
    if (r.Tag == 0) continue;
    if (r.From() == r.To()) {
      Target.AddIP(r.From());
    } else {
      Target.AddIPRange(r.From(), r.To());
    }
  }
}

void LoadSettings(registry::TRegistry &Reg, TScanOptions &Scan, TMainFormSettings &Form,
                  TIPRangeTarget &Target) {
  Form.ScanMethodUnset = true;
  try {
    if (Reg.OpenKeyReadOnly(SettingsKey)) {
      registry::TRegKeyCloser closer(Reg);
      if (Reg.ValueExists("PlayListExt") &&
          Reg.GetDataType("PlayListExt") == registry::TRegDataType::rdString) {
        Form.PlayListExt = Reg.ReadString("PlayListExt");
      }
      if (Reg.ValueExists("IsClearBefor")) Scan.IsClearBefor = Reg.ReadBool("IsClearBefor");
      if (Reg.ValueExists("TimeOut")) Scan.TimeOut = Reg.ReadInteger("TimeOut");
      if (Reg.ValueExists("NetBios")) Scan.NetBios = Reg.ReadBool("NetBios");
      if (Reg.ValueExists("MaxThreadCount")) {
        const int32_t stored = Reg.ReadInteger("MaxThreadCount");
        Scan.MaxThreadCount = std::clamp<int32_t>(stored, 1, MaxThreadCountLimit);
        if (Scan.MaxThreadCount != stored)
          platform::Diagnostic("Settings: MaxThreadCount " + std::to_string(stored) +
                               " is outside 1.." + std::to_string(MaxThreadCountLimit) + "; " +
                               std::to_string(Scan.MaxThreadCount) + " is used.");
      }
      if (Reg.ValueExists("ServerConnections"))
        Scan.ServerConnections =
            std::clamp<int32_t>(Reg.ReadInteger("ServerConnections"), 1, MaxThreadCountLimit);
      if (Reg.ValueExists("PathForCopy")) Form.PathForCopy = Reg.ReadString("PathForCopy");
      if (Reg.ValueExists("ScanMethod")) {
        Form.ScanMethodUnset = false;
        const int32_t method = Reg.ReadInteger("ScanMethod");
        if (method == smWinXPSP2 || method == smOtherOS)
          Scan.ScanMethod = static_cast<uint8_t>(method);
      }
      if (Reg.ValueExists("Probe445")) Scan.Probe445 = Reg.ReadBool("Probe445");
      if (Reg.ValueExists("WsDiscovery")) Scan.WsDiscovery = Reg.ReadBool("WsDiscovery");
      if (Reg.ValueExists("PlayerCommand")) Form.PlayerCommand = Reg.ReadString("PlayerCommand");
      if (Reg.ValueExists("ReadTags")) Form.ReadTags = Reg.ReadBool("ReadTags");
      if (Reg.ValueExists("Mdns")) Scan.Mdns = Reg.ReadBool("Mdns");
    }
    ReadIPRanges(&Reg, IPRangesKey, &Form.IPRanges);
    ApplyIPRanges(Form.IPRanges, Target);
    LoadRegStrings(&Reg, AllowedCompsKey, &Scan.Filter.AllowedComps);
    LoadRegStrings(&Reg, DeniedCompsKey, &Scan.Filter.DeniedComps);
    LoadRegStrings(&Reg, AllowedResKey, &Scan.Filter.AllowedRes);
    LoadRegStrings(&Reg, DeniedResKey, &Scan.Filter.DeniedRes);
    LoadRegStrings(&Reg, ExtentionsKey, &Scan.Filter.Extentions);
  } catch (const Exception &) {
    // A value of an unexpected type ends loading here; the rest keep their defaults.
  }
}

void SaveSettings(registry::TRegistry &Reg, const TScanOptions &Scan,
                  const TMainFormSettings &Form) {
  try {
    if (!Reg.OpenKey(SettingsKey, true)) return;
    {
      registry::TRegKeyCloser closer(Reg);
      Reg.WriteInteger("TimeOut", Scan.TimeOut);
      Reg.WriteBool("IsClearBefor", Scan.IsClearBefor);
      Reg.WriteString("PlayListExt", Form.PlayListExt);
      Reg.WriteBool("NetBios", Scan.NetBios);
      Reg.WriteInteger("MaxThreadCount", Scan.MaxThreadCount);
      Reg.WriteString("PathForCopy", Form.PathForCopy);
      Reg.WriteInteger("ScanMethod", Scan.ScanMethod);
      Reg.WriteBool("Probe445", Scan.Probe445);
      Reg.WriteBool("WsDiscovery", Scan.WsDiscovery);
      Reg.WriteString("PlayerCommand", Form.PlayerCommand);
      Reg.WriteBool("ReadTags", Form.ReadTags);
      Reg.WriteInteger("ServerConnections", Scan.ServerConnections);
      Reg.WriteBool("Mdns", Scan.Mdns);
    }
    SaveRegStrings(&Reg, AllowedCompsKey, &Scan.Filter.AllowedComps);
    SaveRegStrings(&Reg, DeniedCompsKey, &Scan.Filter.DeniedComps);
    SaveRegStrings(&Reg, AllowedResKey, &Scan.Filter.AllowedRes);
    SaveRegStrings(&Reg, DeniedResKey, &Scan.Filter.DeniedRes);
    SaveRegStrings(&Reg, ExtentionsKey, &Scan.Filter.Extentions);
    WriteIPRanges(&Reg, IPRangesKey, &Form.IPRanges);
  } catch (const Exception &) {
    // Silent by design: what was written before the error stays.
  }
}

void LoadSettings(TScanOptions &Scan, TMainFormSettings &Form, TIPRangeTarget &Target) {
  registry::TRegistry reg;
  LoadSettings(reg, Scan, Form, Target);
}

void SaveSettings(const TScanOptions &Scan, const TMainFormSettings &Form) {
  registry::TRegistry reg;
  SaveSettings(reg, Scan, Form); // reaches the hive when reg is released; a failure is logged
}

} // namespace sonquarry
