#!/usr/bin/env bash
# Installs the Debian 12 packages needed to build, test and run heightmesh.
# Installs only what is missing; safe to run again. Needs root (or sudo).
set -euo pipefail

packages=(
  cmake
  ninja-build
  g++
  binutils
  pkg-config
  libgtest-dev
  googletest
  libbenchmark-dev
  libcli11-dev
  libfmt-dev
  libstb-dev
  libtinygltf-dev
  nlohmann-json3-dev
  libpng-dev
  zlib1g-dev
  bc
  time
  assimp-utils
  libgdal-dev
  gdal-bin
  libmeshoptimizer-dev
  g++-mingw-w64-x86-64-posix
  wine64
)

missing=()
for package in "${packages[@]}"; do
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
  sudo=(sudo)
fi
echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
"${sudo[@]}" apt-get update -q
"${sudo[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
