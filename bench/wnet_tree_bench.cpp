// The path tree at a million rows: a synthetic network of 20 domains, 2,000 computers with 4
// shares each, directories of 1 to 5,000 files and one of 100,000, 1,000,000 files in all.
// Prints one figure per line with its unit.

#include "paths/tree_search.h"
#include "paths/wnet_tree.h"
#include "support/test_support.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <malloc.h>
#include <memory>
#include <random>
#include <string>
#include <unistd.h>
#include <vector>

using namespace sonquarry;
using namespace sonquarry::testing;
namespace fs = std::filesystem;

namespace {

constexpr int Files = 1000000;
constexpr int Domains = 20;
constexpr int Computers = 2000;
constexpr int SharesPerComputer = 4;
constexpr int HugeDirectory = 100000;

double Seconds(std::chrono::steady_clock::time_point Since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - Since).count();
}

// Resident and peak resident memory of the process, in bytes.
long long StatusBytes(const char *Field) {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind(Field, 0) == 0) return std::atoll(line.c_str() + std::strlen(Field)) * 1024;
  return 0;
}
long long Resident() { return StatusBytes("VmRSS:"); }

struct TDir {
  int Domain;
  std::string Path;
  int Count;
};

const char *const Words[] = {"Love",  "Night", "Blue",   "Road",  "Heart", "Fire",  "Rain",
                             "Dance", "Dream", "Summer", "Light", "Wild",  "Gold",  "River",
                             "Stone", "Moon",  "Star",   "Time",  "Home",  "Ocean", "Angel",
                             "Ghost", "Storm", "Silver", "City",  "Train", "Song",  "Sky"};
constexpr int WordCount = sizeof Words / sizeof Words[0];

std::string Word(std::mt19937 &Rng) { return Words[Rng() % WordCount]; }

std::vector<std::string> DomainNames(std::mt19937 &Rng) {
  std::vector<std::string> out{"WORKGROUP", "MSHOME", "HOME"};
  while (static_cast<int>(out.size()) < Domains)
    out.push_back(Cat("OFFICE-", std::to_string(out.size()), Rng() % 2 ? "-LAN" : ""));
  return out;
}

std::string ComputerName(std::mt19937 &Rng, int I) {
  static const char alnum[] = "ABCDEFGHJKLMNPQRSTUVWXYZ0123456789";
  if (I % 3 == 0) return Cat("PC", std::to_string(1000 + I));
  std::string s = I % 3 == 1 ? "DESKTOP-" : "LAPTOP-";
  for (int k = 0; k < 7; ++k) s += alnum[Rng() % (sizeof alnum - 1)];
  return s;
}

// Directory sizes: mostly albums, some larger folders, a few very large ones, and one huge.
std::vector<TDir> MakeDirectories(std::mt19937 &Rng) {
  std::vector<std::string> shares;
  std::vector<int> shareDomain;
  const char *shareNames[] = {"Music", "mp3", "Shared", "Users"};
  for (int c = 0; c < Computers; ++c) {
    const std::string comp = ComputerName(Rng, c);
    for (int s = 0; s < SharesPerComputer; ++s) {
      shares.push_back("\\\\" + comp + "\\" + shareNames[s] + "\\");
      shareDomain.push_back(c % Domains);
    }
  }
  std::vector<TDir> dirs;
  int left = Files - HugeDirectory;
  dirs.push_back({0, shares[0] + "All Music\\", HugeDirectory});
  for (size_t s = 1; left > 0; ++s) {
    const size_t share = s % shares.size();
    const unsigned kind = Rng() % 100;
    int n = kind < 90   ? 1 + static_cast<int>(Rng() % 20)
            : kind < 99 ? 21 + static_cast<int>(Rng() % 480)
                        : 501 + static_cast<int>(Rng() % 4500);
    n = std::min(n, left);
    std::string path = shares[share];
    if (Rng() % 10 != 0) path += Word(Rng) + " " + Word(Rng) + "\\";
    if (Rng() % 4 != 0) path += std::to_string(1970 + Rng() % 55) + " - " + Word(Rng) + "\\";
    dirs.push_back({shareDomain[share], path, n});
    left -= n;
  }
  return dirs;
}

std::string FileName(std::mt19937 &Rng, int Track) {
  char num[16];
  std::snprintf(num, sizeof num, "%02d", Track);
  return std::string(num) + " - " + Word(Rng) + " " + Word(Rng) + " - " + Word(Rng) + " " +
         Word(Rng) + ".mp3";
}

void Print(const char *What, double Value, const char *Unit) {
  std::printf("%s: %.3f %s\n", What, Value, Unit);
}

// One search of all three fields for a text no row has: every row is visited.
void SearchPass(TWNetTree &Tree, const char *What) {
  TTreeSearch search(&Tree);
  search.Fields = 7;
  search.SetSearchText("no such text");
  const auto t0 = std::chrono::steady_clock::now();
  while (!search.Finished()) search.FindNext();
  Print(What, Seconds(t0), "s");
}

} // namespace

int main() {
  std::mt19937 rng(2024);
  const auto domains = DomainNames(rng);
  const auto dirs = MakeDirectories(rng);
  const fs::path work =
      fs::temp_directory_path() / Cat("wnet_tree_bench.", std::to_string(getpid()));
  fs::create_directories(work);
  const std::string listFile = (work / "Sonquarry.lst").string();

  // Names are made up front so that the timing is of the tree only.
  std::vector<std::string> names;
  names.reserve(Files);
  for (const auto &d : dirs)
    for (int k = 0; k < d.Count; ++k) names.push_back(FileName(rng, k + 1));

  malloc_trim(0);
  long long before = Resident();
  auto tree = std::make_unique<TWNetTree>();
  auto t0 = std::chrono::steady_clock::now();
  size_t next = 0;
  for (const auto &d : dirs)
    for (int k = 0; k < d.Count; ++k) tree->AddFile(domains[d.Domain], d.Path, names[next++]);
  const double addTime = Seconds(t0);
  const long long built = Resident() - before;
  std::printf("files: %d rows\n", tree->Count());
  std::printf("directories: %zu dirs\n", dirs.size());
  Print("AddFile rate", tree->Count() / addTime / 1e6, "million files/s");
  Print("resident memory after AddFile", static_cast<double>(built) / tree->Count(), "bytes/file");

  t0 = std::chrono::steady_clock::now();
  int code = SaveListFile(listFile, *tree);
  const double saveTime = Seconds(t0);
  if (code != 0) std::printf("SaveListFile returned %d\n", code);
  Print("SaveListFile", saveTime, "s");
  Print("list file size", static_cast<double>(fs::file_size(listFile)) / 1e6, "MB");

  tree.reset();
  std::vector<std::string>().swap(names);
  malloc_trim(0);
  before = Resident();
  tree = std::make_unique<TWNetTree>();
  t0 = std::chrono::steady_clock::now();
  tree->SetLoading(true);
  code = LoadListFile(listFile, *tree);
  tree->SetLoading(false);
  const double loadTime = Seconds(t0);
  if (code != 0) std::printf("LoadListFile returned %d\n", code);
  Print("LoadListFile", loadTime, "s");
  Print("resident memory after LoadListFile",
        static_cast<double>(Resident() - before) / tree->Count(), "bytes/file");

  SearchPass(*tree, "FindNext full pass, rows in scan order");

  // A rescan that reaches half of the computers and finds nine files in ten of theirs.
  t0 = std::chrono::steady_clock::now();
  tree->ResetMarks();
  Print("ResetMarks", Seconds(t0), "s");
  {
    std::vector<std::string> domain, dir, name;
    for (int i = 0; i < tree->Count(); i += 1) {
      if ((i / 1000) % 2 || i % 10 == 0) continue;
      domain.push_back(tree->GetDomain(i));
      dir.push_back(tree->GetDirectory(i));
      name.emplace_back(tree->File(i).Name());
    }
    t0 = std::chrono::steady_clock::now();
    for (size_t k = 0; k < name.size(); ++k) tree->AddFile(domain[k], dir[k], name[k]);
    Print("AddFile rate, rescan of known files", name.size() / Seconds(t0) / 1e6,
          "million files/s");
  }
  t0 = std::chrono::steady_clock::now();
  tree->FinishMarks();
  Print("FinishMarks", Seconds(t0), "s");

  const char *columns[] = {"file name", "domain", "directory"};
  for (int column = scFileName; column <= scDirectory; ++column) {
    for (const bool asc : {true, false}) {
      t0 = std::chrono::steady_clock::now();
      tree->Sort(column, asc);
      const std::string what =
          std::string("Sort by ") + columns[column] + (asc ? ", ascending" : ", descending");
      Print(what.c_str(), Seconds(t0), "s");
    }
  }
  tree->Sort(scFileName, true);
  SearchPass(*tree, "FindNext full pass, rows sorted by file name");
  t0 = std::chrono::steady_clock::now();
  code = SaveListFile(listFile, *tree);
  Print("SaveListFile, rows sorted by file name", Seconds(t0), "s");

  malloc_trim(0);
  Print("resident memory after the rescan and the sorts",
        static_cast<double>(Resident() - before) / tree->Count(), "bytes/file");
  Print("peak resident memory of the bench process",
        static_cast<double>(StatusBytes("VmHWM:")) / 1e6, "MB");
  fs::remove_all(work);
  return 0;
}
