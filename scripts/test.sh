#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test: the plain build (unit and integration tests
# on the bundled test network), the Release build with its unit tests, the AddressSanitizer+UBSan
# build, the ThreadSanitizer build of the threaded tests, and the fuzz targets. `scripts/test.sh
# debug` (or nogui, release, asan, tsan, fuzz, format) runs only the named stages.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
stages=("$@")
[ ${#stages[@]} -gt 0 ] || stages=(format nogui debug release asan tsan fuzz)

scripts/install-deps.sh

export CTEST_OUTPUT_ON_FAILURE=1
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=0:strict_string_checks=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export LSAN_OPTIONS="suppressions=$root/tests/lsan.supp:print_suppressions=0"
export TSAN_OPTIONS="suppressions=$root/tests/tsan.supp:halt_on_error=1:second_deadlock_stack=1"
jobs=$(nproc)

stage_format() {
  echo "== format"
  local bad
  bad=$(git ls-files '*.cpp' '*.h' | xargs -r clang-format --dry-run -Werror 2>&1 | grep -E '^[^ ].*: (error|warning)' | cut -d: -f1 | sort -u || true)
  if [ -n "$bad" ]; then echo "not clang-formatted:"; echo "$bad"; return 1; fi
}
stage_nogui() {
  echo "== the core and the headless programs without Qt"
  scripts/build.sh build-nogui -DCMAKE_BUILD_TYPE=Debug -DSONQUARRY_GUI=OFF -DSONQUARRY_TESTS=OFF \
    -DSONQUARRY_BENCH=OFF
}
stage_debug() {
  echo "== debug build and all tests"
  scripts/build.sh build -DCMAKE_BUILD_TYPE=Debug
  ctest --test-dir build -j "$jobs" --timeout 900
}
stage_release() {
  echo "== release build (optimiser warnings as errors) and the unit tests"
  scripts/build.sh build-release -DCMAKE_BUILD_TYPE=Release
  ctest --test-dir build-release -j "$jobs" -L unit --timeout 900
}
stage_asan() {
  echo "== AddressSanitizer + UBSan build and all tests"
  scripts/build.sh build-asan -DCMAKE_BUILD_TYPE=Asan -DSONQUARRY_BENCH=OFF
  ctest --test-dir build-asan -j "$jobs" --timeout 900
}
stage_tsan() {
  echo "== ThreadSanitizer build and the threaded tests"
  scripts/build.sh build-tsan --target sonquarry_threaded_tests -DCMAKE_BUILD_TYPE=Tsan \
    -DSONQUARRY_BENCH=OFF
  ctest --test-dir build-tsan -j "$jobs" -L threads --timeout 900
}
stage_fuzz() {
  echo "== fuzz targets (libFuzzer, a few seconds each)"
  CXX=clang++ CC=clang scripts/build.sh build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DSONQUARRY_FUZZ=ON -DSONQUARRY_TESTS=OFF -DSONQUARRY_BENCH=OFF \
    -DCMAKE_CXX_FLAGS="-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined"
  local f corpus log rc
  mkdir -p build-fuzz/artifacts
  for f in build-fuzz/fuzz/*_fuzz; do
    [ -x "$f" ] || continue
    corpus=$(mktemp -d)
    # Seeds, where a target has them, get it past the outer layers of its format in seconds.
    [ ! -d "fuzz/corpus/$(basename "$f")" ] || cp "fuzz/corpus/$(basename "$f")"/* "$corpus"/
    log=build-fuzz/artifacts/$(basename "$f").log
    echo "-- $(basename "$f")"
    rc=0
    "$f" -max_total_time="${FUZZ_SECONDS:-10}" -print_final_stats=1 \
      -artifact_prefix=build-fuzz/artifacts/ "$corpus" >"$log" 2>&1 || rc=$?
    rm -rf "$corpus"
    if [ $rc -ne 0 ]; then
      tail -n 40 "$log"
      echo "$(basename "$f") FAILED (exit $rc); reproducer in build-fuzz/artifacts/"
      return 1
    fi
    grep -E '^(stat::number_of_executed_units|stat::new_units_added|stat::peak_rss_mb)' "$log"
  done
}

start=$(date +%s)
for s in "${stages[@]}"; do "stage_$s"; done
echo "all stages passed in $(( $(date +%s) - start )) s"
