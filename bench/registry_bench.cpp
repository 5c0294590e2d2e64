// Figures of the registry hive: parsing, writing and a whole save of a large settings store.
#include "platform/registry/registry.h"
#include "settings/settings.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <unistd.h>

using namespace sonquarry;
using Clock = std::chrono::steady_clock;

namespace {

double Ms(Clock::time_point Start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - Start).count();
}

struct TNullTarget : TIPRangeTarget {
  void AddIP(uint32_t) override {}
  void AddIPRange(uint32_t, uint32_t) override {}
};

} // namespace

int main() {
  char tmpl[] = "/tmp/sonquarry-bench-XXXXXX";
  const std::string dir = ::mkdtemp(tmpl);
  const std::string hive = dir + "/registry.reg";
  constexpr int kRanges = 1500;

  TScanOptions scan;
  TMainFormSettings form;
  ApplyMainFormDefaults(scan, form);
  for (int i = 0; i < kRanges; ++i) form.IPRanges.Add(i * 16, i * 16 + 9, 1);
  for (int i = 0; i < 100; ++i) scan.Filter.DeniedComps.push_back("\\\\pc" + std::to_string(i));

  auto t = Clock::now();
  {
    registry::TRegistry reg(hive);
    SaveSettings(reg, scan, form);
  }
  std::printf("first save of %d ranges: %.2f ms\n", kRanges, Ms(t));
  const size_t bytes = std::filesystem::file_size(hive);
  std::printf("hive size: %zu bytes\n", bytes);

  t = Clock::now();
  {
    registry::TRegistry reg(hive);
    SaveSettings(reg, scan, form);
  }
  std::printf("save over an existing hive: %.2f ms\n", Ms(t));

  t = Clock::now();
  {
    registry::TRegistry reg(hive);
    TScanOptions s2;
    TMainFormSettings f2;
    TNullTarget target;
    LoadSettings(reg, s2, f2, target);
  }
  std::printf("load: %.2f ms\n", Ms(t));

  std::ifstream in(hive, std::ios::binary);
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  constexpr int kRuns = 10;
  t = Clock::now();
  std::optional<registry::THive> parsed;
  for (int i = 0; i < kRuns; ++i) parsed = registry::THive::Parse(text);
  std::printf("parse: %.2f ms\n", Ms(t) / kRuns);
  t = Clock::now();
  size_t total = 0;
  for (int i = 0; i < kRuns; ++i) total += parsed->Serialize().size();
  std::printf("serialize: %.2f ms\n", Ms(t) / kRuns);
  if (total != kRuns * bytes) std::printf("serialized size differs: %zu\n", total / kRuns);

  t = Clock::now();
  for (int i = 0; i < kRuns; ++i) {
    registry::TRegistry reg(hive);
    reg.OpenKey("\\X", true);
    reg.WriteInteger("N", i);
  }
  std::printf("one-value save over the hive: %.2f ms\n", Ms(t) / kRuns);
  std::filesystem::remove_all(dir);
  return 0;
}
