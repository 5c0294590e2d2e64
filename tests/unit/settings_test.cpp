#include "platform/os/diag.h"
#include "platform/registry/registry.h"
#include "settings/settings.h"
#include "support/test_support.h"
#include "support/xdg_sandbox.h"

#include <gtest/gtest.h>
#include <utility>

using namespace sonquarry;
using namespace sonquarry::testing;

namespace {

// Records what ApplyIPRanges hands to the coordinator.
struct TRecordingTarget : TIPRangeTarget {
  std::vector<std::pair<uint32_t, uint32_t>> Calls; // AddIP is recorded as (a, a) with Single
  std::vector<bool> Single;
  void AddIP(uint32_t Address) override {
    Calls.emplace_back(Address, Address);
    Single.push_back(true);
  }
  void AddIPRange(uint32_t From, uint32_t To) override {
    Calls.emplace_back(From, To);
    Single.push_back(false);
  }
};

class SettingsTest : public ::testing::Test {
protected:
  // The state of a freshly created main window before LoadSettings.
  SettingsTest() { ApplyMainFormDefaults(Scan, Form); }

  // Writes values into a key in one registry task.
  template <typename F> void Prepare(const std::string &Key, F Fill) {
    registry::TRegistry reg;
    ASSERT_TRUE(reg.OpenKey(Key, true));
    Fill(reg);
  }

  void Load() {
    registry::TRegistry reg;
    LoadSettings(reg, Scan, Form, Target);
    EXPECT_FALSE(reg.HasCurrentKey()); // whatever happened, no key is left open
  }

  std::vector<std::string> NamesOf(const std::string &Key) {
    registry::TRegistry reg;
    EXPECT_TRUE(reg.OpenKeyReadOnly(Key)) << Key;
    return reg.HasCurrentKey() ? reg.GetValueNames() : std::vector<std::string>();
  }

  TXdgSandbox Sandbox;
  TScanOptions Scan;
  TMainFormSettings Form;
  TRecordingTarget Target;
};

} // namespace

TEST_F(SettingsTest, AnEmptyStoreKeepsTheDefaults) {
  Load();
  EXPECT_TRUE(Form.ScanMethodUnset);
  EXPECT_FALSE(Scan.IsClearBefor);
  EXPECT_TRUE(Scan.NetBios);
  EXPECT_EQ(Scan.TimeOut, 500);
  EXPECT_EQ(Scan.MaxThreadCount, 16);
  EXPECT_EQ(Scan.ScanMethod, smAutoDetect);
  EXPECT_EQ(Scan.Filter.Extentions, TNameList{".mp3"});
  EXPECT_TRUE(Scan.Filter.AllowedComps.empty());
  EXPECT_EQ(Form.PlayListExt, ".m3u");
  EXPECT_EQ(Form.PathForCopy, "");
  EXPECT_EQ(Form.IPRanges.Count(), 0u);
  EXPECT_TRUE(Target.Calls.empty());
}

TEST_F(SettingsTest, ScanMethodTakesOnlyZeroOrOneButAnyValueCountsAsSet) {
  const std::pair<int32_t, int> cases[] = {{2, 2}, {1, 1}, {0, 0}, {7, 2}, {-1, 2}, {256, 2}};
  for (const auto &[stored, expected] : cases) {
    Prepare(SettingsKey, [&](registry::TRegistry &R) { R.WriteInteger("ScanMethod", stored); });
    Scan.ScanMethod = smAutoDetect;
    Form.ScanMethodUnset = true;
    Load();
    EXPECT_EQ(Scan.ScanMethod, expected) << "stored " << stored;
    EXPECT_FALSE(Form.ScanMethodUnset) << "stored " << stored;
  }
  // Each load starts from "unset": a store without the value sets it again.
  Prepare(SettingsKey, [](registry::TRegistry &R) { R.DeleteValue("ScanMethod"); });
  Form.ScanMethodUnset = false;
  Load();
  EXPECT_TRUE(Form.ScanMethodUnset);
}

TEST_F(SettingsTest, AStoredThreadCountOutOfBoundsIsHeldToThemAndSaysSo) {
  std::vector<std::string> lines;
  const auto previous = platform::SetDiagnosticSink(
      [&](platform::TDiagLevel, const std::string &L) { lines.push_back(L); });
  const struct {
    int32_t Stored, Used;
    bool Told;
  } cases[] = {{8192, 256, true}, {256, 256, false}, {1, 1, false}, {0, 1, true}, {-5, 1, true}};
  for (const auto &c : cases) {
    Prepare(SettingsKey,
            [&](registry::TRegistry &R) { R.WriteInteger("MaxThreadCount", c.Stored); });
    lines.clear();
    Load();
    EXPECT_EQ(Scan.MaxThreadCount, c.Used) << c.Stored;
    EXPECT_EQ(lines.size(), c.Told ? 1u : 0u) << c.Stored;
  }
  platform::SetDiagnosticSink(previous);
  EXPECT_EQ(lines,
            std::vector<std::string>{"Settings: MaxThreadCount -5 is outside 1..256; 1 is used."});
}

TEST_F(SettingsTest, APlayListExtOfAnotherTypeIsSkippedAndLoadingGoesOn) {
  Prepare(SettingsKey, [](registry::TRegistry &R) {
    R.WriteInteger("PlayListExt", 5);
    R.WriteInteger("TimeOut", 1500);
    R.WriteInteger("ScanMethod", 1);
  });
  Load();
  EXPECT_EQ(Form.PlayListExt, ".m3u");
  EXPECT_EQ(Scan.TimeOut, 1500);
  EXPECT_EQ(Scan.ScanMethod, smOtherOS);

  Prepare(SettingsKey, [](registry::TRegistry &R) { R.WriteExpandString("PlayListExt", ".pls"); });
  Load();
  EXPECT_EQ(Form.PlayListExt, ".m3u"); // only REG_SZ is taken

  Prepare(SettingsKey, [](registry::TRegistry &R) { R.WriteString("PlayListExt", ".pls"); });
  Load();
  EXPECT_EQ(Form.PlayListExt, ".pls");
}

TEST_F(SettingsTest, ATimeOutStoredAsAStringStopsTheLoadThere) {
  Prepare(SettingsKey, [](registry::TRegistry &R) {
    R.WriteString("PlayListExt", ".pls");
    R.WriteBool("IsClearBefor", true);
    R.WriteString("TimeOut", "1000");
    R.WriteBool("NetBios", false);
    R.WriteInteger("MaxThreadCount", 4);
    R.WriteString("PathForCopy", "/music");
    R.WriteInteger("ScanMethod", 1);
  });
  Prepare(IPRangesKey, [](registry::TRegistry &R) { R.WriteInteger("AItem0", 0x0A000001); });
  Prepare(DeniedCompsKey, [](registry::TRegistry &R) { R.WriteString("Item0", "\\\\pc1"); });
  Load();
  EXPECT_EQ(Form.PlayListExt, ".pls"); // read before the error
  EXPECT_TRUE(Scan.IsClearBefor);
  EXPECT_EQ(Scan.TimeOut, 500); // the rest keep their defaults
  EXPECT_TRUE(Scan.NetBios);
  EXPECT_EQ(Scan.MaxThreadCount, 16);
  EXPECT_EQ(Form.PathForCopy, "");
  EXPECT_EQ(Scan.ScanMethod, smAutoDetect);
  EXPECT_TRUE(Form.ScanMethodUnset);
  EXPECT_EQ(Form.IPRanges.Count(), 0u);
  EXPECT_TRUE(Target.Calls.empty());
  EXPECT_TRUE(Scan.Filter.DeniedComps.empty());
}

TEST_F(SettingsTest, AnErrorInAListKeepsItsEntriesSoFarAndEndsTheLoad) {
  Prepare(AllowedCompsKey, [](registry::TRegistry &R) {
    R.WriteString("Item0", "\\\\pc1");
    R.WriteInteger("Item1", 3);
    R.WriteString("Item2", "\\\\pc2");
  });
  Prepare(ExtentionsKey, [](registry::TRegistry &R) { R.WriteString("Item0", ".wma"); });
  Scan.Filter.AllowedComps = {"\\\\old"};
  Load();
  EXPECT_EQ(Scan.Filter.AllowedComps, TNameList{"\\\\pc1"});
  EXPECT_EQ(Scan.Filter.Extentions, TNameList{".mp3"}); // never reached
}

TEST_F(SettingsTest, ReadsIPRangesByTheirAName) {
  Prepare(IPRangesKey, [](registry::TRegistry &R) {
    R.WriteInteger("AItem3", static_cast<int32_t>(0xC0A80001)); // alone: one address, enabled
    R.WriteInteger("AItem0", static_cast<int32_t>(0xC0A800FE)); // reversed A/B
    R.WriteInteger("BItem0", static_cast<int32_t>(0xC0A80010));
    R.WriteInteger("AItem1", 0x0A000000);
    R.WriteInteger("BItem1", 0x0A0000FF);
    R.WriteBool("CItem1", false);
    R.WriteInteger("aItem2", 1); // lower-case: skipped
    R.WriteInteger("Aside", 0x0B000001);
    R.WriteInteger("Cside", 9);   // any non-zero DWORD is enabled
    R.WriteInteger("BItem9", 77); // no A value: ignored
  });
  Load();
  ASSERT_EQ(Form.IPRanges.Count(), 4u);
  EXPECT_EQ(Form.IPRanges[0].From(), 0xC0A80001u);
  EXPECT_EQ(Form.IPRanges[0].To(), 0xC0A80001u);
  EXPECT_NE(Form.IPRanges[0].Tag, 0);
  EXPECT_EQ(Form.IPRanges[1].From(), 0xC0A80010u);
  EXPECT_EQ(Form.IPRanges[1].To(), 0xC0A800FEu);
  EXPECT_EQ(Form.IPRanges[2].Tag, 0);
  EXPECT_EQ(Form.IPRanges[3].From(), 0x0B000001u);
  EXPECT_NE(Form.IPRanges[3].Tag, 0);
  // The enabled ranges reach the coordinator in order; the disabled one does not.
  ASSERT_EQ(Target.Calls.size(), 3u);
  EXPECT_EQ(Target.Calls[0], std::make_pair(0xC0A80001u, 0xC0A80001u));
  EXPECT_TRUE(Target.Single[0]);
  EXPECT_EQ(Target.Calls[1], std::make_pair(0xC0A80010u, 0xC0A800FEu));
  EXPECT_FALSE(Target.Single[1]);
  EXPECT_EQ(Target.Calls[2], std::make_pair(0x0B000001u, 0x0B000001u));
  EXPECT_TRUE(Target.Single[2]);
}

TEST_F(SettingsTest, ListSubkeysReplaceOnlyWhenTheyExist) {
  Prepare(ExtentionsKey, [](registry::TRegistry &) {}); // exists, empty
  Prepare(DeniedResKey, [](registry::TRegistry &R) {
    R.WriteString("zzz", "c$"); // odd names are taken in enumeration order
    R.WriteString("", "admin$");
    R.WriteString("First", "print$");
  });
  Scan.Filter.AllowedRes = {"music"}; // no subkey: kept
  Load();
  EXPECT_TRUE(Scan.Filter.Extentions.empty());
  EXPECT_EQ(Scan.Filter.AllowedRes, TNameList{"music"});
  EXPECT_EQ(Scan.Filter.DeniedRes, (TNameList{"c$", "admin$", "print$"}));
  {
    registry::TRegistry reg;
    SaveSettings(reg, Scan, Form);
  }
  EXPECT_EQ(NamesOf(DeniedResKey), (std::vector<std::string>{"Item0", "Item1", "Item2"}));
  EXPECT_TRUE(NamesOf(ExtentionsKey).empty()); // an empty list leaves an empty subkey
}

TEST_F(SettingsTest, SaveWritesTheLayoutInOrder) {
  Scan.IsClearBefor = true;
  Scan.NetBios = false;
  Scan.TimeOut = 2500;
  Scan.MaxThreadCount = 3;
  Scan.ScanMethod = smOtherOS;
  Scan.Probe445 = true;
  Scan.WsDiscovery = false;
  Scan.Mdns = false;
  Scan.ServerConnections = 4;
  Scan.Filter.AllowedComps = {"\\\\pc*"};
  Form.PlayListExt = ".pls";
  Form.PlayerCommand = "vlc --one-instance";
  Form.PathForCopy = "/home/u/Music";
  Form.IPRanges.Add(0xC0A80105, 0xC0A80101, 1);
  Form.IPRanges.Add(0x0A000001, 0x0A000001, 0);
  {
    registry::TRegistry reg;
    SaveSettings(reg, Scan, Form);
  }
  EXPECT_EQ(NamesOf(SettingsKey),
            (std::vector<std::string>{"TimeOut", "IsClearBefor", "PlayListExt", "NetBios",
                                      "MaxThreadCount", "PathForCopy", "ScanMethod", "Probe445",
                                      "WsDiscovery", "PlayerCommand", "ReadTags",
                                      "ServerConnections", "Mdns"}));
  EXPECT_EQ(NamesOf(IPRangesKey),
            (std::vector<std::string>{"AItem0", "BItem0", "CItem0", "AItem1", "BItem1", "CItem1"}));
  registry::TRegistry reg;
  ASSERT_TRUE(reg.OpenKeyReadOnly(SettingsKey));
  EXPECT_EQ(reg.GetDataType("IsClearBefor"), registry::TRegDataType::rdInteger);
  EXPECT_EQ(reg.ReadInteger("IsClearBefor"), 1);
  EXPECT_EQ(reg.GetDataType("PathForCopy"), registry::TRegDataType::rdString);
  ASSERT_TRUE(reg.OpenKeyReadOnly(IPRangesKey));
  EXPECT_EQ(static_cast<uint32_t>(reg.ReadInteger("AItem0")), 0xC0A80101u);
  EXPECT_EQ(static_cast<uint32_t>(reg.ReadInteger("BItem0")), 0xC0A80105u);
  EXPECT_EQ(reg.ReadInteger("CItem0"), 1);
  EXPECT_EQ(reg.ReadInteger("CItem1"), 0);
  reg.CloseKey();

  TScanOptions scan2;
  TMainFormSettings form2;
  ApplyMainFormDefaults(scan2, form2);
  LoadSettings(reg, scan2, form2, Target);
  EXPECT_FALSE(form2.ScanMethodUnset);
  EXPECT_TRUE(scan2.IsClearBefor);
  EXPECT_FALSE(scan2.NetBios);
  EXPECT_EQ(scan2.TimeOut, 2500);
  EXPECT_EQ(scan2.MaxThreadCount, 3);
  EXPECT_EQ(scan2.ScanMethod, smOtherOS);
  EXPECT_TRUE(scan2.Probe445);
  EXPECT_FALSE(scan2.WsDiscovery);
  EXPECT_FALSE(scan2.Mdns);
  EXPECT_EQ(scan2.ServerConnections, 4);
  EXPECT_EQ(form2.PlayerCommand, "vlc --one-instance");
  EXPECT_EQ(scan2.Filter.AllowedComps, TNameList{"\\\\pc*"});
  EXPECT_EQ(scan2.Filter.Extentions, TNameList{".mp3"});
  EXPECT_EQ(form2.PlayListExt, ".pls");
  EXPECT_EQ(form2.PathForCopy, "/home/u/Music");
  ASSERT_EQ(form2.IPRanges.Count(), 2u);
  EXPECT_EQ(form2.IPRanges[1].Tag, 0);
}

TEST_F(SettingsTest, AListThatShrankLeavesOnlyItsEntries) {
  Scan.Filter.DeniedComps = {"\\\\a", "\\\\b", "\\\\c", "\\\\d", "\\\\e"};
  for (int i = 0; i < 5; ++i) Form.IPRanges.Add(i + 1, i + 1, 1);
  SaveSettings(Scan, Form);
  Scan.Filter.DeniedComps = {"\\\\x", "\\\\y"};
  Form.IPRanges.Delete(4);
  Form.IPRanges.Delete(3);
  Form.IPRanges.Delete(2);
  SaveSettings(Scan, Form);
  EXPECT_EQ(NamesOf(DeniedCompsKey), (std::vector<std::string>{"Item0", "Item1"}));
  EXPECT_EQ(NamesOf(IPRangesKey),
            (std::vector<std::string>{"AItem0", "BItem0", "CItem0", "AItem1", "BItem1", "CItem1"}));
  Scan.Filter.DeniedComps.clear();
  Load();
  EXPECT_EQ(Scan.Filter.DeniedComps, (TNameList{"\\\\x", "\\\\y"}));
}

TEST_F(SettingsTest, ListHelpersCheckTheirArguments) {
  registry::TRegistry reg;
  TNameList list;
  EXPECT_EQ(ErrorOf([&] { ReadRegStrings(nullptr, &list); }), "ReadRegStrings: Reg = nil.");
  EXPECT_EQ(ErrorOf([&] { ReadRegStrings(&reg, nullptr); }), "ReadRegStrings: AStrings = nil.");
  EXPECT_EQ(ErrorOf([&] { WriteRegStrings(nullptr, &list); }), "WriteRegStrings: Reg = nil.");
  EXPECT_EQ(ErrorOf([&] { WriteRegStrings(&reg, nullptr); }), "WriteRegStrings: AStrings = nil.");
  EXPECT_EQ(ErrorOf([&] { LoadRegStrings(nullptr, "\\K", &list); }), "LoadRegStrings: Reg = nil.");
  EXPECT_EQ(ErrorOf([&] { SaveRegStrings(nullptr, "\\K", &list); }), "SaveRegStrings: Reg = nil.");
  // The key is closed on the way out of an argument error too.
  ASSERT_TRUE(reg.OpenKey("\\K", true));
  reg.CloseKey();
  EXPECT_EQ(ErrorOf([&] { LoadRegStrings(&reg, "\\K", nullptr); }),
            "ReadRegStrings: AStrings = nil.");
  EXPECT_FALSE(reg.HasCurrentKey());

  list = {"keep"};
  EXPECT_FALSE(LoadRegStrings(&reg, "\\Missing", &list));
  EXPECT_EQ(list, TNameList{"keep"});
  EXPECT_TRUE(SaveRegStrings(&reg, "\\K", &list));
  EXPECT_FALSE(reg.HasCurrentKey());
  list = {"a", "b"};
  EXPECT_TRUE(LoadRegStrings(&reg, "\\K", &list)); // cleared before reading
  EXPECT_EQ(list, TNameList{"keep"});
}

// A file as regedit exports it (CRLF line ends) with the layout the settings use.
TEST_F(SettingsTest, AHandMadeWindowsExportLoads) {
  const std::string exportFile =
      "Windows Registry Editor Version 5.00\r\n"
      "\r\n"
      "[HKEY_CURRENT_USER\\Software\\Vantrell Software\\Sonquarry]\r\n"
      "\"TimeOut\"=dword:000003e8\r\n"
      "\"IsClearBefor\"=dword:00000001\r\n"
      "\"PlayListExt\"=\".m3u\"\r\n"
      "\"NetBios\"=dword:00000000\r\n"
      "\"MaxThreadCount\"=dword:00000008\r\n"
      "\"PathForCopy\"=\"D:\\\\Music\\\\New\"\r\n"
      "\"ScanMethod\"=dword:00000001\r\n"
      "\"Col1Width\"=dword:000000c8\r\n"
      "\r\n"
      "[HKEY_CURRENT_USER\\Software\\Vantrell Software\\Sonquarry\\AllowedComps]\r\n"
      "\r\n"
      "[HKEY_CURRENT_USER\\Software\\Vantrell Software\\Sonquarry\\DeniedComps]\r\n"
      "\"Item0\"=\"\\\\\\\\SERVER\"\r\n"
      "\"Item1\"=\"\\\\\\\\pc*\"\r\n"
      "\r\n"
      "[HKEY_CURRENT_USER\\Software\\Vantrell Software\\Sonquarry\\DeniedRes]\r\n"
      "\"Item0\"=\"print$\"\r\n"
      "\r\n"
      "[HKEY_CURRENT_USER\\Software\\Vantrell Software\\Sonquarry\\Extentions]\r\n"
      "\"Item0\"=\".mp3\"\r\n"
      "\"Item1\"=\".wma\"\r\n"
      "\r\n"
      "[HKEY_CURRENT_USER\\Software\\Vantrell Software\\Sonquarry\\IPRanges]\r\n"
      "\"AItem0\"=dword:c0a80001\r\n"
      "\"BItem0\"=dword:c0a800fe\r\n"
      "\"CItem0\"=dword:00000001\r\n"
      "\"AItem1\"=dword:0a000005\r\n"
      "\"BItem1\"=dword:0a000005\r\n"
      "\"CItem1\"=dword:00000001\r\n"
      "\r\n"
      "[HKEY_CURRENT_USER\\Software\\Vantrell Software\\Sonquarry\\MainForm]\r\n"
      "\"Maximized\"=dword:00000000\r\n"
      "\"Top\"=dword:00000064\r\n"
      "\r\n";
  std::u16string wide; // the same file as regedit writes it: UTF-16LE with a BOM
  for (unsigned char c : exportFile) wide += static_cast<char16_t>(c);
  std::string utf16 = "\xFF\xFE";
  for (char16_t c : wide) {
    utf16 += static_cast<char>(c & 0xFF);
    utf16 += static_cast<char>(c >> 8);
  }
  for (const std::string &file : {exportFile, utf16}) {
    WriteFile(Sandbox.Hive(), file);
    TScanOptions scan;
    TMainFormSettings form;
    TRecordingTarget target;
    ApplyMainFormDefaults(scan, form);
    LoadSettings(scan, form, target);
    EXPECT_FALSE(form.ScanMethodUnset);
    EXPECT_EQ(scan.TimeOut, 1000);
    EXPECT_TRUE(scan.IsClearBefor);
    EXPECT_FALSE(scan.NetBios);
    EXPECT_EQ(scan.MaxThreadCount, 8);
    EXPECT_EQ(scan.ScanMethod, smOtherOS);
    EXPECT_EQ(form.PathForCopy, "D:\\Music\\New");
    EXPECT_TRUE(scan.Filter.AllowedComps.empty());
    EXPECT_EQ(scan.Filter.DeniedComps, (TNameList{"\\\\SERVER", "\\\\pc*"}));
    EXPECT_EQ(scan.Filter.DeniedRes, TNameList{"print$"});
    EXPECT_EQ(scan.Filter.Extentions, (TNameList{".mp3", ".wma"}));
    ASSERT_EQ(form.IPRanges.Count(), 2u);
    EXPECT_EQ(IPToStr(form.IPRanges[0].From()), "192.168.0.1");
    EXPECT_EQ(IPToStr(form.IPRanges[0].To()), "192.168.0.254");
    ASSERT_EQ(target.Calls.size(), 2u);
    EXPECT_TRUE(target.Single[1]);
    EXPECT_EQ(IPToStr(target.Calls[1].first), "10.0.0.5");
  }
  EXPECT_FALSE(std::filesystem::exists(Sandbox.Hive() + ".bad"));
}
