#!/usr/bin/env bash
# The tileset in a real browser: makes a small generated elevation raster,
# tiles it, serves it with heightmesh serve and runs web/
# terrain_check.mjs in Debian's headless Chromium against it: CesiumJS
# decodes every tile it shows, and its heights at 36 raster samples must lie
# within the finest level's error. Skipped (exit 77) when Chromium, Node.js
# or the npm packages (scripts/install-web.sh) are missing, saying which.
#
#   tests/browser_test.sh HEIGHTMESH MAKE_DEM_TILES WORK_DIR
set -euo pipefail
tool=$1 maker=$2 work=$3
root=$(cd "$(dirname "$0")/.." && pwd)
chromium=${CHROMIUM:-/usr/bin/chromium}
for need in "$chromium" node gdallocationinfo; do
  command -v "$need" >/dev/null || { echo "browser test skipped: $need is missing (scripts/install-deps.sh browser)"; exit 77; }
done
[ -d "$root/web/node_modules/puppeteer-core" ] && [ -f "$root/web/node_modules/cesium/Build/Cesium/Cesium.js" ] ||
  { echo "browser test skipped: the npm packages are missing (scripts/install-web.sh)"; exit 77; }

rm -rf "$work" && mkdir -p "$work"
server=
cleanup() { [ -n "$server" ] && kill "$server" 2>/dev/null; wait 2>/dev/null || true; }
trap cleanup EXIT

# One degree at 6 arc-seconds, smooth enough that the raster's samples and
# the tiles' lattice agree to well under a metre between their points.
"$maker" 1 601 "$work" 3 >/dev/null
"$tool" tiles "$work/N45E7.tif" -o "$work/tiles" --max-zoom 10 --error-scale 0.02 --stats | tee "$work/stats.txt"
max_zoom=$(sed -n 's/.*"maxzoom":\([0-9]*\).*/\1/p' "$work/tiles/layer.json")

# 36 pixel centres inside the raster, with the raster's own heights.
step=$(echo "1 / 600" | bc -l)
: > "$work/points.txt"
for r in 40 140 240 340 440 540; do
  for c in 30 130 230 330 430 560; do
    echo "$(echo "7 + $c * $step" | bc -l) $(echo "46 - $r * $step" | bc -l)" >> "$work/points.txt"
  done
done
gdallocationinfo -valonly -wgs84 "$work/N45E7.tif" < "$work/points.txt" > "$work/heights.txt"
paste -d' ' "$work/points.txt" "$work/heights.txt" |
  awk 'BEGIN { printf "[" } { printf "%s{\"lon\":%s,\"lat\":%s,\"height\":%s}", (NR > 1 ? "," : ""), $1, $2, $3 } END { print "]" }' \
  > "$work/points.json"

# The level's error, and two metres for the height steps and for the raster
# against the lattice between their points.
tolerance=$(echo "0.02 * 6378137 * 2 * 3.14159265358979 * 0.25 / 130 / 2^$max_zoom + 2" | bc -l)

"$tool" serve "$work/tiles" --port 0 > "$work/serve.txt" 2>&1 &
server=$!
for _ in $(seq 100); do
  grep -q "^serving" "$work/serve.txt" && break
  sleep 0.1
done
url=$(sed -n 's/.* at \(http[^ ]*\).*/\1/p' "$work/serve.txt")
[ -n "$url" ] || { echo "heightmesh serve did not start:"; cat "$work/serve.txt"; exit 1; }
# The server's own answers: compressed tiles said to be so, and CORS.
headers=$(node -e '
  fetch(process.argv[1] + "layer.json").then(async (r) => {
    const layer = await r.json();
    const [x, y] = [layer.available.at(-1)[0].startX, layer.available.at(-1)[0].startY];
    const t = await fetch(`${process.argv[1]}${layer.maxzoom}/${x}/${y}.terrain`);
    console.log(t.status, t.headers.get("content-encoding"), t.headers.get("access-control-allow-origin"));
  });' "$url")
[ "$headers" = "200 gzip *" ] || { echo "tile answer: $headers (want 200 gzip *)"; exit 1; }

(cd "$root/web" && node terrain_check.mjs "$url" "$work/points.json" "$tolerance" "$work/screenshot.png")
