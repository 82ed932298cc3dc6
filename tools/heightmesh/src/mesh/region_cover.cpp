// The cover of a grid's kept cells by rectangles, which simplification
// starts its triangles from and the solid base lays its bottom on: the
// rectangles, split along tile borders, their triangulation without
// T-junctions, and the outline of the full-resolution mesh.
#include "mesh/region_cover.h"

#include <algorithm>

namespace heightmesh::tool {

namespace {

// Integral image of the kept cells of `area`, for counting the kept cells of
// a rectangle inside it; none for a mask that keeps every cell.
class KeptCounter {
public:
    KeptCounter(CellMaskView mask, int32_t maskColumns, const CellRect& area)
        : column0_(area.column0), row0_(area.row0), columns_(area.column1 - area.column0), every_(mask.everyCell())
    {
        if (every_)
            return;
        sums_.assign(static_cast<std::size_t>(columns_ + 1) * static_cast<std::size_t>(area.row1 - area.row0 + 1), 0);
        for (int32_t r = 0; r < area.row1 - area.row0; ++r) {
            const uint8_t* cells = mask.bytes().data() + static_cast<std::size_t>(r + row0_) * maskColumns + column0_;
            uint32_t run = 0;
            for (int32_t c = 0; c < columns_; ++c) {
                run += cells[c] & 1u;
                At(c + 1, r + 1) = At(c + 1, r) + run;
            }
        }
    }
    int64_t Count(const CellRect& q) const
    {
        if (every_)
            return int64_t{q.column1 - q.column0} * (q.row1 - q.row0);
        const int32_t c0 = q.column0 - column0_, c1 = q.column1 - column0_, r0 = q.row0 - row0_, r1 = q.row1 - row0_;
        return int64_t{At(c1, r1)} - At(c0, r1) - At(c1, r0) + At(c0, r0);
    }

private:
    uint32_t& At(int32_t c, int32_t r) { return sums_[static_cast<std::size_t>(r) * (columns_ + 1) + c]; }
    uint32_t At(int32_t c, int32_t r) const { return sums_[static_cast<std::size_t>(r) * (columns_ + 1) + c]; }
    int32_t column0_, row0_, columns_;
    bool every_;
    std::vector<uint32_t> sums_;
};

// Splits `area` in halves along its longer side until every part is wholly
// kept (appended to `out`) or wholly dropped.
void CoverRect(const KeptCounter& counter, CellRect area, std::vector<CellRect>& out)
{
    std::vector<CellRect> stack{area};
    while (!stack.empty()) {
        const CellRect q = stack.back();
        stack.pop_back();
        const int64_t kept = counter.Count(q);
        if (kept == 0)
            continue;
        const int64_t cells = int64_t{q.column1 - q.column0} * (q.row1 - q.row0);
        if (kept == cells) {
            out.push_back(q);
            continue;
        }
        if (q.column1 - q.column0 >= q.row1 - q.row0) {
            const int32_t mid = q.column0 + (q.column1 - q.column0) / 2;
            stack.push_back({mid, q.row0, q.column1, q.row1});
            stack.push_back({q.column0, q.row0, mid, q.row1});
        } else {
            const int32_t mid = q.row0 + (q.row1 - q.row0) / 2;
            stack.push_back({q.column0, mid, q.column1, q.row1});
            stack.push_back({q.column0, q.row0, q.column1, mid});
        }
    }
}

// Triangulates the polygon p0, leg1..., corner, leg2..., p2 (counter-clockwise,
// the legs straight, the closing edge p2-p0 free of points) into `out`.
void TriangulateCorner(int32_t p0, const std::vector<int32_t>& leg1, int32_t corner, const std::vector<int32_t>& leg2,
                       int32_t p2, std::vector<int32_t>& out)
{
    const auto emit = [&](int32_t a, int32_t b, int32_t c) { out.insert(out.end(), {a, b, c}); };
    int32_t previous = p0;
    for (const int32_t a : leg1) {
        emit(previous, a, p2);
        previous = a;
    }
    int32_t from = corner;
    for (const int32_t b : leg2) {
        emit(previous, from, b);
        from = b;
    }
    emit(previous, from, p2);
}

}  // namespace

namespace cover {

std::vector<CellRect> Tiles(int32_t columns, int32_t rows, int32_t tileCells)
{
    std::vector<CellRect> tiles;
    const int32_t step = tileCells > 0 ? tileCells : std::max(columns, rows);
    for (int32_t r = 0; r < rows; r += step)
        for (int32_t c = 0; c < columns; c += step)
            tiles.push_back({c, r, std::min(columns, c + step), std::min(rows, r + step)});
    return tiles;
}

void CoverArea(CellMaskView cellMask, int32_t maskColumns, const CellRect& area, std::vector<CellRect>& out)
{
    const KeptCounter counter(cellMask, maskColumns, area);
    CoverRect(counter, area, out);
}

}  // namespace cover

std::vector<CellRect> CoverKeptCells(CellMaskView cellMask, int32_t width, int32_t height, int32_t tileCells)
{
    const KeptCounter counter(cellMask, width - 1, {0, 0, width - 1, height - 1});
    std::vector<CellRect> rects;
    for (const CellRect& tile : cover::Tiles(width - 1, height - 1, tileCells))
        CoverRect(counter, tile, rects);
    return rects;
}

void TriangulateRects(std::span<const CellRect> rects, const PointMarks& marks, int32_t width,
                      std::vector<int32_t>& triangles)
{
    std::vector<int32_t> ab, bc, cd, da;
    const auto id = [&](int32_t c, int32_t r) { return r * width + c; };
    const auto marked = [&](int32_t c, int32_t r) { return marks[static_cast<std::size_t>(id(c, r))]; };
    for (const CellRect& q : rects) {
        ab.clear(), bc.clear(), cd.clear(), da.clear();
        for (int32_t c = q.column0 + 1; c < q.column1; ++c)
            if (marked(c, q.row0))
                ab.push_back(id(c, q.row0));
        for (int32_t r = q.row0 + 1; r < q.row1; ++r)
            if (marked(q.column1, r))
                bc.push_back(id(q.column1, r));
        for (int32_t c = q.column1 - 1; c > q.column0; --c)
            if (marked(c, q.row1))
                cd.push_back(id(c, q.row1));
        for (int32_t r = q.row1 - 1; r > q.row0; --r)
            if (marked(q.column0, r))
                da.push_back(id(q.column0, r));
        const int32_t a = id(q.column0, q.row0), b = id(q.column1, q.row0), c = id(q.column1, q.row1),
                      d = id(q.column0, q.row1);
        TriangulateCorner(a, ab, b, bc, c, triangles);
        TriangulateCorner(c, cd, d, da, a, triangles);
    }
}

std::vector<int32_t> GridBoundaryEdges(CellMaskView cellMask, int32_t width, int32_t height)
{
    const int32_t columns = width - 1, rows = height - 1;
    const auto kept = [&](int32_t c, int32_t r) {
        return c >= 0 && r >= 0 && c < columns && r < rows && cellMask.Kept(static_cast<std::size_t>(r) * columns + c);
    };
    std::vector<int32_t> edges;
    for (int32_t r = 0; r < rows; ++r) {
        for (int32_t c = 0; c < columns; ++c) {
            if (!kept(c, r))
                continue;
            const int32_t a = r * width + c, b = a + 1, cc = a + width + 1, d = a + width;
            // The job's triangles run a -> d -> c -> b around the cell.
            if (!kept(c - 1, r))
                edges.insert(edges.end(), {a, d});
            if (!kept(c, r + 1))
                edges.insert(edges.end(), {d, cc});
            if (!kept(c + 1, r))
                edges.insert(edges.end(), {cc, b});
            if (!kept(c, r - 1))
                edges.insert(edges.end(), {b, a});
        }
    }
    return edges;
}

}  // namespace heightmesh::tool
