#!/usr/bin/env bash
# Builds the Debian package into dist/: dist/dualfisheye-stitch_<version>_<arch>.deb.
#   scripts/package.sh [build folder]
# The build folder (default build/) is reused as it is configured, so that a
# package after the tests costs no new compile; it is set to install under
# /usr, the package's prefix. A new folder is configured as scripts/run.sh
# configures build/. Prints the package's path.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)
BUILD=${1:-build}

bash scripts/setup.sh
if [ -f "$BUILD/CMakeCache.txt" ]; then
  cmake -S . -B "$BUILD" -DCMAKE_INSTALL_PREFIX=/usr >/dev/null
else
  cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DDFS_TESTS=OFF -DDFS_BENCH=OFF \
    -DCMAKE_INSTALL_PREFIX=/usr >/dev/null
fi
# Everything the package holds; the frei0r filter is built where frei0r.h is
# there, which setup.sh installs.
cmake --build "$BUILD" -j"$(nproc)" --target stitcher dec spherecast dualfisheye360 stitcher_manual

# CPack stages its files and finds the dependencies in a folder of its own.
STAGE=$(cd "$BUILD" && pwd)/cpack
rm -rf "$STAGE"
(cd "$BUILD" && cpack -G DEB -B "$STAGE" >/dev/null) || {
  echo "package.sh: cpack failed; its log: $STAGE/_CPack_Packages" >&2
  exit 1
}
mkdir -p dist
debs=("$STAGE"/*.deb)
rm -f dist/"$(dpkg-deb -f "${debs[0]}" Package)"_*.deb
mv "${debs[0]}" dist/
rm -rf "$STAGE"
echo "$ROOT/dist/$(basename "${debs[0]}")"
