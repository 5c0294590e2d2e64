// The hive under crashes and a second instance: processes killed while saving, processes
// saving at once, and a hive that is garbage.
#include "platform/os/diag.h"
#include "platform/registry/registry.h"
#include "settings/settings.h"
#include "support/xdg_sandbox.h"

#include <chrono>
#include <csignal>
#include <filesystem>
#include <gtest/gtest.h>
#include <random>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace sonquarry;
using sonquarry::testing::ReadAll;
using sonquarry::testing::TXdgSandbox;
using sonquarry::testing::WriteFile;

namespace {

struct TBoth {
  TScanOptions Scan;
  TMainFormSettings Form;
};

// Two complete settings that differ in every value and in the length of every list.
TBoth Variant(int Which) {
  TBoth s;
  ApplyMainFormDefaults(s.Scan, s.Form);
  const bool b = Which == 1;
  s.Scan.IsClearBefor = b;
  s.Scan.NetBios = !b;
  s.Scan.TimeOut = b ? 4000 : 100;
  s.Scan.MaxThreadCount = b ? 3 : 30;
  s.Scan.ScanMethod = b ? smOtherOS : smWinXPSP2;
  s.Form.PlayListExt = b ? ".pls" : ".m3u";
  s.Form.PathForCopy = b ? "/b/path" : "/a";
  const int n = b ? 2 : 5;
  for (TNameList *l :
       {&s.Scan.Filter.AllowedComps, &s.Scan.Filter.DeniedComps, &s.Scan.Filter.AllowedRes,
        &s.Scan.Filter.DeniedRes, &s.Scan.Filter.Extentions}) {
    l->clear();
    for (int i = 0; i < n; ++i) l->push_back(std::string(b ? "b" : "a") + std::to_string(i));
  }
  // Many ranges make a save long enough for kills to land inside it.
  const int ranges = b ? 1500 : 700;
  for (int i = 0; i < ranges; ++i) s.Form.IPRanges.Add(i * 16 + Which, i * 16 + 9, i % 2);
  return s;
}

struct TNullTarget : TIPRangeTarget {
  void AddIP(uint32_t) override {}
  void AddIPRange(uint32_t, uint32_t) override {}
};

bool Same(const TBoth &A, const TBoth &B) {
  if (A.Form.IPRanges.Count() != B.Form.IPRanges.Count()) return false;
  for (size_t i = 0; i < A.Form.IPRanges.Count(); ++i) {
    const TIPRange &x = A.Form.IPRanges[i];
    const TIPRange &y = B.Form.IPRanges[i];
    if (x.From() != y.From() || x.To() != y.To() || (x.Tag != 0) != (y.Tag != 0)) return false;
  }
  const TScanFilter &f = A.Scan.Filter, &g = B.Scan.Filter;
  return A.Scan.IsClearBefor == B.Scan.IsClearBefor && A.Scan.NetBios == B.Scan.NetBios &&
         A.Scan.TimeOut == B.Scan.TimeOut && A.Scan.MaxThreadCount == B.Scan.MaxThreadCount &&
         A.Scan.ScanMethod == B.Scan.ScanMethod && A.Form.PlayListExt == B.Form.PlayListExt &&
         A.Form.PathForCopy == B.Form.PathForCopy && f.AllowedComps == g.AllowedComps &&
         f.DeniedComps == g.DeniedComps && f.AllowedRes == g.AllowedRes &&
         f.DeniedRes == g.DeniedRes && f.Extentions == g.Extentions;
}

TBoth LoadAll() {
  TBoth s;
  ApplyMainFormDefaults(s.Scan, s.Form);
  TNullTarget target;
  LoadSettings(s.Scan, s.Form, target);
  return s;
}

// Runs Body in a child process that ends with _exit, never returning into the test.
template <typename F> pid_t Spawn(F Body) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    Body();
    ::_exit(0);
  }
  return pid;
}

} // namespace

TEST(RegistryFaults, AKilledSaveLeavesTheOldOrTheNewSettings) {
  TXdgSandbox box;
  const TBoth a = Variant(0), b = Variant(1);
  std::mt19937 rng(12345);
  int sawA = 0, sawB = 0;
  // Kills land anywhere within the first three saves of the child: before, inside or after one.
  const auto t0 = std::chrono::steady_clock::now();
  registry::SetRegistryWriteHook(
      [](size_t) { std::this_thread::sleep_for(std::chrono::milliseconds(2)); });
  SaveSettings(b.Scan, b.Form);
  registry::SetRegistryWriteHook(nullptr);
  const auto saveUs =
      std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - t0)
          .count();
  for (int round = 0; round < 30; ++round) {
    SaveSettings(a.Scan, a.Form);
    const pid_t child = Spawn([&] {
      // A slow disk: the write takes most of a save, so many kills land inside it.
      registry::SetRegistryWriteHook(
          [](size_t) { std::this_thread::sleep_for(std::chrono::milliseconds(2)); });
      for (int i = 0;; ++i) {
        const TBoth &s = (i % 2 == 0) ? b : a;
        SaveSettings(s.Scan, s.Form);
      }
    });
    ASSERT_GT(child, 0);
    std::this_thread::sleep_for(std::chrono::microseconds(rng() % (3 * saveUs + 1)));
    ::kill(child, SIGKILL);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status));

    std::string error;
    ASSERT_TRUE(registry::THive::Parse(ReadAll(box.Hive()), &error).has_value()) << error;
    ASSERT_FALSE(std::filesystem::exists(box.Hive() + ".bad"));
    const TBoth loaded = LoadAll();
    const bool isA = Same(loaded, a), isB = Same(loaded, b);
    ASSERT_TRUE(isA || isB) << "round " << round;
    sawA += isA;
    sawB += isB;
  }
  std::cout << "killed saves (one save " << saveUs << " us): old/new settings found " << sawA << "/"
            << sawB << " times\n";
}

TEST(RegistryFaults, TwoProcessesSavingAtOnceLoseNothing) {
  TXdgSandbox box;
  constexpr int kSaves = 40;
  pid_t children[2];
  for (int c = 0; c < 2; ++c) {
    children[c] = Spawn([c] {
      for (int i = 1; i <= kSaves; ++i) {
        registry::TRegistry reg;
        if (!reg.OpenKey("\\Software\\Test\\Child" + std::to_string(c), true)) ::_exit(2);
        reg.WriteInteger("Count", i);
        reg.WriteString("Item" + std::to_string(i), std::string(200, 'x'));
        reg.CloseKey();
        if (!reg.OpenKey("\\Software\\Test", true)) ::_exit(2);
        reg.WriteInteger("Last", c);
      }
    });
    ASSERT_GT(children[c], 0);
  }
  for (pid_t child : children) {
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  std::string error;
  ASSERT_TRUE(registry::THive::Parse(ReadAll(box.Hive()), &error).has_value()) << error;
  registry::TRegistry reg;
  for (int c = 0; c < 2; ++c) {
    ASSERT_TRUE(reg.OpenKeyReadOnly("\\Software\\Test\\Child" + std::to_string(c)));
    EXPECT_EQ(reg.ReadInteger("Count"), kSaves);
    EXPECT_EQ(reg.GetValueNames().size(), static_cast<size_t>(kSaves + 1)); // no save lost
  }
  ASSERT_TRUE(reg.OpenKeyReadOnly("\\Software\\Test"));
  const int last = reg.ReadInteger("Last");
  EXPECT_TRUE(last == 0 || last == 1);
}

TEST(RegistryFaults, AGarbageHiveStartsTheProgramOnDefaultsAndIsKeptAsideAtTheNextSave) {
  TXdgSandbox box;
  const TBoth b = Variant(1);
  SaveSettings(b.Scan, b.Form);
  std::string garbage = ReadAll(box.Hive());
  garbage.resize(garbage.size() / 2); // cut in the middle of a line, as a torn copy would be
  garbage += "\"broken";
  WriteFile(box.Hive(), garbage);
  std::vector<std::string> log;
  platform::SetDiagnosticSink(
      [&log](platform::TDiagLevel, const std::string &Line) { log.push_back(Line); });
  const TBoth loaded = LoadAll();
  platform::SetDiagnosticSink(nullptr);
  TBoth defaults;
  ApplyMainFormDefaults(defaults.Scan, defaults.Form);
  EXPECT_TRUE(Same(loaded, defaults));
  EXPECT_TRUE(loaded.Form.ScanMethodUnset);
  ASSERT_EQ(log.size(), 1u);
  EXPECT_NE(log[0].find("defaults"), std::string::npos) << log[0];
  // Reading leaves the file alone; the next save keeps it aside and starts a fresh, valid hive.
  EXPECT_EQ(ReadAll(box.Hive()), garbage);
  EXPECT_FALSE(std::filesystem::exists(box.Hive() + ".bad"));
  SaveSettings(b.Scan, b.Form);
  EXPECT_EQ(ReadAll(box.Hive() + ".bad"), garbage);
  EXPECT_TRUE(Same(LoadAll(), b));
}
