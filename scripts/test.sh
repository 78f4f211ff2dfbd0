#!/usr/bin/env bash
# Builds everything and runs every test: the regular build without a display
# (the renderers through EGL), then a clang build with AddressSanitizer +
# UndefinedBehaviorSanitizer under a display (the renderers through hidden
# windows), plus a short run of every libFuzzer target. Fails on any test
# failure or sanitizer report.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)

bash scripts/setup.sh

JOBS=$(nproc)
FUZZ_SECONDS=${FUZZ_SECONDS:-10}
export LIBGL_ALWAYS_SOFTWARE=1   # llvmpipe, under Xvfb and through EGL alike
LOGS=$ROOT/build-logs
mkdir -p "$LOGS"

# The renderers take an OpenGL context through an X display (a hidden
# window) where there is one, and headless through EGL where there is none.
# Each build runs every suite once, the two builds on the two paths.
run_ctest_headless() {  # <build dir> <log name> [ctest options]
  local dir=$1 log=$2; shift 2
  env -u DISPLAY -u WAYLAND_DISPLAY ctest --test-dir "$dir" -j"$JOBS" --output-on-failure "$@" 2>&1 | tee "$LOGS/$log.log"
  return "${PIPESTATUS[0]}"
}

run_ctest_display() {  # <build dir> <log name> [ctest options]
  local dir=$1 log=$2; shift 2
  local runner=()
  if [ -z "${DISPLAY:-}" ]; then runner=(xvfb-run -a -s "-screen 0 1280x1024x24"); fi
  "${runner[@]}" ctest --test-dir "$dir" -j"$JOBS" --output-on-failure "$@" 2>&1 | tee "$LOGS/$log.log"
  return "${PIPESTATUS[0]}"
}

echo "== Regular build"
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$JOBS"
echo "== Tests without a display (renderers through EGL)"
run_ctest_headless build tests

echo "== Sanitizer build (clang, ASan + UBSan, fuzz targets)"
CC=clang CXX=clang++ cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug \
  -DCMAKE_CXX_FLAGS_DEBUG="-O1 -g1" -DCMAKE_C_FLAGS_DEBUG="-O1 -g1" \
  -DDFS_SANITIZE=ON -DDFS_FUZZ=ON -DDFS_BENCH=OFF >/dev/null
cmake --build build-asan -j"$JOBS"
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:detect_odr_violation=0"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
export LSAN_OPTIONS="suppressions=$ROOT/tests/lsan.supp:print_suppressions=0"
echo "== Tests under sanitizers, with a display (renderers through hidden windows)"
# The longest picture-accuracy comparisons only measure how close pictures
# come: their code paths run under the sanitizers in the other tests.
accuracy='^(CpuEngineTest\.MatchesTheRendererAndTheTruth|CalibrationRefine\.RefinedStitchIsAsGoodAsTheTrueCalibrations|StitcherCalibration\.RefinedFromTheClipsPictures)$'
run_ctest_display build-asan tests-asan -E "$accuracy"

echo "== Fuzzing (${FUZZ_SECONDS}s per target)"
fuzzed=0
for f in build-asan/fuzz/fuzz_*; do
  [ -x "$f" ] || continue
  name=$(basename "$f")
  corpus_src="fuzz/corpus/${name#fuzz_}"
  work=$(mktemp -d)
  [ -d "$corpus_src" ] && cp -r "$corpus_src"/. "$work"/
  echo "-- $name"
  "$f" -max_total_time="$FUZZ_SECONDS" -timeout=10 -rss_limit_mb=2048 -print_final_stats=0 "$work" \
    >"$LOGS/$name.log" 2>&1 || { tail -50 "$LOGS/$name.log"; echo "$name FAILED"; exit 1; }
  rm -rf "$work"
  fuzzed=$((fuzzed + 1))
done

passed=0; failed=0
for l in "$LOGS"/tests{,-asan}.log; do
  line=$(grep -E 'tests passed, [0-9]+ tests failed out of [0-9]+' "$l" | tail -1)
  total=$(echo "$line" | sed -E 's/.*out of ([0-9]+).*/\1/')
  nfail=$(echo "$line" | sed -E 's/.* ([0-9]+) tests failed.*/\1/')
  passed=$((passed + total - nfail)); failed=$((failed + nfail))
done
echo "fuzz targets run clean: $fuzzed"
echo "$passed passed, $failed failed"
