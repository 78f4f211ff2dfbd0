#!/usr/bin/env bash
# Remakes the bundled sample: tone-maps the source photograph and synthesises
# the dual-fisheye clip from it. Needs Debian's blender-data package only when
# the tone-mapped photograph is to be made anew (--photo).
set -euo pipefail
cd "$(dirname "$0")/.."
EXR=/usr/share/blender/datafiles/studiolights/world/city.exr
if [ "${1:-}" = "--photo" ]; then
  if [ ! -f "$EXR" ]; then
    SUDO=""; [ "$(id -u)" -ne 0 ] && SUDO="sudo"
    $SUDO apt-get install -y -qq --no-install-recommends blender-data
  fi
  # 8-bit: two stops up, Reinhard curve, colour kept.
  ffmpeg -hide_banner -loglevel error -y -i "$EXR" \
    -vf "exposure=exposure=2.0,tonemap=reinhard:desat=0,format=rgb24" samples/city_world.png
fi
cmake -S . -B build -G Ninja >/dev/null
cmake --build build --target make_sample
./build/samples/make_sample --size 1920x960 --frames 90 --fps 30 --gop 30 --crf 23 \
  --yaw-step 0.25 \
  --comment "Sample dual-fisheye clip synthesised from samples/city_world.png (CC0)" \
  samples/city_world.png samples/sample.mp4
