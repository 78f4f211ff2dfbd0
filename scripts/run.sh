#!/usr/bin/env bash
# Main job: builds the project and stitches the bundled sample clip.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)" --target stitcher
runner=()
if [ -z "${DISPLAY:-}" ]; then runner=(xvfb-run -a -s "-screen 0 1280x1024x24"); fi
exec "${runner[@]}" ./build/stitcher/stitcher "$@"
