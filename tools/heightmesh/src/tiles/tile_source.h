// The heights of a raster of any CRS at the points of the geographic tile
// lattice: GDAL's warper, tile by tile, onto WGS 84 longitude and latitude,
// with a halo beyond the tile's edges. Every lattice point gets the same
// value whichever tile reads it (the transform is exact at every point and
// the resampling scale is fixed per level), so neighbouring tiles agree on
// the samples they share.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tiles/tiling.h"

namespace heightmesh::tool {

struct TileSourceOptions {
    std::filesystem::path input;
    int32_t band = 1;
    std::optional<GeoRect> assumeBounds;  // places a raster without a georeference
    std::string resample = "bilinear";    // GDAL's name of the warper's resampling
    float heightOffset = 0.0f;            // added to every height read (e.g. a geoid's height)
    int64_t cacheBytes = int64_t{64} << 20;
};

// What is known of the raster from its header.
struct TileSourceFacts {
    std::string name;  // quoted path, for messages
    int64_t width = 0, height = 0;
    GeoRect bounds;                     // in longitude and latitude
    double spacingMetres = 0;           // the finer of its two pixel spacings on the ground
    double spacingX = 0, spacingY = 0;  // metres between columns and between rows, at its centre
    int32_t overviews = 0;              // overview levels GDAL holds for it
};

// Opens the raster once to learn its bounds and spacing; throws ToolError
// for a file GDAL cannot read, a band it lacks, or a raster with no
// georeference (unless placed with assumeBounds).
TileSourceFacts DescribeTileSource(const TileSourceOptions& options);

// Each thread reads through its own reader (GDAL handles are not shared).
class TileReader {
public:
    TileReader(const TileSourceOptions& options, const TileSourceFacts& facts);
    ~TileReader();
    TileReader(const TileReader&) = delete;
    TileReader& operator=(const TileReader&) = delete;

    // The heights at the lattice points of `tile` (cells x cells cells) and
    // `halo` points beyond each edge: (cells + 1 + 2 * halo) squared, rows
    // from the north, columns from the west; NaN where there is no data.
    // Throws ToolError when GDAL fails.
    void Read(const TileKey& tile, int32_t cells, int32_t halo, std::vector<float>& heights);

    // The heights at the points [column, column + columns) x [row, row +
    // rows) of the whole lattice of `level` with `cells` cells per tile
    // (columns from the antimeridian eastward, rows from the north pole
    // southward); each point's height is the one every tile that holds it
    // reads.
    void ReadWindow(int32_t level, int32_t cells, int64_t column, int64_t row, int32_t columns, int32_t rows,
                    std::vector<float>& heights);

private:
    struct Level;
    Level& LevelFor(int32_t level, int32_t cells);

    TileSourceOptions options_;
    TileSourceFacts facts_;
    std::unique_ptr<Level> level_;  // the level read last
};

}  // namespace heightmesh::tool
