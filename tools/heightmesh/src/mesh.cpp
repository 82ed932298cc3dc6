#include "mesh.h"

#include <algorithm>
#include <cmath>

#include <fmt/format.h>

#include "tool_error.h"

namespace heightmesh::tool {

namespace {

bool Finite(const HeightmeshFloat3& v) { return std::isfinite(v.x) && std::isfinite(v.y) && std::isfinite(v.z); }

}  // namespace

KeptMesh::KeptMesh(const MeshData& mesh, int32_t width, int32_t height) : mesh_(mesh), width_(width), height_(height) {
    const std::size_t vertexCount = static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
    const std::size_t cells = static_cast<std::size_t>(width - 1) * static_cast<std::size_t>(height - 1);
    if (mesh.vertices.size() != vertexCount || mesh.uvs.size() != vertexCount || mesh.normals.size() != vertexCount ||
        mesh.triangles.size() != 6 * cells)
        throw ToolError(fmt::format("the job returned buffers of the wrong size for a {}x{} grid", width, height));

    // Which vertices do kept triangles use?
    std::vector<uint8_t> used(vertexCount, 0);
    const std::span<const int32_t> t = mesh.triangles;
    for (std::size_t cell = 0; cell < cells; ++cell) {
        bool kept = false;
        for (std::size_t k = 6 * cell; k < 6 * cell + 6; k += 3) {
            if (IsDegenerate(t[k], t[k + 1], t[k + 2])) continue;
            for (std::size_t j = k; j < k + 3; ++j) {
                if (t[j] < 0 || static_cast<std::size_t>(t[j]) >= vertexCount)
                    throw ToolError(fmt::format("the job returned triangle index {} outside 0..{}", t[j], vertexCount - 1));
                used[static_cast<std::size_t>(t[j])] = 1;
            }
            ++triangleCount_;
            kept = true;
        }
        if (kept) ++keptCells_;
    }

    const bool everyVertexUsed = std::all_of(used.begin(), used.end(), [](uint8_t u) { return u != 0; });
    if (!everyVertexUsed) {
        compacted_ = true;
        remap_.assign(vertexCount, -1);
        for (std::size_t v = 0; v < vertexCount; ++v) {
            if (!used[v]) continue;
            remap_[v] = static_cast<int32_t>(keptVertices_.size());
            keptVertices_.push_back(static_cast<int32_t>(v));
        }
    }

    const int64_t written = this->vertexCount();
    for (int64_t k = 0; k < written; ++k) {
        const HeightmeshFloat3& p = Position(k);
        const HeightmeshFloat3& n = Normal(k);
        const HeightmeshFloat2& uv = Uv(k);
        if (!Finite(p) || !Finite(n) || !std::isfinite(uv.x) || !std::isfinite(uv.y))
            throw ToolError(fmt::format(
                "vertex {} is not finite (position {} {} {}, normal {} {} {}): the heights times the scale exceed "
                "single precision",
                SourceVertex(k), p.x, p.y, p.z, n.x, n.y, n.z));
        if (k == 0) {
            min_ = max_ = p;
        } else {
            min_ = {std::min(min_.x, p.x), std::min(min_.y, p.y), std::min(min_.z, p.z)};
            max_ = {std::max(max_.x, p.x), std::max(max_.y, p.y), std::max(max_.z, p.z)};
        }
    }
}

}  // namespace heightmesh::tool
