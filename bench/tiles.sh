#!/usr/bin/env bash
# Benchmark of heightmesh tiles (run on demand, not in CI): generated
# elevation mosaics (bench/make_dem_tiles.cpp, one-degree tiles of 3601 x
# 3601 samples like SRTM's, in one VRT) tiled to their native maximum zoom.
# Prints tiles, the whole time and peak memory of each, and the per-level
# figures of --stats.
#
#   bench/tiles.sh [BUILD_DIR] [COUNT...]   # default: build 1 4; COUNT x COUNT tiles
#   SIZE=1201 bench/tiles.sh build 1        # one 1201 x 1201 tile (SRTM 3")
#   WORK=/big/disk bench/tiles.sh build 4 8 # the 16-tile mosaic and one 4 x larger
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
shift || true
counts=("${@:-1 4}")
counts=(${counts[*]})
size=${SIZE:-3601}
work=${WORK:-$build/bench-tiles}
tool=$build/bin/heightmesh
maker=$build/bin/heightmesh_make_dem_tiles
for program in "$tool" "$maker"; do
  [[ -x $program ]] || { echo "missing $program: cmake --build $build --target heightmesh heightmesh_make_dem_tiles" >&2; exit 2; }
done
command -v /usr/bin/time >/dev/null || { echo "needs /usr/bin/time (Debian package time)" >&2; exit 2; }
echo "cores: $(nproc)"
for count in "${counts[@]}"; do
  input=$work/mosaic-$count-$size
  if [ ! -f "$input/mosaic.vrt" ]; then
    mkdir -p "$input"
    "$maker" "$count" "$size" "$input" >/dev/null
  fi
  rm -rf "$work/out"
  /usr/bin/time -f "%e %M" -o "$work/time.txt" "$tool" tiles "$input/mosaic.vrt" -o "$work/out" --stats > "$work/stats.txt"
  read -r seconds kilobytes < "$work/time.txt"
  samples=$(( count * count * size * size ))
  echo "== $count x $count tiles of $size^2 ($(( samples / 1000000 )) M samples): $seconds s, peak $(( kilobytes / 1024 )) MiB"
  grep -E "^(wrote|level)" "$work/stats.txt"
  rm -rf "$work/out"
done
