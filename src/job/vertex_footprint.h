// Which element of which view one vertex touches: the single description
// that the vertex kernel accesses through and that the range pre-check of a
// row stretch tests, so the two cannot drift apart.
#pragma once

#include <stdint.h>

#include "job/buffer_view.h"
#include "job/normal_filter.h"
#include "job/wrapping.h"

namespace heightmesh {

// The accesses of vertex i at column x and row z, in the kernel's order:
// heights[point], vertices[point], uvs[point], the filter's twelve heights
// (taps), normals[point]; then, for a cell corner, cellMask[cell] and
// triangles[firstEntry] ... triangles[firstEntry + 5].
struct VertexFootprint {
    int32_t point;
    FilterTaps taps;
    bool hasCell;
    int32_t cell;        // x + z * (width - 1); with x and z taken from i it is i - z and fits 32 bits
    int64_t firstEntry;  // 6 * cell, exact: an entry beyond 32 bits is refused, never wrapped onto another cell
};

template <Columns kColumns = Columns::kAny>
[[gnu::always_inline]] inline VertexFootprint FootprintOf(const HeightfieldMeshJob& job, int32_t i, int32_t x,
                                                          int32_t z)
{
    VertexFootprint v;
    v.point = i;
    v.taps = FilterTapsAt<kColumns>(x, z, job.width, job.height);
    const bool cellColumn = kColumns == Columns::kInterior || x < WrapSub(job.width, 1);
    v.hasCell = cellColumn && z < WrapSub(job.height, 1);
    v.cell = WrapAdd(x, WrapMul(z, WrapSub(job.width, 1)));
    v.firstEntry = int64_t(v.cell) * 6;
    return v;
}

// Whether every access of the vertex is allowed. The twelve heights of the
// filter lie between its lowest (left column, row below) and its highest
// (right column, row above) for width >= 1, so those two stand for all.
inline bool FootprintInRange(const HeightfieldMeshJob& job, const VertexFootprint& v)
{
    if (!InAllowedRange(job.heights, v.point) || !InAllowedRange(job.vertices, v.point) ||
        !InAllowedRange(job.uvs, v.point) || !InAllowedRange(job.normals, v.point) ||
        !SpanInAllowedRange(job.heights, v.taps.below + v.taps.left, v.taps.above + v.taps.right))
        return false;
    return !v.hasCell ||
           (InAllowedRange(job.cellMask, v.cell) && SpanInAllowedRange(job.triangles, v.firstEntry, v.firstEntry + 5));
}

// Whether every access of the vertices first ... last, columns x0 ... x1 of
// row z (width >= 1), is allowed. Along a row every index of a footprint is
// non-decreasing in the column, and an allowed range is an interval, so the
// first and the last vertex stand for the stretch; the last cell corner
// stands for the cells when the stretch ends on the last column. The record's
// height need not cover row z: a point is checked apart from its clamped
// neighbours.
inline bool StretchInRange(const HeightfieldMeshJob& job, int32_t first, int32_t last, int32_t x0, int32_t x1,
                           int32_t z)
{
    const VertexFootprint head = FootprintOf(job, first, x0, z);
    const VertexFootprint tail = FootprintOf(job, last, x1, z);
    if (!FootprintInRange(job, head) || !FootprintInRange(job, tail))
        return false;
    if (tail.hasCell || !head.hasCell || x1 == x0)
        return true;
    return FootprintInRange(job, FootprintOf(job, last - 1, x1 - 1, z));
}

}  // namespace heightmesh
