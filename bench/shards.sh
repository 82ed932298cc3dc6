#!/usr/bin/env bash
# Benchmark of sharded tilesets (run on demand, not in CI), on a generated
# mosaic of one-degree tiles (bench/make_dem_tiles.cpp) tiled to its native
# maximum zoom, in one run of each way:
#   - what sharding costs: one whole run against --plan 4, the 4 shards one
#     after another and --merge, all on every core;
#   - what shards at once gain: one whole run on one thread against 2 shards
#     at the same time on one thread each, then --merge.
# Each way runs REPEAT times (best taken); the trees are compared byte for
# byte every time.
#
#   bench/shards.sh [BUILD_DIR] [COUNT]     # default: build 2 (2 x 2 tiles of 3601^2)
#   SIZE=1201 REPEAT=1 bench/shards.sh build 4
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
count=${2:-2}
size=${SIZE:-3601}
repeat=${REPEAT:-3}
work=${WORK:-$build/bench-shards}
tool=$build/bin/heightmesh
maker=$build/bin/heightmesh_make_dem_tiles
for program in "$tool" "$maker"; do
  [[ -x $program ]] || { echo "missing $program: cmake --build $build --target heightmesh heightmesh_make_dem_tiles" >&2; exit 2; }
done
input=$work/mosaic-$count-$size
if [ ! -f "$input/mosaic.vrt" ]; then
  mkdir -p "$input"
  "$maker" "$count" "$size" "$input" >/dev/null
fi
vrt=$input/mosaic.vrt
now() { date +%s.%N; }
best() { printf '%s\n' "$@" | sort -g | head -1; }

whole() {  # threads
  rm -rf "$work/whole"
  local start; start=$(now)
  "$tool" tiles "$vrt" -o "$work/whole" --threads "$1" >/dev/null
  echo "$(now) - $start" | bc
}
in_turn() {  # shards, threads
  rm -rf "$work/shards"
  local start; start=$(now)
  "$tool" tiles "$vrt" -o "$work/shards" --threads "$2" --plan "$1" >/dev/null
  for ((i = 0; i < $1; i++)); do
    "$tool" tiles "$vrt" -o "$work/shards" --threads "$2" --shard "$i/$1" >/dev/null
  done
  "$tool" tiles "$vrt" -o "$work/shards" --threads "$2" --merge >/dev/null
  echo "$(now) - $start" | bc
}
at_once() {  # shards, threads each
  rm -rf "$work/shards"
  local start; start=$(now)
  local pids=()
  for ((i = 0; i < $1; i++)); do
    "$tool" tiles "$vrt" -o "$work/shards" --threads "$2" --shard "$i/$1" >/dev/null &
    pids+=($!)
  done
  for pid in "${pids[@]}"; do wait "$pid"; done
  "$tool" tiles "$vrt" -o "$work/shards" --threads "$2" --merge >/dev/null
  echo "$(now) - $start" | bc
}
same() { diff -r "$work/whole" "$work/shards" >/dev/null || { echo "the trees differ" >&2; exit 1; }; }

echo "cores: $(nproc); $count x $count tiles of $size^2 ($(( count * count * size * size / 1000000 )) M samples)"
"$tool" tiles "$vrt" -o "$work/shards" --plan 4
a=() b=() c=() d=()
for ((r = 0; r < repeat; r++)); do
  a+=("$(whole 0)"); b+=("$(in_turn 4 0)"); same
  c+=("$(whole 1)"); d+=("$(at_once 2 1)"); same
done
wa=$(best "${a[@]}") wb=$(best "${b[@]}") wc=$(best "${c[@]}") wd=$(best "${d[@]}")
echo "whole run, every core:                      $wa s"
echo "plan + 4 shards in turn + merge, every core: $wb s  ($(echo "scale=3; $wb / $wa" | bc)x)"
echo "whole run, one thread:                      $wc s"
echo "2 shards at once, one thread each + merge:  $wd s  ($(echo "scale=3; $wd / $wc" | bc)x)"
rm -rf "$work/whole" "$work/shards"
