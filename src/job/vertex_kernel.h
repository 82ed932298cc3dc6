// The per-vertex work of the heightfield mesh job.
#pragma once

#include <stdint.h>

#include "job/buffer_view.h"
#include "job/normal_filter.h"
#include "job/wrapping.h"

namespace heightmesh {

[[noreturn, gnu::cold]] void ReportDivideByZero();
[[noreturn, gnu::cold]] void ReportOverflow();

// Everything that belongs to grid point i: its position, texture coordinate
// and normal, and, when i is the lower-left corner of a cell, that cell's two
// triangles (or six zeros for a masked cell). The accesses come in a fixed
// order, which decides the first failure and what is already written by then:
// heights[i], vertices[i], uvs[i], the filter's reads, normals[i],
// cellMask[c], triangles[6c] ... triangles[6c + 5].
inline void ExecuteVertex(const HeightfieldMeshJob* job, int32_t i)
{
    const int32_t width = job->width;
    const int32_t height = job->height;
    const Float3 scale = job->scale;

    // The host's integer division raises on these two; so does the job,
    // before anything is touched for this index.
    if (width == 0) [[unlikely]]
        ReportDivideByZero();
    if (width == -1 && i == INT32_MIN) [[unlikely]]
        ReportOverflow();
    const int32_t x = i % width;
    const int32_t z = i / width;

    const float h = ReadChecked<float>(job->heights, i);

    const float column = static_cast<float>(x);
    const float row = static_cast<float>(z);
    WriteChecked(job->vertices, i, Float3{column * scale.x, h * scale.y, row * scale.z});
    // u runs from 0 to (width - 1) / width: the divisors are the point counts.
    WriteChecked(job->uvs, i, Float2{column / static_cast<float>(width), row / static_cast<float>(height)});

    const Float3 normal = ComputeNormal(job->heights, x, z, width, height, scale);
    WriteChecked(job->normals, i, normal);

    if (!(x < WrapSub(width, 1) && z < WrapSub(height, 1)))
        return;

    // The cell whose lower-left corner is i; with x and z taken from i this
    // always fits 32 bits (it is i - z).
    const int32_t cell = WrapAdd(x, WrapMul(z, WrapSub(width, 1)));
    const uint8_t mask = ReadChecked<uint8_t>(job->cellMask, cell);

    int32_t corners[6] = {0, 0, 0, 0, 0, 0};
    if (mask & 1u) {
        const int32_t p = i;
        const int32_t up = WrapAdd(p, width);
        corners[0] = p;
        corners[1] = WrapAdd(up, 1);
        corners[2] = WrapAdd(p, 1);
        corners[3] = p;
        corners[4] = up;
        corners[5] = WrapAdd(up, 1);
    }

    // The entries 6c ... 6c + 5, with their true values: an entry index beyond
    // 32 bits would wrap onto another cell's entries, so it is refused as out
    // of range under its wrapped value, the number the host would see.
    const int64_t first = int64_t(cell) * 6;
    for (int k = 0; k < 6; ++k) {
        const int64_t entry = first + k;
        const int32_t wrapped = static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint64_t>(entry)));
        if (entry != wrapped) [[unlikely]]
            ReportIndexOutOfRange(job->triangles, wrapped);
        WriteChecked(job->triangles, wrapped, corners[k]);
    }
}

}  // namespace heightmesh
