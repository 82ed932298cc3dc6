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
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "heightmesh/job_abi.h"

namespace heightmesh::tool {

struct SimplifyRequest {
    // The y of the job's vertices (height * scale.y, rounded to float as the
    // job rounds it), width * height, row by row.
    std::span<const float> heights;
    std::span<const uint8_t> cellMask;           // (width - 1) * (height - 1), bit 0 = kept
    int32_t width = 0;
    int32_t height = 0;
    double maxError = -1.0;    // vertical bound in the vertices' units; < 0: none
    int64_t maxTriangles = 0;  // 0: no limit (the outline of the kept region may need more)
    unsigned threads = 1;
    // Lanes of the error scan: 0 the widest the processor runs, else 2, 4 or
    // 8 (or fewer when the processor lacks them). Every width gives the same mesh.
    unsigned scanLanes = 0;
};

// A rectangle of kept cells [column0, column1) x [row0, row1).
struct CellRect {
    int32_t column0, row0, column1, row1;
};

struct SimplifiedMesh {
    std::vector<int32_t> sourceVertices;  // the job's vertex index of each vertex, ascending
    std::vector<uint32_t> indices;        // three per triangle, facing the way the job's do
    // Every edge of the kept region's outline as (start, end) job vertex
    // indices, in the direction its one triangle runs it.
    std::vector<int32_t> boundaryEdges;
    int64_t triangleCount() const noexcept { return static_cast<int64_t>(indices.size() / 3); }
};

SimplifiedMesh Simplify(const SimplifyRequest& request);

// Covers the kept cells exactly with rectangles of kept cells, split first
// along tile borders every `tileCells` cells (0: no tiles).
std::vector<CellRect> CoverKeptCells(std::span<const uint8_t> cellMask, int32_t width, int32_t height,
                                     int32_t tileCells = 0);

// Triangulates rectangles in grid coordinates without T-junctions: every
// grid point with marks[point] != 0 on a rectangle's edge becomes a vertex of
// that edge. Appends grid point indices, three per triangle, counter-clockwise
// in (column, row), i.e. facing opposite to the job's triangles.
void TriangulateRects(std::span<const CellRect> rects, std::span<const uint8_t> marks, int32_t width,
                      std::vector<int32_t>& triangles);

// The kept region's outline edges of the full-resolution mesh (every cell's
// edge with a dropped cell or the grid's edge on its other side), as in
// SimplifiedMesh::boundaryEdges.
std::vector<int32_t> GridBoundaryEdges(std::span<const uint8_t> cellMask, int32_t width, int32_t height);

struct SurfaceError {
    double max = 0.0;
    double rms = 0.0;
    int64_t points = 0;     // grid points of kept cells measured
    int64_t uncovered = 0;  // of those, points no triangle covers (counted as infinite error)
};

// Measures, at every corner of every kept cell, the vertical distance between
// its height (as in SimplifyRequest) and the surface of the triangles (job
// vertex indices, three per triangle) over it.
SurfaceError MeasureSurfaceError(std::span<const float> heights, std::span<const uint8_t> cellMask,
                                 int32_t width, int32_t height, std::span<const int32_t> sourceVertices,
                                 std::span<const uint32_t> indices);

}  // namespace heightmesh::tool
