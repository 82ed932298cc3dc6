// The tileset, level by level from the finest.
#include "tiles/pyramid.h"

#include <algorithm>
#include <cmath>
#include <memory>

#include <fmt/format.h>

#include "tiles/lattice_file.h"
#include "tiles/pyramid_steps.h"

namespace heightmesh::tool {

int64_t EstimatePyramidBytes(unsigned threads, int64_t cacheBytes)
{
    // Per thread: the warp's buffers (its limit, and the destination) and a
    // tile's heights, mask, simplification and encoding, measured at under
    // 16 MB; the process itself (GDAL, PROJ, the libraries) about 48 MB.
    constexpr int64_t kPerThread = int64_t{48} << 20, kProcess = int64_t{48} << 20;
    return kProcess + cacheBytes + static_cast<int64_t>(threads) * kPerThread;
}

int32_t NativeMaxZoom(double spacingMetres, double errorScale)
{
    for (int32_t level = 0; level < kMaxTileLevel; ++level)
        if (LevelError(level) * errorScale <= spacingMetres)
            return level;
    return kMaxTileLevel;
}

TileRange TilesOver(const GeoRect& bounds, int32_t level)
{
    const double size = 180.0 / static_cast<double>(TileRows(level));
    TileRange range;
    range.x0 =
        std::clamp<int64_t>(static_cast<int64_t>(std::floor((bounds.west + 180.0) / size)), 0, TileColumns(level) - 1);
    range.x1 = std::clamp<int64_t>(static_cast<int64_t>(std::ceil((bounds.east + 180.0) / size)) - 1, 0,
                                   TileColumns(level) - 1);
    range.y0 =
        std::clamp<int64_t>(static_cast<int64_t>(std::floor((bounds.south + 90.0) / size)), 0, TileRows(level) - 1);
    range.y1 =
        std::clamp<int64_t>(static_cast<int64_t>(std::ceil((bounds.north + 90.0) / size)) - 1, 0, TileRows(level) - 1);
    return range;
}

PyramidReport MakePyramid(const PyramidOptions& options, std::ostream& out, ProgressLine& progress)
{
    const Clock::time_point started = Clock::now();
    const PyramidRun run = ResolvePyramid(options);
    const bool resume = PrepareFolder(options.output, run.fingerprint, options.overwrite);
    PyramidReport report;
    report.source = run.facts;
    report.bounds = run.area;
    report.minZoom = run.minZoom;
    report.maxZoom = run.maxZoom;

    // Each level's tiles as layer.json lists them; none below the minimum.
    nlohmann::json rectangles = nlohmann::json::array();
    for (int32_t level = 0; level <= run.maxZoom; ++level)
        rectangles.push_back(nlohmann::json::array());
    // The finest level is read through the warp; each coarser one from the
    // points the level below it stored.
    report.levels = MakeLevelsDown(run, run.maxZoom, resume, nullptr, Availability(), rectangles, progress);
    WriteLayer(run, rectangles);
    // Records a sharded run into this folder left are void now.
    std::error_code error;
    std::filesystem::remove_all(PartsFolder(options.output), error);
    PrintPyramidReport(run, report.levels, started, "", out);
    return report;
}

}  // namespace heightmesh::tool
