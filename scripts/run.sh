#!/usr/bin/env bash
# Main job: installs what is missing, builds the stitcher and runs it.
#   ./scripts/run.sh                      stitches the bundled sample into out/
#   ./scripts/run.sh [stitcher options]   runs the stitcher with these arguments
# The stitcher picks its engine itself (GL on a GPU, else the CPU engine) and
# needs no display: without one the GL engine renders through EGL.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
# Only the stitcher: no test framework or benchmarks are configured.
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DDFS_TESTS=OFF -DDFS_BENCH=OFF >/dev/null
cmake --build build -j"$(nproc)" --target stitcher
if [ $# -gt 0 ]; then
  exec ./build/stitcher/stitcher "$@"
fi

mkdir -p out
./build/stitcher/stitcher --info samples/sample.mp4
./build/stitcher/stitcher -y samples/sample.mp4 out/sample_360.mp4
./build/stitcher/stitcher -y --frame 45 samples/sample.mp4 out/sample_preview.png
echo
echo "360 video (H.264 + AAC, tagged equirectangular): $(pwd)/out/sample_360.mp4"
echo "preview picture (frame 45):                      $(pwd)/out/sample_preview.png"
