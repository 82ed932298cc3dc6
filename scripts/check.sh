#!/usr/bin/env bash
# The test command: installs what is missing, then builds and runs every test
# twice, in a release build and in an AddressSanitizer + UndefinedBehaviorSanitizer
# build. The shared library's export audit runs in both. Then it cross-builds
# heightfield_mesh.dll with mingw-w64 and runs its audit and tests under Wine.
#
#   scripts/check.sh            # all three builds
#   scripts/check.sh release    # one of them: release, sanitize or windows
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh

jobs=$(nproc)
builds=("${@:-release sanitize windows}")
for build in ${builds[*]}; do
  case "$build" in
    release)  options=(-DCMAKE_BUILD_TYPE=Release) ;;
    sanitize) options=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DHEIGHTMESH_SANITIZE=ON -DHEIGHTMESH_BUILD_BENCH=OFF) ;;
    windows)  options=(-DCMAKE_BUILD_TYPE=Release -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake) ;;
    *) echo "unknown build '$build' (release, sanitize or windows)" >&2; exit 2 ;;
  esac
  dir="build-check/$build"
  echo "== $build build in $dir"
  cmake -S . -B "$dir" -G Ninja -DHEIGHTMESH_WERROR=ON "${options[@]}"
  cmake --build "$dir" -j "$jobs"
  # ---- Windows: Wine must work here, or the run fails (it never skips).
  if [ "$build" = windows ]; then
    if ! tests/windows/wine_run.sh "$PWD/$dir/wine-prefix" "$PWD/$dir/bin/windows_library_test.exe" --gtest_list_tests >/dev/null; then
      echo "FAIL: Wine cannot run the Windows tests on this machine, so heightfield_mesh.dll is untested" >&2
      exit 1
    fi
  fi
  # ----
  (cd "$dir" && ctest --output-on-failure -j "$jobs")
done
