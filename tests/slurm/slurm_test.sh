#!/usr/bin/env bash
# tarvolen-scan as a Slurm array job on a real one-node cluster that this
# test starts: munged, slurmctld and slurmd from Debian's packages, with a
# private key, socket, configuration, state and spool in a folder of its own
# and free ports (two CPUs, no accounting database). An array over several
# files, one of them unreadable and two of the same name in different
# folders: every good file's events equal a local scan's, the bad task fails
# with the scan's status and a log line naming its file, and resubmitting
# only the failed tasks runs just those. The daemons are stopped at the end.
#   slurm_test.sh BUILD_DIR
set -uo pipefail

build="$(cd "$1" && pwd)"
root="$(cd "$(dirname "$0")/../.." && pwd)"
scan="$build/scan/tarvolen-scan"
sbatch_script="$root/packaging/slurm/tarvolen-scan.sbatch"
sample="$root/samples/vtest.avi"
slowdown="${TARVOLEN_E2E_SLOWDOWN:-1}"
failures=0

fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
pass() { echo "ok: $*"; }
check() {  # check DESCRIPTION COMMAND...
  local what="$1"; shift
  if "$@"; then pass "$what"; else fail "$what"; fi
}
missing_prerequisite() {
  if [ "${CI:-}" = "true" ]; then echo "FAIL (CI=true, prerequisite missing): $*"; exit 1; fi
  echo "SKIP: $*"; exit 77
}

[ "$(id -u)" -eq 0 ] || missing_prerequisite "slurmd runs jobs as root here: run as root"
for tool in munged slurmctld slurmd sbatch squeue sinfo scontrol jq ffmpeg; do
  command -v "$tool" >/dev/null || missing_prerequisite "$tool is not installed (scripts/install-deps.sh)"
done
[ -x "$scan" ] || { echo "FAIL: $scan is not built"; exit 1; }
[ -f "$sample" ] || missing_prerequisite "the sample clip $sample (scripts/fetch-sample.sh)"

work="$(mktemp -d /tmp/tarvolen-slurm.XXXXXX)"
chmod 700 "$work"
daemons=()
stop_daemons() {
  local pid
  for pid in "${daemons[@]}"; do kill "$pid" 2>/dev/null; done
  for pid in "${daemons[@]}"; do
    for _ in $(seq 100); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    kill -9 "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
  done
}
cleanup() {
  stop_daemons
  if [ "$failures" -eq 0 ]; then rm -rf "$work"; else echo "kept for inspection: $work"; fi
}
trap cleanup EXIT

# wait_for SECONDS COMMAND...: until COMMAND succeeds, at most SECONDS
# (times TARVOLEN_E2E_SLOWDOWN).
wait_for() {
  local limit tries
  limit="$(awk -v s="$1" -v f="$slowdown" 'BEGIN { print int(s * f * 10) }')"
  shift
  for ((tries = 0; tries < limit; tries++)); do
    "$@" 2>/dev/null && return 0
    sleep 0.1
  done
  return 1
}

free_port() {
  /usr/bin/python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# --- munge: a key and a socket of its own -----------------------------------
mkdir -p "$work/munge"
chmod 700 "$work/munge"
dd if=/dev/urandom of="$work/munge/munge.key" bs=1024 count=1 status=none
chmod 400 "$work/munge/munge.key"
munge_socket="$work/munge/munge.socket"
munged --foreground --force --socket="$munge_socket" --key-file="$work/munge/munge.key" \
  --pid-file="$work/munge/munged.pid" --log-file="$work/munge/munged.log" --seed-file="$work/munge/munged.seed" \
  >"$work/munge/munged.out" 2>&1 &
daemons+=($!)
wait_for 20 test -S "$munge_socket" || { cat "$work/munge/"*.log "$work/munge/munged.out"; echo "FAIL: munged did not start"; exit 1; }

# --- the cluster: this machine, two CPUs ------------------------------------
host="$(hostname -s)"
ctld_port="$(free_port)"
slurmd_port="$(free_port)"
while [ "$slurmd_port" = "$ctld_port" ]; do slurmd_port="$(free_port)"; done
mkdir -p "$work/state" "$work/spool" "$work/jobs"
export SLURM_CONF="$work/slurm.conf"
cat >"$SLURM_CONF" <<CONF
ClusterName=tarvolentest
SlurmctldHost=$host(127.0.0.1)
SlurmUser=root
SlurmdUser=root
SlurmctldPort=$ctld_port
SlurmdPort=$slurmd_port
AuthType=auth/munge
AuthInfo=socket=$munge_socket
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
SchedulerType=sched/builtin
AccountingStorageType=accounting_storage/none
JobAcctGatherType=jobacct_gather/none
MpiDefault=none
ReturnToService=2
MinJobAge=600
NodeName=$host NodeAddr=127.0.0.1 CPUs=2 RealMemory=1000 State=UNKNOWN
PartitionName=tarvolen Nodes=$host Default=YES MaxTime=INFINITE State=UP
CONF
slurmctld -D -i -f "$SLURM_CONF" >"$work/slurmctld.out" 2>&1 &
daemons+=($!)
slurmd -D -f "$SLURM_CONF" >"$work/slurmd.out" 2>&1 &
daemons+=($!)
node_idle() { sinfo -h -N -o '%T' 2>/dev/null | grep -qx idle; }
if ! wait_for 60 node_idle; then
  tail -n 20 "$work"/slurmctld.log "$work"/slurmd.log "$work"/*.out
  echo "FAIL: the one-node cluster did not come up"
  exit 1
fi
pass "munged, slurmctld and slurmd are up, the node idle"

# --- the footage: same names in two folders, and one unreadable file -----------
footage="$work/footage"
mkdir -p "$footage/north" "$footage/south" "$footage/broken"
ffmpeg -v error -i "$sample" -t 10 -c copy "$footage/north/cam.avi" &&
  ffmpeg -v error -ss 30 -i "$sample" -t 10 -c copy "$footage/south/cam.avi" &&
  ffmpeg -v error -ss 50 -i "$sample" -t 10 -c copy "$footage/lawn.avi" ||
  { echo "FAIL: cannot cut the test files"; exit 1; }
head -c 20000 /dev/urandom >"$footage/broken/cam.avi"
list="$work/files.txt"
printf '%s\n' "$footage/north/cam.avi" "$footage/broken/cam.avi" "$footage/south/cam.avi" "$footage/lawn.avi" >"$list"
bad_task=1
count="$(wc -l <"$list")"
options=(--set num_frames=5 --pre 0.5 --post 1)

# submit ARRAY: the job's id.
submit() {
  (cd "$work/jobs" && TARVOLEN_SCAN="$scan" sbatch --parsable --array="$1" "$sbatch_script" "$list" "$work/out" \
    "${options[@]}") | cut -d';' -f1
}
job_done() { [ -z "$(squeue -h -j "$1" 2>/dev/null)" ]; }

job="$(submit "0-$((count - 1))%2")"
[ -n "$job" ] || { echo "FAIL: sbatch did not take the job"; exit 1; }
pass "sbatch took the array job $job"
wait_for 300 job_done "$job" || fail "the array job $job ended"

# Each good file's events are a local scan's.
for ((task = 0; task < count; task++)); do
  [ "$task" -eq "$bad_task" ] && continue
  file="$(sed -n "$((task + 1))p" "$list")"
  stem="$(basename "$file" .avi)"
  local_out="$work/local/$task"
  "$scan" --quiet "${options[@]}" -o "$local_out" "$file" || fail "the local scan of $file"
  cluster_events="$work/out$(dirname "$file")/$stem.events.jsonl"
  check "task $task: $file has events" test -s "$local_out/$stem.events.jsonl"
  check "task $task: the cluster's events of $file are the local scan's" \
    cmp -s "$local_out/$stem.events.jsonl" "$cluster_events"
  check "task $task's log names $file" grep -qF "$file" "$work/jobs/tarvolen-scan_${job}_$task.log"
done
north="$work/out$footage/north/cam.events.jsonl"
south="$work/out$footage/south/cam.events.jsonl"
check "cam.avi of north/ and of south/ kept outputs of their own" \
  bash -c "[ \"\$(jq -r .file '$north' | sort -u)\" = '$footage/north/cam.avi' ] &&
           [ \"\$(jq -r .file '$south' | sort -u)\" = '$footage/south/cam.avi' ]"

# The unreadable file's task failed with the scan's status, naming the file.
bad_file="$(sed -n "$((bad_task + 1))p" "$list")"
bad_log="$work/jobs/tarvolen-scan_${job}_$bad_task.log"
"$scan" --quiet -o "$work/local/bad" "$bad_file" 2>/dev/null
scan_status=$?
check "the unreadable file fails a local scan (status $scan_status)" [ "$scan_status" -ne 0 ]
check "the failed task's log has the scan's line naming $bad_file" \
  grep -qE "^tarvolen-scan: $bad_file: " "$bad_log"
# The failed tasks, as the controller tells them (the README's command).
# On a cluster with accounting (slurmdbd) sacct tells the same for as long
# as it keeps jobs; this one has none, and sacct -c, which reads a
# completion log instead, knows no array tasks ("Unknown type ArrayJobId").
task_states() {
  scontrol -o show job "$1" | tr ' ' '\n' | sed -n 's/^\(ArrayTaskId\|JobState\|ExitCode\)=//p' | paste -d' ' - - -
}
failed_tasks() {
  scontrol -o show job "$1" | tr ' ' '\n' | sed -n 's/^\(ArrayTaskId\|JobState\)=//p' | paste -d' ' - - |
    awk '$2 != "COMPLETED" { print $1 }' | sort -n | paste -sd, -
}
states="$(task_states "$job")"
check "the controller tells the failed task ($bad_task) and no other ($(tr '\n' ';' <<<"$states"))" \
  [ "$(failed_tasks "$job")" = "$bad_task" ]
check "its exit code is the scan's ($scan_status)" grep -qxF "$bad_task FAILED $scan_status:0" <<<"$states"

# Resubmitting only the failed tasks runs just those.
again="$(submit "$(failed_tasks "$job")")"
wait_for 300 job_done "$again" || fail "the resubmitted job $again ended"
check "the resubmission ran task $bad_task only" \
  bash -c "ls '$work/jobs' | grep -c '^tarvolen-scan_${again}_' | grep -qx 1 &&
           [ -f '$work/jobs/tarvolen-scan_${again}_$bad_task.log' ]"

# Gathering: every event of the review, one JSON line each, from OUTDIR.
gathered="$(find "$work/out" -name '*.events.jsonl' -exec cat {} + | jq -c . | wc -l)"
expected="$(cat "$work"/local/*/*.events.jsonl | wc -l)"
check "jq over OUTDIR gathers all $expected events ($gathered)" [ "$gathered" -eq "$expected" ]

if [ "$failures" -gt 0 ]; then
  tail -n 30 "$work/slurmctld.log" "$work/slurmd.log"
  echo "slurm: $failures check(s) failed"
  exit 1
fi
echo "slurm: every check passed"
