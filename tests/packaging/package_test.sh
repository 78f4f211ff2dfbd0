#!/usr/bin/env bash
# Installs the Debian package as a user does (apt-get install ./x.deb), runs
# what it installed from where it installed it, with a bare environment (no
# FREI0R_PATH, no build folder on any path), then purges it and checks that
# nothing of it is left: the machine is as it was, whether the checks pass or
# not.
#   tests/packaging/package_test.sh <package.deb>
# Needs root (sudo otherwise) and a machine without the package. Prints one
# line per check; the last line counts them, and the exit status is non-zero
# when any failed.
set -uo pipefail
[ $# -eq 1 ] || { echo "usage: $0 <package.deb>" >&2; exit 2; }
ROOT=$(cd "$(dirname "$0")/../.." && pwd)
SAMPLE=$ROOT/samples/sample.mp4
SUDO=
[ "$(id -u)" -eq 0 ] || SUDO=sudo
export DEBIAN_FRONTEND=noninteractive

WORK=$(mktemp -d)
chmod 755 "$WORK"  # apt reads the package as its own user
cp "$1" "$WORK/" || exit 1
DEB=$WORK/$(basename "$1")
chmod 644 "$DEB"
PKG=$(dpkg-deb -f "$DEB" Package) || exit 1
mkdir -p "$WORK/home" "$WORK/out"

passed=0; failed=0
check() {  # <what> <command...>
  local what=$1; shift
  local t0=$SECONDS
  if "$@" >"$WORK/log" 2>&1; then
    passed=$((passed + 1)); echo "ok: $what ($((SECONDS - t0)) s)"
  else
    failed=$((failed + 1)); echo "FAILED: $what"; tail -n 20 "$WORK/log" | sed 's/^/    /'
  fi
}
installed() { dpkg-query -W -f='${Status}' "$PKG" 2>/dev/null | grep -q "install ok installed"; }
# A user's shell, without anything this session set.
bare() { env -i PATH=/usr/local/bin:/usr/bin:/bin HOME="$WORK/home" LANG=C.UTF-8 "$@"; }

# What the package would lay down, and which of those paths were there before
# (shared folders such as /usr/bin), which removing it must keep.
dpkg-deb -c "$DEB" | awk '{print $6}' | sed -e 's|^\./|/|' -e 's|/$||' | grep -v '^/\?$' >"$WORK/contents"
while read -r p; do
  if [ -e "$p" ] || [ -L "$p" ]; then echo "$p"; fi
done <"$WORK/contents" >"$WORK/existed"
clash=$(while read -r p; do [ -d "$p" ] || echo "    $p"; done <"$WORK/existed")
if installed || [ -n "$clash" ]; then
  echo "FAILED: $PKG or one of its files is on this machine already; not touching it"
  [ -z "$clash" ] || echo "$clash"
  echo "0 passed, 1 failed"; rm -rf "$WORK"; exit 1
fi
dpkg-query -W -f='${Package} ${Version} ${Status}\n' | sort >"$WORK/packages-before"
# The system's files by name, to find what a maintainer script leaves beyond
# the package's own list (the package database, caches and logs aside).
system_files() {
  find /etc /usr /var /opt -xdev \( -path /var/lib/dpkg -o -path /var/lib/apt -o -path /var/cache -o -path /var/log \
    -o -path /var/tmp \) -prune -o -print 2>/dev/null | LC_ALL=C sort
}
system_files >"$WORK/files-before"

cleanup() {
  if dpkg-query -W "$PKG" >/dev/null 2>&1; then $SUDO apt-get purge -y -qq "$PKG" >/dev/null 2>&1; fi
  rm -rf "$WORK"
}
trap cleanup EXIT
trap 'exit 130' INT; trap 'exit 143' TERM; trap 'exit 129' HUP  # the purge runs on these too

# Every dependency is on the machine already: the install adds this one
# package (it recommends none), and the purge can give the machine back as it was.
adds_only_itself() {
  printf 'Source: x\n\nPackage: x\nArchitecture: any\n' >"$WORK/control"
  dpkg-checkbuilddeps -d "$(dpkg-deb -f "$DEB" Depends)" "$WORK/control" &&
    [ -z "$(dpkg-deb -f "$DEB" Recommends Pre-Depends)" ]
}
check "installs without adding other packages" adds_only_itself
if [ "$failed" -ne 0 ]; then echo "$passed passed, $failed failed"; exit 1; fi
check "apt-get install ./$(basename "$DEB")" $SUDO apt-get install -y -qq --no-install-recommends "$DEB"
if ! installed; then echo "$passed passed, $((failed + 1)) failed"; exit 1; fi
dpkg-query -L "$PKG" | grep -v '^/\.$' >"$WORK/listed"

from_usr_bin() {
  [ "$(bare bash -c 'command -v stitcher')" = /usr/bin/stitcher ] || return 1
  ! readelf -d /usr/bin/stitcher | grep -E 'RPATH|RUNPATH' || return 1
  local lib path
  for lib in libdec.so.1 libspherecast.so.1; do
    path=$(bare ldd /usr/bin/stitcher | awk -v l=$lib '$1 == l {print $3}')
    echo "$lib: $path"
    [ -n "$path" ] && xargs -d '\n' realpath -q <"$WORK/listed" | grep -qxF "$(realpath "$path")" || return 1
  done
}
check "stitcher is /usr/bin/stitcher and takes its libraries from the package" from_usr_bin

info() {
  bare stitcher --info "$SAMPLE" >"$WORK/info" || return 1
  cat "$WORK/info"
  grep -q '^video: H.264 1920x960, 90 frames' "$WORK/info"
}
check "stitcher --info on the sample" info

short_stitch() {
  (cd "$WORK/out" && bare stitcher --engine cpu --size 64 --frames 3 "$SAMPLE" pano.mp4) || return 1
  ffprobe -v error -count_frames -select_streams v -show_entries stream=width,height,nb_read_frames \
    -of default=nw=1 "$WORK/out/pano.mp4" | tee "$WORK/probe"
  [ "$(tr '\n' ' ' <"$WORK/probe")" = "width=128 height=64 nb_read_frames=3 " ]
}
check "a short stitch from /usr/bin" short_stitch

# The filter's folder is one that the hosts search by themselves; two frames
# of 256x128 come out of each.
frames=$((256 * 128 * 3 * 2))
in_ffmpeg() {
  bare ffmpeg -nostdin -loglevel error -i "$SAMPLE" -frames:v 2 -vf scale=256:128,frei0r=dualfisheye360 \
    -f rawvideo -pix_fmt rgb24 "$WORK/out/ffmpeg.rgb" || return 1
  [ "$(stat -c %s "$WORK/out/ffmpeg.rgb")" -eq "$frames" ]
}
check "ffmpeg loads the filter without FREI0R_PATH" in_ffmpeg

in_melt() {
  printf '%s\n' width=256 height=128 frame_rate_num=30 frame_rate_den=1 progressive=1 sample_aspect_num=1 \
    sample_aspect_den=1 display_aspect_num=2 display_aspect_den=1 colorspace=601 'description=dual fisheye' >"$WORK/profile"
  bare melt -query filter=frei0r.dualfisheye360 | grep -q 'identifier: frei0r.dualfisheye360' || return 1
  bare melt -silent -profile "$WORK/profile" "$SAMPLE" out=1 -filter frei0r.dualfisheye360 \
    -consumer "avformat:$WORK/out/melt.rgb" f=rawvideo pix_fmt=rgb24 real_time=-1 >/dev/null || return 1
  [ "$(stat -c %s "$WORK/out/melt.rgb")" -eq "$frames" ]
}
check "melt finds and runs the filter without FREI0R_PATH" in_melt

editors() {
  grep -q 'tag="frei0r.dualfisheye360"' /usr/share/kdenlive/effects/frei0r_dualfisheye360.xml &&
    grep -q 'frei0r.dualfisheye360' /usr/share/shotcut/qml/filters/dualfisheye360/meta_dualfisheye360.qml &&
    [ -f /usr/share/shotcut/qml/filters/dualfisheye360/ui.qml ]
}
check "the editors' files where Kdenlive and Shotcut look, naming the filter melt found" editors

manual() {
  zcat /usr/share/man/man1/stitcher.1.gz | grep -q '^\.SH OPTIONS' || return 1
  if command -v man >/dev/null; then [ "$(bare man -w stitcher)" = /usr/share/man/man1/stitcher.1.gz ]; fi
}
check "man stitcher" manual

completes() {
  bare bash -c 'source /usr/share/bash-completion/completions/stitcher
    COMP_WORDS=(stitcher --co); COMP_CWORD=1; _stitcher; echo "${COMPREPLY[*]}"' >"$WORK/completed"
  cat "$WORK/completed"
  [ "$(cat "$WORK/completed")" = "--codec --color-match" ]
}
check "bash completes the options" completes

# A host built against the installed headers and libraries, as a plug-in is.
host() {
  cat >"$WORK/host.cpp" <<'CPP'
#include <Spherecast.h>
#include <libdec.h>
#include <cstdio>
int main(int argc, char** argv) {
    void* clip = PRDOpen(argv[1]);
    _MediaInfo info{};
    if (!clip || PRDGetMediaInfo(clip, info) != 0) return 1;
    std::printf("%ux%u, %u frames\n", info.width, info.height, info.frames);
    PRDClose(clip);
    if (argc > 2) Spherecast renderer(argv[2], 16, info.width, info.height, Spherecast::Stitch);
    return 0;
}
CPP
  bare g++ -std=c++17 -o "$WORK/host" "$WORK/host.cpp" -ldec -lspherecast || return 1
  bare "$WORK/host" "$SAMPLE" | tee "$WORK/host.out"
  grep -qx "1920x960, 90 frames" "$WORK/host.out"
}
check "a host builds on the installed headers and libraries" host

# The declared dependencies are those dpkg-shlibdeps finds for the installed
# programs and libraries (a dependency on the package itself left out).
dependencies() {
  local f elves=() found declared
  while read -r f; do
    if [ -f "$f" ] && [ ! -L "$f" ] && [ "$(head -c 4 "$f" | od -An -c | tr -d ' ')" = 177ELF ]; then elves+=("$f"); fi
  done <"$WORK/listed"
  echo "binaries: ${elves[*]}"
  mkdir -p "$WORK/shlibs/debian" && : >"$WORK/shlibs/debian/control"
  found=$(cd "$WORK/shlibs" && dpkg-shlibdeps -O -x"$PKG" "${elves[@]}" | sed -n 's/^shlibs:Depends=//p' | sed 's/, /\n/g' | sort)
  declared=$(dpkg-query -W -f='${Depends}' "$PKG" | sed 's/, /\n/g' | sort)
  printf 'found:\n%s\ndeclared:\n%s\n' "$found" "$declared"
  [ "${#elves[@]}" -ge 4 ] && [ -n "$found" ] && [ "$found" = "$declared" ]
}
check "the declared dependencies are those dpkg-shlibdeps finds" dependencies

check "apt-get purge $PKG" $SUDO apt-get purge -y -qq "$PKG"
nothing_left() {
  local p left=0
  while read -r p; do
    if { [ -e "$p" ] || [ -L "$p" ]; } && ! grep -qxF "$p" "$WORK/existed"; then echo "left: $p"; left=1; fi
  done <"$WORK/listed"
  if ldconfig -p | grep -E 'libdec\.so|libspherecast\.so'; then left=1; fi
  dpkg-query -W -f='${Package} ${Version} ${Status}\n' | sort | diff "$WORK/packages-before" - || left=1
  system_files | diff "$WORK/files-before" - || left=1
  [ "$left" -eq 0 ] && [ "$(wc -l <"$WORK/listed")" -gt 20 ]
}
check "nothing of it is left" nothing_left

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
