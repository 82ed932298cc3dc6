// Shards of a tileset: the plan, a shard's parts, and the merge.
#include "tiles/shards.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <set>

#include <fmt/format.h>
#include "common/file_io.h"
#include "common/memory_budget.h"
#include "common/parallel.h"
#include "common/tool_error.h"
#include "mesh/tin_geometry.h"
#include "tiles/lattice_file.h"
#include "tiles/pyramid_steps.h"

namespace heightmesh::tool {

namespace {

namespace fs = std::filesystem;

// The tiles of `range` (a level's) that descend from `part`.
TileRange Descendants(const TileKey& part, int32_t level, const TileRange& range)
{
    const int32_t d = level - part.level;
    TileRange r;
    r.x0 = std::max(range.x0, part.x << d);
    r.x1 = std::min(range.x1, ((part.x + 1) << d) - 1);
    r.y0 = std::max(range.y0, part.y << d);
    r.y1 = std::min(range.y1, ((part.y + 1) << d) - 1);
    return r;
}

std::string PartName(const TileKey& key) { return fmt::format("{}/{}/{}", key.level, key.x, key.y); }

fs::path PartPath(const fs::path& root, const TileKey& key)
{
    return PartsFolder(root) / fmt::format("{}-{}-{}.part", key.level, key.x, key.y);
}

fs::path PlanPath(const fs::path& root) { return PartsFolder(root) / "plan"; }

std::string PlanText(const std::string& fingerprint, int32_t shards)
{
    return fmt::format("{}shards {}\n", fingerprint, shards);
}

// The number of shards a plan's text names, or 0 when it is not a plan of
// this request.
int32_t PlannedShards(const std::string& text, const std::string& fingerprint)
{
    int32_t shards = 0;
    if (text.compare(0, fingerprint.size(), fingerprint) != 0 ||
        std::sscanf(text.c_str() + fingerprint.size(), "shards %d", &shards) != 1 || shards < 1)
        return 0;
    return shards;
}

// What a shard leaves of a finished part: the tiles it wrote or found whole
// at each level, with their sizes and checksums, and the heights of the
// part's own tile, which the merge makes the levels above of.
struct PartRecord {
    TileKey key;
    std::vector<std::pair<int32_t, std::vector<TileRecord>>> levels;  // finest first
    std::vector<float> heights;  // (cells + 3) squared: the part's tile with a halo of one
};

constexpr char kPartMagic[16] = {'h', 'e', 'i', 'g', 'h', 't', 'm', 'e', 's', 'h', ' ', 'p', 'a', 'r', 't', '\n'};

class Writer {
public:
    template <class T>
    void Put(T value)
    {
        const auto at = bytes_.size();
        bytes_.resize(at + sizeof(T));
        std::memcpy(bytes_.data() + at, &value, sizeof(T));
    }
    void PutBytes(const void* data, std::size_t size)
    {
        const auto* p = static_cast<const char*>(data);
        bytes_.insert(bytes_.end(), p, p + size);
    }
    std::string& bytes() { return bytes_; }

private:
    std::string bytes_;
};

class Reader {
public:
    explicit Reader(const std::string& bytes) : bytes_(bytes) {}
    template <class T>
    bool Get(T& value)
    {
        if (bytes_.size() - at_ < sizeof(T))
            return false;
        std::memcpy(&value, bytes_.data() + at_, sizeof(T));
        at_ += sizeof(T);
        return true;
    }
    bool GetBytes(void* data, std::size_t size)
    {
        if (bytes_.size() - at_ < size)
            return false;
        std::memcpy(data, bytes_.data() + at_, size);
        at_ += size;
        return true;
    }
    std::size_t left() const { return bytes_.size() - at_; }

private:
    const std::string& bytes_;
    std::size_t at_ = 0;
};

// A part's record, written once its tiles are: a shard or merge that finds
// it and its tiles as it lists them knows the part is finished. (Its tiles
// are checked against it, so that the record may reach the disk before
// them: the shard syncs the file system once, at its end.)
void WritePart(const fs::path& root, const std::string& fingerprint, const PartRecord& part)
{
    Writer w;
    w.PutBytes(kPartMagic, sizeof kPartMagic);
    w.Put<uint32_t>(static_cast<uint32_t>(fingerprint.size()));
    w.PutBytes(fingerprint.data(), fingerprint.size());
    w.Put<int32_t>(part.key.level), w.Put<int64_t>(part.key.x), w.Put<int64_t>(part.key.y);
    w.Put<uint32_t>(static_cast<uint32_t>(part.levels.size()));
    for (const auto& [level, tiles] : part.levels) {
        w.Put<int32_t>(level);
        w.Put<uint64_t>(tiles.size());
        for (const TileRecord& tile : tiles)
            w.Put<int64_t>(tile.x), w.Put<int64_t>(tile.y), w.Put<uint64_t>(tile.size), w.Put<uint32_t>(tile.crc);
    }
    w.Put<uint64_t>(part.heights.size());
    w.PutBytes(part.heights.data(), part.heights.size() * sizeof(float));
    w.Put<uint32_t>(Crc32(w.bytes().data(), w.bytes().size()));
    std::error_code error;
    fs::create_directories(PartsFolder(root), error);
    AtomicFile file(PartPath(root, part.key), TemporaryKind::Unnamed, Durability::Deferred);
    file.stream().write(w.bytes().data(), static_cast<std::streamsize>(w.bytes().size()));
    file.Commit();
}

enum class PartState { Finished, Missing, Damaged, Foreign };

// Reads a part's record: Foreign when it was made for another request.
PartState ReadPart(const fs::path& root, const std::string& fingerprint, const TileKey& key, PartRecord& part)
{
    const fs::path path = PartPath(root, key);
    std::error_code error;
    if (!fs::exists(path, error))
        return PartState::Missing;
    const std::string bytes = ReadText(path);
    if (bytes.size() < sizeof kPartMagic + 4 || std::memcmp(bytes.data(), kPartMagic, sizeof kPartMagic) != 0)
        return PartState::Damaged;
    uint32_t stored = 0;
    std::memcpy(&stored, bytes.data() + bytes.size() - 4, 4);
    if (Crc32(bytes.data(), bytes.size() - 4) != stored)
        return PartState::Damaged;
    Reader r(bytes);
    char magic[sizeof kPartMagic];
    uint32_t length = 0;
    r.GetBytes(magic, sizeof magic);
    if (!r.Get(length) || length > r.left())
        return PartState::Damaged;
    std::string theirs(length, '\0');
    r.GetBytes(theirs.data(), length);
    if (theirs != fingerprint)
        return PartState::Foreign;
    part = PartRecord{};
    uint32_t levels = 0;
    if (!r.Get(part.key.level) || !r.Get(part.key.x) || !r.Get(part.key.y) || !r.Get(levels) ||
        part.key.level != key.level || part.key.x != key.x || part.key.y != key.y || levels > kMaxTileLevel + 1)
        return PartState::Damaged;
    for (uint32_t l = 0; l < levels; ++l) {
        int32_t level = 0;
        uint64_t count = 0;
        if (!r.Get(level) || !r.Get(count) || count > r.left() / 28)
            return PartState::Damaged;
        auto& tiles = part.levels.emplace_back(level, std::vector<TileRecord>(count)).second;
        for (TileRecord& tile : tiles)
            if (!r.Get(tile.x) || !r.Get(tile.y) || !r.Get(tile.size) || !r.Get(tile.crc))
                return PartState::Damaged;
    }
    uint64_t heights = 0;
    constexpr uint64_t kHeights = static_cast<uint64_t>(kTileCells + 3) * (kTileCells + 3);
    if (!r.Get(heights) || heights != kHeights)
        return PartState::Damaged;
    part.heights.resize(heights);
    if (!r.GetBytes(part.heights.data(), heights * sizeof(float)) || r.left() != 4)
        return PartState::Damaged;
    return PartState::Finished;
}

// Whether a tile is on the disk as the shard wrote it (not missing, cut
// short or changed).
bool AsRecorded(const fs::path& path, const TileRecord& tile)
{
    std::error_code error;
    if (fs::file_size(path, error) != tile.size || error)
        return false;
    const std::string bytes = ReadText(path);
    return bytes.size() == tile.size && Crc32(bytes.data(), bytes.size()) == tile.crc;
}

// The first tile of a part's record that is not as the shard wrote it, or none.
std::optional<fs::path> ChangedTile(const fs::path& root, const PartRecord& part)
{
    for (const auto& [level, tiles] : part.levels)
        for (const TileRecord& tile : tiles)
            if (const fs::path path = TilePath(root, {level, tile.x, tile.y}); !AsRecorded(path, tile))
                return path;
    return std::nullopt;
}

// The points of level `level` just beyond the part's tiles `tiles` (the
// halo its tiles read), from the finest level's warp: a point of a coarser
// level is the finest level's point at the same place, where a tile of
// the finest level holds it, and without data elsewhere.
void StoreRing(const PyramidRun& run, TileReader& reader, LatticeFile& lattice, int32_t level, const TileRange& tiles)
{
    const int64_t cells = kTileCells;
    const int32_t shift = run.maxZoom - level;
    const int64_t scale = int64_t{1} << shift;
    const TileRange& finest = run.ranges[static_cast<std::size_t>(run.maxZoom)];
    const int64_t fc0 = finest.x0 * cells, fc1 = (finest.x1 + 1) * cells;
    const int64_t fr0 = (TileRows(run.maxZoom) - 1 - finest.y1) * cells,
                  fr1 = (TileRows(run.maxZoom) - finest.y0) * cells;
    const int64_t c0 = tiles.x0 * cells, c1 = (tiles.x1 + 1) * cells;
    const int64_t r0 = (TileRows(level) - 1 - tiles.y1) * cells, r1 = (TileRows(level) - tiles.y0) * cells;
    std::vector<float> heights;
    // A line of the level's points from (column, row), `count` of them,
    // along columns or along rows.
    const auto line = [&](int64_t column, int64_t row, int64_t count, bool alongRows) {
        // The points the finest level holds: an interval of the line.
        const int64_t fixed = (alongRows ? column : row) * scale;
        if (fixed < (alongRows ? fc0 : fr0) || fixed > (alongRows ? fc1 : fr1))
            return;
        const int64_t start = alongRows ? row : column;
        const int64_t lo = alongRows ? fr0 : fc0, hi = alongRows ? fr1 : fc1;
        const int64_t first = std::max<int64_t>(0, -tin::FloorDiv(start * scale - lo, scale));
        const int64_t last = std::min(count - 1, tin::FloorDiv(hi - start * scale, scale));
        // At most about 64 K finest points per warp.
        const int64_t chunk = std::max<int64_t>(1, 65536 / scale);
        for (int64_t a = first; a <= last; a += chunk) {
            const int64_t b = std::min(last, a + chunk - 1);
            const int64_t from = (start + a) * scale;
            const auto length = static_cast<int32_t>((b - a) * scale + 1);
            if (alongRows)
                reader.ReadWindow(run.maxZoom, kTileCells, fixed, from, 1, length, heights);
            else
                reader.ReadWindow(run.maxZoom, kTileCells, from, fixed, length, 1, heights);
            for (int64_t i = a; i <= b; ++i) {
                const float h = heights[static_cast<std::size_t>((i - a) * scale)];
                if (alongRows)
                    lattice.StorePoint(column, start + i, h);
                else
                    lattice.StorePoint(start + i, row, h);
            }
        }
    };
    line(c0 - 1, r0 - 1, r1 - r0 + 3, true);
    line(c1 + 1, r0 - 1, r1 - r0 + 3, true);
    line(c0, r0 - 1, c1 - c0 + 1, false);
    line(c0, r1 + 1, c1 - c0 + 1, false);
}

// Makes a part's subtree, finest level first, as a whole run makes those
// tiles; returns what its record holds.
PartRecord MakePart(const PyramidRun& run, int32_t partLevel, const TileKey& key, bool resume,
                    std::vector<std::unique_ptr<TileReader>>& readers, std::vector<LevelReport>& reports,
                    ProgressLine& progress)
{
    const PyramidOptions& options = *run.options;
    PartRecord record;
    record.key = key;
    if (readers.empty())
        readers.resize(1);
    if (!readers[0])
        readers[0] = std::make_unique<TileReader>(options.source, run.facts);
    std::unique_ptr<LatticeFile> lattice;
    Availability below;
    for (int32_t level = run.maxZoom; level >= partLevel; --level) {
        const TileRange tiles = Descendants(key, level, run.ranges[static_cast<std::size_t>(level)]);
        std::unique_ptr<LatticeFile> coarser;
        if (level > partLevel) {
            const TileRange under = Descendants(key, level - 1, run.ranges[static_cast<std::size_t>(level) - 1]);
            coarser = std::make_unique<LatticeFile>(options.output, level - 1, under, kTileCells);
            StoreRing(run, *readers[0], *coarser, level - 1, under);
        }
        Availability here(tiles);
        LevelStep step;
        step.level = level;
        step.tiles = tiles;
        step.resume = resume;
        step.lattice = lattice.get();
        step.coarser = coarser.get();
        step.below = &below;
        step.here = &here;
        step.records = &record.levels.emplace_back(level, std::vector<TileRecord>{}).second;
        step.readers = &readers;
        step.quiet = true;
        reports.push_back(MakeLevel(run, step, progress));
        if (level == partLevel) {
            // The part's own heights, of which the merge makes the level above.
            if (lattice) {
                lattice->Read(key, 1, record.heights);
            } else {
                readers[0]->Read(key, kTileCells, 1, record.heights);
            }
        }
        below = std::move(here);
        lattice = std::move(coarser);
    }
    return record;
}

// The plan a folder's shards follow: the first shard to start writes it,
// and every later one must have the same.
void ClaimPlan(const fs::path& root, const std::string& fingerprint, int32_t shards)
{
    const std::string mine = PlanText(fingerprint, shards);
    const fs::path path = PlanPath(root);
    std::string theirs = ReadText(path);
    if (theirs.empty()) {
        std::error_code error;
        fs::create_directories(PartsFolder(root), error);
        if (error)
            throw ToolError(fmt::format("cannot make the folder {}: {}", Quoted(PartsFolder(root)), error.message()));
        AtomicFile file(path);
        file.stream() << mine;
        file.Commit();
        theirs = ReadText(path);  // another shard may have written its own a moment before
    }
    const int32_t planned = PlannedShards(theirs, fingerprint);
    if (planned == 0) {
        // Left by a run of another request that this folder held before: void.
        AtomicFile file(path);
        file.stream() << mine;
        file.Commit();
    } else if (planned != shards) {
        throw UsageError(fmt::format("the shards in {} follow a plan of {} shards: give --shard I/{}", Quoted(root),
                                     planned, planned));
    }
}

std::string ShardList(const std::set<int32_t>& shards)
{
    std::string text;
    int32_t shown = 0;
    for (int32_t shard : shards) {
        if (++shown > 12) {
            text += fmt::format(" and {} more", shards.size() - 12);
            break;
        }
        text += fmt::format("{}{}", text.empty() ? "" : ", ", shard);
    }
    return text;
}

}  // namespace

ShardPlan PlanShards(const std::vector<TileRange>& ranges, int32_t minZoom, int32_t maxZoom, int32_t shards)
{
    ShardPlan plan;
    plan.shards = shards;
    // The parts' level: coarse enough that the merge's share is small, fine
    // enough for eight parts a shard, so that whole parts even the shards out.
    const int32_t lowest = minZoom == 0 && maxZoom > 0 ? 1 : minZoom;
    plan.level = maxZoom;
    for (int32_t level = lowest; level <= maxZoom; ++level)
        if (ranges[static_cast<std::size_t>(level)].count() >= int64_t{8} * shards) {
            plan.level = level;
            break;
        }
    const TileRange& top = ranges[static_cast<std::size_t>(plan.level)];
    int64_t total = 0;
    for (int64_t y = top.y0; y <= top.y1; ++y)
        for (int64_t x = top.x0; x <= top.x1; ++x) {
            ShardPart part{{plan.level, x, y}, 0};
            for (int32_t level = plan.level; level <= maxZoom; ++level)
                part.tiles += Descendants(part.key, level, ranges[static_cast<std::size_t>(level)]).count();
            total += part.tiles;
            plan.parts.push_back(part);
        }
    for (int32_t level = minZoom; level < plan.level; ++level)
        plan.coarseTiles += ranges[static_cast<std::size_t>(level)].count();
    // Part k goes to the shard its middle falls in, of N equal shares of the tiles.
    plan.first.assign(static_cast<std::size_t>(shards) + 1, plan.parts.size());
    plan.first[0] = 0;
    int64_t before = 0;
    int32_t shard = 0;
    for (std::size_t k = 0; k < plan.parts.size(); ++k) {
        const double middle = (static_cast<double>(before) + static_cast<double>(plan.parts[k].tiles) / 2.0) /
                              static_cast<double>(std::max<int64_t>(total, 1));
        const auto mine = std::min<int32_t>(shards - 1, static_cast<int32_t>(middle * shards));
        while (shard < mine)
            plan.first[static_cast<std::size_t>(++shard)] = k;
        before += plan.parts[k].tiles;
    }
    return plan;
}

void PrintShardPlan(const PyramidOptions& options, std::ostream& out, ProgressLine&)
{
    const PyramidRun run = ResolvePyramid(options);
    const ShardPlan plan = PlanShards(run.ranges, run.minZoom, run.maxZoom, options.shardCount);
    constexpr int64_t kSamples = int64_t{kTileCells + 3} * (kTileCells + 3);
    const std::string memory = ByteText(EstimatePyramidBytes(run.threads, options.source.cacheBytes));
    int64_t all = plan.coarseTiles;
    for (const ShardPart& part : plan.parts)
        all += part.tiles;
    out << fmt::format("{} tiles of levels {}..{} in {} shards of parts at level {} ({} parts), and the merge\n", all,
                       run.minZoom, run.maxZoom, plan.shards, plan.level, plan.parts.size());
    for (int32_t shard = 0; shard < plan.shards; ++shard) {
        const std::size_t a = plan.first[static_cast<std::size_t>(shard)];
        const std::size_t b = plan.first[static_cast<std::size_t>(shard) + 1];
        int64_t tiles = 0;
        for (std::size_t k = a; k < b; ++k)
            tiles += plan.parts[k].tiles;
        // The parts as runs of rows: level/x0-x1/y.
        std::string ranges;
        for (std::size_t k = a; k < b;) {
            std::size_t end = k;
            while (end + 1 < b && plan.parts[end + 1].key.y == plan.parts[k].key.y)
                ++end;
            const TileKey& from = plan.parts[k].key;
            ranges += fmt::format(" {}/{}-{}/{}", from.level, from.x, plan.parts[end].key.x, from.y);
            k = end + 1;
        }
        out << fmt::format("shard {}: {} parts,{} {} tiles, {:.1f} M samples, about {} on {} threads\n", shard, b - a,
                           ranges.empty() ? " none," : ranges + ",", tiles, static_cast<double>(tiles * kSamples) / 1e6,
                           memory, run.threads);
    }
    out << fmt::format("merge: levels {}..{}, {} tiles, about {}\n", run.minZoom, plan.level - 1, plan.coarseTiles,
                       memory);
}

void MakeShard(const PyramidOptions& options, std::ostream& out, ProgressLine& progress)
{
    const Clock::time_point started = Clock::now();
    const PyramidRun run = ResolvePyramid(options);
    const fs::path& root = options.output;
    const std::string prefix = fmt::format("shard {} of {}: ", options.shardIndex, options.shardCount);
    std::error_code error;
    // A folder already whole (merged) needs nothing of a shard run again.
    if (FolderHolds(root, run.fingerprint) && fs::exists(root / "layer.json", error) &&
        !fs::exists(PlanPath(root), error)) {
        out << prefix << fmt::format("the tileset in {} is already whole\n", Quoted(root));
        return;
    }
    const ShardPlan plan = PlanShards(run.ranges, run.minZoom, run.maxZoom, options.shardCount);
    const bool resume =
        PrepareFolder(root, run.fingerprint, false, "remove it, or replace it with a whole run's --overwrite");
    ClaimPlan(root, run.fingerprint, options.shardCount);
    const std::size_t a = plan.first[static_cast<std::size_t>(options.shardIndex)];
    const std::size_t b = plan.first[static_cast<std::size_t>(options.shardIndex) + 1];
    // Each thread makes whole parts, the largest first, so that no thread
    // waits at the end of each level of a part and the last ones are small.
    std::vector<std::size_t> order;
    for (std::size_t k = a; k < b; ++k)
        order.push_back(k);
    std::stable_sort(order.begin(), order.end(),
                     [&](std::size_t x, std::size_t y) { return plan.parts[x].tiles > plan.parts[y].tiles; });
    PyramidRun alone = run;
    alone.threads = 1;
    std::vector<std::vector<std::unique_ptr<TileReader>>> readers(run.threads);
    std::vector<LevelReport> reports;
    std::size_t finished = 0, done = 0;
    std::mutex mutex;
    progress.Begin(fmt::format("{}{} parts", prefix, b - a));
    ForEachIndex(static_cast<int64_t>(order.size()), run.threads, [&](int64_t i, unsigned thread) {
        const TileKey& key = plan.parts[order[static_cast<std::size_t>(i)]].key;
        PartRecord record;
        const PartState state = ReadPart(root, run.fingerprint, key, record);
        std::string note;
        if (state == PartState::Finished) {
            const std::optional<fs::path> changed = ChangedTile(root, record);
            if (!changed) {
                std::lock_guard lock(mutex);
                ++finished;
                progress.Update(static_cast<double>(++done) / static_cast<double>(b - a));
                return;
            }
            // Made again; a tile changed since is replaced, not kept.
            note = fmt::format("{} changed since part {} was finished; making the part again\n", Quoted(*changed),
                               PartName(key));
            std::error_code ignored;
            for (const auto& [level, tiles] : record.levels)
                for (const TileRecord& tile : tiles)
                    if (const fs::path path = TilePath(root, {level, tile.x, tile.y}); !AsRecorded(path, tile))
                        fs::remove(path, ignored);
        } else if (state == PartState::Damaged) {
            note = fmt::format("the record of part {} is damaged; making the part again\n", PartName(key));
        }
        if (!note.empty()) {
            std::lock_guard lock(mutex);
            out << prefix << note;
        }
        std::vector<LevelReport> mine;
        record = MakePart(alone, plan.level, key, resume, readers[thread], mine, progress);
        WritePart(root, run.fingerprint, record);
        std::lock_guard lock(mutex);
        reports.insert(reports.end(), mine.begin(), mine.end());
        progress.Update(static_cast<double>(++done) / static_cast<double>(b - a));
    });
    progress.End();
    // What the shard made is on the disk when it says it is done.
    SyncFileSystem(root);
    PrintPyramidReport(run, reports, started,
                       prefix + (finished > 0 ? fmt::format("{} of {} parts finished before; ", finished, b - a) : ""),
                       out);
}

void MergeShards(const PyramidOptions& options, std::ostream& out, ProgressLine& progress)
{
    const Clock::time_point started = Clock::now();
    const PyramidRun run = ResolvePyramid(options);
    const fs::path& root = options.output;
    std::error_code error;
    if (!FolderHolds(root, run.fingerprint))
        throw UsageError(
            fmt::format("{} holds no shards of this tileset: give the input and options its shards had", Quoted(root)));
    const std::string planned = ReadText(PlanPath(root));
    if (planned.empty()) {
        if (fs::exists(root / "layer.json", error)) {
            out << fmt::format("the tileset in {} is already whole\n", Quoted(root));
            return;
        }
        throw ToolError(
            fmt::format("no shard has started in {}: run every shard (--shard I/N), then merge", Quoted(root)));
    }
    const int32_t shards = PlannedShards(planned, run.fingerprint);
    if (shards == 0)
        throw ToolError(
            fmt::format("the plan of the shards in {} is damaged: run the shards again, then merge", Quoted(root)));
    const ShardPlan plan = PlanShards(run.ranges, run.minZoom, run.maxZoom, shards);

    // Every part's record, checked against its tiles; the part's heights
    // go straight to the level above's lattice.
    std::unique_ptr<LatticeFile> lattice;
    if (plan.level > run.minZoom)
        lattice = std::make_unique<LatticeFile>(root, plan.level - 1,
                                                run.ranges[static_cast<std::size_t>(plan.level) - 1], kTileCells);
    std::vector<std::vector<TileRecord>> found(static_cast<std::size_t>(run.maxZoom) + 1);
    std::set<int32_t> unfinished;
    std::size_t missing = 0;
    std::string problem;
    progress.Begin(fmt::format("checking {} parts", plan.parts.size()));
    for (int32_t shard = 0; shard < plan.shards; ++shard)
        for (std::size_t k = plan.first[static_cast<std::size_t>(shard)];
             k < plan.first[static_cast<std::size_t>(shard) + 1]; ++k) {
            const TileKey& key = plan.parts[k].key;
            PartRecord record;
            const PartState state = ReadPart(root, run.fingerprint, key, record);
            std::optional<fs::path> changed;
            if (state == PartState::Finished)
                changed = ChangedTile(root, record);
            if (state != PartState::Finished || changed) {
                unfinished.insert(shard);
                ++missing;
                if (problem.empty() && state == PartState::Damaged)
                    problem = fmt::format("; the record of part {} is damaged", PartName(key));
                if (problem.empty() && changed)
                    problem = fmt::format("; {} changed since its shard wrote it", Quoted(*changed));
                continue;
            }
            if (lattice)
                lattice->Store(key, record.heights);
            for (auto& [level, tiles] : record.levels)
                found[static_cast<std::size_t>(level)].insert(found[static_cast<std::size_t>(level)].end(),
                                                              tiles.begin(), tiles.end());
            progress.Update(static_cast<double>(k + 1) / static_cast<double>(plan.parts.size()));
        }
    progress.End();
    if (!unfinished.empty())
        throw ToolError(
            fmt::format("{} of {} shards are not finished (shard {}: {} of {} parts to make{}): run "
                        "them again, then merge",
                        unfinished.size(), plan.shards, ShardList(unfinished), missing, plan.parts.size(), problem));

    nlohmann::json rectangles = nlohmann::json::array();
    for (int32_t level = 0; level <= run.maxZoom; ++level)
        rectangles.push_back(nlohmann::json::array());
    const auto availability = [&](int32_t level) {
        const TileRange& range = run.ranges[static_cast<std::size_t>(level)];
        Availability here(range);
        for (const TileRecord& tile : found[static_cast<std::size_t>(level)])
            here.Set(tile.x, tile.y);
        return here;
    };
    // The parts' levels as their records list them; the parts' own level
    // names the children of the level above.
    Availability below;
    for (int32_t level = run.maxZoom; level >= plan.level; --level) {
        const TileRange& range = run.ranges[static_cast<std::size_t>(level)];
        below = availability(level);
        rectangles[static_cast<std::size_t>(level)] = below.Rectangles(range.x0, range.y0, range.x1, range.y1);
        found[static_cast<std::size_t>(level)] = {};
    }
    // The levels above the parts, as a whole run makes them.
    const std::vector<LevelReport> reports =
        MakeLevelsDown(run, plan.level - 1, true, std::move(lattice), std::move(below), rectangles, progress);
    WriteLayer(run, rectangles);
    // The tileset is whole: the shards' records go, leaving what a whole run leaves.
    fs::remove_all(PartsFolder(root), error);
    PrintPyramidReport(run, reports, started, fmt::format("merged {} shards; ", plan.shards), out);
}

}  // namespace heightmesh::tool
