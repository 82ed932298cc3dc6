#!/usr/bin/env bash
# Benchmark of error-bounded simplification (run on demand, not in CI): fBm
# noise heightmaps (16-bit PNG, heights 0..1) of 512^2 to 4096^2, simplified
# to 0.1 % and 1 % of their range into a .glb, on one thread and on two.
# Prints per row the triangles, the whole process's wall time and peak
# memory, the simplify stage, and the stage's speed-up on two threads; the
# best of REPEAT runs each.
#
#   bench/simplify.sh [BUILD_DIR] [SIZE...]       # default: build 512 1024 2048 4096
#   REPEAT=5 bench/simplify.sh build 2048
#
# The inputs come from mkheights (MKHEIGHTS names its C source; `mkheights
# noise N N 1 tN.f32 tN.png`), or any 16-bit PNG given as INPUT_<N>=path.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
shift || true
sizes=("${@:-512 1024 2048 4096}")
sizes=(${sizes[*]})
repeat=${REPEAT:-3}
work=${WORK:-$build/bench-simplify}
tool=$build/bin/heightmesh
[[ -x $tool ]] || { echo "missing $tool: cmake --build $build --target heightmesh" >&2; exit 2; }
command -v /usr/bin/time >/dev/null || { echo "needs /usr/bin/time (Debian package time)" >&2; exit 2; }
mkdir -p "$work"
source=${MKHEIGHTS:-../shared/bench-inputs/mkheights.c}

input_for() {
  local n=$1 named="INPUT_$1"
  if [ -n "${!named:-}" ]; then echo "${!named}"; return; fi
  if [ ! -f "$work/t$n.png" ]; then
    if [ ! -x "$work/mkheights" ]; then
      [ -f "$source" ] || { echo "no input for $n: give INPUT_$n=file.png or MKHEIGHTS=mkheights.c" >&2; exit 2; }
      cc -O2 -o "$work/mkheights" "$source" -lz -lm
    fi
    (cd "$work" && ./mkheights noise "$n" "$n" 1 "t$n.f32" "t$n.png" >/dev/null)
  fi
  echo "$work/t$n.png"
}

# One row's run, twice: as a user runs it, for the wall time and peak memory,
# then with --stats (whose error measurement costs time and memory of its
# own) for the stage time and the triangles. Prints "wall_s peak_kb
# simplify_ms triangles".
run() {
  /usr/bin/time -f "%e %M" -o "$work/time.txt" "$tool" "$1" --max-error "$2" --threads "$3" -o "$work/out.glb" \
    > /dev/null
  "$tool" "$1" --max-error "$2" --threads "$3" -o "$work/out.glb" --stats > "$work/stats.txt"
  local wall kb ms tris
  read -r wall kb < "$work/time.txt"
  ms=$(sed -n 's/^stages:.*simplify \([0-9.]*\) ms.*/\1/p' "$work/stats.txt")
  tris=$(sed -n 's/^simplified: \([0-9]*\) triangles.*/\1/p' "$work/stats.txt")
  echo "$wall $kb $ms $tris"
}
best() { sort -g -k"$1" | head -1; }

echo "cores: $(nproc)"
printf '%-6s %-6s %10s %9s %9s %10s %10s %8s %9s\n' size bound triangles "wall 1t" "wall 2t" "stage 1t" "stage 2t" speedup "peak 2t"
for n in "${sizes[@]}"; do
  input=$(input_for "$n")
  for bound in 0.1% 1%; do
    one=() two=()
    for ((r = 0; r < repeat; r++)); do
      one+=("$(run "$input" "$bound" 1)")
      two+=("$(run "$input" "$bound" 2)")
    done
    read -r w1 _ _ _ < <(printf '%s\n' "${one[@]}" | best 1)
    read -r _ _ s1 tris < <(printf '%s\n' "${one[@]}" | best 3)
    read -r w2 _ _ _ < <(printf '%s\n' "${two[@]}" | best 1)
    read -r _ k2 _ _ < <(printf '%s\n' "${two[@]}" | best 2)
    read -r _ _ s2 _ < <(printf '%s\n' "${two[@]}" | best 3)
    printf '%-6s %-6s %10s %8ss %8ss %8sms %8sms %7sx %6sMB\n' "$n" "$bound" "$tris" "$w1" "$w2" "$s1" "$s2" \
      "$(echo "scale=2; $s1 / $s2" | bc)" "$(( k2 / 1024 ))"
  done
done
rm -f "$work/out.glb"
