#!/usr/bin/env bash
# A tile pyramid in N shards run by GNU parallel, here or on the hosts of an
# --sshloginfile that share the output folder, then merged here once every
# shard succeeded (heightmesh tiles ... --merge: the coarse levels and
# layer.json).
#
#   scripts/tiles-parallel.sh INPUT DIR N [parallel options] [-- tiles options]
#
# Each shard runs with --threads 1 unless the tiles options set --threads, and
# parallel runs as many shards at once as it runs jobs by default (one per
# core of each host; --jobs to change it), so a machine's cores are used by
# that many shards rather than by threads within one. The merge runs here
# with the tiles options as given (all cores unless --threads).
#
# parallel's job log is ${HEIGHTMESH_JOBLOG:-DIR.joblog}, a file beside DIR:
# DIR holds the tileset alone. If a shard fails, the script fails without
# merging; the same command with --resume-failed (a parallel option) reruns
# only the shards that failed or never ran, then merges. A shard that is run
# again keeps what it had finished.
#
# Paths are made absolute, as the other hosts need them. HEIGHTMESH names the
# program (default: heightmesh on each host's PATH); it must run here too,
# for the plan (--plan N, checked before any shard starts) and the merge.
set -euo pipefail

driver=tiles-parallel engine=parallel
# shellcheck source=scripts/tiles-arguments.sh
source "$(dirname "${BASH_SOURCE[0]}")/tiles-arguments.sh"
parallel_options=("${engine_options[@]}")
joblog=$(absolute "${HEIGHTMESH_JOBLOG:-$dir.joblog}")
case "$joblog" in
  "$dir"/*) echo "tiles-parallel: the job log $joblog must not be inside $dir, which holds the tileset alone" >&2; exit 2 ;;
esac

threads=(--threads 1)
for option in "${tiles_options[@]}"; do
  case "$option" in --threads | --threads=*) threads=() ;; esac
done

command -v parallel >/dev/null || { echo "tiles-parallel: GNU parallel is not on PATH (scripts/install-deps.sh cluster)" >&2; exit 1; }
# The plan first, here, where the merge runs too: a command line heightmesh
# cannot act on fails once, before any shard starts.
if ! plan=$("$tool" tiles "$input" -o "$dir" "${tiles_options[@]}" --plan "$shards" 2>&1); then
  echo "$plan" >&2
  echo "tiles-parallel: heightmesh cannot plan this run, so no shard was started" >&2
  exit 2
fi
mkdir -p "$(dirname "$joblog")"

numbers=()
for ((shard = 0; shard < shards; shard++)); do numbers+=("$shard"); done
# -q quotes every word of the command for the shell that runs it, here or
# on another host, so paths with spaces stay whole.
status=0
parallel --will-cite --joblog "$joblog" "${parallel_options[@]}" -q \
  "$tool" tiles "$input" -o "$dir" "${tiles_options[@]}" "${threads[@]}" --shard "{}/$shards" \
  ::: "${numbers[@]}" || status=$?
if [ "$status" -ne 0 ]; then
  if [ "$status" -le 100 ]; then
    echo "tiles-parallel: $status of $shards shards failed (see $joblog);" \
      "run the same command with --resume-failed to redo only those, then merge" >&2
  else
    echo "tiles-parallel: parallel failed (exit $status; see $joblog);" \
      "run the same command with --resume-failed to redo the shards that did not finish, then merge" >&2
  fi
  exit 1
fi

"$tool" tiles "$input" -o "$dir" "${tiles_options[@]}" --merge
