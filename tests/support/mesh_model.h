// A straightforward model of the heightfield mesh, written from the
// arithmetic rules alone (single precision, each operation rounded on its
// own), for comparing the job's outputs bit for bit.
#pragma once

#include <cmath>
#include <cstdint>
#include <vector>

#include "heightmesh/job_abi.h"

namespace heightmesh::testing {

struct ModelMesh {
    std::vector<HeightmeshFloat3> vertices;
    std::vector<HeightmeshFloat2> uvs;
    std::vector<HeightmeshFloat3> normals;
    std::vector<int32_t> triangles;
};

inline ModelMesh BuildModelMesh(const std::vector<float>& heights, const std::vector<uint8_t>& mask, int width,
                                int height, HeightmeshFloat3 scale)
{
    // Sobel taps in the order the sums are accumulated: (dx, dz, weight).
    struct Tap {
        int dx, dz;
        float weight;
    };
    static const Tap kGradientX[6] = {{-1, -1, -1}, {-1, 0, -2}, {-1, 1, -1}, {1, -1, 1}, {1, 0, 2}, {1, 1, 1}};
    static const Tap kGradientZ[6] = {{-1, -1, -1}, {0, -1, -2}, {1, -1, -1}, {-1, 1, 1}, {0, 1, 2}, {1, 1, 1}};

    auto clampTo = [](int v, int n) { return v < 0 ? 0 : (v > n - 1 ? n - 1 : v); };
    auto gradient = [&](const Tap(&taps)[6], int x, int z) {
        float sum = 0.0f;
        for (int k = 0; k < 6; ++k) {
            const float sample =
                heights[clampTo(x + taps[k].dx, width) + clampTo(z + taps[k].dz, height) * width] * scale.y;
            const float weighted = taps[k].weight * sample;
            sum = k == 0 ? weighted : sum + weighted;
        }
        return sum;
    };

    ModelMesh mesh;
    const std::size_t points = std::size_t(width) * height;
    mesh.vertices.resize(points);
    mesh.uvs.resize(points);
    mesh.normals.resize(points);
    mesh.triangles.assign(std::size_t(width - 1) * (height - 1) * 6, 0);
    for (int z = 0; z < height; ++z) {
        for (int x = 0; x < width; ++x) {
            const int i = x + z * width;
            const float fx = float(x), fz = float(z);
            mesh.vertices[i] = {fx * scale.x, heights[i] * scale.y, fz * scale.z};
            mesh.uvs[i] = {fx / float(width), fz / float(height)};
            const float nx = -gradient(kGradientX, x, z) / scale.x;
            const float nz = -gradient(kGradientZ, x, z) / scale.z;
            const float length = std::sqrt((nx * nx + 64.0f) + nz * nz);
            const float inverse = 1.0f / length;
            mesh.normals[i] = {nx * inverse, 8.0f * inverse, nz * inverse};
        }
    }
    for (int z = 0; z + 1 < height; ++z) {
        for (int x = 0; x + 1 < width; ++x) {
            const int cell = x + z * (width - 1);
            if ((mask[cell] & 1) == 0)
                continue;
            int32_t corners[6];
            HeightmeshCellTriangles(x + z * width, width, corners);
            for (int k = 0; k < 6; ++k)
                mesh.triangles[std::size_t(cell) * 6 + k] = corners[k];
        }
    }
    return mesh;
}

}  // namespace heightmesh::testing
