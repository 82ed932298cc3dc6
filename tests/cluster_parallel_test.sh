#!/usr/bin/env bash
# scripts/tiles-parallel.sh with a shard killed mid-way: a small generated
# raster is tiled once by a single heightmesh tiles, then in 4 shards through
# the script while shard 1 is killed with SIGKILL once it has finished one of
# its parts and not all of them.
# That run must fail, naming --resume-failed, with the kill in parallel's job
# log and no merge (heightmesh's own --merge must refuse too); the same
# command with --resume-failed must run shard 1 alone and merge, and the tree
# must be byte for byte the single run's. The paths hold spaces, for the
# script's quoting.
#
# Skipped (exit 77) only when GNU parallel is missing
# (scripts/install-deps.sh cluster).
#
#   tests/cluster_parallel_test.sh HEIGHTMESH MAKE_DEM_TILES WORK_DIR
set -euo pipefail
tool=$1 maker=$2 work=$3
root=$(cd "$(dirname "$0")/.." && pwd)
command -v parallel >/dev/null || { echo "cluster parallel test skipped: GNU parallel is missing (scripts/install-deps.sh cluster)"; exit 77; }
parallel --will-cite --version 2>/dev/null | grep -q "GNU parallel" ||
  { echo "cluster parallel test skipped: 'parallel' is not GNU parallel (scripts/install-deps.sh cluster)"; exit 77; }

rm -rf "$work" && mkdir -p "$work"
# The first run has a process group of its own, parallel and its shards
# with it, so that none outlives the test.
runner=
cleanup() { [ -n "$runner" ] && kill -- -"$runner" 2>/dev/null; wait 2>/dev/null || true; }
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
fail() { echo "FAIL: $*"; exit 1; }

mkdir -p "$work/dem tiles"
"$maker" 4 601 "$work/dem tiles" 3 > /dev/null
input="$work/dem tiles/mosaic.vrt"
tile_options=(--max-zoom 11)
"$tool" tiles "$input" -o "$work/single" "${tile_options[@]}" > /dev/null

out="$work/parallel tiles"
joblog="$out.joblog"
export HEIGHTMESH=$tool
status=0
"$root/scripts/tiles-parallel.sh" "$input" "$out" 0 > /dev/null 2>&1 || status=$?
[ "$status" -eq 2 ] || fail "0 shards: exit $status, want 2"
status=0
HEIGHTMESH_JOBLOG="$out/joblog" "$root/scripts/tiles-parallel.sh" "$input" "$out" 4 > /dev/null 2>&1 || status=$?
[ "$status" -eq 2 ] || fail "a job log inside the tileset's folder: exit $status, want 2"
[ ! -e "$out" ] || fail "a refused command line made $out"

# The process of shard 1/4 of this run, found by its own arguments.
shard_pid() {
  local file pid args i
  for file in /proc/[0-9]*/cmdline; do
    pid=${file#/proc/} && pid=${pid%/cmdline}
    mapfile -d '' args 2>/dev/null < "$file" || continue
    for ((i = 0; i + 1 < ${#args[@]}; i++)); do
      if [ "${args[i]}" = --shard ] && [ "${args[i + 1]}" = 1/4 ] && [[ " ${args[*]} " == *" -o $out "* ]]; then
        echo "$pid"
        return 0
      fi
    done
  done
  return 1
}

# Shard 1's parts, from the plan's "shard 1: ..." line with runs of a row as
# LEVEL/X0-X1/Y: the names of their records, LEVEL-X-Y.part.
"$tool" tiles "$input" -o "$out" "${tile_options[@]}" --plan 4 > "$work/plan.txt"
[ ! -e "$out" ] || fail "--plan made $out"
parts=()
while IFS=/- read -r level x0 x1 y; do
  for ((x = x0; x <= x1; x++)); do parts+=("$level-$x-$y.part"); done
done < <(sed -n 's/^shard 1:\(.*\)/\1/p' "$work/plan.txt" | grep -oE '[0-9]+/[0-9]+-[0-9]+/[0-9]+' || true)
[ "${#parts[@]}" -ge 2 ] || fail "shard 1 should have two parts or more in the plan: $(cat "$work/plan.txt")"
finished_parts() {
  local part count=0
  for part in "${parts[@]}"; do
    [ -e "$out/.heightmesh-parts/$part" ] && count=$((count + 1))
  done
  echo "$count"
}

# ---- The first run, with shard 1 killed once it finished a part.
setsid "$root/scripts/tiles-parallel.sh" "$input" "$out" 4 -- "${tile_options[@]}" > "$work/first.txt" 2>&1 &
runner=$!
killed=
for _ in $(seq 1200); do
  if pid=$(shard_pid) && [ "$(finished_parts)" -gt 0 ]; then
    kill -9 "$pid" 2>/dev/null && killed=$pid && break
  fi
  kill -0 "$runner" 2>/dev/null || break
  sleep 0.05
done
[ -n "$killed" ] || { cat "$work/first.txt"; fail "shard 1 was not caught at work (finished too soon?)"; }
done_parts=$(finished_parts)
status=0
wait "$runner" || status=$?
runner=
cat "$work/first.txt"
[ "$status" -ne 0 ] || fail "the run with a killed shard succeeded"
grep -q -- --resume-failed "$work/first.txt" || fail "the failed run does not say to rerun with --resume-failed"
# Job log columns: Seq Host Starttime JobRuntime Send Receive Exitval Signal Command.
signal=$(awk -F'\t' 'index($9, "--shard 1/4") { print $8 }' "$joblog")
[ "$signal" = 9 ] || fail "parallel's job log does not show shard 1 killed by signal 9: $(cat "$joblog")"
[ "$done_parts" -lt "${#parts[@]}" ] || fail "shard 1 had finished all its parts when it was killed"
[ ! -e "$out/layer.json" ] || fail "layer.json was written though a shard was killed"
status=0
"$tool" tiles "$input" -o "$out" "${tile_options[@]}" --merge > "$work/merge.txt" 2>&1 || status=$?
[ "$status" -ne 0 ] || fail "heightmesh --merge accepted a tree whose shard 1 was killed"
if [ "$(wc -l < "$work/merge.txt")" -ne 1 ] || ! grep -Eq 'shards? 1\b' "$work/merge.txt"; then
  fail "heightmesh --merge should name the unfinished shard on one line: $(cat "$work/merge.txt")"
fi

# ---- The same command with --resume-failed: shard 1 alone, then the merge.
"$root/scripts/tiles-parallel.sh" "$input" "$out" 4 --resume-failed -- "${tile_options[@]}"
runs=$(awk -F'\t' 'NR > 1 { print $9 }' "$joblog" | sed 's/.*--shard //' | sort | uniq -c | awk '{ printf "%s:%s ", $2, $1 }')
[ "$runs" = "0/4:1 1/4:2 2/4:1 3/4:1 " ] || fail "shard runs in the job log: $runs (want shard 1 twice, the others once)"
[ "$(awk -F'\t' 'END { print $7, $8 }' "$joblog")" = "0 0" ] || fail "the rerun of shard 1 failed: $(tail -n 1 "$joblog")"
diff -r "$work/single" "$out" || fail "the merged tree differs from the single run's"
echo "shard 1 was killed after $done_parts of its ${#parts[@]} parts"
echo "4 parallel shards, one killed and resumed, match the single run ($(find "$out" -name '*.terrain' | wc -l) tiles)"
