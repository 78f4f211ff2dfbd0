#!/usr/bin/env bash
# Checks that two builds of the tool give the same output byte for byte:
#
#   tests/same_output.sh OLD_BUILD_DIR NEW_BUILD_DIR [CASE_REGEX]
#
# Runs one set of command lines with the stitcher of each build (and the
# frei0r filter of each build inside ffmpeg) on small clips made here, and
# compares, per command line, every file it wrote, its standard output, its
# exit code and its standard error (with times and rates masked). Prints each
# command line's verdict and a final count; exits non-zero on any difference.
# CASE_REGEX runs only the cases whose names match it. KEEP=1 keeps the work
# folder (its path is printed) to look at a difference.
#
# The GL engine runs through EGL on the software rasterizer (no display);
# its output is the same run to run on one machine. Not compared, since they
# are not the same run to run on one build: the times and rates in the
# messages (masked) and the reader's diagnostics log (each run's HOME has no
# log folder, so none is written).
set -uo pipefail

if [ $# -lt 2 ]; then
  echo "usage: $0 OLD_BUILD_DIR NEW_BUILD_DIR [CASE_REGEX]" >&2
  exit 2
fi
OLD=$(cd "$1" && pwd) || exit 2
NEW=$(cd "$2" && pwd) || exit 2
ONLY=${3:-}
ROOT=$(cd "$(dirname "$0")/.." && pwd)
PHOTO=$ROOT/samples/city_world.png

for b in "$OLD" "$NEW"; do
  for f in stitcher/stitcher samples/make_sample frei0r-1/dualfisheye360.so; do
    [ -e "$b/$f" ] || { echo "missing $b/$f (build the stitcher, make_sample and dualfisheye360)" >&2; exit 2; }
  done
done

WORK=$(mktemp -d /tmp/same_output.XXXXXX)
if [ -z "${KEEP:-}" ]; then trap 'rm -rf "$WORK"' EXIT; else echo "work folder: $WORK"; fi
export LIBGL_ALWAYS_SOFTWARE=1
unset DISPLAY WAYLAND_DISPLAY

# The clips, made once with the old build's clip maker: both builds read the
# same bytes.
C=$WORK/clips
mkdir -p "$C" "$WORK/home"
mk() { "$OLD/samples/make_sample" --preset ultrafast --gop 4 "$@" >/dev/null || { echo "cannot make clip: $*" >&2; exit 2; }; }
ff() { ffmpeg -hide_banner -loglevel error -nostdin -y "$@" || { echo "ffmpeg failed: $*" >&2; exit 2; }; }
mk --size 384x192 --frames 8 --yaw-step 1 --comment "same output" "$PHOTO" "$C/a.mp4"
# Lenses that meter apart and fall off toward their rims.
mk --size 384x192 --frames 8 --yaw-step 3 --no-audio --tint 0.85,1.0,1.15 --vignette -0.25,-0.17,-0.22,-0.10 \
  "$PHOTO" "$C/v.mp4"
# No sound, no calibration record: the built-in calibration.
mk --size 320x160 --frames 5 --no-audio --no-record "$PHOTO" "$C/n.mp4"
# A camera mounted upside down (a display matrix of half a turn).
ff -i "$C/a.mp4" -map 0 -c copy -metadata:s:v:0 rotate=180 "$C/r.mp4"
# Sound that is not AAC; six channels.
ff -i "$C/a.mp4" -map 0 -c copy -c:a libmp3lame "$C/mp3.mp4"
ff -i "$C/a.mp4" -map 0 -c copy -c:a aac -ac 6 "$C/six.mp4"
OFFSET=2_713.649_713.933_708.05_-2.65_-1.599_-0.358_712.403_2165.5_727.583_177.35_-180.54_0.176_2880_1440_516
OFFSET2=2_716.0_716.5_710.0_-2.0_-1.0_-0.5_712.0_2163.0_726.0_178.0_-180.0_0.5_2880_1440_516

# Each case: a name, then the command line. `s` runs the stitcher, `f` runs
# ffmpeg with the frei0r filter (its output goes to out.rgb). A case runs in
# a folder of its own; a later case may read an earlier one's files through
# ../NAME/.
cases() {
  # What a run reports without writing anything.
  s info_a        --info "$C/a.mp4"
  s info_v        --info "$C/v.mp4"
  s info_n        --info "$C/n.mp4"
  s info_r        --info "$C/r.mp4"
  s info_mp3      --info "$C/mp3.mp4"
  s info_six      --info "$C/six.mp4"
  s info_offset   --info --offset "$OFFSET2" --engine gl "$C/a.mp4"
  s help          --help
  s calibrate_a   --calibrate "$C/a.mp4"
  s calibrate_v   --calibrate --offset "$OFFSET2" "$C/v.mp4"
  # Videos: engines, sizes, layouts, views.
  s cpu_default   --engine cpu "$C/a.mp4" out.mp4
  s gl_default    --engine gl "$C/a.mp4" out.mp4
  s auto_default  "$C/a.mp4" out.mp4
  s cpu_size64    --engine cpu --size 64 --preset ultrafast "$C/a.mp4" out.mp4
  s gl_size64     --engine gl --size 64 --preset ultrafast "$C/a.mp4" out.mp4
  s cpu_size_odd  --engine cpu --size 66 --preset ultrafast "$C/a.mp4" out.mp4
  s cpu_stereo    --engine cpu --layout stereo --size 96 "$C/a.mp4" out.mp4
  s gl_stereo     --engine gl --layout stereo --size 96 "$C/a.mp4" out.mp4
  s cpu_view      --engine cpu --yaw 30 --pitch -10 --roll 5 --size 96 "$C/a.mp4" out.mp4
  s gl_view       --engine gl --yaw 30 --pitch -10 --roll 5 --size 96 "$C/a.mp4" out.mp4
  s cpu_yaw_frac  --engine cpu --yaw 8.5 --size 96 "$C/a.mp4" out.mp4
  s cpu_threads1  --engine cpu --threads 1 --size 96 "$C/a.mp4" out.mp4
  s cpu_range     --engine cpu --start 3 --frames 4 --size 96 "$C/a.mp4" out.mp4
  s cpu_offset    --engine cpu --offset "$OFFSET2" --size 96 "$C/a.mp4" out.mp4
  s cpu_refine    --engine cpu --refine-calibration --size 96 "$C/a.mp4" out.mp4
  # Codecs and encoder settings, sound.
  s cpu_hevc      --engine cpu --codec hevc --preset ultrafast --size 96 "$C/a.mp4" out.mp4
  s gl_hevc       --engine gl --codec hevc --preset ultrafast --size 96 "$C/a.mp4" out.mp4
  s cpu_crf       --engine cpu --crf 35 --preset veryfast --size 96 "$C/a.mp4" out.mp4
  s cpu_slow      --engine cpu --crf 30 --preset slow --size 64 "$C/a.mp4" out.mp4
  s cpu_noaudio   --engine cpu --no-audio --size 96 "$C/a.mp4" out.mp4
  s cpu_builtin   --engine cpu --size 96 "$C/n.mp4" out.mp4
  s cpu_turned    --engine cpu --size 96 "$C/r.mp4" out.mp4
  s gl_turned     --engine gl --size 96 "$C/r.mp4" out.mp4
  s cpu_mp3       --engine cpu --size 64 --preset ultrafast "$C/mp3.mp4" out.mp4
  s cpu_six       --engine cpu --size 64 --preset ultrafast "$C/six.mp4" out.mp4
  # Pictures: one frame, a sequence, a name with a percent sign.
  s cpu_still     --engine cpu --frame 5 "$C/a.mp4" still.png
  s gl_still      --engine gl --frame 5 "$C/a.mp4" still.png
  s cpu_seq       --engine cpu --frames 3 --size 96 "$C/a.mp4" seq%05d.png
  s gl_seq        --engine gl --start 2 --frames 3 --size 96 "$C/a.mp4" seq%d.png
  s cpu_percent   --engine cpu --frame 2 --size 96 "$C/a.mp4" 100%%.png
  s cpu_stereo_png --engine cpu --layout stereo --frame 3 --size 96 "$C/a.mp4" still.png
  # Colour matching and fall-off.
  s cpu_match_v   --engine cpu --size 96 -v "$C/v.mp4" out.mp4
  s gl_match_v    --engine gl --size 96 "$C/v.mp4" out.mp4
  s cpu_nomatch_v --engine cpu --size 96 --color-match off "$C/v.mp4" out.mp4
  s gl_nomatch_v  --engine gl --size 96 --color-match off "$C/v.mp4" out.mp4
  s cpu_falloff_v --engine cpu --size 96 --falloff falloff_-0.25_-0.17_-0.22_-0.1 "$C/v.mp4" out.mp4
  s cpu_match_png --engine cpu --frame 6 "$C/v.mp4" still.png
  # Stabilisation, levelling, motion files.
  s stab_smooth   --engine cpu --size 96 --stabilize smooth --motion-out m.csv --motion-plot m.png "$C/a.mp4" out.mp4
  s stab_lock_cpu --engine cpu --size 96 --stabilize lock "$C/a.mp4" out.mp4
  s stab_lock_gl  --engine gl --size 96 --stabilize lock --motion-out m.csv "$C/a.mp4" out.mp4
  s stab_smooth05 --engine cpu --size 96 --stabilize smooth --smooth 0.5 --motion-out m.csv "$C/v.mp4" out.mp4
  s level         --engine cpu --size 96 --level --motion-out m.csv "$C/a.mp4" out.mp4
  s stab_level    --engine cpu --size 96 --stabilize smooth --level --yaw 10 "$C/a.mp4" out.mp4
  s stab_still    --engine cpu --stabilize smooth --frame 4 "$C/a.mp4" still.png
  s motion_apply  --engine cpu --size 96 --motion ../stab_smooth/m.csv "$C/a.mp4" out.mp4
  s motion_gl     --engine gl --size 96 --motion ../stab_smooth/m.csv "$C/a.mp4" out.mp4
  # One clip over many machines: the plan, its segments, the join.
  s farm_plan     --plan-out plan.json --segments 2 --size 96 --preset ultrafast "$C/a.mp4"
  s farm_seg1     --plan ../farm_plan/plan.json --segment 1/2 "$C/a.mp4" seg.mp4
  s farm_seg2     --plan ../farm_plan/plan.json --segment 2/2 --engine gl "$C/a.mp4" seg.mp4
  s farm_join     --join out.mp4 --plan ../farm_plan/plan.json ../farm_seg2/seg.mp4 ../farm_seg1/seg.mp4
  s farm_plan3    --plan-out plan.json --segments 3 --color-match off --codec hevc --yaw 20 --size 64 "$C/v.mp4"
  s farm_plan3_s2 --plan ../farm_plan3/plan.json --segment 2/3 "$C/v.mp4" seg.mp4
  s farm_missing  --join out.mp4 --plan ../farm_plan3/plan.json ../farm_plan3_s2/seg.mp4
  # Refusals: their messages and exit codes.
  s bad_frame     --frame 2 --start 1 "$C/a.mp4" still.png
  s bad_clip      "$C/none.mp4" out.mp4
  s bad_offset    --offset 2_1_2_3 "$C/a.mp4" out.mp4
  s bad_motion    --motion m.csv --stabilize smooth "$C/a.mp4" out.mp4
  s bad_falloff   --falloff falloff_0.1_0_0_0 "$C/a.mp4" out.mp4
  s bad_same      "$C/a.mp4" "$C/a.mp4"
  # The frei0r filter in ffmpeg: parameters by position.
  f frei0r_default "frei0r=dualfisheye360"
  f frei0r_clip_yaw "frei0r=dualfisheye360:|$C/a.mp4|30|-5|2"
  f frei0r_stereo  "frei0r=dualfisheye360:|$C/a.mp4|0|0|0|y|stereo"
  f frei0r_nomatch "frei0r=dualfisheye360:$OFFSET2||0|0|0|n"
  f frei0r_view    "frei0r=dualfisheye360:|$C/a.mp4|0|0|0|y|stitch|40\\,-10"
  f frei0r_shape   "scale=300:200,frei0r=dualfisheye360:|$C/a.mp4"
}

# Runs the cases with one build into $WORK/<tag>/<case>.
run_build() {  # <tag> <build dir>
  local tag=$1 build=$2
  s() {
    local name=$1; shift
    [[ -z "$ONLY" || "$name" =~ $ONLY ]] || return 0
    mkdir -p "$WORK/$tag/$name"
    (cd "$WORK/$tag/$name" && HOME=$WORK/home "$build/stitcher/stitcher" "$@" >../$name.stdout 2>../$name.stderr
     echo $? >../$name.rc)
    echo "$name: stitcher $*" >>"$WORK/$tag.cmds"
  }
  f() {
    local name=$1; shift
    [[ -z "$ONLY" || "$name" =~ $ONLY ]] || return 0
    mkdir -p "$WORK/$tag/$name"
    (cd "$WORK/$tag/$name" && HOME=$WORK/home FREI0R_PATH=$build/frei0r-1 \
       ffmpeg -nostdin -loglevel error -i "$C/a.mp4" -vf "$1" -f rawvideo -pix_fmt rgb24 out.rgb \
       >../$name.stdout 2>../$name.stderr
     echo $? >../$name.rc)
    echo "$name: ffmpeg -vf $1" >>"$WORK/$tag.cmds"
  }
  cases
}

# The messages without what changes run to run: times, rates, how busy a
# stage was, the addresses in FFmpeg's messages, and the work folder's name.
mask() {
  sed -E -e "s#$WORK/(old|new)/#WORK/#g" \
    -e 's/ @ 0x[0-9a-f]+\]/ @ ADDR]/' -e '/busy seconds per stage/ s/[0-9]+\.[0-9]+/T/g' \
    -e 's/[0-9]+(\.[0-9]+)? ?(s|ms|fps)\b/T/g' "$1"
}

start=$(date +%s)
run_build old "$OLD"
t_old=$(($(date +%s) - start))
run_build new "$NEW"
t_new=$(($(date +%s) - start - t_old))

same=0; differ=0
while IFS= read -r line; do
  name=${line%%:*}
  why=()
  cmp -s "$WORK/old/$name.rc" "$WORK/new/$name.rc" ||
    why+=("exit code $(cat "$WORK/old/$name.rc") -> $(cat "$WORK/new/$name.rc")")
  cmp -s "$WORK/old/$name.stdout" "$WORK/new/$name.stdout" || why+=("standard output")
  cmp -s <(mask "$WORK/old/$name.stderr") <(mask "$WORK/new/$name.stderr") || why+=("standard error")
  files=$( (cd "$WORK/old/$name" && find . -type f; cd "$WORK/new/$name" && find . -type f) | sort -u)
  for file in $files; do
    if [ ! -e "$WORK/old/$name/$file" ] || [ ! -e "$WORK/new/$name/$file" ]; then
      why+=("${file#./} written by one build only")
    elif ! cmp -s "$WORK/old/$name/$file" "$WORK/new/$name/$file"; then
      why+=("${file#./} differs")
    fi
  done
  if [ ${#why[@]} -eq 0 ]; then
    same=$((same + 1)); echo "same    $line (exit $(cat "$WORK/old/$name.rc"), $(echo $files | wc -w) files)"
  else
    differ=$((differ + 1)); echo "DIFFERS $line"
    for w in "${why[@]}"; do echo "          $w"; done
  fi
done <"$WORK/old.cmds"

echo "old build ${t_old}s, new build ${t_new}s"
echo "$same same, $differ differ"
[ "$differ" -eq 0 ] && [ "$same" -gt 0 ]
