// A tileset made by several processes that share only the output folder:
// the pyramid splits into parts (a tile of one level with all of its
// descendants), dealt out to N shards in runs of similar cost; each shard
// makes its parts' subtrees and records each finished part; the merge makes
// the levels above the parts from those records and writes layer.json. The
// folder then holds byte for byte what one process would have written.
//
// A tile's heights never depend on its neighbours' tiles, only on the
// raster: where a part's coarser tiles need points beyond the part, the
// shard warps them at the finest level, as the neighbouring part does.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ostream>
#include <vector>

#include "common/progress.h"
#include "tiles/pyramid.h"

namespace heightmesh::tool {

struct ShardPart {
    TileKey key;
    int64_t tiles = 0;  // its subtree's, over every level from its own
};

struct ShardPlan {
    int32_t shards = 1;
    int32_t level = 0;               // the parts' level
    std::vector<ShardPart> parts;    // in rows from the south, each row from the west
    std::vector<std::size_t> first;  // shard i holds parts [first[i], first[i + 1])
    int64_t coarseTiles = 0;         // of the levels above the parts, which the merge makes
};

// The partition of the levels minZoom..maxZoom whose tiles are `ranges`
// (indexed by level) into `shards` shards: the parts are the tiles of the
// coarsest level with at least eight per shard (the finest level if none
// has), dealt out in order so that the shards' tile counts are as even as
// whole parts allow. The same for every caller given the same ranges.
ShardPlan PlanShards(const std::vector<TileRange>& ranges, int32_t minZoom, int32_t maxZoom, int32_t shards);

// `--plan N`: prints the partition, one line per shard, and makes nothing.
void PrintShardPlan(const PyramidOptions& options, std::ostream& out, ProgressLine& progress);

// `--shard I/N`: makes shard I's parts, skipping those an earlier run of it
// finished for the same request. Throws ToolError.
void MakeShard(const PyramidOptions& options, std::ostream& out, ProgressLine& progress);

// `--merge`: checks that every shard finished, makes the levels above the
// parts and writes layer.json; fails naming the shards still to run.
void MergeShards(const PyramidOptions& options, std::ostream& out, ProgressLine& progress);

}  // namespace heightmesh::tool
