#!/usr/bin/env bash
# Builds the libFuzzer targets of the input roads with clang under ASan and
# UBSan and runs each for SECONDS from the seed corpus in fuzz/corpus; fails
# on any finding (its input is kept in BUILD_DIR/findings) and prints the
# executions of each target.
#
#   scripts/fuzz.sh [BUILD_DIR] [SECONDS]   # default: build-check/fuzz 20
#
# A longer run, e.g. an hour per target: scripts/fuzz.sh build-fuzz 3600
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build-check/fuzz}
seconds=${2:-20}
targets=(raster text tiles quantized_mesh)

cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_ASM_COMPILER=clang -DHEIGHTMESH_SANITIZE=ON -DHEIGHTMESH_FUZZ=ON -DHEIGHTMESH_BUILD_TESTS=OFF \
  -DHEIGHTMESH_BUILD_BENCH=OFF -DHEIGHTMESH_WERROR=ON >/dev/null
cmake --build "$dir" -j "$(nproc)" --target "${targets[@]/#/fuzz_}"

mkdir -p "$dir/findings"
status=0
for target in "${targets[@]}"; do
  # New inputs go to a working corpus beside the build; the seeds stay as they are.
  work="$dir/corpus/$target"
  mkdir -p "$work"
  log="$dir/fuzz_$target.log"
  seeds=fuzz/corpus/$target
  mkdir -p "$seeds"
  if "$dir/bin/fuzz_$target" "$work" "$seeds" -max_total_time="$seconds" -rss_limit_mb=2048 \
      -timeout=30 -print_final_stats=1 -artifact_prefix="$dir/findings/$target-" >"$log" 2>&1; then
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    echo "fuzz_$target: ${runs:-?} executions in ${seconds} s, no finding"
  else
    echo "FAIL: fuzz_$target found a fault; see $log and $dir/findings/" >&2
    tail -n 40 "$log" >&2
    status=1
  fi
done
exit "$status"
