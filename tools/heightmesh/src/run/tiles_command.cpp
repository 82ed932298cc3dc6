// The tiles command line.
#include "run/tiles_command.h"

#include <malloc.h>

#include <cstdlib>
#include <limits>

#include <fmt/format.h>
#include <CLI/CLI.hpp>

#include <jobhost/jobhost.h>

#include "common/memory_budget.h"
#include "common/tool_error.h"
#include "run/option_text.h"
#include "tiles/shards.h"

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

const char* ProcessEnvironment(const char* name) { return std::getenv(name); }

void MakeWholePyramid(const PyramidOptions& options, std::ostream& out, ProgressLine& progress)
{
    MakePyramid(options, out, progress);
}

int32_t ParseCount(const std::string& text, const std::string& what)
{
    constexpr const char* kShape = "a whole number from 0 to 1000000";
    const uint32_t value = ParseList<uint32_t>(text, 1, what, kShape)[0];
    if (value > 1000000)
        throw UsageError(fmt::format("{}: '{}' is not {}", what, text, kShape));
    return static_cast<int32_t>(value);
}

// `--shard I/N`, or `--shard slurm` for the task of a Slurm job array.
void ParseShard(const std::string& text, const char* (*environment)(const char*), PyramidOptions& options)
{
    int32_t index = 0, count = 0;
    if (text == "slurm") {
        const auto variable = [&](const char* name) -> std::string {
            const char* value = environment(name);
            if (value == nullptr || *value == '\0')
                throw UsageError(
                    fmt::format("--shard slurm: {} is not set (run it as a task of sbatch --array)", name));
            return value;
        };
        const std::string id = variable("SLURM_ARRAY_TASK_ID");
        const char* min = environment("SLURM_ARRAY_TASK_MIN");
        index = ParseCount(id, "SLURM_ARRAY_TASK_ID") - (min && *min ? ParseCount(min, "SLURM_ARRAY_TASK_MIN") : 0);
        count = ParseCount(variable("SLURM_ARRAY_TASK_COUNT"), "SLURM_ARRAY_TASK_COUNT");
    } else {
        const std::size_t slash = text.find('/');
        if (slash == std::string::npos)
            throw UsageError(fmt::format("--shard: '{}' is not I/N (shard I of N, from 0) or slurm", text));
        index = ParseCount(text.substr(0, slash), "--shard");
        count = ParseCount(text.substr(slash + 1), "--shard");
    }
    if (count < 1)
        throw UsageError(fmt::format("--shard: {} shards: there must be at least one", count));
    if (index < 0 || index >= count)
        throw UsageError(
            fmt::format("--shard: shard {} of {} does not exist (they count from 0 to {})", index, count, count - 1));
    options.shardIndex = index;
    options.shardCount = count;
}

}  // namespace

std::optional<TilesRequest> ParseTilesCommand(int argc, const char* const* argv, std::ostream& out,
                                              const char* (*environment)(const char*))
{
    TilesRequest request;
    PyramidOptions& options = request.options;
    CLI::App app{
        "heightmesh tiles: writes a quantized-mesh-1.0 terrain tileset (the geographic EPSG:4326 tiling, "
        "gzip-compressed tiles, layer.json) from any raster GDAL opens, warped to WGS 84 tile by tile. "
        "Clients of such tilesets expect heights above the WGS 84 ellipsoid: for heights above sea level "
        "give --geoid-offset, or warp the raster to ellipsoidal heights with GDAL first.",
        "heightmesh tiles"};
    app.option_defaults()->always_capture_default();
    std::string input, output, bounds, assumeBounds, errorScale = "1", geoidOffset = "0", maxMemory;
    int32_t minZoom = 0, maxZoom = 0;
    app.add_option("INPUT", input, "raster or VRT mosaic in any CRS")->required();
    app.add_option("-o,--output", output, "folder of the tileset")->required();
    auto* minZoomOption = app.add_option("--min-zoom", minZoom, "coarsest level written")
                              ->check(WholeNumber<int32_t>(0, kMaxTileLevel))
                              ->default_str("0");
    auto* maxZoomOption = app.add_option("--max-zoom", maxZoom, "finest level written")
                              ->check(WholeNumber<int32_t>(0, kMaxTileLevel))
                              ->default_str("the first level whose error is at or below the raster's spacing");
    app.add_option("--bounds", bounds, "only tiles over W,S,E,N (degrees)")->default_str("the raster's");
    app.add_option("--error-scale", errorScale, "times each level's geometric error (77067.34 m / 2^level)");
    app.add_option("--resample", options.source.resample, "the warper's resampling")
        ->check(CLI::IsMember({"near", "bilinear", "cubic", "cubicspline", "lanczos", "average"}));
    app.add_option("--band", options.source.band, "band of heights")
        ->check(WholeNumber<int32_t>(1, std::numeric_limits<int32_t>::max()));
    app.add_option("--assume-bounds", assumeBounds,
                   "place a raster without a georeference at W,S,E,N (degrees, WGS 84)");
    app.add_option("--geoid-offset", geoidOffset, "metres added to every height (e.g. the geoid's height)");
    app.add_flag("--overwrite", options.overwrite, "replace another tileset in the folder");
    app.add_option("--threads", options.threads, "threads (0 = all cores)")
        ->check(WholeNumber<unsigned>(0, jobhost::JobSystem::kMaxWorkers));
    app.add_option("--max-memory", maxMemory,
                   "refuse a run estimated to need more (bytes, or K/M/G/T); GDAL's block cache gets a quarter")
        ->default_str("half the machine's memory");
    app.add_flag("--stats", options.stats, "print tiles, triangles, worst measured error and time per level");
    std::string shard, plan;
    bool merge = false;
    auto* shardOption =
        app.add_option("--shard", shard,
                       "make only shard I of N (I/N, from 0), or the task's of a Slurm job array (slurm: "
                       "SLURM_ARRAY_TASK_ID of SLURM_ARRAY_TASK_COUNT); then --merge");
    auto* planOption = app.add_option("--plan", plan, "print the partition into N shards and make nothing");
    auto* mergeOption =
        app.add_flag("--merge", merge, "once every shard is finished: the coarse levels and layer.json");
    shardOption->excludes(planOption)->excludes(mergeOption);
    planOption->excludes(mergeOption);
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp&) {
        out << app.help();
        return std::nullopt;
    } catch (const CLI::ParseError& error) {
        throw UsageError(error.what());
    }
    request.make = MakeWholePyramid;
    if (!shard.empty()) {
        ParseShard(shard, environment ? environment : ProcessEnvironment, options);
        request.make = MakeShard;
    } else if (!plan.empty()) {
        options.shardCount = ParseCount(plan, "--plan");
        if (options.shardCount < 1)
            throw UsageError("--plan: 0 shards: there must be at least one");
        request.make = PrintShardPlan;
    } else if (merge) {
        request.make = MergeShards;
    }
    if (options.overwrite && (!shard.empty() || merge))
        throw UsageError(
            fmt::format("--overwrite cannot be given to {}: it would remove other shards' tiles; clear "
                        "the folder with a whole run's --overwrite, or remove it",
                        merge ? "--merge" : "a shard"));
    options.source.input = input;
    options.output = output;
    if (minZoomOption->count() > 0)
        options.minZoom = minZoom;
    if (maxZoomOption->count() > 0)
        options.maxZoom = maxZoom;
    if (options.minZoom && options.maxZoom && *options.minZoom > *options.maxZoom)
        throw UsageError(fmt::format("--min-zoom {} is above --max-zoom {}", minZoom, maxZoom));
    options.bounds = ParseGeoRect(bounds, "--bounds");
    options.source.assumeBounds = ParseGeoRect(assumeBounds, "--assume-bounds");
    options.errorScale = ParseList<double>(errorScale, 1, "--error-scale", "a number")[0];
    if (!(options.errorScale > 0.0))
        throw UsageError(fmt::format("--error-scale: '{}' is not above 0", errorScale));
    options.source.heightOffset =
        static_cast<float>(ParseList<double>(geoidOffset, 1, "--geoid-offset", "a number")[0]);
    if (!maxMemory.empty()) {
        options.maxMemory = ParseByteCount(maxMemory, "--max-memory");
        options.source.cacheBytes =
            std::min(options.source.cacheBytes, std::max<int64_t>(*options.maxMemory / 4, 1 << 20));
    }
    if (options.source.band < 1)
        throw UsageError(fmt::format("--band: {} is not a band (they count from 1)", options.source.band));
    return request;
}

int RunTilesCommand(int argc, const char* const* argv, std::ostream& out, ProgressLine& progress)
{
    const std::optional<TilesRequest> request = ParseTilesCommand(argc, argv, out);
    if (!request)
        return 0;
    // GDAL's warper allocates and frees its buffers of a few MB per tile:
    // kept in the heap instead of mapped and unmapped each time, they cost
    // no page faults after the first tiles.
    mallopt(M_MMAP_THRESHOLD, 32 << 20);
    mallopt(M_TRIM_THRESHOLD, 128 << 20);
    request->make(request->options, out, progress);
    return 0;
}

}  // namespace heightmesh::tool
