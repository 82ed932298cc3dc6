// The tileset, level by level from the finest.
#include "tiles/pyramid.h"

#include <sys/resource.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <fstream>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>

#include <fmt/format.h>
#include <zlib.h>
#include <nlohmann/json.hpp>

#include "common/file_io.h"
#include "common/memory_budget.h"
#include "common/parallel.h"
#include "common/tool_error.h"
#include "tiles/lattice_file.h"
#include "tiles/quantized_mesh.h"
#include "tiles/tile_mesh.h"

namespace heightmesh::tool {

namespace {

namespace fs = std::filesystem;

constexpr const char* kMarkerName = ".heightmesh-tileset";

// Which tiles of a level's range exist.
class Availability {
public:
    Availability() = default;
    explicit Availability(const TileRange& range) : range_(range), bits_(static_cast<std::size_t>(range.count()), 0) {}
    bool Has(int64_t x, int64_t y) const
    {
        return x >= range_.x0 && x <= range_.x1 && y >= range_.y0 && y <= range_.y1 && bits_[Index(x, y)];
    }
    void Set(int64_t x, int64_t y) { bits_[Index(x, y)] = 1; }
    int64_t Count() const { return std::count(bits_.begin(), bits_.end(), 1); }

    // The tiles as rectangles within [x0, x1] x [y0, y1]: runs of each row,
    // merged with the same runs of the rows above.
    nlohmann::json Rectangles(int64_t x0, int64_t y0, int64_t x1, int64_t y1) const
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
        std::sort(closed.begin(), closed.end(), [](const Open& a, const Open& b) {
            return std::tie(a.startY, a.startX) < std::tie(b.startY, b.startX);
        });
        nlohmann::json list = nlohmann::json::array();
        for (const Open& o : closed)
            list.push_back({{"startX", o.startX}, {"startY", o.startY}, {"endX", o.endX}, {"endY", o.endY}});
        return list;
    }

private:
    std::size_t Index(int64_t x, int64_t y) const
    {
        return static_cast<std::size_t>((y - range_.y0) * (range_.x1 - range_.x0 + 1) + (x - range_.x0));
    }
    TileRange range_;
    std::vector<uint8_t> bits_;
};

fs::path TilePath(const fs::path& root, const TileKey& tile)
{
    return root / std::to_string(tile.level) / std::to_string(tile.x) / (std::to_string(tile.y) + ".terrain");
}

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

// Whether a tile an earlier run left is whole: its gzip stream ends with
// the checksum and length of what it holds (a file cut short or zeroed by a
// crash before it reached the disk fails).
bool IntactTile(const fs::path& path)
{
    std::error_code error;
    if (!fs::is_regular_file(path, error))
        return false;
    std::vector<uint8_t> bytes;
    try {
        bytes = ReadFileBytes(path);
    } catch (const ToolError&) {
        return false;
    }
    z_stream stream{};
    if (inflateInit2(&stream, 15 + 16) != Z_OK)
        return false;
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
    return whole;
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
        {"heightOffset", options.heightOffset},
        {"cells", kTileCells},
    };
    if (options.source.assumeBounds) {
        const GeoRect& b = *options.source.assumeBounds;
        json["assumeBounds"] = {b.west, b.south, b.east, b.north};
    }
    return json.dump() + "\n";
}

// Readies the folder: made when missing; a folder holding this request's
// unfinished tileset is resumed; one holding anything else is refused
// unless `overwrite`, which removes the earlier tileset's own files (never
// anything else). Returns whether tiles already there count as complete.
bool PrepareFolder(const fs::path& root, const std::string& fingerprint, bool overwrite)
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
    std::string previous;
    if (std::ifstream in(marker); in) {
        std::ostringstream text;
        text << in.rdbuf();
        previous = text.str();
    }
    const bool empty = fs::is_empty(root, error);
    bool resume = false;
    if (!empty && previous == fingerprint) {
        resume = true;
    } else if (!empty) {
        if (!overwrite)
            throw UsageError(
                fmt::format("the output folder {} already holds {}; give --overwrite to replace it", Quoted(root),
                            previous.empty() ? "other files" : "a tileset made from other input or options"));
        // Only what a tileset consists of: level folders, layer.json, the marker.
        for (int32_t level = 0; level <= kMaxTileLevel; ++level)
            fs::remove_all(root / std::to_string(level), error);
        fs::remove(root / "layer.json", error);
        fs::remove(marker, error);
    }
    if (!resume) {
        AtomicFile file(marker);
        file.stream() << fingerprint;
        file.Commit();
    }
    return resume;
}

// The tiles made of a level: those over the bounds, and at level 0 both
// roots, which the client starts from.
TileRange LevelTiles(const GeoRect& bounds, int32_t level)
{
    return level == 0 ? TileRange{0, 0, 1, 0} : TilesOver(bounds, level);
}

}  // namespace

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
    PyramidReport report;
    report.source = DescribeTileSource(options.source);
    const TileSourceFacts& facts = report.source;
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
    report.bounds = area;
    report.maxZoom = options.maxZoom ? *options.maxZoom : NativeMaxZoom(facts.spacingMetres, options.errorScale);
    report.minZoom = options.minZoom ? *options.minZoom : 0;
    if (report.minZoom > report.maxZoom)
        throw UsageError(fmt::format("--min-zoom {} is above the maximum zoom {}", report.minZoom, report.maxZoom));

    const unsigned threads = ThreadCount(options.threads);
    const int64_t limit = options.maxMemory ? *options.maxMemory : DefaultMemoryLimit();
    const int64_t need = EstimatePyramidBytes(threads, options.source.cacheBytes);
    if (need > limit)
        throw ToolError(
            fmt::format("making tiles on {} threads needs about {}, above the memory limit of {}: give "
                        "fewer --threads or a larger --max-memory",
                        threads, ByteText(need), ByteText(limit)));

    const std::string fingerprint = Fingerprint(options, report.minZoom, report.maxZoom, area);
    const bool resume = PrepareFolder(options.output, fingerprint, options.overwrite);

    std::vector<Availability> available(static_cast<std::size_t>(report.maxZoom) + 2);
    // Each level's tiles as layer.json lists them; none below the minimum.
    nlohmann::json rectangles = nlohmann::json::array();
    for (int32_t level = 0; level <= report.maxZoom; ++level)
        rectangles.push_back(nlohmann::json::array());
    // The finest level is read through the warp; each coarser one from the
    // points the level below it stored.
    std::unique_ptr<LatticeFile> lattice;
    for (int32_t level = report.maxZoom; level >= report.minZoom; --level) {
        const Clock::time_point levelStart = Clock::now();
        std::unique_ptr<LatticeFile> coarser;
        if (level > report.minZoom)
            coarser = std::make_unique<LatticeFile>(options.output, level - 1, LevelTiles(area, level - 1), kTileCells);
        const TileRange range = LevelTiles(area, level);
        Availability& here = available[static_cast<std::size_t>(level)];
        here = Availability(range);
        const Availability& below = available[static_cast<std::size_t>(level) + 1];
        LevelReport levelReport;
        levelReport.level = level;
        levelReport.budget = LevelError(level) * options.errorScale;
        const int64_t total = range.count();
        const int64_t columns = range.x1 - range.x0 + 1;
        std::atomic<int64_t> next{0}, done{0};
        std::mutex mutex;
        progress.Begin(fmt::format("level {}: {} tiles", level, total));
        RunParts(std::min<unsigned>(threads, static_cast<unsigned>(std::max<int64_t>(total, 1))), [&](unsigned) {
            std::optional<TileReader> reader;
            std::vector<float> heights;
            LevelReport mine;
            std::vector<TileKey> written;
            for (int64_t k = next++; k < total; k = next++) {
                const TileKey tile{level, range.x0 + k % columns, range.y0 + k / columns};
                const fs::path path = TilePath(options.output, tile);
                const bool complete = resume && IntactTile(path);
                if (!complete || coarser) {
                    if (lattice) {
                        lattice->Read(tile, 1, heights);
                    } else {
                        if (!reader)
                            reader.emplace(options.source, facts);
                        reader->Read(tile, kTileCells, 1, heights);
                        if (options.heightOffset != 0.0f)
                            for (float& h : heights)
                                h += options.heightOffset;
                    }
                    if (coarser)
                        coarser->Store(tile, heights);
                }
                if (complete) {
                    ++mine.kept;
                    written.push_back(tile);
                } else {
                    TileMesh made = MakeTileMesh(tile, heights, kTileCells, levelReport.budget);
                    // The client starts from both root tiles and fails where
                    // one is missing: a root without data is the bare ellipsoid.
                    if (made.empty && level == 0) {
                        std::fill(heights.begin(), heights.end(), 0.0f);
                        made = MakeTileMesh(tile, heights, kTileCells, levelReport.budget);
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
                        WriteTile(path, Gzip(EncodeQuantizedMesh(made.mesh)));
                        ++mine.tiles;
                        mine.triangles += made.triangles;
                        mine.error = std::max(mine.error, made.error);
                        written.push_back(tile);
                    }
                }
                progress.Update(static_cast<double>(++done) / static_cast<double>(total));
            }
            std::lock_guard lock(mutex);
            for (const TileKey& tile : written)
                here.Set(tile.x, tile.y);
            levelReport.tiles += mine.tiles;
            levelReport.kept += mine.kept;
            levelReport.empty += mine.empty;
            levelReport.triangles += mine.triangles;
            levelReport.error = std::max(levelReport.error, mine.error);
        });
        progress.End();
        levelReport.seconds = SecondsSince(levelStart);
        report.levels.push_back(levelReport);
        rectangles[static_cast<std::size_t>(level)] = here.Rectangles(range.x0, range.y0, range.x1, range.y1);
        // The level below is no longer needed once this one knows its children.
        available[static_cast<std::size_t>(level) + 1] = Availability();
        lattice = std::move(coarser);
    }

    // layer.json last, so that a folder with it holds a complete tileset.
    nlohmann::json layer = {
        {"tilejson", "2.1.0"},
        {"name", options.source.input.filename().string()},
        {"format", "quantized-mesh-1.0"},
        {"version", "1.0.0"},
        {"scheme", "tms"},
        {"projection", "EPSG:4326"},
        {"tiles", {"{z}/{x}/{y}.terrain?v={version}"}},
        {"minzoom", report.minZoom},
        {"maxzoom", report.maxZoom},
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

    int64_t tiles = 0, kept = 0;
    for (const LevelReport& level : report.levels)
        tiles += level.tiles, kept += level.kept;
    out << fmt::format("wrote {} tiles of levels {}..{} to {}{}\n", tiles, report.minZoom, report.maxZoom,
                       Quoted(options.output), kept > 0 ? fmt::format(" ({} kept from an earlier run)", kept) : "");
    if (options.stats) {
        out << fmt::format("input:      {} ({} x {} samples, {:.2f} m apart)\n", facts.name, facts.width, facts.height,
                           facts.spacingMetres);
        out << fmt::format("bounds:     {:.6f},{:.6f},{:.6f},{:.6f}\n", area.west, area.south, area.east, area.north);
        for (const LevelReport& level : report.levels)
            out << fmt::format(
                "level {:2}:   {} tiles, {} kept, {} without data, {} triangles, worst error {:.3f} m "
                "of {:.3f} m, {:.2f} s\n",
                level.level, level.tiles, level.kept, level.empty, level.triangles, level.error, level.budget,
                level.seconds);
        out << fmt::format("time:       {:.2f} s\n", SecondsSince(started));
        out << fmt::format("memory:     {:.1f} MB peak\n", PeakMemoryBytes() / 1e6);
    }
    return report;
}

}  // namespace heightmesh::tool
