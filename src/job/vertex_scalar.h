// The exact road of the vertex kernel: one vertex, every access in order.
#pragma once

#include <stdint.h>

#include "job/buffer_view.h"
#include "job/normal_filter.h"
#include "job/vertex_footprint.h"
#include "job/wrapping.h"

namespace heightmesh {

[[noreturn, gnu::cold]] void ReportDivideByZero();
[[noreturn, gnu::cold]] void ReportOverflow();

// Everything that belongs to grid point i, at column x and row z: its
// position, texture coordinate and normal, and, when i is the lower-left
// corner of a cell, that cell's two triangles (or six zeros for a masked
// cell). The accesses are those of the vertex's footprint, in a fixed order,
// which decides the first failure and what is already written by then:
// heights[i], vertices[i], uvs[i], the filter's reads, normals[i],
// cellMask[c], triangles[6c] ... triangles[6c + 5].
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
    const VertexFootprint v = FootprintOf<kColumns>(job, i, x, z);

    const float h = Read<float, kRangeKnown>(job.heights, v.point);

    const float column = static_cast<float>(x);
    const float row = static_cast<float>(z);
    Write<kRangeKnown>(job.vertices, v.point, Float3{column * scale.x, h * scale.y, row * scale.z});
    // u runs from 0 to (width - 1) / width: the divisors are the point counts.
    Write<kRangeKnown>(job.uvs, v.point, Float2{column / static_cast<float>(width), row / static_cast<float>(height)});

    const Float3 normal = SobelNormal<kRangeKnown>(job.heights, v.taps, scale);
    Write<kRangeKnown>(job.normals, v.point, normal);

    if (!v.hasCell)
        return;
    const uint8_t mask = Read<uint8_t, kRangeKnown>(job.cellMask, v.cell);

    // The cell's two triangles, or six zeros when bit 0 of the mask is clear.
    const int32_t keep = -static_cast<int32_t>(mask & 1u);
    int32_t corners[6];
    HeightmeshCellTriangles(i, width, corners);
#pragma GCC unroll 6
    for (int k = 0; k < 6; ++k)
        corners[k] &= keep;

        // The entries 6c ... 6c + 5, with their true values: an entry index beyond
        // 32 bits would wrap onto another cell's entries, so it is refused as out
        // of range under its wrapped value, the number the host would see.
#pragma GCC unroll 6
    for (int k = 0; k < 6; ++k) {
        const int64_t entry = v.firstEntry + k;
        if constexpr (kRangeKnown) {
            WriteInRange(job.triangles, entry, corners[k]);
        } else {
            const int32_t wrapped = ElementIndex32(entry);
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

}  // namespace heightmesh
