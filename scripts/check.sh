#!/usr/bin/env bash
# The test command: installs what is missing, then builds and runs every test
# twice, in a release build and in an AddressSanitizer + UndefinedBehaviorSanitizer
# build. The shared library's export audit runs in both.
#
#   scripts/check.sh            # both builds
#   scripts/check.sh release    # one of them: release or sanitize
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh

jobs=$(nproc)
builds=("${@:-release sanitize}")
for build in ${builds[*]}; do
  case "$build" in
    release)  options=(-DCMAKE_BUILD_TYPE=Release) ;;
    sanitize) options=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DHEIGHTMESH_SANITIZE=ON -DHEIGHTMESH_BUILD_BENCH=OFF) ;;
    *) echo "unknown build '$build' (release or sanitize)" >&2; exit 2 ;;
  esac
  dir="build-check/$build"
  echo "== $build build in $dir"
  cmake -S . -B "$dir" -G Ninja -DHEIGHTMESH_WERROR=ON "${options[@]}"
  cmake --build "$dir" -j "$jobs"
  (cd "$dir" && ctest --output-on-failure -j "$jobs")
done
