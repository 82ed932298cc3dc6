#!/usr/bin/env bash
# Installs the npm packages of web/package-lock.json into web/node_modules:
# CesiumJS, which heightmesh serve's viewer page loads, and puppeteer-core,
# which drives Debian's Chromium in the browser test (no browser of its own
# is downloaded). Does nothing when they are installed as the lock file
# says; HEIGHTMESH_SKIP_DEPS=1 skips it. Needs Node.js and npm
# (scripts/install-deps.sh browser).
set -euo pipefail
cd "$(dirname "$0")/../web"

if [ "${HEIGHTMESH_SKIP_DEPS:-0}" = 1 ]; then
  exit 0
fi
command -v npm >/dev/null || { echo "install-web: npm is missing (scripts/install-deps.sh browser)" >&2; exit 1; }
# npm keeps a copy of the lock file it installed from.
if [ -f node_modules/.package-lock.json ] && [ node_modules/.package-lock.json -nt package-lock.json ] &&
   [ -f node_modules/cesium/Build/Cesium/Cesium.js ] && [ -d node_modules/puppeteer-core ]; then
  exit 0
fi
echo "Installing the npm packages of web/package-lock.json"
PUPPETEER_SKIP_DOWNLOAD=1 npm ci --no-audit --no-fund --loglevel=error
