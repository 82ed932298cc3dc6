// The steps every way of making a tileset shares: the request resolved
// against the raster, the folder and its marker, one level's tiles made
// from the warp or from the level below, and layer.json. A whole run is
// these steps over every level; a shard runs them over its parts' subtrees
// and the merge over the coarse levels.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "common/progress.h"
#include "tiles/lattice_file.h"
#include "tiles/pyramid.h"

namespace heightmesh::tool {

// Which tiles of a level's range exist.
class Availability {
public:
    Availability() = default;
    explicit Availability(const TileRange& range);
    bool Has(int64_t x, int64_t y) const
    {
        return x >= range_.x0 && x <= range_.x1 && y >= range_.y0 && y <= range_.y1 && bits_[Index(x, y)];
    }
    void Set(int64_t x, int64_t y) { bits_[Index(x, y)] = 1; }

    // The tiles as rectangles within [x0, x1] x [y0, y1]: runs of each row,
    // merged with the same runs of the rows above.
    nlohmann::json Rectangles(int64_t x0, int64_t y0, int64_t x1, int64_t y1) const;

private:
    std::size_t Index(int64_t x, int64_t y) const
    {
        return static_cast<std::size_t>((y - range_.y0) * (range_.x1 - range_.x0 + 1) + (x - range_.x0));
    }
    TileRange range_;
    std::vector<uint8_t> bits_;
};

// A tile written or found whole: where it is, and its file's size and CRC-32.
struct TileRecord {
    int64_t x = 0, y = 0;
    uint64_t size = 0;
    uint32_t crc = 0;
};

// The request as it applies to its raster, the same for every process that
// makes part of the tileset.
struct PyramidRun {
    const PyramidOptions* options = nullptr;
    TileSourceFacts facts;
    GeoRect area;
    int32_t minZoom = 0, maxZoom = 0;
    unsigned threads = 1;
    std::string fingerprint;        // the input and every option that changes a byte
    std::vector<TileRange> ranges;  // each level's tiles, 0..maxZoom
};

// Describes the raster and checks the request against it and the memory
// limit; throws ToolError (UsageError for options that do not fit).
PyramidRun ResolvePyramid(const PyramidOptions& options);

// The tiles made of a level: those over the bounds, and at level 0 both
// roots, which the client starts from.
TileRange LevelTiles(const GeoRect& bounds, int32_t level);

// The CRC-32 of the bytes (zlib's).
uint32_t Crc32(const void* data, std::size_t size);

// The whole file as it is; empty when it cannot be read.
std::string ReadText(const std::filesystem::path& path);

// Where a tile lives in the folder.
std::filesystem::path TilePath(const std::filesystem::path& root, const TileKey& tile);

// The tile an earlier run left, when it is whole: its gzip stream ends with
// the checksum and length of what it holds (a file cut short or zeroed by a
// crash before it reached the disk fails).
std::optional<TileRecord> IntactTile(const std::filesystem::path& path, const TileKey& tile);

// Readies the folder: made when missing; a folder holding this request's
// unfinished tileset is resumed; one holding anything else is refused
// unless `overwrite`, which removes the earlier tileset's own files (never
// anything else). Returns whether tiles already there count as complete.
// `remedy` ends the refusal's message.
bool PrepareFolder(const std::filesystem::path& root, const std::string& fingerprint, bool overwrite,
                   const char* remedy = "give --overwrite to replace it");

// Whether the folder's marker names this request.
bool FolderHolds(const std::filesystem::path& root, const std::string& fingerprint);

// The folder of a sharded run's records, removed once the tileset is whole.
std::filesystem::path PartsFolder(const std::filesystem::path& root);

// One level's tiles `tiles`: heights from `lattice`, or through the warp
// when it is null; each tile's points stored in `coarser` when given;
// children named from `below`; the tiles written or kept set in `here` and,
// when given, appended to `records`. Tiles already whole are kept when
// `resume`.
struct LevelStep {
    int32_t level = 0;
    TileRange tiles;
    bool resume = false;
    const LatticeFile* lattice = nullptr;
    LatticeFile* coarser = nullptr;
    const Availability* below = nullptr;
    Availability* here = nullptr;
    std::vector<TileRecord>* records = nullptr;
    // The warp's readers, one per thread, kept from step to step (each
    // opens the raster); none: the step's own.
    std::vector<std::unique_ptr<TileReader>>* readers = nullptr;
    std::string label;   // the progress line's
    bool quiet = false;  // no progress line: the caller draws one over many steps
};
LevelReport MakeLevel(const PyramidRun& run, const LevelStep& step, ProgressLine& progress);

// Levels `from` down to the minimum over their whole ranges, each but the
// first from the points the level below it stored: the first from `lattice`
// (its points, for level `from`), or through the warp when that is null;
// `below` is the availability of level `from` + 1. Fills each level's entry
// of `rectangles` (layer.json's list) and returns each level's report.
std::vector<LevelReport> MakeLevelsDown(const PyramidRun& run, int32_t from, bool resume,
                                        std::unique_ptr<LatticeFile> lattice, Availability below,
                                        nlohmann::json& rectangles, ProgressLine& progress);

// Writes layer.json, after syncing every tile to the disk, so that a folder
// with it holds a complete tileset; `rectangles` lists each level's tiles.
void WriteLayer(const PyramidRun& run, const nlohmann::json& rectangles);

// The summary line (after `prefix`), and with --stats the figures of each
// level, summed over the steps that made it.
void PrintPyramidReport(const PyramidRun& run, const std::vector<LevelReport>& steps, Clock::time_point started,
                        const std::string& prefix, std::ostream& out);

}  // namespace heightmesh::tool
