// How NameFitsMask's time grows with the name length, for masks that never fit a long run of
// one letter: many stars, and one star before a long literal (the back-up worst case, each
// back-up re-reads up to the mask's length).
#include "engine/scan_filter.h"

#include <chrono>
#include <cstdio>
#include <string>

namespace {

void Run(const char *Label, const std::string &Mask) {
  for (size_t n : {10000u, 100000u, 1000000u}) {
    const std::string name(n, 'a');
    const int reps = n >= 1000000 ? 3 : 10;
    bool fits = false;
    const auto start = std::chrono::steady_clock::now();
    for (int r = 0; r < reps; ++r) fits |= sonquarry::NameFitsMask(name, Mask);
    const double s =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("%s_mask_%zu_name_%zu%s: %.3f ms\n", Label, Mask.size(), n, fits ? "_fits" : "",
                s * 1000 / reps);
    std::printf("%s_mask_%zu_name_%zu_per_char: %.2f ns\n", Label, Mask.size(), n,
                s * 1e9 / reps / static_cast<double>(n));
  }
}

} // namespace

int main() {
  std::string stars;
  for (int i = 0; i < 32; ++i) stars += "*a";
  Run("stars", stars + "*b");
  Run("literal", "*" + std::string(32, 'a') + "b");
  return 0;
}
