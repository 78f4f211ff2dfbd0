#!/usr/bin/env bash
# Stitches one clip on a Slurm cluster: one analysis job writes the plan,
# an array job renders its N segments (task K renders segment K), and a join
# job, which starts when every segment is done, writes the video.
#
#   scripts/farm-slurm.sh [-n N] [-o OUT.mp4] [-w WORKDIR] [-s STITCHER] [-p PARTITION]
#                         [--wait] CLIP.mp4 [-- STITCH OPTIONS...]
#
#   -n N          segments (array tasks), default 8
#   -o OUT.mp4    the video, default WORKDIR/<clip name>_360.mp4
#   -w WORKDIR    a folder every node sees: plan, segments, logs (default ./farm-<clip name>)
#   -s STITCHER   the stitcher as the nodes run it (default: stitcher on PATH)
#   -p PARTITION  the partition to submit to (default: the cluster's default)
#   --wait        return when the join has ended, with its exit code
#   options after -- go to the plan (--size, --codec, --crf, --engine, ...)
#
# Each job runs this same script (FARM_STEP set). A step that ends with an
# exit code that may succeed on a retry (5: output busy or disk full, 6: no
# engine could start, 128 + a signal: interrupted) is tried again, up to
# three times; the other codes fail at once (bad plan, clip or options).
# The segments are written with -y: a task that is run again replaces what a
# run before it left, with the same pictures.
set -uo pipefail

retryable() { case "$1" in 5|6|129|130|131|143) return 0 ;; *) return 1 ;; esac; }

# Runs the command; tries a retryable failure again.
run_retrying() {
  local try rc
  for try in 1 2 3; do
    "$@"
    rc=$?
    [ "$rc" -eq 0 ] && return 0
    retryable "$rc" || { echo "farm: exit code $rc cannot succeed on a retry" >&2; return "$rc"; }
    echo "farm: exit code $rc (try $try of 3); trying again" >&2
    sleep 5
  done
  return "$rc"
}

if [ -n "${FARM_STEP:-}" ]; then
  # A job of the farm: the settings come from the environment and the work folder.
  mapfile -t opts < "$FARM_WORK/options"
  case "$FARM_STEP" in
    plan)
      echo "farm: planning $FARM_CLIP in $FARM_N segments on $(hostname)"
      run_retrying "$FARM_STITCHER" -y --plan-out "$FARM_WORK/plan.json" --segments "$FARM_N" "${opts[@]}" -- "$FARM_CLIP"
      ;;
    segment)
      k="${SLURM_ARRAY_TASK_ID:?not an array task}"
      echo "farm: segment $k/$FARM_N on $(hostname)"
      run_retrying "$FARM_STITCHER" -y --plan "$FARM_WORK/plan.json" --segment "$k/$FARM_N" \
        -- "$FARM_CLIP" "$FARM_WORK/segment-$k.mp4"
      ;;
    join)
      segs=()
      for ((k = 1; k <= FARM_N; ++k)); do segs+=("$FARM_WORK/segment-$k.mp4"); done
      run_retrying "$FARM_STITCHER" -y --join "$FARM_OUT" --plan "$FARM_WORK/plan.json" --clip "$FARM_CLIP" -- "${segs[@]}"
      ;;
    *) echo "farm: unknown step $FARM_STEP" >&2; exit 2 ;;
  esac
  exit $?
fi

usage() { sed -n '2,24p' "$0" | sed 's/^# \{0,1\}//'; exit 2; }
n=8 out="" work="" stitcher="stitcher" partition="" wait=""
clip=""
while [ $# -gt 0 ]; do
  case "$1" in
    -n) n="$2"; shift 2 ;;
    -o) out="$2"; shift 2 ;;
    -w) work="$2"; shift 2 ;;
    -s) stitcher="$2"; shift 2 ;;
    -p) partition="$2"; shift 2 ;;
    --wait) wait=1; shift ;;
    -h|--help) usage ;;
    --) shift; break ;;
    -*) echo "farm-slurm.sh: unknown option $1" >&2; usage ;;
    *) [ -z "$clip" ] || usage; clip="$1"; shift ;;
  esac
done
[ -n "$clip" ] || usage
[[ "$n" =~ ^[1-9][0-9]*$ ]] || { echo "farm-slurm.sh: -n needs a whole number" >&2; exit 2; }
command -v sbatch >/dev/null || { echo "farm-slurm.sh: sbatch not found (is this a Slurm submit host?)" >&2; exit 2; }
name=$(basename "$clip" .mp4)
clip=$(realpath "$clip") || exit 3
work=$(realpath -m "${work:-farm-$name}")
out=$(realpath -m "${out:-$work/${name}_360.mp4}")
case "$stitcher" in */*) stitcher=$(realpath "$stitcher") ;; esac
mkdir -p "$work/logs" || exit 5
printf '%s\n' "$@" > "$work/options"
[ $# -gt 0 ] || : > "$work/options"

common=(--parsable --chdir="$work"
        --export="ALL,FARM_WORK=$work,FARM_CLIP=$clip,FARM_OUT=$out,FARM_N=$n,FARM_STITCHER=$stitcher")
[ -n "$partition" ] && common+=(--partition="$partition")
self=$(realpath "$0")

plan=$(FARM_STEP=plan sbatch "${common[@]}" --job-name=stitch-plan --output="$work/logs/plan-%j.log" "$self") || exit 1
segments=$(FARM_STEP=segment sbatch "${common[@]}" --job-name=stitch-segment --array="1-$n" \
           --dependency="afterok:$plan" --output="$work/logs/segment-%A_%a.log" "$self") || exit 1
join_opts=(--job-name=stitch-join --dependency="afterok:$segments" --output="$work/logs/join-%j.log")
[ -n "$wait" ] && join_opts+=(--wait)
echo "farm: plan job $plan, segment array job $segments ($n tasks); logs in $work/logs"
join=$(FARM_STEP=join sbatch "${common[@]}" "${join_opts[@]}" "$self")
rc=$?
echo "farm: join job ${join%%;*} writes $out"
exit "$rc"
