#!/usr/bin/env bash
# Rewrites tests/golden on purpose, after a change meant to alter the written
# files: builds the tool and its end-to-end test in BUILD_DIR (default build,
# configured here if it is not yet), runs the golden test with
# HEIGHTMESH_UPDATE_GOLDENS=1 so that it writes the files it makes in place of
# the golden ones that differ (pictures only when their pixels differ), and
# shows what changed. Review with git diff and commit the goldens with the change.
#
#   scripts/update-goldens.sh [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}

if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release
fi
# The test writes into the golden directory of the tree it was configured from.
source_dir=$(sed -n 's/^CMAKE_HOME_DIRECTORY:INTERNAL=//p' "$build/CMakeCache.txt")
if [ "$(cd "$source_dir" && pwd -P)" != "$(pwd -P)" ]; then
  echo "$build was configured from $source_dir, not from $(pwd -P)" >&2
  exit 2
fi
cmake --build "$build" -j "$(nproc)" --target tool_end_to_end_test heightmesh heightfield_mesh tool_failing_job
HEIGHTMESH_UPDATE_GOLDENS=1 "$build/bin/tool_end_to_end_test" \
  --gtest_filter=ToolEndToEnd.EveryFormatMatchesTheGoldenFiles --gtest_brief=1
if git diff --quiet -- tests/golden; then
  echo "The golden files are unchanged."
else
  git diff --stat -- tests/golden
fi
