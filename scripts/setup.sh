#!/usr/bin/env bash
# Installs what is missing from Debian 12 packages.
#   scripts/setup.sh        what building and running the stitcher needs
#   scripts/setup.sh test   that, and what the tests, sanitizer builds and
#                           benchmarks need (test framework, clang, ffmpeg, Xvfb)
# Idempotent and non-interactive: does nothing when everything is present.
set -euo pipefail

PKGS=(
  build-essential cmake ninja-build pkg-config
  libavcodec-dev libavformat-dev libavutil-dev libswscale-dev libswresample-dev
  libfaad-dev
  libglfw3-dev libglew-dev libglm-dev libgl1-mesa-dev libgl1-mesa-dri
  libegl-dev libopengl-dev libegl-mesa0
  libx264-dev libhwy-dev  # libavcodec brings libx265 too, for --codec hevc
  libjpeg-dev             # .jpg pictures
  frei0r-plugins-dev      # frei0r.h, for the frei0r filter
)
if [ "${1:-}" = "test" ]; then
  PKGS+=(
    git libgtest-dev googletest
    xvfb xauth
    ffmpeg libavfilter-dev
    clang libclang-rt-14-dev lld  # lld links the sanitizer build's test programs
    # The frei0r filter's hosts: FFmpeg's frei0r filter (Debian's ffmpeg has
    # it), melt, and gst-launch-1.0 with the frei0r elements (plugins-bad),
    # qtdemux (good), videoconvert (base) and the H.264 decoder (libav).
    melt gstreamer1.0-tools gstreamer1.0-plugins-base gstreamer1.0-plugins-good
    gstreamer1.0-plugins-bad gstreamer1.0-libav
    slurm-wlm munge  # the farm test's one-machine cluster
    libimage-exiftool-perl  # reads back the 360 tags of pictures and videos
  )
fi

missing=()
for p in "${PKGS[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
