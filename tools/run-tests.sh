#!/usr/bin/env bash
# Builds everything and runs every test: the format check, the normal build,
# the layering check, the same tests under AddressSanitizer and
# UndefinedBehaviorSanitizer, and a short run of each fuzzer. QZ_QUICK=1 skips
# the sanitizer build and the fuzzers; QZ_FUZZ_SECONDS sets each fuzzer's time
# (30 s); QZ_BUILD_DIR names the build folder (build). Our code builds with
# -Werror here.
#
# Every stage runs, whatever became of the stages before it. A stage that
# fails (the format check, a build, the layering check, a fuzzer) counts as
# one failure beside the failed tests. The log ends with each failed stage on
# a line of its own, then one line that counts the tests over both builds:
#   ctest: N passed, N failed, N skipped
# The exit status is 1 when anything failed.
set -uo pipefail
cd "$(dirname "$0")/.." || exit 1
jobs=$(nproc)
# The build folders: build, build-asan, build-fuzz and build-kernel, or with
# QZ_BUILD_DIR=build-13 build-13, build-13-asan and so on (for a second
# release's builds beside the first's in one checkout).
out=${QZ_BUILD_DIR:-build}
passed=0 failed=0 skipped=0
failed_stages=()

# Notes a failed stage: named in the summary, and one failure in the count.
stage_failed() {
  failed_stages+=("$1")
  failed=$((failed + 1))
}

# Runs ctest on a build folder and adds its counts to the totals. Each failed
# test counts once; a ctest that fails without naming a failed test (no tests
# found, say) counts as a failed stage.
run_ctest() {
  local stage=$1 dir=$2 status=0
  local log="$dir/ctest.log"
  mkdir -p "$dir"
  ctest --test-dir "$dir" --output-on-failure --no-tests=error -j "$jobs" 2>&1 | tee "$log" || status=$?
  local total fails skips
  total=$(sed -n 's/.*tests failed out of \([0-9]*\).*/\1/p' "$log" | tail -n 1)
  fails=$(sed -n 's/.*, \([0-9]*\) tests failed out of.*/\1/p' "$log" | tail -n 1)
  skips=$(grep -c '\*\*\*Skipped' "$log")
  passed=$((passed + ${total:-0} - ${fails:-0} - skips))
  failed=$((failed + ${fails:-0}))
  skipped=$((skipped + skips))
  if [ "${fails:-0}" -gt 0 ]; then
    failed_stages+=("$stage: ${fails} of ${total} failed")
  elif [ "$status" -ne 0 ]; then
    stage_failed "$stage"
  fi
}

# Configures a build folder and builds a target in it; ninja keeps going past
# a failed target, so that every test that can be built still runs.
build() {
  local stage=$1 dir=$2 target=$3
  shift 3
  if ! cmake -S . -B "$dir" -G Ninja -DQZ_WERROR=ON "$@" >/dev/null; then
    stage_failed "$stage (configure)"
    return
  fi
  cmake --build "$dir" -j "$jobs" --target "$target" -- -k 0 || stage_failed "$stage"
}

echo "== dependencies"
tools/deps.sh || stage_failed "dependencies (tools/deps.sh)"

# The code is laid out by clang-format 14 (Debian 12's); later versions lay
# out some constructs differently, so the check is binding with 14 only.
echo "== format check"
format=""
for candidate in clang-format-14 clang-format; do
  if command -v "$candidate" >/dev/null && "$candidate" --version | grep -q 'version 14\.'; then
    format=$candidate
    break
  fi
done
if [ -n "$format" ]; then
  git ls-files -z -- '*.cpp' '*.h' | xargs -0 "$format" --dry-run --Werror || stage_failed "format check (clang-format 14)"
else
  echo "format check: not run: it is binding with clang-format 14 only, which this release lacks ($(clang-format --version 2>/dev/null | grep -o 'version [0-9.]*' || echo 'no clang-format'))"
fi

# A real kernel for the hidraw test under qemu; without one that test skips.
if [ -z "${QZ_KERNEL_DIR:-}" ]; then
  QZ_KERNEL_DIR=$(tools/fetch-test-kernel.sh "$PWD/$out-kernel" || true)
  if [ -n "$QZ_KERNEL_DIR" ]; then
    export QZ_KERNEL_DIR
  else
    echo "no test kernel could be fetched: link_kernel_test will skip"
  fi
fi

echo "== build"
build "build" "$out" all -DCMAKE_BUILD_TYPE=RelWithDebInfo

echo "== layering check"
tools/check-layering.sh "$out" || stage_failed "layering check"

echo "== test"
run_ctest "tests in $out" "$out"

if [ "${QZ_QUICK:-0}" != 1 ]; then
  echo "== build with AddressSanitizer and UndefinedBehaviorSanitizer"
  build "sanitizer build" "$out-asan" all -DCMAKE_BUILD_TYPE=Debug -DQZ_SANITIZE=ON -DQZ_BUILD_BENCH=OFF
  echo "== test with AddressSanitizer and UndefinedBehaviorSanitizer"
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    run_ctest "tests in $out-asan" "$out-asan"

  echo "== fuzz"
  CC=clang CXX=clang++ build "fuzzer build" "$out-fuzz" qz_fuzzers -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DQZ_BUILD_FUZZ=ON -DQZ_BUILD_TESTS=OFF -DQZ_BUILD_BENCH=OFF
  # One fuzzer a core at a time: each still has a core for its whole time.
  fuzz_work=$out-fuzz/work
  fuzzers=()
  for f in "$out-fuzz"/fuzz/fuzz_*; do
    [ -x "$f" ] || continue
    name=$(basename "$f")
    fuzzers+=("$name")
    mkdir -p "$fuzz_work/$name"
    while [ "$(jobs -rp | wc -l)" -ge "$jobs" ]; do wait -n; done
    (
      "$f" -max_total_time="${QZ_FUZZ_SECONDS:-30}" -print_final_stats=1 -artifact_prefix="$fuzz_work/$name-" \
        "$fuzz_work/$name" "fuzz/corpus/${name#fuzz_}" >"$fuzz_work/$name.log" 2>&1
      echo $? >"$fuzz_work/$name.status"
    ) &
  done
  wait
  for name in "${fuzzers[@]}"; do
    echo "-- $name"
    status=$(cat "$fuzz_work/$name.status")
    if [ "$status" -ne 0 ]; then
      # What the fuzzer found, and where it left the input that shows it.
      tail -n 40 "$fuzz_work/$name.log"
      stage_failed "fuzzer $name (exit $status; log in $fuzz_work/$name.log)"
    else
      tail -n 4 "$fuzz_work/$name.log"
    fi
  done
fi

echo "== summary"
for stage in "${failed_stages[@]}"; do
  echo "FAILED: $stage"
done
echo "ctest: $passed passed, $failed failed, $skipped skipped"
[ "$failed" -eq 0 ] && [ ${#failed_stages[@]} -eq 0 ]
