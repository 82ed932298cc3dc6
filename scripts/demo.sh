#!/usr/bin/env bash
# The run command: installs what is missing (the build tools and the tool's
# libraries, no test or Windows packages), builds heightmesh in release, and
# turns the built-in terrain into a glTF mesh and a shaded preview under out/.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh demo  # HEIGHTMESH_SKIP_DEPS=1 skips it
cmake -S . -B build-demo -G Ninja -DCMAKE_BUILD_TYPE=Release -DHEIGHTMESH_BUILD_TESTS=OFF -DHEIGHTMESH_BUILD_BENCH=OFF
cmake --build build-demo -j "$(nproc)" --target heightmesh
mkdir -p out
build-demo/bin/heightmesh -o out/terrain.glb --preview out/terrain-preview.png --normal-map out/terrain-normals.png --stats "$@"
echo
echo "The mesh is $(pwd)/out/terrain.glb; the preview $(pwd)/out/terrain-preview.png;"
echo "the normal map $(pwd)/out/terrain-normals.png."
