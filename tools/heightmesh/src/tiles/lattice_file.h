// The lattice of one level kept on disk while the level above it is made:
// the tiles of level L + 1 store the heights of their points that are also
// points of level L (every other one, in both directions), and the tiles of
// level L read their heights, halo included, back from it. Coarse levels so
// cost no warp, their memory stays that of a tile, and every tile of a
// level reads each point's height from the same place, so that neighbours
// agree on it.
#pragma once

#include <cstdint>
#include <filesystem>
#include <span>
#include <vector>

#include "tiles/pyramid.h"
#include "tiles/tiling.h"

namespace heightmesh::tool {

class LatticeFile {
public:
    // A file without a name in `folder` for level `level`'s points over the
    // tiles `range` and one point beyond; every point starts without data.
    // Throws ToolError.
    LatticeFile(const std::filesystem::path& folder, int32_t level, const TileRange& range, int32_t cells);
    ~LatticeFile();
    LatticeFile(const LatticeFile&) = delete;
    LatticeFile& operator=(const LatticeFile&) = delete;

    int32_t level() const noexcept { return level_; }

    // Stores the points of the finer tile `tile` (level + 1) that are points
    // of this level; `heights` as TileReader::Read gives them with a halo of
    // one. Any thread; two tiles store the same bytes where they meet.
    void Store(const TileKey& tile, std::span<const float> heights);

    // Stores the height of the level's point (column, row) of the whole
    // lattice (rows from the north), when the file holds it.
    void StorePoint(int64_t column, int64_t row, float height);

    // The heights of `tile` (of this level) as TileReader::Read gives them.
    void Read(const TileKey& tile, int32_t halo, std::vector<float>& heights) const;

private:
    int32_t level_, cells_;
    int64_t column0_, row0_, columns_, rows_;  // the points held, in the level's global lattice
    int fd_ = -1;
    std::filesystem::path folder_;
};

}  // namespace heightmesh::tool
