#!/usr/bin/env bash
# tarvolen-scan as a Slurm array job on a one-node cluster (two CPUs) that
# this test starts from Debian's munged, slurmctld and slurmd, with a private
# key, socket, configuration and spool in a folder of its own and free
# ports. An array over four files, one unreadable and two of the same name
# in different folders: every good file's events equal a local scan's, the
# bad task fails with the scan's status and a log line naming its file, the
# README's commands find it and resubmit it alone, and jq gathers every
# event. The daemons are stopped at the end.
#   slurm_test.sh BUILD_DIR
set -uo pipefail
build="$(cd "$1" && pwd)"
root="$(cd "$(dirname "$0")/../.." && pwd)"
scan="$build/scan/tarvolen-scan"
sample="$root/samples/vtest.avi"
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
check() {  # check DESCRIPTION COMMAND...
  local what="$1"; shift
  if "$@"; then echo "ok: $what"; else fail "$what"; fi
}
missing_prerequisite() {
  if [ "${CI:-}" = "true" ]; then echo "FAIL (CI=true, prerequisite missing): $*"; exit 1; fi
  echo "SKIP: $*"; exit 77
}
[ "$(id -u)" -eq 0 ] || missing_prerequisite "slurmd runs the jobs as root here: run as root"
for tool in munged slurmctld slurmd sbatch squeue sinfo scontrol jq ffmpeg; do
  command -v "$tool" >/dev/null || missing_prerequisite "$tool is not installed (scripts/install-deps.sh)"
done
[ -f "$sample" ] || missing_prerequisite "the sample clip $sample (scripts/fetch-sample.sh)"

work="$(mktemp -d /tmp/tarvolen-slurm.XXXXXX)"
daemons=()
cleanup() {
  local pid
  for pid in "${daemons[@]}"; do kill "$pid" 2>/dev/null; done
  for pid in "${daemons[@]}"; do wait "$pid" 2>/dev/null; done
  if [ "$failures" -eq 0 ]; then rm -rf "$work"; else echo "kept for inspection: $work"; fi
}
trap cleanup EXIT
# wait_for SECONDS COMMAND...: until COMMAND succeeds, SECONDS at most (times TARVOLEN_E2E_SLOWDOWN).
wait_for() {
  local tries=$(($1 * ${TARVOLEN_E2E_SLOWDOWN:-1} * 10)); shift
  until "$@" 2>/dev/null; do ((--tries > 0)) || return 1; sleep 0.1; done
}
free_port() { /usr/bin/python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'; }
started() { daemons+=($!); }  # the daemon just started in the background, to stop at the end

mkdir -m 700 "$work/munge" "$work/state" "$work/spool" "$work/jobs"
head -c 1024 /dev/urandom >"$work/munge/key" && chmod 400 "$work/munge/key"
munged --foreground --force --socket="$work/munge/socket" --key-file="$work/munge/key" --pid-file="$work/munge/pid" \
  --log-file="$work/munge/log" --seed-file="$work/munge/seed" 2>>"$work/munge/log" & started
wait_for 20 test -S "$work/munge/socket" || { cat "$work/munge/log"; echo "FAIL: munged did not start"; exit 1; }

host="$(hostname -s)"
export SLURM_CONF="$work/slurm.conf"
cat >"$SLURM_CONF" <<CONF
ClusterName=tarvolentest
SlurmctldHost=$host(127.0.0.1)
SlurmUser=root
SlurmctldPort=$(free_port)
SlurmdPort=$(free_port)
AuthType=auth/munge
AuthInfo=socket=$work/munge/socket
CredType=cred/munge
StateSaveLocation=$work/state
SlurmdSpoolDir=$work/spool
SlurmctldPidFile=$work/slurmctld.pid
SlurmdPidFile=$work/slurmd.pid
SlurmctldLogFile=$work/slurmctld.log
SlurmdLogFile=$work/slurmd.log
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
SelectType=select/cons_tres
SelectTypeParameters=CR_CPU
AccountingStorageType=accounting_storage/none
JobAcctGatherType=jobacct_gather/none
MpiDefault=none
ReturnToService=2
NodeName=$host NodeAddr=127.0.0.1 CPUs=2 RealMemory=1000 State=UNKNOWN
PartitionName=tarvolen Nodes=$host Default=YES MaxTime=INFINITE State=UP
CONF
slurmctld -D -i -f "$SLURM_CONF" 2>>"$work/slurmctld.log" & started
slurmd -D -f "$SLURM_CONF" 2>>"$work/slurmd.log" & started
node_idle() { sinfo -h -N -o '%T' | grep -qx idle; }
wait_for 60 node_idle || { tail -n 20 "$work"/*.log; echo "FAIL: the one-node cluster did not come up"; exit 1; }

footage="$work/footage"
mkdir -p "$footage/north" "$footage/south" "$footage/broken"
for cut in "0 north/cam" "30 south/cam" "50 lawn"; do
  ffmpeg -v error -ss "${cut%% *}" -i "$sample" -t 10 -c copy "$footage/${cut#* }.avi" || exit 1
done
head -c 20000 /dev/urandom >"$footage/broken/cam.avi"
list="$work/files.txt"
printf '%s\n' "$footage/north/cam.avi" "$footage/broken/cam.avi" "$footage/south/cam.avi" "$footage/lawn.avi" >"$list"
options=(--set num_frames=5 --pre 0.5 --post 1)
submit() {  # submit ARRAY: the array job's id
  (cd "$work/jobs" && TARVOLEN_SCAN="$scan" sbatch --parsable --array="$1" \
    "$root/packaging/slurm/tarvolen-scan.sbatch" "$list" "$work/out" "${options[@]}")
}
job_ended() { [ -z "$(squeue -h -j "$1")" ]; }
job="$(submit 0-3%2)" || { fail "sbatch took the array job"; exit 1; }
wait_for 300 job_ended "$job" || fail "the array job $job ended"

for task in 0 2 3; do
  file="$(sed -n "$((task + 1))p" "$list")"
  "$scan" --quiet "${options[@]}" -o "$work/local/$task" "$file"
  events="$(basename "$file" .avi).events.jsonl"
  check "task $task: $file has events, the same as a local scan's" \
    bash -c "[ -s '$work/local/$task/$events' ] && cmp '$work/local/$task/$events' '$work/out$(dirname "$file")/$events'"
  check "task $task's log names its file" grep -qF "$file" "$work/jobs/tarvolen-scan_${job}_$task.log"
done
check "cam.avi of north/ and of south/ keep outputs of their own" cmp -s \
  <(jq -r .file "$work/out$footage/north/cam.events.jsonl" "$work/out$footage/south/cam.events.jsonl" | sort -u) \
  <(printf '%s\n' "$footage/north/cam.avi" "$footage/south/cam.avi")

"$scan" --quiet -o "$work/local/1" "$footage/broken/cam.avi" 2>/dev/null
status=$?
check "the unreadable file's task logged the scan's line naming it" \
  grep -q "^tarvolen-scan: $footage/broken/cam.avi: " "$work/jobs/tarvolen-scan_${job}_1.log"
# The README's way without accounting (sacct -c, reading a completion log
# instead, knows no array tasks in Slurm 22.05).
failed="$(scontrol -o show job "$job" | tr ' ' '\n' | sed -n 's/^\(ArrayTaskId\|JobState\)=//p' |
  paste -d' ' - - | awk '$2 != "COMPLETED" { print $1 }' | sort -n | paste -sd, -)"
check "the failed task is task 1 alone ($failed)" [ "$failed" = 1 ]
check "with the scan's exit status, $status" \
  bash -c "scontrol -o show job '${job}_1' | grep -q 'JobState=FAILED .* ExitCode=$status:0'"
again="$(submit "$failed")" && wait_for 300 job_ended "$again"
check "its resubmission ran task 1 alone" bash -c "[ \"\$(cd '$work/jobs' && ls tarvolen-scan_${again}_*)\" = \
  tarvolen-scan_${again}_1.log ]"
check "jq over OUTDIR gathers every event" [ "$(find "$work/out" -name '*.events.jsonl' -exec cat {} + | jq -c . |
  wc -l)" -eq "$(cat "$work"/local/*/*.events.jsonl | wc -l)" ]

[ "$failures" -eq 0 ] || { tail -n 30 "$work"/*.log; echo "slurm: $failures check(s) failed"; exit 1; }
echo "slurm: every check passed"
