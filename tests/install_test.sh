#!/usr/bin/env bash
# The installed package, away from the build tree: installs the build into a
# fresh prefix, builds tests/install_consumer against it with find_package and
# again with pkg-config, runs both, then moves the prefix elsewhere and meshes
# with the installed tool there.
#
#   install_test.sh BUILD_DIR CXX VERSION LIBDIR WITH_TOOL [LINK_FLAGS]
#
# LIBDIR is the install's library directory (CMAKE_INSTALL_LIBDIR).
#
# LINK_FLAGS are the sanitizer flags of a sanitizer build, whose jobhost
# needs their runtime.
set -euo pipefail
build=$1 cxx=$2 version=$3 libdir=$4 with_tool=$5 link_flags=${6:-}
here=$(cd "$(dirname "$0")" && pwd)

scratch=$(realpath "$(mktemp -d)")
trap 'rm -rf "$scratch"' EXIT
prefix=$scratch/prefix
fail() { echo "FAIL: $*" >&2; exit 1; }

cmake --install "$build" --prefix "$prefix" >/dev/null

for file in include/heightmesh/job_abi.h include/jobhost/jobhost.h "$libdir/libjobhost.a" \
            "$libdir/libheightfield_mesh.so" "$libdir/cmake/heightmesh/heightmeshConfig.cmake" \
            "$libdir/cmake/heightmesh/heightmeshConfigVersion.cmake" "$libdir/cmake/heightmesh/heightmeshTargets.cmake" \
            "$libdir/pkgconfig/heightmesh.pc"; do
  [ -f "$prefix/$file" ] || fail "$file is not installed"
done
# No installed header, CMake or pkg-config file may point back into the build
# or source tree.
if grep -rlF -e "$(cd "$build" && pwd)" -e "$(cd "$here/.." && pwd)" "$prefix/include" \
     "$prefix/$libdir/cmake" "$prefix/$libdir/pkgconfig"; then
  fail "the installed files above name the build or source tree"
fi

# find_package: the package of this prefix only, never a registry entry.
consumer=$scratch/consumer
cmake -S "$here/install_consumer" -B "$consumer" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_EXE_LINKER_FLAGS="$link_flags" \
  -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF \
  -DCONSUMER_HEIGHTMESH_VERSION="${version%.*}" >"$scratch/configure.log" ||
  { cat "$scratch/configure.log"; fail "the consumer does not configure"; }
grep -qF -- "-- heightmesh $version from $prefix/$libdir/cmake/heightmesh" "$scratch/configure.log" ||
  { cat "$scratch/configure.log"; fail "find_package did not find heightmesh $version in $prefix"; }
cmake --build "$consumer" >/dev/null || fail "the consumer does not build"
"$consumer/consumer" || fail "the consumer's job run"

# A newer minor version than the installed one is refused (before 1.0 a
# minor version may break the ABI).
IFS=. read -r major minor _ <<<"$version"
if cmake -S "$here/install_consumer" -B "$scratch/too-new" -G Ninja -DCMAKE_CXX_COMPILER="$cxx" \
     -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF \
     -DCONSUMER_HEIGHTMESH_VERSION="$major.$((minor + 1))" >"$scratch/too-new.log" 2>&1; then
  fail "find_package(heightmesh $major.$((minor + 1))) accepted version $version"
fi

# pkg-config: the same host from the .pc file's flags alone.
export PKG_CONFIG_PATH=$prefix/$libdir/pkgconfig
[ "$(pkg-config --modversion heightmesh)" = "$version" ] || fail "heightmesh.pc has version $(pkg-config --modversion heightmesh)"
read -r -a flags <<<"$(pkg-config --cflags --libs heightmesh)"
"$cxx" -std=c++20 -o "$scratch/pc-consumer" "$here/install_consumer/main.cpp" \
  "-DCONSUMER_LIBRARY_PATH=\"$prefix/$libdir/libheightfield_mesh.so\"" "${flags[@]}" $link_flags ||
  fail "the consumer does not build with pkg-config --cflags --libs heightmesh: ${flags[*]}"
"$scratch/pc-consumer" || fail "the pkg-config consumer's job run"

[ "$with_tool" = ON ] || exit 0

# The installed tool, its prefix moved: it finds the job library beside
# itself, needs no path into the build tree, and links system libraries only.
moved=$scratch/elsewhere/heightmesh
mkdir -p "$(dirname "$moved")"
mv "$prefix" "$moved"
tool=$moved/bin/heightmesh
if readelf -d "$tool" | grep -E 'R(UN)?PATH'; then
  fail "the installed tool carries a run path"
fi
if ldd "$tool" | grep -vE '^\s*(linux-vdso|/lib|/usr/lib|/lib64)|=> (/lib|/usr/lib)/' | grep .; then
  fail "the installed tool needs the shared libraries above from outside the system"
fi
[ "$("$tool" --version)" = "heightmesh $version" ] || fail "--version says '$("$tool" --version)', not $version"
(cd "$scratch" && "$tool" --size 64x64 -o x.ply) >"$scratch/tool.log" 2>&1 ||
  { cat "$scratch/tool.log"; fail "the moved tool does not mesh"; }
grep -qa "^element vertex 4096$" <(head -c 300 "$scratch/x.ply") || fail "x.ply does not hold 64 x 64 vertices"
help=$("$tool" --help)
[[ "$help" == *"$moved/$libdir/libheightfield_mesh.so"* ]] || fail "the moved tool's default library is not its own"
# The moved .pc file follows its prefix.
[ "$(PKG_CONFIG_PATH=$moved/$libdir/pkgconfig pkg-config --variable=includedir heightmesh)" -ef "$moved/include" ] ||
  fail "the moved heightmesh.pc does not name the moved include directory"
echo "installed, consumed and moved: OK"
