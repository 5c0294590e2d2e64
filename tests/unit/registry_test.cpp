#include "platform/os/diag.h"
#include "platform/os/exception.h"
#include "platform/registry/registry.h"
#include "support/test_support.h"
#include "support/xdg_sandbox.h"

#include <filesystem>
#include <functional>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace sonquarry;
using namespace sonquarry::testing;

namespace {

const char *const kMain = "\\Software\\Vantrell Software\\Sonquarry\\";

registry::THive MustParse(const std::string &Text) {
  std::string error;
  std::optional<registry::THive> hive = registry::THive::Parse(Text, &error);
  EXPECT_TRUE(hive.has_value()) << error;
  return hive ? *hive : registry::THive();
}

std::string Utf16Le(const std::u16string &S) {
  std::string out = "\xFF\xFE";
  for (char16_t c : S) {
    out += static_cast<char>(c & 0xFF);
    out += static_cast<char>(c >> 8);
  }
  return out;
}

class RegistryTest : public ::testing::Test {
protected:
  TXdgSandbox Sandbox;
};

} // namespace

// ---- the export file format -------------------------------------------------------------------

TEST(HiveFormat, ParsesEveryValueFormOfAnExportFile) {
  const registry::THive hive = MustParse("Windows Registry Editor Version 5.00\r\n"
                                         "\r\n"
                                         "; a comment\r\n"
                                         "[HKEY_CURRENT_USER\\Software\\Test]\r\n"
                                         "@=\"default\"\r\n"
                                         "\"Str\"=\"a \\\"quoted\\\" C:\\\\path\"\r\n"
                                         "\"Num\"=dword:000001f4\r\n"
                                         "\"Exp\"=hex(2):25,00,55,00,53,00,45,00,52,00,25,00,\\\r\n"
                                         "  00,00\r\n"
                                         "\"Bin\"=hex:01,ff,0a\r\n"
                                         "\"Sz\"=hex(1):41,00,0d,00,0a,00,42,00,00,00\r\n"
                                         "\"Q\"=hex(b):01,00,00,00,00,00,00,00\r\n"
                                         "\r\n");
  const registry::TRegKey *key = hive.FindKey("HKEY_CURRENT_USER\\Software\\Test");
  ASSERT_NE(key, nullptr);
  ASSERT_EQ(key->Values.size(), 7u);
  EXPECT_EQ(key->Values[0].Name, "");
  EXPECT_EQ(key->Values[0].Str, "default");
  EXPECT_EQ(key->Values[1].Str, "a \"quoted\" C:\\path");
  EXPECT_EQ(key->Values[2].Type, registry::RegDword);
  EXPECT_EQ(key->Values[2].Dword, 500u);
  EXPECT_EQ(key->Values[3].Type, registry::RegExpandSz);
  EXPECT_EQ(key->Values[3].Str, "%USER%");
  EXPECT_EQ(key->Values[4].Raw, (std::vector<uint8_t>{0x01, 0xff, 0x0a}));
  EXPECT_EQ(key->Values[5].Type, registry::RegSz);
  EXPECT_EQ(key->Values[5].Str, "A\r\nB");
  EXPECT_EQ(key->Values[6].Type, 0xbu);
  EXPECT_EQ(key->Values[6].Raw.size(), 8u);
  // Parents of a key exist, as after an import.
  EXPECT_TRUE(hive.KeyExists("HKEY_CURRENT_USER\\Software"));
  EXPECT_TRUE(hive.KeyExists("hkey_current_user\\SOFTWARE\\test"));
}

TEST(HiveFormat, WritesAnExportFileThatReadsBackTheSame) {
  registry::THive hive;
  registry::TRegValue v;
  v.Name = "Path \"x\"";
  v.Str = "C:\\Music\\Трек";
  hive.SetValue("HKEY_CURRENT_USER\\Software\\A", v);
  v = registry::TRegValue();
  v.Name = "Lines";
  v.Str = "one\ntwo";
  hive.SetValue("HKEY_CURRENT_USER\\Software\\A", v);
  v = registry::TRegValue();
  v.Name = "Expand";
  v.Type = registry::RegExpandSz;
  v.Str = std::string(100, 'x') + "%HOME%"; // long enough to wrap
  hive.SetValue("HKEY_CURRENT_USER\\Software\\A", v);
  v = registry::TRegValue();
  v.Type = registry::RegDword;
  v.Dword = 0xFFFFFFFF;
  hive.SetValue("HKEY_CURRENT_USER\\Software\\A\\B", v);
  hive.CreateKey("HKEY_CURRENT_USER\\Software\\Empty");

  const std::string text = hive.Serialize();
  EXPECT_EQ(text.rfind("Windows Registry Editor Version 5.00\r\n\r\n", 0), 0u);
  EXPECT_NE(text.find("\"Path \\\"x\\\"\"=\"C:\\\\Music\\\\Трек\"\r\n"), std::string::npos);
  EXPECT_NE(text.find("@=dword:ffffffff\r\n"), std::string::npos);
  EXPECT_NE(text.find("\"Lines\"=hex(1):6f,00,6e,00,65,00,0a,00"), std::string::npos);
  EXPECT_NE(text.find("[HKEY_CURRENT_USER\\Software\\Empty]\r\n\r\n"), std::string::npos);
  EXPECT_EQ(text.find("[HKEY_CURRENT_USER]"), std::string::npos); // implied by its subkeys
  // No bare LF and no line longer than regedit's 80 columns.
  size_t start = 0;
  for (size_t pos = text.find('\n'); pos != std::string::npos; pos = text.find('\n', start)) {
    ASSERT_GT(pos, 0u);
    EXPECT_EQ(text[pos - 1], '\r');
    EXPECT_LE(pos - 1 - start, 80u);
    start = pos + 1;
  }
  EXPECT_EQ(MustParse(text), hive);
}

TEST(HiveFormat, AcceptsUtf16AndUtf8BomAndBareLineFeeds) {
  const registry::THive utf16 = MustParse(Utf16Le(u"Windows Registry Editor Version 5.00\r\n\r\n"
                                                  u"[HKEY_CURRENT_USER\\Software\\Ü]\r\n"
                                                  u"\"Name\"=\"Wert ü\"\r\n"));
  const registry::TRegKey *key = utf16.FindKey("HKEY_CURRENT_USER\\Software\\Ü");
  ASSERT_NE(key, nullptr);
  EXPECT_EQ(key->Values.at(0).Str, "Wert ü");

  const registry::THive bom = MustParse("\xEF\xBB\xBFWindows Registry Editor Version 5.00\n"
                                        "[HKEY_CURRENT_USER\\X]\n\"a\"=dword:1\n");
  ASSERT_NE(bom.FindKey("HKEY_CURRENT_USER\\X"), nullptr);
  EXPECT_EQ(bom.FindKey("HKEY_CURRENT_USER\\X")->Values.at(0).Dword, 1u);
}

TEST(HiveFormat, MergesSectionsAndValuesWithoutRegardToCase) {
  const registry::THive hive = MustParse("Windows Registry Editor Version 5.00\r\n"
                                         "[HKEY_CURRENT_USER\\Soft\\Key]\r\n"
                                         "\"First\"=dword:00000001\r\n"
                                         "\"Second\"=dword:00000002\r\n"
                                         "[hkey_current_user\\SOFT\\KEY]\r\n"
                                         "\"FIRST\"=dword:00000003\r\n");
  const registry::TRegKey *key = hive.FindKey("HKEY_CURRENT_USER\\Soft\\Key");
  ASSERT_NE(key, nullptr);
  EXPECT_EQ(key->Path, "HKEY_CURRENT_USER\\Soft\\Key");
  ASSERT_EQ(key->Values.size(), 2u);
  EXPECT_EQ(key->Values[0].Name, "First"); // replaced in place, first spelling kept
  EXPECT_EQ(key->Values[0].Dword, 3u);
}

TEST(HiveFormat, AppliesDeletionLines) {
  const registry::THive hive = MustParse("Windows Registry Editor Version 5.00\r\n"
                                         "[HKEY_CURRENT_USER\\A\\B\\C]\r\n"
                                         "[HKEY_CURRENT_USER\\A\\B C]\r\n"
                                         "\"v\"=\"1\"\r\n"
                                         "\"w\"=\"2\"\r\n"
                                         "\"v\"=-\r\n"
                                         "[-HKEY_CURRENT_USER\\A\\B]\r\n");
  EXPECT_FALSE(hive.KeyExists("HKEY_CURRENT_USER\\A\\B"));
  EXPECT_FALSE(hive.KeyExists("HKEY_CURRENT_USER\\A\\B\\C"));
  const registry::TRegKey *sibling = hive.FindKey("HKEY_CURRENT_USER\\A\\B C");
  ASSERT_NE(sibling, nullptr);
  ASSERT_EQ(sibling->Values.size(), 1u);
  EXPECT_EQ(sibling->Values[0].Name, "w");
}

TEST(HiveFormat, RefusesMalformedText) {
  const std::string h = "Windows Registry Editor Version 5.00\r\n";
  const char *const bad[] = {
      "",
      "REGEDIT4\r\n[HKEY_CURRENT_USER\\A]\r\n",
      "garbage",
      "\"a\"=\"b\"\r\n",              // value before the header
      "\"a\"=\"b\"\r\n",              // (with header below) value outside a key
      "[HKEY_CURRENT_USER\\A\r\n",    // no closing bracket
      "[HKEY_NOWHERE\\A]\r\n",        // unknown root
      "[HKEY_CURRENT_USER\\\\A]\r\n", // empty key name
      "[HKEY_CURRENT_USER\\A]\r\n\"a\"=\"b\r\n",
      "[HKEY_CURRENT_USER\\A]\r\n\"a\"=\"b\" x\r\n",
      "[HKEY_CURRENT_USER\\A]\r\n\"a\"=dword:123456789\r\n",
      "[HKEY_CURRENT_USER\\A]\r\n\"a\"=dword:\r\n",
      "[HKEY_CURRENT_USER\\A]\r\n\"a\"=dword:12g4\r\n",
      "[HKEY_CURRENT_USER\\A]\r\n\"a\"=hex(4):01,02,03\r\n",
      "[HKEY_CURRENT_USER\\A]\r\n\"a\"=hex:01,0203\r\n",
      "[HKEY_CURRENT_USER\\A]\r\n\"a\"=hex:01,\\", // continued past the end
      "[HKEY_CURRENT_USER\\A]\r\n\"a\"=hex(zz):01\r\n",
      "[HKEY_CURRENT_USER\\A]\r\n\"a\"=word:1\r\n",
      "[HKEY_CURRENT_USER\\A]\r\na=\"b\"\r\n",
      "[HKEY_CURRENT_USER\\A]\r\n\"a\"\"b\"\r\n",
      "[-HKEY_CURRENT_USER\\A]\r\n\"a\"=\"b\"\r\n",
  };
  for (size_t i = 0; i < std::size(bad); ++i) {
    const std::string text = (i < 4) ? std::string(bad[i]) : h + bad[i];
    std::string error;
    EXPECT_FALSE(registry::THive::Parse(text, &error).has_value()) << "case " << i << ": " << text;
    EXPECT_EQ(error.rfind("line ", 0), 0u) << "case " << i;
  }
  EXPECT_TRUE(registry::THive::Parse(h).has_value()); // a header alone is an empty hive
  // A lone root section is kept, with or without values.
  const std::optional<registry::THive> root = registry::THive::Parse(h + "[HKEY_CLASSES_ROOT]\r\n");
  ASSERT_TRUE(root.has_value());
  EXPECT_TRUE(root->KeyExists("HKEY_CLASSES_ROOT"));
  EXPECT_EQ(registry::THive::Parse(root->Serialize()), root);
}

// ---- the registry object ----------------------------------------------------------------------

TEST_F(RegistryTest, OpensKeysReadOnlyOrWithCreation) {
  registry::TRegistry reg;
  EXPECT_EQ(reg.HiveFile(), Sandbox.Hive());
  EXPECT_FALSE(reg.OpenKeyReadOnly(kMain));
  EXPECT_FALSE(reg.HasCurrentKey());
  EXPECT_FALSE(reg.OpenKey(kMain, false));
  EXPECT_FALSE(reg.KeyExists(kMain));
  ASSERT_TRUE(reg.OpenKey(kMain, true));
  EXPECT_EQ(reg.CurrentPath(), "Software\\Vantrell Software\\Sonquarry");
  reg.CloseKey();
  EXPECT_TRUE(reg.KeyExists("\\SOFTWARE\\vantrell software\\sonquarry"));
  EXPECT_TRUE(reg.KeyExists("\\Software"));
  ASSERT_TRUE(reg.OpenKeyReadOnly("\\software\\VANTRELL SOFTWARE\\Sonquarry"));
  EXPECT_EQ(reg.CurrentPath(), "Software\\Vantrell Software\\Sonquarry"); // first spelling
  // A failed open leaves nothing open.
  EXPECT_FALSE(reg.OpenKeyReadOnly("\\Nothing"));
  EXPECT_FALSE(reg.HasCurrentKey());
}

TEST_F(RegistryTest, ResolvesRelativeAndMalformedPaths) {
  registry::TRegistry reg;
  ASSERT_TRUE(reg.OpenKey("\\Software\\Base", true));
  ASSERT_TRUE(reg.OpenKey("Child\\", true)); // relative to the open key
  EXPECT_EQ(reg.CurrentPath(), "Software\\Base\\Child");
  reg.CloseKey();
  ASSERT_TRUE(reg.OpenKey("Top", true)); // relative to the root when nothing is open
  EXPECT_EQ(reg.CurrentPath(), "Top");
  EXPECT_FALSE(reg.OpenKey("\\Software\\\\Twice", true));
  EXPECT_FALSE(reg.OpenKey("\\\\Software", true));
  EXPECT_FALSE(reg.OpenKey("\\Bad\nName", true));
  EXPECT_FALSE(reg.KeyExists("\\Software\\\\Base"));
  EXPECT_FALSE(reg.DeleteKey("\\"));
}

TEST_F(RegistryTest, ReadsTypedValuesAndRefusesOtherTypes) {
  registry::TRegistry reg;
  ASSERT_TRUE(reg.OpenKey(kMain, true));
  reg.WriteInteger("Int", -20);
  reg.WriteBool("Flag", true);
  reg.WriteString("Str", "text");
  reg.WriteExpandString("Exp", "%HOME%/x");
  EXPECT_EQ(reg.ReadInteger("int"), -20);
  EXPECT_TRUE(reg.ReadBool("FLAG"));
  EXPECT_EQ(reg.ReadString("Str"), "text");
  EXPECT_EQ(reg.ReadString("Exp"), "%HOME%/x"); // a string read accepts expandable strings
  EXPECT_EQ(reg.GetDataType("Int"), registry::TRegDataType::rdInteger);
  EXPECT_EQ(reg.GetDataType("Str"), registry::TRegDataType::rdString);
  EXPECT_EQ(reg.GetDataType("Exp"), registry::TRegDataType::rdExpandString);
  EXPECT_EQ(reg.GetDataType("Missing"), registry::TRegDataType::rdUnknown);
  EXPECT_THROW(reg.ReadInteger("Str"), Exception);
  EXPECT_THROW(reg.ReadBool("Exp"), Exception);
  EXPECT_THROW(reg.ReadString("Int"), Exception);
  EXPECT_THROW(reg.ReadInteger("Missing"), Exception);
  EXPECT_THROW(reg.ReadString("Missing"), Exception);
  reg.WriteInteger("Int", 7); // any non-zero DWORD reads as true
  EXPECT_TRUE(reg.ReadBool("Int"));
  reg.WriteInteger("Int", 0);
  EXPECT_FALSE(reg.ReadBool("Int"));
  reg.WriteString("Str", std::string("cut\0here", 8));
  EXPECT_EQ(reg.ReadString("Str"), "cut");
  EXPECT_EQ(ErrorOf([&] { reg.ReadInteger("Str"); }),
            "TRegistry.ReadInteger: invalid data type for 'Str'.");
}

TEST_F(RegistryTest, RefusesWritesWithoutAWritableKey) {
  registry::TRegistry reg;
  EXPECT_THROW(reg.WriteInteger("A", 1), Exception);
  EXPECT_THROW(reg.ValueExists("A"), Exception);
  EXPECT_THROW(reg.GetValueNames(), Exception);
  ASSERT_TRUE(reg.OpenKey(kMain, true));
  EXPECT_THROW(reg.WriteString("Bad\nName", "x"), Exception);
  reg.WriteInteger("A", 1);
  reg.CloseKey();
  ASSERT_TRUE(reg.OpenKeyReadOnly(kMain));
  EXPECT_THROW(reg.WriteInteger("A", 2), Exception);
  EXPECT_THROW(reg.WriteString("B", "x"), Exception);
  EXPECT_THROW(reg.DeleteValue("A"), Exception);
  EXPECT_EQ(reg.ReadInteger("A"), 1);
}

TEST_F(RegistryTest, ListsValueNamesInTheOrderWritten) {
  {
    registry::TRegistry reg;
    ASSERT_TRUE(reg.OpenKey(kMain, true));
    for (const char *n : {"Zeta", "alpha", "Item10", "Item2", "Mid"}) reg.WriteString(n, n);
    reg.WriteString("ALPHA", "again"); // overwriting keeps the place
    EXPECT_TRUE(reg.DeleteValue("mid"));
    EXPECT_FALSE(reg.DeleteValue("mid"));
  }
  registry::TRegistry reg;
  ASSERT_TRUE(reg.OpenKeyReadOnly(kMain));
  EXPECT_EQ(reg.GetValueNames(), (std::vector<std::string>{"Zeta", "alpha", "Item10", "Item2"}));
  EXPECT_EQ(reg.ReadString("alpha"), "again");
}

TEST_F(RegistryTest, DeletesAKeyWithItsValuesAndSubkeys) {
  registry::TRegistry reg;
  ASSERT_TRUE(reg.OpenKey("\\S\\List\\Sub", true));
  reg.WriteString("Item0", "x");
  ASSERT_TRUE(reg.OpenKey("\\S\\List", true));
  reg.WriteString("Item0", "y");
  ASSERT_TRUE(reg.OpenKey("\\S\\List Other", true));
  reg.WriteString("Item0", "z");
  ASSERT_TRUE(reg.OpenKey("\\S\\List", true));
  EXPECT_TRUE(reg.DeleteKey("\\S\\List"));
  EXPECT_FALSE(reg.HasCurrentKey()); // the deleted key is no longer open
  EXPECT_FALSE(reg.KeyExists("\\S\\List"));
  EXPECT_FALSE(reg.KeyExists("\\S\\List\\Sub"));
  EXPECT_TRUE(reg.KeyExists("\\S\\List Other"));
  EXPECT_FALSE(reg.DeleteKey("\\S\\List"));
  ASSERT_TRUE(reg.OpenKey("\\S\\List", true));
  EXPECT_TRUE(reg.GetValueNames().empty());
}

TEST_F(RegistryTest, SavesWhenReleasedAndOnFlush) {
  {
    registry::TRegistry reg;
    ASSERT_TRUE(reg.OpenKey(kMain, true));
    reg.WriteInteger("TimeOut", 500);
    EXPECT_FALSE(std::filesystem::exists(Sandbox.Hive())); // not before the task ends
  }
  ASSERT_TRUE(std::filesystem::exists(Sandbox.Hive()));
  EXPECT_EQ(
      (std::filesystem::status(Sandbox.Hive()).permissions() & std::filesystem::perms::group_all),
      std::filesystem::perms::none);
  EXPECT_NE(ReadAll(Sandbox.Hive())
                .find("[HKEY_CURRENT_USER\\Software\\Vantrell Software\\Sonquarry]\r\n"
                      "\"TimeOut\"=dword:000001f4\r\n"),
            std::string::npos);
  registry::TRegistry reg;
  ASSERT_TRUE(reg.OpenKey(kMain, false));
  EXPECT_EQ(reg.ReadInteger("TimeOut"), 500);
  reg.WriteInteger("TimeOut", 900);
  EXPECT_TRUE(reg.Modified());
  reg.Flush();
  EXPECT_FALSE(reg.Modified());
  EXPECT_NE(ReadAll(Sandbox.Hive()).find("\"TimeOut\"=dword:00000384"), std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(Sandbox.Hive() + ".tmp"));
}

TEST_F(RegistryTest, MergesTheChangesOfTwoInstances) {
  {
    registry::TRegistry setup;
    ASSERT_TRUE(setup.OpenKey("\\S\\Old", true));
    setup.WriteString("Item0", "old");
  }
  auto first = std::make_unique<registry::TRegistry>();
  auto second = std::make_unique<registry::TRegistry>(); // both read the same hive
  ASSERT_TRUE(first->OpenKey("\\S", true));
  first->WriteInteger("FromFirst", 1);
  first->WriteInteger("Both", 1);
  ASSERT_TRUE(second->OpenKey("\\S", true));
  second->WriteInteger("FromSecond", 2);
  second->WriteInteger("Both", 2);
  EXPECT_TRUE(second->DeleteKey("\\S\\Old"));
  first.reset();
  second.reset(); // the last writer wins on the value both wrote
  registry::TRegistry reg;
  ASSERT_TRUE(reg.OpenKeyReadOnly("\\S"));
  EXPECT_EQ(reg.ReadInteger("FromFirst"), 1);
  EXPECT_EQ(reg.ReadInteger("FromSecond"), 2);
  EXPECT_EQ(reg.ReadInteger("Both"), 2);
  EXPECT_FALSE(reg.KeyExists("\\S\\Old"));
}

TEST_F(RegistryTest, AGarbageHiveIsReadAsEmptyAndKeptAsideOnlyBySaves) {
  // Each save of a broken hive keeps it under a name of its own: no backup is overwritten.
  const struct {
    std::string Garbage, Backup;
  } cases[] = {{"\x01\x02 not a registry file\n", ".bad"}, {"[broken", ".bad.2"}};
  for (const auto &c : cases) {
    WriteFile(Sandbox.Hive(), c.Garbage);
    std::vector<std::string> log;
    platform::SetDiagnosticSink([&log](platform::TDiagLevel Level, const std::string &Line) {
      if (Level == platform::TDiagLevel::Act) log.push_back(Line); // the window shows these
    });
    {
      registry::TRegistry reader; // reading alone leaves the file as it is
      EXPECT_FALSE(reader.KeyExists("\\Software"));
    }
    EXPECT_EQ(ReadAll(Sandbox.Hive()), c.Garbage);
    EXPECT_FALSE(std::filesystem::exists(Sandbox.Hive() + c.Backup));
    {
      registry::TRegistry reg;
      ASSERT_TRUE(reg.OpenKey(kMain, true));
      reg.WriteInteger("TimeOut", 1);
    }
    platform::SetDiagnosticSink(nullptr);
    // One line when the hive was first read, one when the save kept it.
    ASSERT_EQ(log.size(), 2u);
    EXPECT_NE(log[0].find("defaults"), std::string::npos) << log[0];
    EXPECT_NE(log[1].find("registry.reg" + c.Backup), std::string::npos) << log[1];
    EXPECT_EQ(ReadAll(Sandbox.Hive() + c.Backup), c.Garbage);
    EXPECT_TRUE(registry::THive::Parse(ReadAll(Sandbox.Hive())).has_value());
  }
  EXPECT_EQ(ReadAll(Sandbox.Hive() + ".bad"), cases[0].Garbage);
}

TEST_F(RegistryTest, DeletionsReachWhatAnotherProcessCreatedMeanwhile) {
  {
    registry::TRegistry setup;
    ASSERT_TRUE(setup.OpenKey(kMain, true));
    setup.WriteInteger("Keep", 1);
  }
  const std::string denied = std::string(kMain) + "DeniedComps";
  const struct {
    const char *What;
    std::function<void(registry::TRegistry &)> Create, Delete;
    std::function<bool(registry::TRegistry &)> Gone;
  } cases[] = {
      {"list subkey",
       [&](registry::TRegistry &R) {
         ASSERT_TRUE(R.OpenKey(denied, true));
         R.WriteString("Item0", "\\\\PC1");
       },
       [&](registry::TRegistry &R) { EXPECT_FALSE(R.DeleteKey(denied)); },
       [&](registry::TRegistry &R) { return !R.KeyExists(denied); }},
      {"value",
       [](registry::TRegistry &R) {
         ASSERT_TRUE(R.OpenKey(kMain, true));
         R.WriteInteger("Item3", 3);
       },
       [](registry::TRegistry &R) {
         ASSERT_TRUE(R.OpenKey(kMain, true));
         EXPECT_FALSE(R.DeleteValue("Item3"));
       },
       [](registry::TRegistry &R) { return R.OpenKeyReadOnly(kMain) && !R.ValueExists("Item3"); }},
  };
  for (const auto &c : cases) {
    registry::TRegistry mine; // read before the other process made the key or value
    const pid_t pid = fork();
    if (pid == 0) {
      {
        registry::TRegistry other;
        c.Create(other);
      }
      _exit(::testing::Test::HasFailure() ? 1 : 0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << c.What;
    c.Delete(mine);
    mine.Flush();
    registry::TRegistry after;
    EXPECT_TRUE(c.Gone(after)) << c.What;
    ASSERT_TRUE(after.OpenKeyReadOnly(kMain));
    EXPECT_EQ(after.ReadInteger("Keep"), 1) << c.What;
  }
}

TEST_F(RegistryTest, GarbageWrittenAfterLoadingIsSetAsideAtSave) {
  registry::TRegistry reg;
  ASSERT_TRUE(reg.OpenKey(kMain, true));
  reg.WriteInteger("A", 1);
  WriteFile(Sandbox.Hive(), "[broken");
  std::vector<std::string> log;
  platform::SetDiagnosticSink(
      [&log](platform::TDiagLevel, const std::string &Line) { log.push_back(Line); });
  reg.Flush();
  platform::SetDiagnosticSink(nullptr);
  EXPECT_EQ(log.size(), 1u);
  EXPECT_EQ(ReadAll(Sandbox.Hive() + ".bad"), "[broken");
  registry::TRegistry again;
  ASSERT_TRUE(again.OpenKeyReadOnly(kMain));
  EXPECT_EQ(again.ReadInteger("A"), 1);
}

TEST_F(RegistryTest, AnUnreadableHiveIsNeverOverwritten) {
  // A directory in the hive's place cannot be read, and must not be replaced by our changes.
  std::filesystem::create_directories(Sandbox.Hive());
  std::vector<std::string> log;
  platform::SetDiagnosticSink(
      [&log](platform::TDiagLevel, const std::string &Line) { log.push_back(Line); });
  {
    registry::TRegistry reg;
    ASSERT_TRUE(reg.OpenKey(kMain, true));
    reg.WriteInteger("A", 1);
    EXPECT_THROW(reg.Flush(), Exception);
    EXPECT_TRUE(reg.Modified()); // still pending
  }
  platform::SetDiagnosticSink(nullptr);
  EXPECT_GE(log.size(), 2u); // the failed read at start and the failed save at release
  EXPECT_TRUE(std::filesystem::is_directory(Sandbox.Hive()));
  EXPECT_FALSE(std::filesystem::exists(Sandbox.Hive() + ".bad"));
}

TEST_F(RegistryTest, KeepsRootsApart) {
  registry::TRegistry reg;
  reg.SetRootKey(registry::TRegRoot::ClassesRoot);
  ASSERT_TRUE(reg.OpenKey("\\CLSID\\{x}\\InprocServer32", true));
  reg.WriteString("", "lib.so");
  reg.SetRootKey(registry::TRegRoot::CurrentUser);
  EXPECT_FALSE(reg.HasCurrentKey());
  EXPECT_FALSE(reg.KeyExists("\\CLSID"));
  reg.Flush();
  EXPECT_NE(ReadAll(Sandbox.Hive())
                .find("[HKEY_CLASSES_ROOT\\CLSID\\{x}\\InprocServer32]\r\n@=\"lib.so\"\r\n"),
            std::string::npos);
}

TEST(HiveFormat, NewKeysTakeTheSpellingOfTheirParents) {
  registry::THive hive;
  hive.CreateKey("HKEY_CURRENT_USER\\Software\\Vantrell Software");
  const registry::TRegKey &key =
      hive.CreateKey("HKEY_CURRENT_USER\\SOFTWARE\\vantrell software\\New");
  EXPECT_EQ(key.Path, "HKEY_CURRENT_USER\\Software\\Vantrell Software\\New");
  EXPECT_EQ(hive.Keys().size(), 4u); // the root, two parents and the key
}
