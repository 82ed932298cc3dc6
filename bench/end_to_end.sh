#!/usr/bin/env bash
# End-to-end benchmark of the heightmesh tool (run on demand, not in CI).
#
# For each grid size it makes a 16-bit PNG heightmap, then for every output
# format runs `heightmesh INPUT -o OUT --stats` and, in the same run, the
# bound the write is measured against: reading the input (cat) plus writing
# the same number of bytes to the same file system with dd ... conv=fsync.
# Each is repeated and the best time kept. It prints the tool's stage times,
# the whole run, the bound, their ratio, and peak memory against the input
# heights plus the job's output buffers (4 + 32 bytes per grid point and 24
# per cell). It also times the built-in terrain at each size, and
# simplification to 0.1 %, 0.5 % and 1 % of the height range (written as
# .glb) of the built-in terrain (seed 1), or with SIMPLIFY_INPUT=png of the
# PNG above: triangles, the tool's simplification time, the whole run (for
# the built-in terrain including making it) and peak memory.
#
#   bench/end_to_end.sh [BUILD_DIR] [SIZES...]     # default: build 1024 2048 4096
#   REPEAT=3 WORK=/some/dir FORMATS="glb ply" BOUNDS="0.1%" bench/end_to_end.sh build 4096
#   FORMATS= BOUNDS="0.1% 1%" bench/end_to_end.sh     # simplification only
set -euo pipefail
cd "$(dirname "$0")/.."

build=${1:-build}
shift || true
sizes=("${@:-1024 2048 4096}")
sizes=(${sizes[*]})
repeat=${REPEAT:-2}
work=${WORK:-$build/bench-e2e}
tool=$build/bin/heightmesh
maker=$build/bin/heightmesh_make_heightmap
for program in "$tool" "$maker"; do
  [[ -x $program ]] || { echo "missing $program: cmake --build $build --target heightmesh heightmesh_make_heightmap" >&2; exit 2; }
done
command -v /usr/bin/time >/dev/null || { echo "needs /usr/bin/time (Debian package time)" >&2; exit 2; }
mkdir -p "$work"
trap 'rm -f "$work"/out.* "$work"/dd.bin' EXIT

now() { date +%s.%N; }
# Best (lowest) of a list of numbers.
best() { printf '%s\n' "$@" | sort -g | head -1; }

# Runs the tool once; sets wall, peak (kB) and stages.
run_tool() {
  local log=$work/time.log start end
  start=$(now)
  nice /usr/bin/time -f '%M' -o "$log" "$tool" "$@" --stats > "$work/stats.txt"
  end=$(now)
  wall=$(echo "$end - $start" | bc -l)
  peak=$(tail -1 "$log")
  stages=$(grep '^stages:' "$work/stats.txt" | sed 's/^stages: *//')
  # "simplified: N triangles, V vertices (...) in T ms"
  triangles=$(awk '/^simplified:/ {print $2}' "$work/stats.txt")
  simplify_ms=$(sed -n 's/^simplified:.* in \([0-9.]*\) ms.*/\1/p' "$work/stats.txt")
}

# The bound for one file: read the input, write `bytes` with fsync; sets bound.
run_bound() {
  local input=$1 bytes=$2 start end
  start=$(now)
  cat "$input" > /dev/null
  nice dd if=/dev/zero of="$work/dd.bin" bs=1M count="$bytes" iflag=count_bytes conv=fsync status=none
  end=$(now)
  rm -f "$work/dd.bin"
  bound=$(echo "$end - $start" | bc -l)
}

echo "heightmesh end to end: $(nproc) cores, best of $repeat, work directory $work"
printf '%-6s %-10s %12s %9s %9s %7s %7s %10s %8s  %s\n' size output bytes "run s" "bound s" ratio limit "peak MB" "mem x" stages
for size in "${sizes[@]}"; do
  input=$work/h$size.png
  [[ -f $input ]] || "$maker" "$size" "$input"
  base=$(echo "$size * $size * 36 + ($size - 1) * ($size - 1) * 24" | bc)
  for format in ${FORMATS-none glb ply stl obj ascii.stl gltf}; do
    walls=() bounds=() peaks=()
    for ((i = 0; i < repeat; i++)); do
      rm -f "$work"/out.*
      case $format in
        none) run_tool "$input" ;;
        ascii.stl) run_tool "$input" -o "$work/out.stl" --ascii ;;
        *) run_tool "$input" -o "$work/out.$format" ;;
      esac
      walls+=("$wall") peaks+=("$peak")
      [[ $i == 0 ]] && first_stages=$stages
      if [[ $format == none ]]; then
        bytes=0
        start=$(now); cat "$input" > /dev/null; end=$(now)
        bounds+=("$(echo "$end - $start" | bc -l)")
      else
        bytes=$(stat -c %s "$work"/out.*)
        rm -f "$work"/out.*
        run_bound "$input" "$bytes"
        bounds+=("$bound")
      fi
    done
    w=$(best "${walls[@]}") b=$(best "${bounds[@]}") p=$(best "${peaks[@]}")
    case $format in
      glb|ply|stl) limit=1.5 ;;
      obj|ascii.stl|gltf) limit=3 ;;
      *) limit=- ;;
    esac
    printf '%-6s %-10s %12s %9.3f %9.3f %7.2f %7s %10.1f %8.2f  %s\n' "$size" "$format" "$bytes" "$w" "$b" \
      "$(echo "$w / $b" | bc -l)" "$limit" "$(echo "$p / 1000" | bc -l)" "$(echo "$p * 1024 / $base" | bc -l)" "$first_stages"
  done
  for bound in ${BOUNDS-0.1% 0.5% 1%}; do
    walls=() peaks=() times=()
    for ((i = 0; i < repeat; i++)); do
      rm -f "$work"/out.*
      if [[ ${SIMPLIFY_INPUT:-terrain} == png ]]; then
        run_tool "$input" -o "$work/out.glb" --max-error "$bound"
      else
        run_tool --size "${size}x${size}" -o "$work/out.glb" --max-error "$bound"
      fi
      walls+=("$wall") peaks+=("$peak") times+=("$simplify_ms")
    done
    rm -f "$work"/out.*
    [[ ${printed_simplify_header-} ]] || printf '%-6s %-10s %12s %12s %9s %10s\n' size "max error" triangles "simplify ms" "run s" "peak MB"
    printed_simplify_header=1
    printf '%-6s %-10s %12s %12.1f %9.3f %10.1f\n' "$size" "$bound" "$triangles" "$(best "${times[@]}")" \
      "$(best "${walls[@]}")" "$(echo "$(best "${peaks[@]}") / 1000" | bc -l)"
  done
  printed_simplify_header=
  terrain=()
  for ((i = 0; i < repeat; i++)); do
    nice "$tool" --size "${size}x${size}" --stats > "$work/stats.txt"
    terrain+=("$(grep '^terrain:' "$work/stats.txt" | awk '{print $2}')")
  done
  printf '%-6s %-10s built-in terrain made in %.3f s (best of %s)\n' "$size" terrain "$(echo "$(best "${terrain[@]}") / 1000" | bc -l)" "$repeat"
done
