#pragma once
// Small helpers shared by the unit tests and the benchmarks (no gtest in here).

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "paths/wnet_tree.h"
#include "platform/os/exception.h"

namespace sonquarry::testing {

// Concatenates its parts (g++ 12 warns wrongly about "text" + std::to_string(n) at -O3).
template <class... TParts> std::string Cat(const TParts &...Parts) {
  std::string s;
  ((s += Parts), ...);
  return s;
}

// The bytes of a file; empty when it cannot be read.
inline std::string ReadAll(const std::filesystem::path &File) {
  std::ifstream in(File, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Milliseconds since T on the steady clock.
inline int MsSince(std::chrono::steady_clock::time_point T) {
  return int(
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - T)
          .count());
}

// Polls Cond until it holds (true) or Ms have passed (false).
inline bool WaitUntil(const std::function<bool()> &Cond, int Ms) {
  const auto T = std::chrono::steady_clock::now();
  while (!Cond()) {
    if (MsSince(T) >= Ms) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

// The message of the Exception that F throws, or "(no error)" when it throws none.
inline std::string ErrorOf(const std::function<void()> &F) {
  try {
    F();
  } catch (const Exception &e) {
    return e.what();
  }
  return "(no error)";
}

// One row of a path tree as its three texts, for comparing whole trees.
struct Row {
  std::string Name, Domain, Directory;
  bool operator==(const Row &) const = default;
};

inline std::vector<Row> Rows(TWNetTree &T) {
  std::vector<Row> rows;
  for (int i = 0; i < T.Count(); ++i)
    rows.push_back({std::string(T.File(i).Name()), T.GetDomain(i), T.GetDirectory(i)});
  return rows;
}

} // namespace sonquarry::testing
