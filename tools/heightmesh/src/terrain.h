// The built-in procedural terrain.
#pragma once

#include <cstdint>
#include <functional>

#include "heightmap.h"

namespace heightmesh::tool {

// A seeded procedural landscape in grid-cell units (the same seed and size
// always give the same heights).
Heightmap MakeTerrain(GridSize size, uint64_t seed, const std::function<void(double)>& progress = {});

}  // namespace heightmesh::tool
