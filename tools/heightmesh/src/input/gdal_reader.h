// Rasters read through GDAL: any format it opens, one band (or colour as
// luminance, or heights packed into RGB), a window of it, reduced by GDAL's
// averaging while reading, with its no-data and its georeference.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "input/georeference.h"
#include "input/heightmap.h"
#include "input/input_options.h"

namespace heightmesh::tool {

// What a read will do, known from the raster's header before any pixel is
// read.
struct RasterPlan {
    std::string name;         // the quoted path, for messages
    std::string driver;       // GDAL's short driver name, e.g. GTiff
    int64_t rasterWidth = 0;  // the whole raster, pixels
    int64_t rasterHeight = 0;
    PixelWindow window;  // the pixels read
    GridSize grid;       // the grid made of them (smaller when resampled)
    bool image = false;  // samples scaled to 0..1 (an image without georeference)
    bool georeferenced = false;
    std::optional<GridSpacing> spacing;  // ground spacing when the raster or --tile gives it
    int64_t readBytes = 0;               // working memory of the read beyond the grid's heights
    int64_t cacheBytes = 0;              // GDAL's block cache while the window is read
    int64_t blockBytes = 0;  // the blocks GDAL decodes whole to read a pixel: the largest, for every band read
    std::string blockShape;  // that largest block, "W x H pixels", for messages
    std::string bands;       // which bands make a height, for --stats
};

class GdalRaster {
public:
    // Opens the raster and plans the read; throws ToolError (UsageError for
    // options that do not fit the raster). An image read as a mask always
    // gives 0..1 (`asMask`).
    // GDAL's block cache is held to a share of `memoryLimit` (0: the default
    // limit), and a raster whose blocks alone exceed it is refused.
    GdalRaster(const std::filesystem::path& path, const InputOptions& options, bool asMask = false,
               int64_t memoryLimit = 0);
    ~GdalRaster();
    GdalRaster(const GdalRaster&) = delete;
    GdalRaster& operator=(const GdalRaster&) = delete;

    const RasterPlan& plan() const noexcept { return plan_; }

    // Reads the planned window; samples without data (the band's no-data
    // value, its mask, or not finite) are marked in noData. Rows run north to
    // south and columns west to east whatever the raster's own order.
    Heightmap Read(const std::function<void(double)>& progress = {});

private:
    struct Dataset;
    std::unique_ptr<Dataset> dataset_;
    InputOptions options_;
    RasterPlan plan_;
    [[maybe_unused]] bool asMask_ = false;
};

// Throws ToolError unless the path names a regular file (or one of GDAL's
// virtual file systems, /vsi...): a device, pipe or directory is refused
// before it is read.
void CheckRegularFile(const std::filesystem::path& path);

}  // namespace heightmesh::tool
