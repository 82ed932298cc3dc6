// The per-vertex work of the heightfield mesh job.
#pragma once

#include <stdint.h>

#include "job/buffer_view.h"
#include "job/normal_filter.h"
#include "job/wrapping.h"

namespace heightmesh {

[[noreturn, gnu::cold]] void ReportDivideByZero();
[[noreturn, gnu::cold]] void ReportOverflow();

// Everything that belongs to grid point i, at column x and row z: its
// position, texture coordinate and normal, and, when i is the lower-left
// corner of a cell, that cell's two triangles (or six zeros for a masked
// cell). The accesses come in a fixed order, which decides the first failure
// and what is already written by then: heights[i], vertices[i], uvs[i], the
// filter's reads, normals[i], cellMask[c], triangles[6c] ... triangles[6c + 5].
//
// kRangeKnown: the caller has found every index this vertex touches allowed,
// so only the safety checks remain to be made. kColumns: whether the caller
// knows the point to lie between the first and the last column.
template <bool kRangeKnown, Columns kColumns = Columns::kAny>
[[gnu::always_inline]] inline void ExecuteVertexAt(const HeightfieldMeshJob& job, int32_t i, int32_t x, int32_t z)
{
    const int32_t width = job.width;
    const int32_t height = job.height;
    const Float3 scale = job.scale;

    const float h = Read<float, kRangeKnown>(job.heights, i);

    const float column = static_cast<float>(x);
    const float row = static_cast<float>(z);
    Write<kRangeKnown>(job.vertices, i, Float3{column * scale.x, h * scale.y, row * scale.z});
    // u runs from 0 to (width - 1) / width: the divisors are the point counts.
    Write<kRangeKnown>(job.uvs, i, Float2{column / static_cast<float>(width), row / static_cast<float>(height)});

    const Float3 normal = ComputeNormalAt<kRangeKnown, kColumns>(job.heights, x, z, width, height, scale);
    Write<kRangeKnown>(job.normals, i, normal);

    const bool cellColumn = kColumns == Columns::kInterior || x < WrapSub(width, 1);
    if (!(cellColumn && z < WrapSub(height, 1)))
        return;

    // The cell whose lower-left corner is i; with x and z taken from i this
    // always fits 32 bits (it is i - z).
    const int32_t cell = WrapAdd(x, WrapMul(z, WrapSub(width, 1)));
    const uint8_t mask = Read<uint8_t, kRangeKnown>(job.cellMask, cell);

    // The triangles (p, p + width + 1, p + 1) and (p, p + width, p + width + 1),
    // or six zeros when bit 0 of the mask is clear.
    const int32_t keep = -static_cast<int32_t>(mask & 1u);
    const int32_t p = i & keep;
    const int32_t up = WrapAdd(i, width) & keep;
    const int32_t upRight = WrapAdd(WrapAdd(i, width), 1) & keep;
    const int32_t right = WrapAdd(i, 1) & keep;
    const int32_t corners[6] = {p, upRight, right, p, up, upRight};

    // The entries 6c ... 6c + 5, with their true values: an entry index beyond
    // 32 bits would wrap onto another cell's entries, so it is refused as out
    // of range under its wrapped value, the number the host would see.
    const int64_t first = int64_t(cell) * 6;
#pragma GCC unroll 6
    for (int k = 0; k < 6; ++k) {
        const int64_t entry = first + k;
        if constexpr (kRangeKnown) {
            WriteInRange(job.triangles, entry, corners[k]);
        } else {
            const int32_t wrapped = static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint64_t>(entry)));
            if (entry != wrapped) [[unlikely]]
                ReportIndexOutOfRange(job.triangles, wrapped);
            WriteChecked(job.triangles, wrapped, corners[k]);
        }
    }
}

// Column and row of i by the host's integer division, which raises on a zero
// width and on the most negative index over -1; so does the job, before
// anything is touched for this index.
inline void GridPosition(int32_t i, int32_t width, int32_t& x, int32_t& z)
{
    if (width == 0) [[unlikely]]
        ReportDivideByZero();
    if (width == -1 && i == INT32_MIN) [[unlikely]]
        ReportOverflow();
    x = i % width;
    z = i / width;
}

inline void ExecuteVertex(const HeightfieldMeshJob* job, int32_t i)
{
    int32_t x, z;
    GridPosition(i, job->width, x, z);
    ExecuteVertexAt<false>(*job, i, x, z);
}

// Whether every access of the vertices first ... last, columns x0 ... x1 of
// row z (width >= 1), is allowed: their own heights and outputs, the heights
// of the rows z - 1 to z + 1 (clamped onto the grid) between the outermost
// clamped columns, and the cells and triangle entries of the row's cell
// corners among them. The record's height need not cover row z: the points
// themselves are checked apart from their clamped neighbours.
inline bool RowSegmentInRange(const HeightfieldMeshJob& job, int32_t first, int32_t last, int32_t x0, int32_t x1,
                              int32_t z)
{
    if (!SpanInAllowedRange(job.heights, first, last) || !SpanInAllowedRange(job.vertices, first, last) ||
        !SpanInAllowedRange(job.uvs, first, last) || !SpanInAllowedRange(job.normals, first, last))
        return false;

    const int64_t width = job.width;
    const int64_t lowest = ClampToGrid(WrapSub(x0, 1), job.width) + ClampToGrid(WrapSub(z, 1), job.height) * width;
    const int64_t highest = ClampToGrid(WrapAdd(x1, 1), job.width) + ClampToGrid(WrapAdd(z, 1), job.height) * width;
    if (!SpanInAllowedRange(job.heights, lowest, highest))
        return false;

    const int32_t lastCornerColumn = x1 < job.width - 1 ? x1 : job.width - 2;
    if (z < WrapSub(job.height, 1) && x0 <= lastCornerColumn) {
        const int64_t firstCell = x0 + int64_t(z) * (width - 1);
        const int64_t lastCell = lastCornerColumn + int64_t(z) * (width - 1);
        if (!SpanInAllowedRange(job.cellMask, firstCell, lastCell) ||
            !SpanInAllowedRange(job.triangles, firstCell * 6, lastCell * 6 + 5))
            return false;
    }
    return true;
}

// One batch [begin, end), in increasing order. The record is read once, after
// the host patched it for this batch (the host changes it only then). The
// batch is taken row by row: the grid position steps along instead of being
// divided out per index, and a row's stretch whose accesses are all allowed
// runs with the safety checks alone; any other stretch runs with every range
// check, so a failure is reported exactly where it occurs.
inline void ExecuteVertexBatch(const HeightfieldMeshJob* job, int32_t begin, int32_t end)
{
    if (job->width < 1 || begin < 0) [[unlikely]] {
        for (int32_t i = begin; i < end; ++i)
            ExecuteVertex(job, i);
        return;
    }
    const HeightfieldMeshJob record = *job;
    int32_t x, z;
    GridPosition(begin, record.width, x, z);
    for (int32_t i = begin; i < end; x = 0, ++z) {
        const int64_t rowEnd = int64_t(i) + (record.width - x);
        const int32_t stretchEnd = rowEnd < end ? static_cast<int32_t>(rowEnd) : end;
        const int32_t lastColumn = x + (stretchEnd - 1 - i);
        if (RowSegmentInRange(record, i, stretchEnd - 1, x, lastColumn, z)) [[likely]] {
            // The first and the last column clamp their neighbours; the
            // columns between them need no clamping.
            if (x == 0)
                ExecuteVertexAt<true>(record, i++, x++, z);
            const int32_t interiorEnd = lastColumn < record.width - 1 ? stretchEnd : stretchEnd - 1;
            for (; i < interiorEnd; ++i, ++x)
                ExecuteVertexAt<true, Columns::kInterior>(record, i, x, z);
            for (; i < stretchEnd; ++i, ++x)
                ExecuteVertexAt<true>(record, i, x, z);
        } else {
            for (; i < stretchEnd; ++i, ++x)
                ExecuteVertexAt<false>(record, i, x, z);
        }
    }
}

}  // namespace heightmesh
