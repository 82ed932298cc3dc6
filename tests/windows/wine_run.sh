#!/usr/bin/env bash
# Runs a Windows executable under Wine, in a Wine prefix of the build's own.
# The prefix is made on first use (about 10 s; later starts take a fraction
# of that). Fails with a plain message when Wine cannot run here: the Windows
# tests are never skipped silently.
#
#   wine_run.sh PREFIX PROGRAM.exe [ARGUMENTS...]
set -euo pipefail
prefix=$(realpath -m "$1")  # Wine wants an absolute prefix
shift
wine=${HEIGHTMESH_WINE:-/usr/lib/wine/wine64}
if [ ! -x "$wine" ]; then
  echo "FAIL: Wine cannot run the Windows tests: $wine is missing (scripts/install-deps.sh installs wine64)" >&2
  exit 1
fi
export WINEPREFIX=$prefix
export WINEDEBUG=-all
# No display, no Mono or Gecko installers, no debugger on a crash: a crashing
# test ends with its exception code instead of waiting for someone.
export WINEDLLOVERRIDES="mscoree=;mshtml=;winedbg.exe=d"
unset DISPLAY WAYLAND_DISPLAY

mkdir -p "$(dirname "$prefix")"
(
  flock 9
  if [ ! -f "$prefix/system.reg" ]; then
    rm -rf "$prefix"
    if ! log=$("$wine" wineboot -i 2>&1); then
      echo "FAIL: Wine cannot run here: making the Wine prefix $prefix failed:" >&2
      echo "$log" | tail -n 20 >&2
      exit 1
    fi
  fi
) 9>"$prefix.lock"
exec "$wine" "$@"
