#!/usr/bin/env bash
# Builds everything and runs every test: the regular build without a display
# (the renderers through EGL); a clang build with AddressSanitizer +
# UndefinedBehaviorSanitizer under a display (the renderers through hidden
# windows), plus a short run of every libFuzzer target; and a clang build with
# ThreadSanitizer of one test per threaded path. Every step runs even when an
# earlier one fails; the last line counts every test and every fuzz target,
# and the exit status is non-zero when any of them (or a build) failed.
set -uo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)

bash scripts/setup.sh test || { echo "set-up failed"; echo "0 passed, 1 failed"; exit 1; }

JOBS=$(nproc)
FUZZ_SECONDS=${FUZZ_SECONDS:-10}
export LIBGL_ALWAYS_SOFTWARE=1   # llvmpipe, under Xvfb and through EGL alike
LOGS=$ROOT/build-logs
rm -rf "$LOGS"; mkdir -p "$LOGS"

# The three builds' tests share one folder of test clips, so that each is
# made once (a clip whose recipe changed is made again).
export DFS_TEST_CLIP_DIR=$ROOT/build-testclips

passed=0; failed=0; failures=()
fail() { failed=$((failed + 1)); failures+=("$1"); }

# Adds a ctest log's counts; a log without its summary line (ctest did not
# get to the end) counts as one failure.
count_ctest() {  # <log> <name>
  local line total nfail
  line=$(grep -E 'tests passed, [0-9]+ tests failed out of [0-9]+' "$1" 2>/dev/null | tail -1)
  if [ -z "$line" ]; then fail "$2 (no summary)"; return; fi
  total=$(echo "$line" | sed -E 's/.*out of ([0-9]+).*/\1/')
  nfail=$(echo "$line" | sed -E 's/.* ([0-9]+) tests failed.*/\1/')
  passed=$((passed + total - nfail)); failed=$((failed + nfail))
  [ "$nfail" -eq 0 ] || { failures+=("$2: $nfail"); print_failed_output "$1"; }
}

# Each failed test's own output (a sanitizer's report, an assertion), from
# the ctest log: its first 45 and last 15 lines, so that a failure on a
# machine where only the printed output comes back can be read.
print_failed_output() {  # <log>
  awk '
    function flush(  i, s) {
      if (n == 0) return
      for (i = 0; i < n; i++) if (i < 45 || i >= n - 15) print buf[i]; else if (i == 45) print "[...]"
      n = 0
    }
    /^ *[0-9]+\/[0-9]+ Test +#[0-9]+: / || /^ *Start +[0-9]+: / || /^The following tests FAILED:/ {
      flush(); keep = ($0 ~ / Test +#/ && $0 !~ / Passed +[0-9.]+ sec$/)
    }
    keep { buf[n++] = $0 }
    END { flush() }
  ' "$1"
}

# The renderers take an OpenGL context through an X display (a hidden
# window) where there is one, and headless through EGL where there is none.
run_ctest_headless() {  # <build dir> <log name> [ctest options]
  local dir=$1 log=$2; shift 2
  env -u DISPLAY -u WAYLAND_DISPLAY ctest --test-dir "$dir" -j"$JOBS" --output-on-failure "$@" >"$LOGS/$log.log" 2>&1
  tail -n 3 "$LOGS/$log.log"; count_ctest "$LOGS/$log.log" "$log"
}

run_ctest_display() {  # <build dir> <log name> [ctest options]
  local dir=$1 log=$2; shift 2
  local runner=()
  if [ -z "${DISPLAY:-}" ]; then runner=(xvfb-run -a -s "-screen 0 1280x1024x24"); fi
  "${runner[@]}" ctest --test-dir "$dir" -j"$JOBS" --output-on-failure "$@" >"$LOGS/$log.log" 2>&1
  tail -n 3 "$LOGS/$log.log"; count_ctest "$LOGS/$log.log" "$log"
}

build() {  # <log name> <build dir> [cmake --build options]
  local log=$1 dir=$2; shift 2
  if ! cmake --build "$dir" -j"$JOBS" "$@" >"$LOGS/$log.log" 2>&1; then
    tail -n 40 "$LOGS/$log.log"; fail "$log"; return 1
  fi
}

# The longest picture-accuracy comparisons only measure how close pictures
# come, or how closely a measure agrees with itself at other sizes (on worlds
# drawn at random among them): their code paths run under the
# sanitizers in the other tests.
accuracy='^(CpuEngineTest\.MatchesTheRendererAndTheTruth|CalibrationRefine\.RefinedStitchIsAsGoodAsTheTrueCalibrations|StitcherCalibration\.RefinedFromTheClipsPictures|StabilizeTest\.LevelsWorldsItWasNotTunedOn|FalloffWorlds\..*'
accuracy+='|RefineDepth\.NearThingsDoNotPullTheCalibration|SeamDepth\.(NearThingsLineUpAtTheSeams|StillSceneGivesStillSeams|WalkerAcrossTheSeamIsNotDoubled|NearThingsDoNotThrowTheGains|TheMeasureInDegreesDoesNotDependOnThePanoramasSize)'
accuracy+='|ViewTest\.(FlatAndPlanetViewsMatchTheWorld|FlatViewIsSharperThanV360OnThePanorama)|Masters\.ColoursOfTheEightBitVideoAndSoundKept'
accuracy+='|StabilizeTest\.MeasuresTheCameraAndPlansThePath)$'

# The sound, damaged frames and files of a run are the engines' alike: under
# the sanitizers they run on the CPU engine (the GL engine runs there in its
# own tests and in the pictures, video and seams of the whole program).
engineFree='^Engines/(StitcherAudio|StitcherDamage|StitcherFiles)\..*/gl( |$)'

echo "== Regular build, tests without a display (renderers through EGL)"
# Line tables are debug information enough for a test run's backtraces, and
# build in two thirds of the time of full debug information.
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DDFS_TESTS=ON -DDFS_BENCH=ON \
  -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 -g1 -DNDEBUG" -DCMAKE_C_FLAGS_RELWITHDEBINFO="-O2 -g1 -DNDEBUG" >/dev/null &&
  build build-regular build && run_ctest_headless build tests

echo "== Debian package: built from the regular build, installed, run from /usr/bin, purged"
# The package is installed into this machine for the length of its test (as
# root, as CI runs) and purged again, pass or fail; each check is one test.
if bash scripts/package.sh build >"$LOGS/package-build.log" 2>&1; then
  bash tests/packaging/package_test.sh "$(tail -n 1 "$LOGS/package-build.log")" >"$LOGS/package.log" 2>&1
  grep -v '^ok:' "$LOGS/package.log"
  line=$(grep -E '^[0-9]+ passed, [0-9]+ failed$' "$LOGS/package.log" | tail -1)
  if [ -z "$line" ]; then
    fail "package (no summary)"
  else
    n=${line%% passed*}; m=${line##*, }; m=${m%% failed}
    passed=$((passed + n)); failed=$((failed + m))
    [ "$m" -eq 0 ] || failures+=("package: $m")
  fi
else
  tail -n 40 "$LOGS/package-build.log"; fail "package-build"
fi

echo "== Sanitizer build (clang, ASan + UBSan, fuzz targets), tests with a display"
# The farm script's run on a Slurm cluster checks the script and the
# scheduler: the stitcher's farm modes run under the sanitizers in Farm.*.
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:detect_odr_violation=0"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
export LSAN_OPTIONS="suppressions=$ROOT/tests/lsan.supp:print_suppressions=0"
# The leak checker is the exact test of the renderers' lifecycle here: the
# memory-growth test needs fewer cycles than its 30 without it.
export RENDERER_CYCLES=10
CC=clang CXX=clang++ cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug \
  -DCMAKE_CXX_FLAGS_DEBUG="-O1 -g1" -DCMAKE_C_FLAGS_DEBUG="-O1 -g1" \
  -DDFS_SANITIZE=ON -DDFS_FUZZ=ON -DDFS_BENCH=OFF >/dev/null &&
  build build-asan build-asan && run_ctest_display build-asan tests-asan -E "$accuracy|$engineFree|^FarmSlurm\."

echo "== Fuzzing (${FUZZ_SECONDS}s per target)"
# The targets run side by side, one per core; their verdicts are read in order.
fuzz_one() {  # <target>
  local f=$1 name corpus_src work rc
  name=$(basename "$f")
  corpus_src="fuzz/corpus/${name#fuzz_}"
  work=$(mktemp -d)
  [ -d "$corpus_src" ] && cp -r "$corpus_src"/. "$work"/
  "$f" -max_total_time="$FUZZ_SECONDS" -timeout=10 -rss_limit_mb=2048 -print_final_stats=0 "$work" \
    >"$LOGS/$name.log" 2>&1
  rc=$?
  rm -rf "$work"
  echo "$rc" >"$LOGS/$name.rc"
}
fuzzers=()
for f in build-asan/fuzz/fuzz_*; do [ -x "$f" ] && fuzzers+=("$f"); done
running=0
for f in "${fuzzers[@]}"; do
  fuzz_one "$f" &
  running=$((running + 1))
  if [ "$running" -ge "$JOBS" ]; then wait -n; running=$((running - 1)); fi
done
wait
for f in "${fuzzers[@]}"; do
  name=$(basename "$f")
  if [ "$(cat "$LOGS/$name.rc" 2>/dev/null)" = 0 ]; then
    passed=$((passed + 1)); echo "-- $name clean"
  else
    tail -50 "$LOGS/$name.log"; echo "-- $name FAILED"; fail "$name"
  fi
done

echo "== ThreadSanitizer build (clang), one test per threaded path"
# The uninstrumented libraries (codecs, GL driver) synchronise in ways the
# sanitizer cannot see: only races between our own accesses are reported.
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:ignore_noninstrumented_modules=1:suppressions=$ROOT/tests/tsan.supp"
# Each threaded path once: the pipeline's stages, the worker pool, the CPU
# engine's threads, the one frame pass, colour matching's gains applied on threads, the calibration
# alignment's pool, the reader, the plan's measuring threads and the
# stabilisation pass (a stabilised plan, its segments and whole runs of the
# program), the program's whole run with sound, the frei0r instance called
# from several threads, the seam tracker measuring its bins on threads, and
# the fall-off measure reading on two decoders at once.
tsan_targets=(stitcher make_sample stitcher_pipeline_pipeline_test stitcher_util_worker_pool_test
              stitcher_engine_cpu_cpu_engine_test stitcher_color_color_match_test
              stitcher_calibrate_calibration_refine_test stitcher_input_reader_test stitcher_farm_farm_test
              stitcher_app_stitcher_test frei0r_instance_test stitcher_util_frame_pass_test stitcher_seam_seam_test
              stitcher_stabilize_falloff_turns_test)
# (A parameterised test's name goes on after a space.)
tsan_tests='^(Pipeline\..*|WorkerPool\..*|FramePass\..*|CpuEngineTest\.SameBytesOnAnyThreadsAndInstructionSet'
tsan_tests+='|ColorMatch\.ApplyScalesEachLensCircleOnly|CalibrationRefine\.KeepsTheStartWhenItCannotDoBetter'
tsan_tests+='|Reader\.FramesInOrderWithTheirSoundAndTheLastGoodPictureForADamagedOne'
tsan_tests+='|Farm\.PlannedGainsAreThoseOfOnePassInOrder|Farm\.StabilisedSegmentsTurnAsTheWholeRun'
tsan_tests+='|Engines/StitcherVideo\.SmallClipMatchesPhotographFramesAudioAndMetadata/cpu'
tsan_tests+='|Frei0rInstance\.ThreadsAndShuffledOrderGiveTheInOrderFrames|FalloffTurns\..*|SeamDepth\.OnlyTheBandsChangeAndTheFarFieldStaysAsItIs)( |$)'
CC=clang CXX=clang++ cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=Debug \
  -DCMAKE_CXX_FLAGS_DEBUG="-O1 -g1" -DCMAKE_C_FLAGS_DEBUG="-O1 -g1" \
  -DDFS_TSAN=ON -DDFS_BENCH=OFF >/dev/null &&
  build build-tsan build-tsan --target "${tsan_targets[@]}" &&
  run_ctest_headless build-tsan tests-tsan -R "$tsan_tests"

echo
for f in "${failures[@]}"; do echo "failed: $f"; done
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
