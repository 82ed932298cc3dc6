// The cover of a grid's kept cells by rectangles of kept cells, which
// simplification starts its triangles from and the solid base lays its
// bottom on; their triangulation without T-junctions; and the outline of the
// full-resolution mesh. Grid points are indexed row * width + column; cell
// masks hold (width - 1) * (height - 1) cells, bit 0 = kept.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "common/cell_mask_view.h"

namespace heightmesh::tool {

// A rectangle of kept cells [column0, column1) x [row0, row1).
struct CellRect {
    int32_t column0, row0, column1, row1;
};

// Covers the kept cells exactly with rectangles of kept cells, split first
// along tile borders every `tileCells` cells (0: no tiles).
std::vector<CellRect> CoverKeptCells(CellMaskView cellMask, int32_t width, int32_t height, int32_t tileCells = 0);

// One bit per grid point: the points a triangulation keeps as vertices.
class PointMarks {
public:
    PointMarks() = default;
    explicit PointMarks(std::size_t points) : words_((points + 63) / 64, 0) {}
    bool operator[](std::size_t point) const { return (words_[point / 64] >> (point % 64)) & 1; }
    void Set(std::size_t point) { words_[point / 64] |= uint64_t{1} << (point % 64); }
    // Calls f(point) for every marked point, in ascending order.
    template <class F>
    void ForEach(F&& f) const
    {
        for (std::size_t w = 0; w < words_.size(); ++w)
            for (uint64_t bits = words_[w]; bits != 0; bits &= bits - 1)
                f(w * 64 + static_cast<std::size_t>(__builtin_ctzll(bits)));
    }
    // Points marked.
    int64_t Count() const
    {
        int64_t count = 0;
        for (const uint64_t word : words_)
            count += __builtin_popcountll(word);
        return count;
    }

private:
    std::vector<uint64_t> words_;
};

// Triangulates rectangles in grid coordinates without T-junctions: every
// grid point marked on a rectangle's edge becomes a vertex of
// that edge. Appends grid point indices, three per triangle, counter-clockwise
// in (column, row), i.e. facing opposite to the job's triangles.
void TriangulateRects(std::span<const CellRect> rects, const PointMarks& marks, int32_t width,
                      std::vector<int32_t>& triangles);

// The kept region's outline edges of the full-resolution mesh (every cell's
// edge with a dropped cell or the grid's edge on its other side), as in
// SimplifiedMesh::boundaryEdges.
std::vector<int32_t> GridBoundaryEdges(CellMaskView cellMask, int32_t width, int32_t height);

// The pieces of the cover that simplification uses tile by tile.
namespace cover {

// The tiles of `tileCells` cells (0: one tile) over columns x rows cells, row
// by row; the last ones in each direction may be smaller.
std::vector<CellRect> Tiles(int32_t columns, int32_t rows, int32_t tileCells);

// Appends to `out` rectangles covering exactly the kept cells of `area`, a
// rectangle of the mask's cells; the mask has `maskColumns` cells a row.
void CoverArea(CellMaskView cellMask, int32_t maskColumns, const CellRect& area, std::vector<CellRect>& out);

}  // namespace cover

}  // namespace heightmesh::tool
