#!/usr/bin/env bash
# scripts/tiles-slurm.sh on a real Slurm cluster of one machine, started here
# from Debian's slurm-wlm and munge with everything of its own in a temporary
# folder: a MUNGE key and munged on a private socket, a generated slurm.conf
# on two free ports, slurmctld and slurmd. A small generated raster is tiled
# once by a single heightmesh tiles, and then in 4 shards through the
# script: first with shard 2 made to fail, so the merge job must be cancelled
# and nothing merged, then again as a user would resume, after which the
# merge job must have succeeded and the tree must be byte for byte the
# single run's. The paths hold spaces, for the script's quoting.
#
# Skipped (exit 77) only when not root or when Slurm or MUNGE is missing
# (scripts/install-deps.sh cluster). Stops exactly the daemons it started.
#
#   tests/cluster_slurm_test.sh HEIGHTMESH MAKE_DEM_TILES WORK_DIR
set -euo pipefail
tool=$1 maker=$2 work=$3
root=$(cd "$(dirname "$0")/.." && pwd)
export PATH="$PATH:/usr/sbin:/sbin"

skip() { echo "cluster Slurm test skipped: $*"; exit 77; }
[ "$(id -u)" -eq 0 ] || skip "it must run as root, to start slurmd"
for need in slurmctld slurmd munged munge sbatch squeue sinfo scontrol scancel; do
  command -v "$need" >/dev/null || skip "$need is missing (scripts/install-deps.sh cluster)"
done
# Variables of a job or user setup around this run would steer the clients.
while read -r name; do
  unset "$name"
done < <(compgen -e | grep -E '^(SLURM|SBATCH|SALLOC|SQUEUE|SINFO|SCONTROL|SCANCEL)_' || true)

rm -rf "$work" && mkdir -p "$work/logs"
# The daemons' files: a short path, as munged's socket name must be short.
cluster=$(mktemp -d /tmp/heightmesh-slurm.XXXXXX)
chmod 755 "$cluster"
mkdir -m 700 "$cluster/key"
mkdir -m 755 "$cluster/munge"
mkdir "$cluster/state" "$cluster/spool" "$cluster/log"
export SLURM_CONF=$cluster/slurm.conf

daemons=() jobs=()
# The daemons' logs; what they printed only where they wrote no log (a
# daemon that stopped before it opened one).
show_logs() {
  local log
  for log in "$cluster"/log/*.log "$cluster"/log/*.out "$work"/logs/*; do
    [ -s "$log" ] || continue
    case "$log" in "$cluster"/log/slurm*.out) [ -s "${log%.out}.log" ] && continue ;; esac
    echo "==== $log"
    tail -n 60 "$log"
  done
}
cleanup() {
  local status=$? pid
  trap - EXIT
  # Jobs first, while slurmctld can still cancel them, so that no
  # slurmstepd or shard outlives the cluster.
  if [ "${#jobs[@]}" -gt 0 ] && [ "${#daemons[@]}" -gt 0 ]; then
    scancel "${jobs[@]}" 2>/dev/null || true
    for _ in $(seq 50); do
      [ -z "$(squeue -h -o %i 2>/dev/null)" ] && break
      sleep 0.2
    done
  fi
  [ "$status" -ne 0 ] && [ "$status" -ne 77 ] && show_logs
  for pid in "${daemons[@]}"; do
    kill "$pid" 2>/dev/null || true
  done
  for pid in "${daemons[@]}"; do
    for _ in $(seq 50); do
      kill -0 "$pid" 2>/dev/null || break
      sleep 0.2
    done
    kill -9 "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  rm -rf "$cluster"
  exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
fail() { echo "FAIL: $*"; exit 1; }
alive() { kill -0 "$1" 2>/dev/null || fail "$2 stopped (its log follows)"; }

# ---- MUNGE: its own key, socket and state, beside any system munged.
dd if=/dev/urandom of="$cluster/key/munge.key" bs=1024 count=1 status=none
chmod 400 "$cluster/key/munge.key"
socket=$cluster/munge/munge.socket
munged --foreground --socket="$socket" --key-file="$cluster/key/munge.key" \
  --pid-file="$cluster/key/munged.pid" --seed-file="$cluster/key/munged.seed" \
  --log-file="$cluster/log/munged.log" > "$cluster/log/munged.out" 2>&1 &
daemons+=($!)
for _ in $(seq 50); do
  munge --socket="$socket" -n 2>/dev/null | unmunge --socket="$socket" >/dev/null 2>&1 && break
  alive "${daemons[0]}" munged
  sleep 0.1
done
munge --socket="$socket" -n | unmunge --socket="$socket" >/dev/null || fail "munged does not answer on $socket"

# ---- Two free ports next to each other, from a range few services use.
port_free() { ! (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }
port=
for _ in $(seq 100); do
  candidate=$((20000 + RANDOM % 30000))
  if port_free "$candidate" && port_free $((candidate + 1)); then
    port=$candidate
    break
  fi
done
[ -n "$port" ] || fail "no two free ports found"

# ---- slurm.conf: this machine as the one node, as slurmd sees it.
node=$(SLURM_CONF=/dev/null slurmd -C | head -n 1)
host=$(sed -n 's/^NodeName=\([^ ]*\).*/\1/p' <<< "$node")
[ -n "$host" ] || fail "slurmd -C printed no node: $node"
cat > "$SLURM_CONF" << EOF
ClusterName=heightmesh-test
SlurmctldHost=$host(127.0.0.1)
SlurmctldPort=$port
SlurmdPort=$((port + 1))
SlurmUser=root
SlurmdUser=root
AuthType=auth/munge
AuthInfo=socket=$socket
CredType=cred/munge
StateSaveLocation=$cluster/state
SlurmdSpoolDir=$cluster/spool
SlurmctldPidFile=$cluster/slurmctld.pid
SlurmdPidFile=$cluster/slurmd.pid
SlurmctldLogFile=$cluster/log/slurmctld.log
SlurmdLogFile=$cluster/log/slurmd.log
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
SelectType=select/cons_tres
SelectTypeParameters=CR_Core
SchedulerType=sched/backfill
JobAcctGatherType=jobacct_gather/none
AccountingStorageType=accounting_storage/none
MpiDefault=none
ReturnToService=2
MinJobAge=600
MailProg=/bin/true
$node NodeAddr=127.0.0.1 State=UNKNOWN
PartitionName=test Nodes=$host Default=YES MaxTime=INFINITE State=UP
EOF

slurmctld -D -i > "$cluster/log/slurmctld.out" 2>&1 &
daemons+=($!)
slurmd -D -N "$host" > "$cluster/log/slurmd.out" 2>&1 &
daemons+=($!)
state=
for _ in $(seq 150); do
  alive "${daemons[1]}" slurmctld
  alive "${daemons[2]}" slurmd
  state=$(sinfo -h -N -o %T 2>/dev/null || true)
  [ "$state" = idle ] && break
  sleep 0.2
done
[ "$state" = idle ] || fail "the node is '$state', not idle, after 30 s"

# ---- Jobs: their states as scontrol reports them.
states() { scontrol show job -o "$1" | sed -n 's/.*JobState=\([A-Z_]*\).*/\1/p' | sort -u | tr '\n' ' '; }
# Waits until job $1 (every task of an array) has ended, at most $2 seconds.
wait_job() {
  local seconds=$(($2 * 5))
  while [ "$seconds" -gt 0 ]; do
    alive "${daemons[1]}" slurmctld
    alive "${daemons[2]}" slurmd
    case " $(states "$1")" in
      *" PENDING "* | *" RUNNING "* | *" CONFIGURING "* | *" COMPLETING "* | *" REQUEUED "* | *" SUSPENDED "*) ;;
      *) return 0 ;;
    esac
    sleep 0.2
    seconds=$((seconds - 1))
  done
  fail "job $1 has not ended after $2 s: $(states "$1")"
}
# Submits through the script; sets array and merge to the two job ids.
submit() {
  "$root/scripts/tiles-slurm.sh" "$input" "$out" 4 --output="$work/logs/%x-%j.out" \
    -- "${tile_options[@]}" | tee "$work/submit.txt"
  array=$(sed -n 's/^array job \([0-9]*\):.*/\1/p' "$work/submit.txt")
  merge=$(sed -n 's/^merge job \([0-9]*\):.*/\1/p' "$work/submit.txt")
  if [ -z "$array" ] || [ -z "$merge" ]; then
    fail "tiles-slurm.sh printed no job ids"
  fi
  jobs+=("$array" "$merge")
}

# ---- The raster and the single run.
mkdir -p "$work/dem tiles"
"$maker" 4 601 "$work/dem tiles" 3 > /dev/null
input="$work/dem tiles/mosaic.vrt"
tile_options=(--max-zoom 10)
"$tool" tiles "$input" -o "$work/single" "${tile_options[@]}" > /dev/null

out="$work/slurm tiles"
status=0
"$root/scripts/tiles-slurm.sh" "$input" "$out" 0 > /dev/null 2>&1 || status=$?
[ "$status" -eq 2 ] || fail "0 shards: exit $status, want 2"
[ -z "$(squeue -h -o %i)" ] || fail "a refused command line submitted jobs"

# ---- A failing shard: the merge job never runs.
cat > "$work/flaky heightmesh" << EOF
#!/usr/bin/env bash
if [ "\${SLURM_ARRAY_TASK_ID:-}" = 2 ] && [ -e $(printf %q "$work/fail shard 2") ]; then
  echo "shard 2 fails, as asked" >&2
  exit 3
fi
exec $(printf %q "$tool") "\$@"
EOF
chmod +x "$work/flaky heightmesh"
export HEIGHTMESH="$work/flaky heightmesh"
touch "$work/fail shard 2"
submit
wait_job "$array" 150
wait_job "$merge" 30
[ "$(scontrol show job -o "${array}_2" | sed -n 's/.*JobState=\([A-Z_]*\).*/\1/p')" = FAILED ] ||
  fail "shard 2 did not fail: $(states "$array")"
[ "$(states "$merge")" = "CANCELLED " ] || fail "after a failed shard the merge job is $(states "$merge"), want CANCELLED"
[ ! -e "$out/layer.json" ] || fail "layer.json was written though a shard failed"

# ---- The same command again: the shards finish, the merge job follows.
rm "$work/fail shard 2"
submit
wait_job "$array" 150
wait_job "$merge" 60
[ "$(states "$array")" = "COMPLETED " ] || fail "array job: $(states "$array"), want COMPLETED"
[ "$(states "$merge")" = "COMPLETED " ] || fail "merge job: $(states "$merge"), want COMPLETED"
diff -r "$work/single" "$out" || fail "the merged tree differs from the single run's"
echo "4 Slurm shards and their merge match the single run ($(find "$out" -name '*.terrain' | wc -l) tiles)"
