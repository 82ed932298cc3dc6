// The built-in procedural terrain.
#pragma once

#include <cstdint>
#include <functional>

#include "input/heightmap.h"

namespace heightmesh::tool {

// How the terrain is computed: the fastest road this processor has (eight
// samples at once with AVX-512, four with AVX2), or one sample at a time.
// Both give the same heights, bit for bit.
enum class TerrainRoad { kFastest, kScalar };

// A seeded procedural landscape in grid-cell units (the same seed and size
// always give the same heights), made on `threads` threads (0: every core).
Heightmap MakeTerrain(GridSize size, uint64_t seed, const std::function<void(double)>& progress = {},
                      TerrainRoad road = TerrainRoad::kFastest, unsigned threads = 0);

}  // namespace heightmesh::tool
