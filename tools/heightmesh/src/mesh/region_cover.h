// The cover of a grid's kept cells by rectangles of kept cells, which
// simplification starts its triangles from and the solid base lays its
// bottom on; their triangulation without T-junctions; and the outline of the
// full-resolution mesh. Grid points are indexed row * width + column; cell
// masks hold (width - 1) * (height - 1) cells, bit 0 = kept.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace heightmesh::tool {

// A rectangle of kept cells [column0, column1) x [row0, row1).
struct CellRect {
    int32_t column0, row0, column1, row1;
};

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

// The pieces of the cover that simplification uses tile by tile.
namespace cover {

// The tiles of `tileCells` cells (0: one tile) over columns x rows cells, row
// by row; the last ones in each direction may be smaller.
std::vector<CellRect> Tiles(int32_t columns, int32_t rows, int32_t tileCells);

// Appends to `out` rectangles covering exactly the kept cells of `area`, a
// rectangle of the mask's cells; the mask has `maskColumns` cells a row.
void CoverArea(std::span<const uint8_t> cellMask, int32_t maskColumns, const CellRect& area,
               std::vector<CellRect>& out);

}  // namespace cover

}  // namespace heightmesh::tool
