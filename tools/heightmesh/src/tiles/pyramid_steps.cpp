// The steps of a tileset that every way of making one shares.
#include "tiles/pyramid_steps.h"

#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <mutex>
#include <sstream>

#include <fmt/format.h>
#include <zlib.h>

#include "common/file_io.h"
#include "common/memory_budget.h"
#include "common/parallel.h"
#include "common/tool_error.h"
#include "tiles/quantized_mesh.h"
#include "tiles/tile_mesh.h"

namespace heightmesh::tool {

namespace {

namespace fs = std::filesystem;

constexpr const char* kMarkerName = ".heightmesh-tileset";

// A tile's file, in its folder, through a temporary; the run syncs the
// file system once at its end.
void WriteTile(const fs::path& path, const std::vector<uint8_t>& bytes)
{
    std::error_code error;
    fs::create_directories(path.parent_path(), error);
    if (error)
        throw ToolError(fmt::format("cannot make the folder {}: {}", Quoted(path.parent_path()), error.message()));
    AtomicFile file(path, TemporaryKind::Unnamed, Durability::Deferred);
    file.stream().write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    file.Commit();
}

// What makes a tileset: the input file as it is now and every option that
// changes a byte of a tile.
std::string Fingerprint(const PyramidOptions& options, int32_t minZoom, int32_t maxZoom, const GeoRect& bounds)
{
    struct stat info {};
    std::error_code error;
    const fs::path input = fs::absolute(options.source.input, error);
    ::stat(options.source.input.c_str(), &info);
    nlohmann::json json = {
        {"input", input.string()},
        {"size", static_cast<int64_t>(info.st_size)},
        {"modified", static_cast<int64_t>(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec},
        {"band", options.source.band},
        {"resample", options.source.resample},
        {"minzoom", minZoom},
        {"maxzoom", maxZoom},
        {"bounds", {bounds.west, bounds.south, bounds.east, bounds.north}},
        {"errorScale", options.errorScale},
        {"heightOffset", options.source.heightOffset},
        {"cells", kTileCells},
    };
    if (options.source.assumeBounds) {
        const GeoRect& b = *options.source.assumeBounds;
        json["assumeBounds"] = {b.west, b.south, b.east, b.north};
    }
    return json.dump() + "\n";
}

// Whether a folder holds nothing but the temporaries of a run starting
// beside this one (another shard's, a moment ahead).
bool HoldsNothing(const fs::path& root)
{
    std::error_code error;
    for (const fs::directory_entry& entry : fs::directory_iterator(root, error)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind(".heightmesh-", 0) != 0 && name.rfind("..heightmesh-", 0) != 0)
            return false;
    }
    return !error;
}

}  // namespace

uint32_t Crc32(const void* data, std::size_t size)
{
    return static_cast<uint32_t>(crc32(0L, static_cast<const Bytef*>(data), static_cast<uInt>(size)));
}

std::string ReadText(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return {};
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

Availability::Availability(const TileRange& range) : range_(range), bits_(static_cast<std::size_t>(range.count()), 0) {}

nlohmann::json Availability::Rectangles(int64_t x0, int64_t y0, int64_t x1, int64_t y1) const
{
    x0 = std::max(x0, range_.x0), y0 = std::max(y0, range_.y0);
    x1 = std::min(x1, range_.x1), y1 = std::min(y1, range_.y1);
    struct Open {
        int64_t startX, endX, startY, endY;
    };
    std::vector<Open> open, closed;
    for (int64_t y = y0; y <= y1; ++y) {
        std::vector<std::pair<int64_t, int64_t>> runs;
        for (int64_t x = x0; x <= x1; ++x) {
            if (!Has(x, y))
                continue;
            int64_t end = x;
            while (end + 1 <= x1 && Has(end + 1, y))
                ++end;
            runs.push_back({x, end});
            x = end;
        }
        std::vector<Open> next;
        for (const auto& run : runs) {
            const int64_t a = run.first, b = run.second;
            auto same =
                std::find_if(open.begin(), open.end(), [&](const Open& o) { return o.startX == a && o.endX == b; });
            if (same != open.end()) {
                same->endY = y;
                next.push_back(*same);
                open.erase(same);
            } else {
                next.push_back({a, b, y, y});
            }
        }
        closed.insert(closed.end(), open.begin(), open.end());
        open = std::move(next);
    }
    closed.insert(closed.end(), open.begin(), open.end());
    std::sort(closed.begin(), closed.end(),
              [](const Open& a, const Open& b) { return std::tie(a.startY, a.startX) < std::tie(b.startY, b.startX); });
    nlohmann::json list = nlohmann::json::array();
    for (const Open& o : closed)
        list.push_back({{"startX", o.startX}, {"startY", o.startY}, {"endX", o.endX}, {"endY", o.endY}});
    return list;
}

TileRange LevelTiles(const GeoRect& bounds, int32_t level)
{
    return level == 0 ? TileRange{0, 0, 1, 0} : TilesOver(bounds, level);
}

fs::path TilePath(const fs::path& root, const TileKey& tile)
{
    return root / std::to_string(tile.level) / std::to_string(tile.x) / (std::to_string(tile.y) + ".terrain");
}

fs::path PartsFolder(const fs::path& root) { return root / ".heightmesh-parts"; }

std::optional<TileRecord> IntactTile(const fs::path& path, const TileKey& tile)
{
    std::error_code error;
    if (!fs::is_regular_file(path, error))
        return std::nullopt;
    std::vector<uint8_t> bytes;
    try {
        bytes = ReadFileBytes(path);
    } catch (const ToolError&) {
        return std::nullopt;
    }
    z_stream stream{};
    if (inflateInit2(&stream, 15 + 16) != Z_OK)
        return std::nullopt;
    std::vector<uint8_t> out(1 << 16);
    stream.next_in = bytes.data();
    stream.avail_in = static_cast<uInt>(bytes.size());
    int status = Z_OK;
    while (status == Z_OK) {
        stream.next_out = out.data();
        stream.avail_out = static_cast<uInt>(out.size());
        status = inflate(&stream, Z_NO_FLUSH);
    }
    const bool whole = status == Z_STREAM_END && stream.avail_in == 0 && stream.total_out >= 88;
    inflateEnd(&stream);
    if (!whole)
        return std::nullopt;
    return TileRecord{tile.x, tile.y, bytes.size(), Crc32(bytes.data(), bytes.size())};
}

bool FolderHolds(const fs::path& root, const std::string& fingerprint)
{
    return ReadText(root / kMarkerName) == fingerprint;
}

bool PrepareFolder(const fs::path& root, const std::string& fingerprint, bool overwrite, const char* remedy)
{
    std::error_code error;
    const fs::file_status status = fs::status(root, error);
    if (fs::exists(status) && !fs::is_directory(status))
        throw UsageError(fmt::format("the output folder {} is a file", Quoted(root)));
    if (!fs::exists(status)) {
        fs::create_directories(root, error);
        if (error)
            throw ToolError(fmt::format("cannot make the output folder {}: {}", Quoted(root), error.message()));
    }
    const fs::path marker = root / kMarkerName;
    const std::string previous = ReadText(marker);
    const bool empty = HoldsNothing(root);
    bool resume = false;
    if (!empty && previous == fingerprint) {
        resume = true;
    } else if (!empty) {
        if (!overwrite)
            throw UsageError(
                fmt::format("the output folder {} already holds {}; {}", Quoted(root),
                            previous.empty() ? "other files" : "a tileset made from other input or options", remedy));
        // Only what a tileset consists of: level folders, layer.json, the marker.
        for (int32_t level = 0; level <= kMaxTileLevel; ++level)
            fs::remove_all(root / std::to_string(level), error);
        fs::remove(root / "layer.json", error);
        fs::remove_all(PartsFolder(root), error);
        fs::remove(marker, error);
    }
    if (!resume) {
        AtomicFile file(marker);
        file.stream() << fingerprint;
        file.Commit();
    }
    return resume;
}

PyramidRun ResolvePyramid(const PyramidOptions& options)
{
    PyramidRun run;
    run.options = &options;
    run.facts = DescribeTileSource(options.source);
    const TileSourceFacts& facts = run.facts;
    GeoRect area = facts.bounds;
    if (options.bounds) {
        const GeoRect& b = *options.bounds;
        area = {std::max(area.west, b.west), std::max(area.south, b.south), std::min(area.east, b.east),
                std::min(area.north, b.north)};
        if (!(area.west < area.east && area.south < area.north))
            throw UsageError(fmt::format("--bounds {},{},{},{} miss {}, which covers {:.6f},{:.6f},{:.6f},{:.6f}",
                                         b.west, b.south, b.east, b.north, facts.name, facts.bounds.west,
                                         facts.bounds.south, facts.bounds.east, facts.bounds.north));
    }
    run.area = area;
    run.maxZoom = options.maxZoom ? *options.maxZoom : NativeMaxZoom(facts.spacingMetres, options.errorScale);
    run.minZoom = options.minZoom ? *options.minZoom : 0;
    if (run.minZoom > run.maxZoom)
        throw UsageError(fmt::format("--min-zoom {} is above the maximum zoom {}", run.minZoom, run.maxZoom));

    run.threads = ThreadCount(options.threads);
    const int64_t limit = options.maxMemory ? *options.maxMemory : DefaultMemoryLimit();
    const int64_t need = EstimatePyramidBytes(run.threads, options.source.cacheBytes);
    if (need > limit)
        throw ToolError(
            fmt::format("making tiles on {} threads needs about {}, above the memory limit of {}: give "
                        "fewer --threads or a larger --max-memory",
                        run.threads, ByteText(need), ByteText(limit)));
    run.fingerprint = Fingerprint(options, run.minZoom, run.maxZoom, area);
    for (int32_t level = 0; level <= run.maxZoom; ++level)
        run.ranges.push_back(LevelTiles(area, level));
    return run;
}

LevelReport MakeLevel(const PyramidRun& run, const LevelStep& step, ProgressLine& progress)
{
    const PyramidOptions& options = *run.options;
    const Clock::time_point started = Clock::now();
    const int32_t level = step.level;
    const TileRange& range = step.tiles;
    LevelReport report;
    report.level = level;
    report.budget = LevelError(level) * options.errorScale;
    const int64_t total = range.count();
    const int64_t columns = range.x1 - range.x0 + 1;
    const Availability none;
    const Availability& below = step.below ? *step.below : none;
    std::atomic<int64_t> next{0}, done{0};
    std::mutex mutex;
    if (!step.quiet)
        progress.Begin(step.label.empty() ? fmt::format("level {}: {} tiles", level, total) : step.label);
    const unsigned threads = std::min<unsigned>(run.threads, static_cast<unsigned>(std::max<int64_t>(total, 1)));
    if (step.readers && step.readers->size() < threads)
        step.readers->resize(threads);
    RunParts(threads, [&](unsigned part) {
        std::unique_ptr<TileReader> own;
        std::unique_ptr<TileReader>& reader = step.readers ? (*step.readers)[part] : own;
        std::vector<float> heights;
        LevelReport mine;
        std::vector<TileRecord> written;
        for (int64_t k = next++; k < total; k = next++) {
            const TileKey tile{level, range.x0 + k % columns, range.y0 + k / columns};
            const fs::path path = TilePath(options.output, tile);
            const std::optional<TileRecord> complete = step.resume ? IntactTile(path, tile) : std::nullopt;
            if (!complete || step.coarser) {
                if (step.lattice) {
                    step.lattice->Read(tile, 1, heights);
                } else {
                    if (!reader)
                        reader = std::make_unique<TileReader>(options.source, run.facts);
                    reader->Read(tile, kTileCells, 1, heights);
                }
                if (step.coarser)
                    step.coarser->Store(tile, heights);
            }
            if (complete) {
                ++mine.kept;
                written.push_back(*complete);
            } else {
                TileMesh made = MakeTileMesh(tile, heights, kTileCells, report.budget);
                // The client starts from both root tiles and fails where
                // one is missing: a root without data is the bare ellipsoid.
                if (made.empty && level == 0) {
                    std::fill(heights.begin(), heights.end(), 0.0f);
                    made = MakeTileMesh(tile, heights, kTileCells, report.budget);
                    made.error = 0.0;
                }
                if (made.empty) {
                    ++mine.empty;
                } else {
                    // Every tile names its children that exist (none at the
                    // finest level, whose level below is empty), which the
                    // client reads instead of layer.json's list when told
                    // metadataAvailability.
                    const nlohmann::json children = {
                        {"available", {below.Rectangles(2 * tile.x, 2 * tile.y, 2 * tile.x + 1, 2 * tile.y + 1)}}};
                    made.mesh.metadata = children.dump();
                    const std::vector<uint8_t> bytes = Gzip(EncodeQuantizedMesh(made.mesh));
                    WriteTile(path, bytes);
                    ++mine.tiles;
                    mine.triangles += made.triangles;
                    mine.error = std::max(mine.error, made.error);
                    written.push_back({tile.x, tile.y, bytes.size(), Crc32(bytes.data(), bytes.size())});
                }
            }
            if (!step.quiet)
                progress.Update(static_cast<double>(++done) / static_cast<double>(total));
        }
        std::lock_guard lock(mutex);
        for (const TileRecord& tile : written)
            step.here->Set(tile.x, tile.y);
        if (step.records)
            step.records->insert(step.records->end(), written.begin(), written.end());
        report.tiles += mine.tiles;
        report.kept += mine.kept;
        report.empty += mine.empty;
        report.triangles += mine.triangles;
        report.error = std::max(report.error, mine.error);
    });
    if (!step.quiet)
        progress.End();
    if (step.records)
        std::sort(step.records->begin(), step.records->end(),
                  [](const TileRecord& a, const TileRecord& b) { return std::tie(a.y, a.x) < std::tie(b.y, b.x); });
    report.seconds = SecondsSince(started);
    return report;
}

std::vector<LevelReport> MakeLevelsDown(const PyramidRun& run, int32_t from, bool resume,
                                        std::unique_ptr<LatticeFile> lattice, Availability below,
                                        nlohmann::json& rectangles, ProgressLine& progress)
{
    std::vector<LevelReport> reports;
    for (int32_t level = from; level >= run.minZoom; --level) {
        const TileRange& range = run.ranges[static_cast<std::size_t>(level)];
        std::unique_ptr<LatticeFile> coarser;
        if (level > run.minZoom)
            coarser = std::make_unique<LatticeFile>(run.options->output, level - 1,
                                                    run.ranges[static_cast<std::size_t>(level) - 1], kTileCells);
        Availability here(range);
        LevelStep step;
        step.level = level;
        step.tiles = range;
        step.resume = resume;
        step.lattice = lattice.get();
        step.coarser = coarser.get();
        step.below = &below;
        step.here = &here;
        reports.push_back(MakeLevel(run, step, progress));
        rectangles[static_cast<std::size_t>(level)] = here.Rectangles(range.x0, range.y0, range.x1, range.y1);
        // The level below is no longer needed once this one knows its children.
        below = std::move(here);
        lattice = std::move(coarser);
    }
    return reports;
}

void WriteLayer(const PyramidRun& run, const nlohmann::json& rectangles)
{
    const PyramidOptions& options = *run.options;
    const GeoRect& area = run.area;
    nlohmann::json layer = {
        {"tilejson", "2.1.0"},
        {"name", options.source.input.filename().string()},
        {"format", "quantized-mesh-1.0"},
        {"version", "1.0.0"},
        {"scheme", "tms"},
        {"projection", "EPSG:4326"},
        {"tiles", {"{z}/{x}/{y}.terrain?v={version}"}},
        {"minzoom", run.minZoom},
        {"maxzoom", run.maxZoom},
        {"bounds", {area.west, area.south, area.east, area.north}},
        {"extensions", {"octvertexnormals", "metadata"}},
        {"available", rectangles},
        // Each tile's metadata names its children: a client that reads them
        // needs both root tiles and no more of layer.json's list.
        {"metadataAvailability", 1},
    };
    // Every tile reaches the disk before layer.json says the set is whole.
    SyncFileSystem(options.output);
    AtomicFile file(options.output / "layer.json");
    file.stream() << layer.dump() << "\n";
    file.Commit();
}

void PrintPyramidReport(const PyramidRun& run, const std::vector<LevelReport>& steps, Clock::time_point started,
                        const std::string& prefix, std::ostream& out)
{
    const PyramidOptions& options = *run.options;
    // One line per level, finest first, whatever number of steps made it.
    std::vector<LevelReport> levels;
    for (const LevelReport& step : steps) {
        auto same =
            std::find_if(levels.begin(), levels.end(), [&](const LevelReport& l) { return l.level == step.level; });
        if (same == levels.end()) {
            levels.push_back(step);
            continue;
        }
        same->tiles += step.tiles, same->kept += step.kept, same->empty += step.empty;
        same->triangles += step.triangles, same->seconds += step.seconds;
        same->error = std::max(same->error, step.error);
    }
    std::sort(levels.begin(), levels.end(),
              [](const LevelReport& a, const LevelReport& b) { return a.level > b.level; });
    int64_t tiles = 0, kept = 0;
    for (const LevelReport& level : levels)
        tiles += level.tiles, kept += level.kept;
    const std::string span =
        levels.empty() ? "no levels" : fmt::format("levels {}..{}", levels.back().level, levels.front().level);
    out << fmt::format("{}wrote {} tiles of {} to {}{}\n", prefix, tiles, span, Quoted(options.output),
                       kept > 0 ? fmt::format(" ({} kept from an earlier run)", kept) : "");
    if (!options.stats)
        return;
    const TileSourceFacts& facts = run.facts;
    const GeoRect& area = run.area;
    out << fmt::format("input:      {} ({} x {} samples, {:.2f} m apart)\n", facts.name, facts.width, facts.height,
                       facts.spacingMetres);
    out << fmt::format("bounds:     {:.6f},{:.6f},{:.6f},{:.6f}\n", area.west, area.south, area.east, area.north);
    // A level made in several steps (a shard's parts) took their summed time.
    const char* summed = steps.size() > levels.size() ? " over its parts" : "";
    for (const LevelReport& level : levels)
        out << fmt::format(
            "level {:2}:   {} tiles, {} kept, {} without data, {} triangles, worst error {:.3f} m "
            "of {:.3f} m, {:.2f} s{}\n",
            level.level, level.tiles, level.kept, level.empty, level.triangles, level.error, level.budget,
            level.seconds, summed);
    out << fmt::format("time:       {:.2f} s\n", SecondsSince(started));
    out << fmt::format("memory:     {:.1f} MB peak\n", PeakMemoryBytes() / 1e6);
}

}  // namespace heightmesh::tool
