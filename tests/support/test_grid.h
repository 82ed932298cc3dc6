// Host-side buffers of one heightfield mesh job for tests, with views over the
// whole of each buffer. Outputs start as a sentinel so unwritten elements show.
#pragma once

#include <bit>
#include <cstdint>
#include <vector>

#include "heightmesh/job_abi.h"

namespace heightmesh::testing {

inline constexpr uint32_t kSentinelBits = 0x7FC0DEADu;  // a quiet NaN nothing computes
inline constexpr int32_t kSentinelIndex = -777;

inline float SentinelFloat() { return std::bit_cast<float>(kSentinelBits); }

inline HeightmeshBufferView FullView(void* data, int32_t length, uint32_t* versionCell, uint32_t safetyId)
{
    HeightmeshBufferView view{};
    view.data = data;
    view.length = length;
    view.minIndex = 0;
    view.maxIndex = static_cast<int32_t>(static_cast<uint32_t>(length) - 1u);
    view.safety.versionCell = versionCell;
    view.safety.version = *versionCell;
    view.safety.safetyId = safetyId;
    view.hostField = 0xFEEDFACECAFEBEEFull;
    return view;
}

struct TestGrid {
    int32_t width;
    int32_t height;
    HeightmeshFloat3 scale{1.0f, 1.0f, 1.0f};
    std::vector<float> heights;
    std::vector<uint8_t> mask;
    std::vector<HeightmeshFloat3> vertices;
    std::vector<HeightmeshFloat2> uvs;
    std::vector<HeightmeshFloat3> normals;
    std::vector<int32_t> triangles;
    // One version word per buffer, as the host keeps them.
    uint32_t versions[6] = {0, 0, 0, 0, 0, 0};

    TestGrid(int32_t w, int32_t h, std::vector<float> heightValues = {}, std::vector<uint8_t> maskValues = {})
        : width(w), height(h), heights(std::move(heightValues)), mask(std::move(maskValues))
    {
        const auto points = std::size_t(HeightmeshPointCount(w, h));
        const auto entries = std::size_t(HeightmeshTriangleEntryCount(w, h));
        if (heights.empty())
            heights.assign(points, 0.0f);
        if (mask.empty())
            mask.assign(std::size_t(HeightmeshCellCount(w, h)), 1);
        const float s = SentinelFloat();
        vertices.assign(points, {s, s, s});
        uvs.assign(points, {s, s});
        normals.assign(points, {s, s, s});
        triangles.assign(entries, kSentinelIndex);
    }

    HeightmeshHeightfieldMeshJob Job()
    {
        HeightmeshHeightfieldMeshJob job{};
        job.heights = FullView(heights.data(), int32_t(heights.size()), &versions[0], 1);
        job.cellMask = FullView(mask.data(), int32_t(mask.size()), &versions[1], 2);
        job.width = width;
        job.height = height;
        job.scale = scale;
        job.vertices = FullView(vertices.data(), int32_t(vertices.size()), &versions[2], 3);
        job.uvs = FullView(uvs.data(), int32_t(uvs.size()), &versions[3], 4);
        job.normals = FullView(normals.data(), int32_t(normals.size()), &versions[4], 5);
        job.triangles = FullView(triangles.data(), int32_t(triangles.size()), &versions[5], 6);
        return job;
    }
};

}  // namespace heightmesh::testing
