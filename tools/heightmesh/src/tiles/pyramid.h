// A quantized-mesh tileset from one raster: every level's tiles made in
// parallel from warped reads, written gzip-compressed each through a
// temporary file, finest level first so that each tile knows which of its
// children exist, and layer.json written last.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "common/progress.h"
#include "tiles/tile_source.h"
#include "tiles/tiling.h"

namespace heightmesh::tool {

struct PyramidOptions {
    TileSourceOptions source;
    std::filesystem::path output;
    std::optional<int32_t> minZoom, maxZoom;  // none: 0, and the level matching the raster's spacing
    std::optional<GeoRect> bounds;            // none: the raster's
    double errorScale = 1.0;                  // times each level's error
    unsigned threads = 0;                     // 0: every core
    std::optional<int64_t> maxMemory;         // none: DefaultMemoryLimit()
    bool overwrite = false;                   // replace another tileset in the folder
    bool stats = false;
    int32_t shardIndex = 0, shardCount = 0;  // for a shard (--shard I/N) and the plan (--plan N)
};

// The lattice cells along a tile's side.
inline constexpr int32_t kTileCells = 256;

struct LevelReport {
    int32_t level = 0;
    int64_t tiles = 0;  // written
    int64_t kept = 0;   // already complete from an earlier run
    int64_t empty = 0;  // read but without data: neither written nor listed
    int64_t triangles = 0;
    double budget = 0.0;  // the level's error bound, metres
    double error = 0.0;   // the worst measured of its tiles, metres
    double seconds = 0.0;
};

struct PyramidReport {
    TileSourceFacts source;
    GeoRect bounds;
    int32_t minZoom = 0, maxZoom = 0;
    std::vector<LevelReport> levels;  // finest first
};

// The finest level whose error bound is at or below the spacing (the first
// one fine enough for the data).
int32_t NativeMaxZoom(double spacingMetres, double errorScale);

// The tile range of a level over bounds: columns [x0, x1], rows [y0, y1].
struct TileRange {
    int64_t x0 = 0, y0 = 0, x1 = -1, y1 = -1;
    int64_t count() const { return x1 < x0 || y1 < y0 ? 0 : (x1 - x0 + 1) * (y1 - y0 + 1); }
};
TileRange TilesOver(const GeoRect& bounds, int32_t level);

// The memory a pyramid needs at its peak: what each thread's tile work and
// warp hold, GDAL's block cache and the process's own; independent of the
// raster's size.
int64_t EstimatePyramidBytes(unsigned threads, int64_t cacheBytes);

// Makes the tileset; throws ToolError (UsageError for options that do not
// fit the raster or the folder). Tiles already complete from an interrupted
// run of the same request stay and are not made again.
PyramidReport MakePyramid(const PyramidOptions& options, std::ostream& out, ProgressLine& progress);

}  // namespace heightmesh::tool
