// Error-bounded simplification of the job's grid mesh by greedy insertion:
// the kept region starts as few rectangles as cover it exactly, and the grid
// point farthest (vertically) from the surface is inserted, with Delaunay edge
// flips that never cross the region's outline, until every grid point of every
// kept cell lies within the bound. The result indexes a subset of the job's
// vertices, so positions, normals and UVs stay the job's bit for bit.
//
// Geometry runs in grid coordinates (column, row), exactly, in integers; only
// heights are floating point. Large grids are cut into tiles simplified on
// separate threads; the tile borders are simplified first, along the line,
// to the same bound, so both sides share the same border vertices.
//
// The rectangle cover lives in mesh/region_cover.h, the measurement of a
// result's error in mesh/surface_error.h.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "common/cell_mask_view.h"
#include "heightmesh/job_abi.h"

namespace heightmesh::tool {

// The cells just beyond a grid's four edges when the grid is one tile of a
// larger surface whose other tiles are simplified on their own, bit 0 =
// kept: the points on each edge are then chosen from what the tiles on both
// sides of it see alike (its heights and the cells along it on either side),
// so that two neighbours keep exactly the same points along their edge.
// The first and last row hold width - 1 cells, the columns height - 1.
struct SharedEdges {
    std::span<const uint8_t> beyondFirstRow, beyondLastRow;
    std::span<const uint8_t> beyondFirstColumn, beyondLastColumn;
};

struct SimplifyRequest {
    // The y of the job's vertices (height * scale.y, rounded to float as the
    // job rounds it), width * height, row by row.
    std::span<const float> heights;
    CellMaskView cellMask;  // (width - 1) * (height - 1)
    int32_t width = 0;
    int32_t height = 0;
    double maxError = -1.0;    // vertical bound in the vertices' units; < 0: none
    int64_t maxTriangles = 0;  // 0: no limit (the outline of the kept region may need more)
    unsigned threads = 1;
    // Lanes of the error scan: 0 the widest the processor runs, else 2, 4 or
    // 8 (or fewer when the processor lacks them). Every width gives the same mesh.
    unsigned scanLanes = 0;
    // Each tile's triangles are ordered for the vertex cache on the thread
    // that simplified it, as OrderForGpu orders tile runs (the vertices are
    // left in the job's order for OrderVerticesForFetch).
    bool orderTilesForGpu = false;
    // The grid's edges are shared with neighbouring grids (null: they are
    // the surface's own outline). Needs a bound and no triangle budget.
    const SharedEdges* sharedEdges = nullptr;
};

struct SimplifiedMesh {
    std::vector<int32_t> sourceVertices;  // the job's vertex index of each vertex, ascending
    std::vector<uint32_t> indices;        // three per triangle, facing the way the job's do
    // Every edge of the kept region's outline as (start, end) job vertex
    // indices, in the direction its one triangle runs it.
    std::vector<int32_t> boundaryEdges;
    // The first triangle of each tile's triangles, ascending: the runs that
    // share few vertices, which GPU ordering may order on their own (and
    // which `orderTilesForGpu` has ordered).
    std::vector<std::size_t> tileRuns;
    int64_t triangleCount() const noexcept { return static_cast<int64_t>(indices.size() / 3); }
};

SimplifiedMesh Simplify(const SimplifyRequest& request);

}  // namespace heightmesh::tool
