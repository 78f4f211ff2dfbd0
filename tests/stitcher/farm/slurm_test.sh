#!/usr/bin/env bash
# The farm script on a real Slurm: a one-machine cluster (munged, slurmctld
# and slurmd on this host, every file in a temporary folder, ports of its
# own) runs the plan, 4 segment tasks and the join; the joined video must
# match one whole run of the same clip. Needs root (the daemons run as root
# here) and Debian's slurm-wlm and munge; where the cluster cannot start,
# the test fails and says why.
#
#   slurm_test.sh STITCHER MAKE_SAMPLE PHOTO FARM_SCRIPT
set -uo pipefail
stitcher=$1 make_sample=$2 photo=$3 farm=$4

fail() { echo "FAIL: $*" >&2; exit 1; }
[ "$(id -u)" -eq 0 ] || fail "the one-machine cluster needs root to start slurmd (run as root)"
for c in munged slurmctld slurmd sbatch sinfo scontrol ffmpeg ffprobe; do
  command -v "$c" >/dev/null || fail "$c not found: install slurm-wlm and munge (scripts/setup.sh test)"
done

t=$(mktemp -d /tmp/farm-slurm.XXXXXX)
pids=()
cleanup() {
  local p
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null; done
  for p in "${pids[@]}"; do wait "$p" 2>/dev/null; done
  rm -rf "$t"
}
trap cleanup EXIT
logs() { for f in "$t"/*.log "$t"/work/logs/*.log; do [ -f "$f" ] && { echo "== $f"; tail -20 "$f"; }; done >&2; }

# munge: a key of its own and a socket in the folder.
mkdir -p "$t/munge" "$t/state" "$t/spool"
dd if=/dev/urandom of="$t/munge/key" bs=1024 count=1 status=none
chmod 700 "$t/munge"; chmod 400 "$t/munge/key"
munged -F --force --key-file="$t/munge/key" --socket="$t/munge/sock" --pid-file="$t/munge/pid" \
  --log-file="$t/munged.log" --seed-file="$t/munge/seed" >>"$t/munged.log" 2>&1 &
pids+=($!)

host=$(hostname -s)
cpus=$(nproc)
base=$((20000 + RANDOM % 20000))
cat > "$t/slurm.conf" <<CONF
ClusterName=farmtest
SlurmctldHost=$host
SlurmctldPort=$base
SlurmdPort=$((base + 1))
AuthType=auth/munge
AuthInfo=socket=$t/munge/sock
CredType=cred/munge
SlurmUser=root
SlurmdUser=root
StateSaveLocation=$t/state
SlurmdSpoolDir=$t/spool
SlurmctldPidFile=$t/slurmctld.pid
SlurmdPidFile=$t/slurmd.pid
SlurmctldLogFile=$t/slurmctld.log
SlurmdLogFile=$t/slurmd.log
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
SchedulerType=sched/builtin
SchedulerParameters=sched_interval=2
# sbatch --wait polls the job every 2 s only while finished jobs are kept
# for at least 4 s (by default its sleeps grow to 8 and 32 s, most of the
# run); 5 s still keeps a finished job for its dependants and the poll.
MinJobAge=5
SelectType=select/cons_tres
SelectTypeParameters=CR_Core
ReturnToService=2
MpiDefault=none
JobCompType=jobcomp/none
AccountingStorageType=accounting_storage/none
NodeName=$host CPUs=$cpus State=UNKNOWN
PartitionName=farm Nodes=$host Default=YES MaxTime=INFINITE State=UP OverSubscribe=FORCE:4
CONF
export SLURM_CONF=$t/slurm.conf
for i in $(seq 50); do [ -S "$t/munge/sock" ] && break; sleep 0.2; done
[ -S "$t/munge/sock" ] || { logs; fail "munged did not start"; }
slurmctld -D -i -f "$SLURM_CONF" >>"$t/slurmctld.log" 2>&1 &
pids+=($!)
slurmd -D -f "$SLURM_CONF" >>"$t/slurmd.log" 2>&1 &
pids+=($!)
echo "cluster starting in $t (ports $base, $((base + 1)))"
up=""
for i in $(seq 60); do
  state=$(sinfo -h -n "$host" -o %t 2>/dev/null)
  case "$state" in idle*|mix*|alloc*) up=1; break ;; esac
  sleep 1
done
[ -n "$up" ] || { logs; fail "the one-machine cluster did not come up (node state: ${state:-none})"; }

echo "cluster up after ${i} s"

# A small clip with sound and a tinted lens; one whole run to hold the farm's result against.
"$make_sample" --size 640x320 --frames 24 --fps 25 --gop 6 --crf 16 --preset veryfast --tint 1.1,1,0.9 \
  "$photo" "$t/clip.mp4" >/dev/null || fail "make_sample failed"
opts=(--engine cpu --size 160 --crf 4 --preset veryfast)
"$stitcher" "${opts[@]}" "$t/clip.mp4" "$t/whole.mp4" 2>"$t/whole.log" || { logs; fail "the whole run failed"; }

"$farm" -n 4 -w "$t/work" -o "$t/joined.mp4" -s "$stitcher" --wait "$t/clip.mp4" -- "${opts[@]}" \
  || { logs; fail "the farm job failed"; }
[ -f "$t/joined.mp4" ] || { logs; fail "the join wrote nothing"; }
segments=$(ls "$t"/work/logs/segment-*.log 2>/dev/null | wc -l)
[ "$segments" -eq 4 ] || { logs; fail "$segments segment tasks ran, not 4"; }
grep -q "found segment 4/4" "$t"/work/logs/join-*.log || { logs; fail "the join did not list the segments"; }

pts() { ffprobe -v error -select_streams v -show_entries packet=pts -of csv=p=0 "$1" | sort -n | tr '\n' ' '; }
[ "$(pts "$t/joined.mp4")" = "$(pts "$t/whole.mp4")" ] || fail "the joined video's frames or times differ from the whole run's"
least=$(ffmpeg -v error -i "$t/whole.mp4" -i "$t/joined.mp4" -lavfi "[0:v][1:v]psnr=stats_file=-" -f null - |
        sed -n 's/.*psnr_avg:\([0-9.inf]*\).*/\1/p' | sort -g | head -1)
[ -n "$least" ] || fail "no frames compared"
awk -v p="$least" 'BEGIN { exit !(p == "inf" || p >= 45) }' || fail "a joined frame is only $least dB from the whole run's"
[ "$(ffprobe -v error -select_streams a -show_entries stream=codec_name -of csv=p=0 "$t/joined.mp4")" = aac ] ||
  fail "the joined video has no sound"
echo "the Slurm farm (4 tasks) gave the whole run's frames and times; least PSNR $least dB"
