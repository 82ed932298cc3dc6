#!/usr/bin/env bash
# Installs the Debian 12 packages that a command needs, by group:
#
#   scripts/install-deps.sh [GROUP...]     # default: build test
#
#   build    compiler, CMake, Ninja and the tool's libraries
#   demo     the same, what scripts/demo.sh needs
#   test     GoogleTest, Google Benchmark, libpng, assimp's reader and
#            clang-format (the style check), for a
#            build with its tests and benchmark program (scripts/check.sh)
#   bench    bc, GNU time and the GDAL tools, for bench/end_to_end.sh
#   windows  mingw-w64 and Wine, for the Windows DLL and its tests
#   clang    the clang compiler
#   browser  Chromium, Node.js, npm and the GDAL tools, for the tileset
#            viewer's browser test
#            (the npm packages themselves: scripts/install-web.sh)
#   cluster  Slurm, MUNGE and GNU parallel, for scripts/tiles-slurm.sh,
#            scripts/tiles-parallel.sh and their tests (which start a
#            one-machine Slurm cluster of their own)
#   all      every group
#
# Installs only what is missing (nothing is printed then); safe to run again.
# Needs root, or sudo. HEIGHTMESH_SKIP_DEPS=1 skips it. Without apt-get and
# dpkg it installs nothing: it lists the Debian packages of the groups with
# what they are for, and fails only if a program the groups need is not on
# PATH (the libraries are left to CMake's checks).
set -euo pipefail

if [ "${HEIGHTMESH_SKIP_DEPS:-0}" = 1 ]; then
  exit 0
fi

# The packages of each group; a package may be in several.
build_packages="cmake ninja-build g++ binutils pkg-config libcli11-dev libfmt-dev libstb-dev libtinygltf-dev
  nlohmann-json3-dev zlib1g-dev libgdal-dev libmeshoptimizer-dev libcpp-httplib-dev"
declare -A groups=(
  [build]=$build_packages
  [demo]=$build_packages
  [test]="libgtest-dev googletest libbenchmark-dev libpng-dev assimp-utils clang-format git"
  [bench]="bc time gdal-bin"
  [windows]="cmake ninja-build googletest g++-mingw-w64-x86-64-posix wine64"
  [clang]="clang"
  [browser]="chromium nodejs npm gdal-bin bc"
  [cluster]="slurm-wlm munge parallel"
)
# What each package is, for a system without them.
declare -A purpose=(
  [cmake]="CMake >= 3.25" [ninja-build]="Ninja" [g++]="a C++20 compiler (GCC >= 12)" [binutils]="readelf, objdump"
  [pkg-config]="pkg-config" [libcli11-dev]="CLI11" [libfmt-dev]="fmt" [libstb-dev]="stb (image headers)"
  [libtinygltf-dev]="tinygltf" [nlohmann-json3-dev]="nlohmann-json" [zlib1g-dev]="zlib" [libgdal-dev]="GDAL"
  [libmeshoptimizer-dev]="meshoptimizer" [libgtest-dev]="GoogleTest" [googletest]="GoogleTest sources"
  [libbenchmark-dev]="Google Benchmark" [libpng-dev]="libpng" [assimp-utils]="assimp's command-line reader"
  [bc]="bc" [time]="GNU time" [gdal-bin]="GDAL's command-line tools"
  [g++-mingw-w64-x86-64-posix]="mingw-w64 C++ cross compiler (POSIX threads)" [wine64]="Wine, to run Windows tests"
  [clang]="clang >= 14" [libcpp-httplib-dev]="cpp-httplib, for heightmesh serve" [chromium]="Chromium"
  [nodejs]="Node.js" [npm]="npm" [clang-format]="clang-format, for the style check" [git]="git, for the style check"
  [slurm-wlm]="Slurm (slurmctld, slurmd, sbatch), for tiling on a cluster"
  [munge]="MUNGE, Slurm's authentication" [parallel]="GNU parallel, for tiling on several machines"
)
# Programs a group needs on PATH, checked where packages cannot be.
declare -A programs=(
  [build]="cmake ninja c++ pkg-config"
  [demo]="cmake ninja c++ pkg-config"
  [test]="readelf"
  [bench]="bc /usr/bin/time"
  [windows]="cmake ninja x86_64-w64-mingw32-g++"  # Wine: HEIGHTMESH_WINE, see tests/windows/wine_run.sh
  [clang]="clang++"
  [browser]="chromium node npm gdallocationinfo bc"
  [cluster]="slurmctld slurmd munged sbatch parallel"
)

requested=("$@")
if [ "${#requested[@]}" -eq 0 ]; then
  requested=(build test)
fi
wanted=()
for group in "${requested[@]}"; do
  if [ "$group" = all ]; then
    wanted+=(build test bench windows clang browser cluster)
  elif [ -n "${groups[$group]+set}" ]; then
    wanted+=("$group")
  else
    echo "install-deps: unknown group '$group' (build, demo, test, bench, windows, clang, browser, cluster or all)" >&2
    exit 2
  fi
done

# The wanted groups' packages, each once, in order.
packages=()
declare -A seen=()
for group in "${wanted[@]}"; do
  for package in ${groups[$group]}; do
    if [ -z "${seen[$package]+set}" ]; then
      seen[$package]=1
      packages+=("$package")
    fi
  done
done

if ! command -v dpkg >/dev/null || ! command -v apt-get >/dev/null; then
  absent=()
  for group in "${wanted[@]}"; do
    for program in ${programs[$group]}; do
      command -v "$program" >/dev/null || absent+=("$program")
    done
  done
  echo "install-deps: no apt-get/dpkg here, so nothing is installed or checked beyond the programs on PATH." >&2
  if [ "${#absent[@]}" -eq 0 ]; then
    exit 0
  fi
  echo "Missing programs: ${absent[*]}. What the groups ${wanted[*]} need (Debian package: what it is):" >&2
  for package in "${packages[@]}"; do
    echo "  $package: ${purpose[$package]}" >&2
  done
  exit 1
fi

missing=()
for package in "${packages[@]}"; do
  # Node.js and npm from elsewhere (e.g. NodeSource's nodejs, which carries
  # npm) serve as well as Debian's, which would conflict with them.
  if { [ "$package" = nodejs ] && command -v node >/dev/null; } || { [ "$package" = npm ] && command -v npm >/dev/null; }; then
    continue
  fi
  # A package removed with its configuration kept is known to dpkg but not installed.
  if ! dpkg -s "$package" 2>/dev/null | grep -q '^Status: install ok installed'; then
    missing+=("$package")
  fi
done

if [ "${#missing[@]}" -eq 0 ]; then
  exit 0
fi

sudo=()
if [ "$(id -u)" -ne 0 ]; then
  if ! command -v sudo >/dev/null; then
    echo "install-deps: missing ${missing[*]}; run as root: apt-get install ${missing[*]}" >&2
    exit 1
  fi
  sudo=(sudo)
fi
echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
"${sudo[@]}" apt-get update -q
"${sudo[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
