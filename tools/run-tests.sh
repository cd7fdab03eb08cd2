#!/usr/bin/env bash
# Builds everything and runs every test: the format check, the normal build,
# the same tests under AddressSanitizer and UndefinedBehaviorSanitizer, and a
# short run of each fuzzer. QZ_QUICK=1 skips the sanitizer build and the fuzzers.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/deps.sh
jobs=$(nproc)
passed=0 failed=0 skipped=0
# Runs ctest on a build folder and adds its counts to the totals.
run_ctest() {
  local log="$1/ctest.log" status=0
  ctest --test-dir "$1" --output-on-failure -j "$jobs" 2>&1 | tee "$log" || status=$?
  local total fails skips
  total=$(sed -n 's/.*tests failed out of \([0-9]*\).*/\1/p' "$log" | tail -n 1)
  fails=$(sed -n 's/.*, \([0-9]*\) tests failed out of.*/\1/p' "$log" | tail -n 1)
  skips=$(grep -c '\*\*\*Skipped' "$log" || true)
  passed=$((passed + ${total:-0} - ${fails:-0} - skips))
  failed=$((failed + ${fails:-0}))
  skipped=$((skipped + skips))
  return "$status"
}

echo "== format check"
git ls-files -- '*.cpp' '*.h' | xargs clang-format --dry-run --Werror

# A real kernel for the hidraw test under qemu; without one that test skips.
if [ -z "${QZ_KERNEL_DIR:-}" ]; then
  QZ_KERNEL_DIR=$(tools/fetch-test-kernel.sh "$PWD/build-kernel" || true)
  [ -n "$QZ_KERNEL_DIR" ] && export QZ_KERNEL_DIR || echo "no test kernel could be fetched: link_kernel_test will skip"
fi

echo "== build and test"
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQZ_WERROR=ON >/dev/null
cmake --build build -j "$jobs"
run_ctest build

if [ "${QZ_QUICK:-0}" != 1 ]; then
  echo "== build and test with AddressSanitizer and UndefinedBehaviorSanitizer"
  cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DQZ_SANITIZE=ON -DQZ_BUILD_BENCH=OFF -DQZ_WERROR=ON >/dev/null
  cmake --build build-asan -j "$jobs"
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    run_ctest build-asan

  echo "== fuzz"
  CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DQZ_BUILD_FUZZ=ON -DQZ_BUILD_TESTS=OFF -DQZ_BUILD_BENCH=OFF -DQZ_WERROR=ON >/dev/null
  cmake --build build-fuzz -j "$jobs" --target qz_fuzzers
  for f in build-fuzz/fuzz/fuzz_*; do
    [ -x "$f" ] || continue
    name=$(basename "$f")
    corpus="fuzz/corpus/${name#fuzz_}"
    mkdir -p build-fuzz/work/"$name"
    echo "-- $name"
    "$f" -max_total_time="${QZ_FUZZ_SECONDS:-30}" -print_final_stats=1 build-fuzz/work/"$name" "$corpus" 2>&1 | tail -n 4
  done
fi

echo "ctest: $passed passed, $failed failed, $skipped skipped"
