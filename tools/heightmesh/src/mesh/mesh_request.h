// One run of the heightfield mesh job as the tool asks for it, and the two
// ways of running it: over the whole grid into owned buffers, or over a band
// of rows into buffers the caller reuses.
#pragma once

#include <algorithm>
#include <cstdint>
#include <functional>
#include <span>

#include <jobhost/jobhost.h>

#include "common/cell_mask_view.h"

#include "heightmesh/job_abi.h"

namespace heightmesh::tool {

// The job's four outputs, owned in the host's storage (so that they move out
// of a run without a copy): every grid vertex with its UV and normal, and six
// triangle indices per cell, of which masked cells hold six zeros.
using MeshData = jobhost::HeightfieldMesh;

struct MeshRequest {
    std::span<const float> heights;  // width * height
    CellMaskView cellMask;           // (width - 1) * (height - 1)
    int32_t width = 0;
    int32_t height = 0;
    HeightmeshFloat3 scale{1.0f, 1.0f, 1.0f};
    int32_t batchSize = 0;
};

// Runs the job; reports progress (0..1) on the calling thread.
using Mesher = std::function<MeshData(const MeshRequest&, const std::function<void(double)>& progress)>;

// Runs the job over grid rows [rowBegin, rowEnd) only, into the band's
// buffers (sized as jobhost::HeightfieldMeshBand describes), writing there
// exactly what a full run writes; reports progress (0..1) of the band.
using BandMesher =
    std::function<void(const MeshRequest&, int32_t rowBegin, int32_t rowEnd, const jobhost::HeightfieldMeshBand& band,
                       const std::function<void(double)>& progress)>;

// The job as a run uses it. Without a band mesher every run takes the job's
// full outputs.
struct Meshers {
    Mesher full;
    BandMesher bands;
};

// Grid points per band of a banded run: enough that a band keeps every
// worker busy and its writes are megabytes long, few enough that its
// buffers stay small.
inline constexpr int64_t kBandPoints = int64_t{1} << 16;

// Rows per band of a grid `width` points wide and `height` rows high.
inline int32_t BandRows(int32_t width, int32_t height)
{
    return static_cast<int32_t>(std::clamp<int64_t>(kBandPoints / std::max(width, 1), 1, std::max(height, 1)));
}

// Buffers for bands of up to `points` grid points and `entries` triangle
// entries, reused from band to band.
inline MeshData BandBuffers(std::size_t points, std::size_t entries)
{
    MeshData buffers;
    buffers.vertices.resize(points);
    buffers.uvs.resize(points);
    buffers.normals.resize(points);
    buffers.triangles.resize(entries);
    return buffers;
}

// The first `points` grid points and `entries` triangle entries of the
// buffers, as one band's outputs.
inline jobhost::HeightfieldMeshBand BandOf(MeshData& buffers, std::size_t points, std::size_t entries)
{
    return {std::span(buffers.vertices).first(points), std::span(buffers.uvs).first(points),
            std::span(buffers.normals).first(points), std::span(buffers.triangles).first(entries)};
}

}  // namespace heightmesh::tool
