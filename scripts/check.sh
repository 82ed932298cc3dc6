#!/usr/bin/env bash
# The test command: installs what is missing, then builds and runs every test
# three times, in a release build, in a release build with clang and in an
# AddressSanitizer + UndefinedBehaviorSanitizer build (the shared library's
# export audit runs in all three; after the sanitizer build, clang's libFuzzer
# runs every input road for about a minute, scripts/fuzz.sh), then jobhost's
# tests in a ThreadSanitizer build, and last it cross-builds
# heightfield_mesh.dll with mingw-w64 and runs its audit and tests under Wine.
#
#   scripts/check.sh            # all five builds
#   scripts/check.sh release    # one of them: release, clang, sanitize, thread or windows
set -euo pipefail
cd "$(dirname "$0")/.."

jobs=$(nproc)
builds=("${@:-release clang sanitize thread windows}")

# What the builds asked for need installed (HEIGHTMESH_SKIP_DEPS=1 skips it);
# the whole run asks for every group its builds may use.
if [ "$#" -eq 0 ]; then
  groups=(build test windows clang browser cluster)
else
  groups=()
  for build in ${builds[*]}; do
    case "$build" in
      release) groups+=(build test browser cluster) ;;
      thread) groups+=(build test) ;;
      sanitize) groups+=(build test clang browser) ;;
      windows) groups+=(windows) ;;
      clang) groups+=(build test clang browser) ;;
    esac
  done
fi
scripts/install-deps.sh "${groups[@]}"
# The browser test's npm packages, into web/node_modules.
case " ${groups[*]} " in *" browser "*) scripts/install-web.sh ;; esac
for build in ${builds[*]}; do
  case "$build" in
    release)  options=(-DCMAKE_BUILD_TYPE=Release) ;;
    clang)    options=(-DCMAKE_BUILD_TYPE=Release -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++
                       -DCMAKE_ASM_COMPILER=clang) ;;
    sanitize) options=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DHEIGHTMESH_SANITIZE=ON -DHEIGHTMESH_BUILD_BENCH=OFF) ;;
    windows)  options=(-DCMAKE_BUILD_TYPE=Release -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake) ;;
    thread) ;;
    *) echo "unknown build '$build' (release, clang, sanitize, thread or windows)" >&2; exit 2 ;;
  esac
  # ---- thread: jobhost and its tests under ThreadSanitizer ------------------
  # The worker pool, work stealing and failure hand-over run on real threads
  # here; the job library itself is built as always, without the sanitizer.
  if [ "$build" = thread ]; then
    dir="build-check/thread"
    echo "== thread build in $dir"
    cmake -S . -B "$dir" -G Ninja -DHEIGHTMESH_WERROR=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DHEIGHTMESH_SANITIZE_THREAD=ON -DHEIGHTMESH_BUILD_BENCH=OFF
    cmake --build "$dir" -j "$jobs" --target jobhost_test
    TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" "$dir/bin/jobhost_test"
    continue
  fi
  # ---- end of the thread entry ----------------------------------------------
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
  # ---- sanitize: the input roads' fuzz targets, about a minute in all.
  if [ "$build" = sanitize ]; then
    scripts/fuzz.sh build-check/fuzz 20
  fi
done
