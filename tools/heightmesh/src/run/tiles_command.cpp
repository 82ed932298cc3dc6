// The tiles command line.
#include "run/tiles_command.h"

#include <malloc.h>

#include <fmt/format.h>
#include <CLI/CLI.hpp>

#include "common/memory_budget.h"
#include "common/tool_error.h"
#include "run/option_text.h"

namespace heightmesh::tool {

namespace {

std::optional<GeoRect> ParseGeoRect(const std::string& text, const std::string& what)
{
    if (text.empty())
        return std::nullopt;
    const std::vector<double> v = ParseList<double>(text, 4, what, "four numbers W,S,E,N in degrees");
    const GeoRect rect{v[0], v[1], v[2], v[3]};
    if (!(rect.west >= -180.0 && rect.east <= 180.0 && rect.south >= -90.0 && rect.north <= 90.0 &&
          rect.west < rect.east && rect.south < rect.north))
        throw UsageError(
            fmt::format("{}: '{}' is not W,S,E,N with -180 <= W < E <= 180 and -90 <= S < N <= 90", what, text));
    return rect;
}

}  // namespace

std::optional<PyramidOptions> ParseTilesCommand(int argc, const char* const* argv, std::ostream& out)
{
    PyramidOptions options;
    CLI::App app{
        "heightmesh tiles: writes a quantized-mesh-1.0 terrain tileset (the geographic EPSG:4326 tiling, "
        "gzip-compressed tiles, layer.json) from any raster GDAL opens, warped to WGS 84 tile by tile. "
        "Clients of such tilesets expect heights above the WGS 84 ellipsoid: for heights above sea level "
        "give --geoid-offset, or warp the raster to ellipsoidal heights with GDAL first.",
        "heightmesh tiles"};
    app.option_defaults()->always_capture_default();
    std::string input, output, bounds, assumeBounds, errorScale = "1", geoidOffset = "0", maxMemory;
    int32_t minZoom = -1, maxZoom = -1;
    app.add_option("INPUT", input, "raster or VRT mosaic in any CRS")->required();
    app.add_option("-o,--output", output, "folder of the tileset")->required();
    app.add_option("--min-zoom", minZoom, "coarsest level written (0..24)")->default_str("0");
    app.add_option("--max-zoom", maxZoom, "finest level written (0..24)")
        ->default_str("the first level whose error is at or below the raster's spacing");
    app.add_option("--bounds", bounds, "only tiles over W,S,E,N (degrees)")->default_str("the raster's");
    app.add_option("--error-scale", errorScale, "times each level's geometric error (77067.34 m / 2^level)");
    app.add_option("--resample", options.source.resample, "the warper's resampling")
        ->check(CLI::IsMember({"near", "bilinear", "cubic", "cubicspline", "lanczos", "average"}));
    app.add_option("--band", options.source.band, "band of heights");
    app.add_option("--assume-bounds", assumeBounds,
                   "place a raster without a georeference at W,S,E,N (degrees, WGS 84)");
    app.add_option("--geoid-offset", geoidOffset, "metres added to every height (e.g. the geoid's height)");
    app.add_flag("--overwrite", options.overwrite, "replace another tileset in the folder");
    app.add_option("--threads", options.threads, "threads (0 = all cores)");
    app.add_option("--max-memory", maxMemory,
                   "refuse a run estimated to need more (bytes, or K/M/G/T); GDAL's block cache gets a quarter")
        ->default_str("half the machine's memory");
    app.add_flag("--stats", options.stats, "print tiles, triangles, worst measured error and time per level");
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp&) {
        out << app.help();
        return std::nullopt;
    } catch (const CLI::ParseError& error) {
        throw UsageError(error.what());
    }
    options.source.input = input;
    options.output = output;
    for (const auto& [value, name] : {std::pair{minZoom, "--min-zoom"}, std::pair{maxZoom, "--max-zoom"}})
        if (value != -1 && (value < 0 || value > kMaxTileLevel))
            throw UsageError(fmt::format("{}: {} is not a level from 0 to {}", name, value, kMaxTileLevel));
    if (minZoom >= 0)
        options.minZoom = minZoom;
    if (maxZoom >= 0)
        options.maxZoom = maxZoom;
    if (options.minZoom && options.maxZoom && *options.minZoom > *options.maxZoom)
        throw UsageError(fmt::format("--min-zoom {} is above --max-zoom {}", minZoom, maxZoom));
    options.bounds = ParseGeoRect(bounds, "--bounds");
    options.source.assumeBounds = ParseGeoRect(assumeBounds, "--assume-bounds");
    options.errorScale = ParseList<double>(errorScale, 1, "--error-scale", "a number")[0];
    if (!(options.errorScale > 0.0))
        throw UsageError(fmt::format("--error-scale: '{}' is not above 0", errorScale));
    options.heightOffset = static_cast<float>(ParseList<double>(geoidOffset, 1, "--geoid-offset", "a number")[0]);
    if (!maxMemory.empty()) {
        options.maxMemory = ParseByteCount(maxMemory, "--max-memory");
        options.source.cacheBytes =
            std::min(options.source.cacheBytes, std::max<int64_t>(*options.maxMemory / 4, 1 << 20));
    }
    if (options.source.band < 1)
        throw UsageError(fmt::format("--band: {} is not a band (they count from 1)", options.source.band));
    return options;
}

int RunTilesCommand(int argc, const char* const* argv, std::ostream& out, ProgressLine& progress)
{
    const std::optional<PyramidOptions> options = ParseTilesCommand(argc, argv, out);
    if (!options)
        return 0;
    // GDAL's warper allocates and frees its buffers of a few MB per tile:
    // kept in the heap instead of mapped and unmapped each time, they cost
    // no page faults after the first tiles.
    mallopt(M_MMAP_THRESHOLD, 32 << 20);
    mallopt(M_TRIM_THRESHOLD, 128 << 20);
    MakePyramid(*options, out, progress);
    return 0;
}

}  // namespace heightmesh::tool
