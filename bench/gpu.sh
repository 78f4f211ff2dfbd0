#!/usr/bin/env bash
# The GL engine against the CPU engine on this machine's GPU: builds what it
# needs (a release build of the benchmark alone, in build-gpu/) and prints
# frames per second of each at a 3840 x 1920 panorama from a 5760 x 2880
# frame, each frame uploaded, stitched in both passes and read back.
# Needs no display (EGL); on a software rasterizer it runs all the same,
# slowly: use a small size there (--size 256 --frame 1440x720) as a check.
#
#   bench/gpu.sh [--size N] [--frame WxH] [--frames N] [--rounds N]
#
# Built and run within about 3 minutes on a machine with a few cores; the
# build uses the compiler cache where one is set up (CCACHE_DIR). GPU_BUILD
# names another build folder with the benchmarks configured, to build in
# (only bench_gpu is built; an existing folder is not configured again).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${GPU_BUILD:-build-gpu}
start=$(date +%s)
if ! command -v cmake >/dev/null || ! pkg-config --exists libavcodec libhwy egl glfw3 2>/dev/null; then
  echo "installing what the build needs (scripts/setup.sh test)"
  bash scripts/setup.sh test
fi
if [ ! -f "$build/CMakeCache.txt" ]; then
  launcher=()
  if command -v ccache >/dev/null; then
    launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
  fi
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DDFS_TESTS=OFF -DDFS_BENCH=ON "${launcher[@]}" >/dev/null
fi
cmake --build "$build" -j"$(nproc)" --target bench_gpu >/dev/null
echo "built in $(( $(date +%s) - start )) s"
nvidia-smi --query-gpu=name,driver_version --format=csv,noheader 2>/dev/null || true
"$build/bench/bench_gpu" "$@"
echo "done in $(( $(date +%s) - start )) s"
