// The options of the read stage: which band, which part of the raster, how
// far to reduce it, how its pixels give heights, and the memory limit of the
// run.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

#include "input/georeference.h"
#include "input/heightmap.h"
#include "input/tile_encoding.h"

namespace heightmesh::tool {

struct InputOptions {
    int32_t band = 0;                                // 0: band 1, or a colour image as luminance
    std::optional<PixelWindow> window;               // --window, source pixels
    std::optional<std::array<double, 4>> bounds;     // --bounds MINX,MINY,MAXX,MAXY in CRS units
    std::optional<GridSize> resample;                // --resample WxH
    std::optional<int32_t> maxSize;                  // --max-size N, the longest side
    HeightEncoding encoding = HeightEncoding::Gray;  // --encoding
    std::optional<TileAddress> tile;                 // --tile Z/X/Y
    std::optional<int64_t> maxMemory;                // --max-memory; none: DefaultMemoryLimit()

    // Whether the read reduces or crops the raster.
    bool Reshapes() const { return window || bounds || resample || maxSize; }
    // Whether any option but the memory limit is given: they apply to GDAL rasters only.
    bool ForRasters() const { return Reshapes() || band > 0 || encoding != HeightEncoding::Gray || tile; }
};

}  // namespace heightmesh::tool
