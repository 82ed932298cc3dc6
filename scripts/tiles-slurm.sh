#!/usr/bin/env bash
# A tile pyramid on a Slurm cluster: one array job of N tasks, each making
# one shard (heightmesh tiles ... --shard slurm), and a merge job that starts
# only once every task succeeded and makes the coarse levels and layer.json.
#
#   scripts/tiles-slurm.sh INPUT DIR N [sbatch options] [-- tiles options]
#
# The sbatch options apply to both jobs (e.g. --partition, --time,
# --cpus-per-task, --output); later ones win over the defaults set here. Each
# task runs with --threads $SLURM_CPUS_PER_TASK (1 without --cpus-per-task)
# unless the tiles options set --threads. INPUT and DIR must be reachable at
# the same paths on every node; relative ones are made absolute here.
#
# Resuming: when a task fails, Slurm cancels the merge job. Run the same
# command again: the shards that finished skip their work, the others redo
# what they had not finished, and a new merge job follows.
#
# HEIGHTMESH names the program (default: heightmesh on the nodes' PATH). When
# it runs here too, the partition is planned here first (--plan N), so a
# command line it cannot act on fails before anything is submitted;
# HEIGHTMESH_PLAN=0 submits without that check.
set -euo pipefail

driver=tiles-slurm engine=sbatch
# shellcheck source=scripts/tiles-arguments.sh
source "$(dirname "${BASH_SOURCE[0]}")/tiles-arguments.sh"
sbatch_options=("${engine_options[@]}")

# Expanded by the batch script on the node, not here.
# shellcheck disable=SC2016
threads=(--threads '${SLURM_CPUS_PER_TASK:-1}')
for option in "${tiles_options[@]}"; do
  case "$option" in --threads | --threads=*) threads=() ;; esac
done

command -v sbatch >/dev/null || { echo "tiles-slurm: sbatch is not on PATH (scripts/install-deps.sh cluster)" >&2; exit 1; }

if [ "${HEIGHTMESH_PLAN:-1}" != 0 ] && command -v "$tool" >/dev/null; then
  if ! plan=$("$tool" tiles "$input" -o "$dir" "${tiles_options[@]}" --plan "$shards" 2>&1); then
    echo "$plan" >&2
    echo "tiles-slurm: heightmesh cannot plan this run, so nothing was submitted" >&2
    exit 2
  fi
fi

# A batch script running heightmesh tiles with the given arguments, each
# quoted for the shell; $1 is what follows them (the shard or --merge).
batch_script() {
  local quoted
  quoted=$(printf ' %q' "$tool" tiles "$input" -o "$dir" "${tiles_options[@]}")
  printf '#!/usr/bin/env bash\nset -euo pipefail\nexec%s %s %s\n' "$quoted" "${threads[*]}" "$1"
}

# Printed by sbatch --parsable as ID or ID;CLUSTER.
submit() {
  local id
  id=$(sbatch --parsable "$@") || exit 1
  printf '%s' "${id%%;*}"
}

array=$(batch_script "--shard slurm" |
  submit --job-name=heightmesh-tiles "${sbatch_options[@]}" --array="0-$((shards - 1))")
if ! merge=$(batch_script --merge |
  submit --job-name=heightmesh-merge "${sbatch_options[@]}" \
    --dependency="afterok:$array" --kill-on-invalid-dep=yes); then
  echo "tiles-slurm: the merge job was not submitted; array job $array runs without it" \
    "(scancel $array, or run this command again once it is done)" >&2
  exit 1
fi

echo "array job $array: $shards shards of $dir"
echo "merge job $merge: the coarse levels and layer.json, once every shard succeeded"
echo "watch:  squeue -j $array,$merge"
echo "resume: if a shard fails the merge job is cancelled; run this command again (finished shards skip their work)"
