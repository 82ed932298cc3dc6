// The per-vertex work of the heightfield mesh job.
#pragma once

#include <stdint.h>

#include "job/buffer_view.h"
#include "job/normal_filter.h"
#include "job/vertex_footprint.h"
#include "job/vertex_lanes.h"
#include "job/vertex_lanes_avx2.h"
#include "job/vertex_scalar.h"
#include "job/wrapping.h"

namespace heightmesh {

// The roads a batch can take over the stretches whose accesses are all
// allowed: vertex by vertex, four vertices at a time (SSE2, on every x86-64
// processor), or eight (AVX2, where ProcessorHasAvx2).
enum class Road { kScalar, kSse2, kAvx2 };

// One batch [begin, end), in increasing order. The record is read once, after
// the host patched it for this batch (the host changes it only then). The
// batch is taken row by row: the grid position steps along instead of being
// divided out per index, and a row's stretch whose accesses are all allowed
// runs with the safety checks alone (in packed groups on the packed roads);
// any other stretch runs with every range check, so a failure is reported
// exactly where it occurs.
template <Road kRoad>
inline void ExecuteVertexBatchOn(const HeightfieldMeshJob* job, int32_t begin, int32_t end)
{
    if (job->width < 1 || begin < 0) [[unlikely]] {
        for (int32_t i = begin; i < end; ++i)
            ExecuteVertex(job, i);
        return;
    }
    const HeightfieldMeshJob record = *job;
    const bool lanes = kRoad != Road::kScalar && VersionsFitMasks(record);
    int32_t x, z;
    GridPosition(begin, record.width, x, z);
    for (int32_t i = begin; i < end; x = 0, ++z) {
        const int64_t rowEnd = int64_t(i) + (record.width - x);
        const int32_t stretchEnd = rowEnd < end ? static_cast<int32_t>(rowEnd) : end;
        const int32_t lastColumn = x + (stretchEnd - 1 - i);
        if (StretchInRange(record, i, stretchEnd - 1, x, lastColumn, z)) [[likely]] {
            // The first and the last column clamp their neighbours; the
            // columns between them need no clamping.
            if (x == 0)
                ExecuteVertexAt<true>(record, i++, x++, z);
            const int32_t interiorEnd = lastColumn < record.width - 1 ? stretchEnd : stretchEnd - 1;
            if (lanes && interiorEnd - i >= kLaneCount) {
                if constexpr (kRoad == Road::kAvx2)
                    ExecuteInteriorAvx2(record, i, x, z, interiorEnd);
                else
                    ExecuteInteriorSse2(record, i, x, z, interiorEnd);
            }
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

// The packed road this processor takes: chosen once per job entry call.
inline Road FastestRoad() { return ProcessorHasAvx2() ? Road::kAvx2 : Road::kSse2; }

inline void ExecuteVertexBatch(const HeightfieldMeshJob* job, int32_t begin, int32_t end, Road road)
{
    switch (road) {
    case Road::kScalar: ExecuteVertexBatchOn<Road::kScalar>(job, begin, end); break;
    case Road::kSse2: ExecuteVertexBatchOn<Road::kSse2>(job, begin, end); break;
    case Road::kAvx2: ExecuteVertexBatchOn<Road::kAvx2>(job, begin, end); break;
    }
}

}  // namespace heightmesh
