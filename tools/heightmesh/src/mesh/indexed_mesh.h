// A mesh made of some of the job's vertices (kept bit for bit, read from the
// job's full outputs or from a table gathered band by band) followed by
// vertices of its own (the base of a solid), with 32-bit triangle indices:
// what simplification and the solid base hand to the writers. It offers the
// writers the same reading interface as KeptMesh.
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

#include "mesh/mesh.h"

namespace heightmesh::tool {

// The job's values at some grid points, gathered from runs over bands of
// rows (the full outputs never exist): entry k holds the position, UV and
// normal of one grid point, as the job wrote them.
struct GatheredVertices {
    std::vector<HeightmeshFloat3> positions, normals;
    std::vector<HeightmeshFloat2> uvs;
};

class IndexedMesh {
public:
    // Source vertex k's values are the job's at grid point sourceVertices[k].
    IndexedMesh(const MeshData& job, int32_t gridWidth, int32_t gridHeight)
        : job_(&job), gridWidth_(gridWidth), gridHeight_(gridHeight)
    {
    }
    // Source vertex k's values are gathered entry k (the table may hold more
    // entries after them); it must outlive the mesh.
    IndexedMesh(const GatheredVertices& gathered, int32_t gridWidth, int32_t gridHeight)
        : gathered_(&gathered), gridWidth_(gridWidth), gridHeight_(gridHeight)
    {
    }

    std::vector<int32_t> sourceVertices;                         // the job's vertex of each of the first vertices
    std::vector<HeightmeshFloat3> extraPositions, extraNormals;  // the vertices after them
    std::vector<HeightmeshFloat2> extraUvs;
    std::vector<uint32_t> indices;  // three per triangle

    int32_t gridWidth() const noexcept { return gridWidth_; }
    int32_t gridHeight() const noexcept { return gridHeight_; }
    int64_t vertexCount() const noexcept { return static_cast<int64_t>(sourceVertices.size() + extraPositions.size()); }
    int64_t triangleCount() const noexcept { return static_cast<int64_t>(indices.size() / 3); }
    // The job's full outputs, for a mesh made from them (null for a gathered one).
    const MeshData* job() const noexcept { return job_; }

    const HeightmeshFloat3& Position(int64_t k) const noexcept
    {
        if (k >= Sources())
            return extraPositions[Extra(k)];
        return gathered_ ? gathered_->positions[static_cast<std::size_t>(k)] : job_->vertices[Source(k)];
    }
    const HeightmeshFloat3& Normal(int64_t k) const noexcept
    {
        if (k >= Sources())
            return extraNormals[Extra(k)];
        return gathered_ ? gathered_->normals[static_cast<std::size_t>(k)] : job_->normals[Source(k)];
    }
    const HeightmeshFloat2& Uv(int64_t k) const noexcept
    {
        if (k >= Sources())
            return extraUvs[Extra(k)];
        return gathered_ ? gathered_->uvs[static_cast<std::size_t>(k)] : job_->uvs[Source(k)];
    }

    template <class Visit>
    void ForEachTriangle(Visit&& visit) const
    {
        for (std::size_t i = 0; i + 2 < indices.size(); i += 3)
            visit(indices[i], indices[i + 1], indices[i + 2]);
    }

    // Bounds of the positions; call UpdateBounds after changing them.
    HeightmeshFloat3 minPosition() const noexcept { return min_; }
    HeightmeshFloat3 maxPosition() const noexcept { return max_; }
    void UpdateBounds()
    {
        PositionBounds bounds;
        for (int64_t k = 0; k < vertexCount(); ++k)
            bounds.Add(Position(k));
        min_ = bounds.low;
        max_ = bounds.high;
    }

private:
    int64_t Sources() const noexcept { return static_cast<int64_t>(sourceVertices.size()); }
    std::size_t Source(int64_t k) const noexcept
    {
        return static_cast<std::size_t>(sourceVertices[static_cast<std::size_t>(k)]);
    }
    std::size_t Extra(int64_t k) const noexcept { return static_cast<std::size_t>(k - Sources()); }

    const MeshData* job_ = nullptr;
    const GatheredVertices* gathered_ = nullptr;
    int32_t gridWidth_;
    int32_t gridHeight_;
    HeightmeshFloat3 min_{0, 0, 0};
    HeightmeshFloat3 max_{0, 0, 0};
};

}  // namespace heightmesh::tool
