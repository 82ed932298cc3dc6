// One terrain tile from the heights at its lattice points: cells kept where
// all four corners hold data, simplified to the level's error with its edges
// shared with its neighbours, quantised, with normals from the heights
// around every vertex (its halo included), and the header's bounds.
#pragma once

#include <cstdint>
#include <span>

#include "tiles/quantized_mesh.h"
#include "tiles/tiling.h"

namespace heightmesh::tool {

struct TileMesh {
    bool empty = true;  // no cell of the tile holds data
    QuantizedMesh mesh;
    int64_t triangles = 0;
    int64_t samples = 0;  // lattice points of kept cells
    // The largest vertical distance of a kept cell's lattice point from the
    // decoded mesh: the simplification's measured error plus the largest
    // quantisation error of a vertex.
    double error = 0.0;
};

// `heights` holds (cells + 3) squared heights: the tile's lattice points and
// one point beyond each edge, rows from the north; NaN where there is none.
// Heights are metres above the ellipsoid; maxError is in metres.
TileMesh MakeTileMesh(const TileKey& tile, std::span<const float> heights, int32_t cells, double maxError);

}  // namespace heightmesh::tool
