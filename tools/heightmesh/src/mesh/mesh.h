// The job's output as the writers see it (KeptMesh): only the real
// triangles and the vertices they use; and the small pieces every road
// shares (finiteness, z-up turn, position bounds).
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include <jobhost/jobhost.h>

#include "heightmesh/job_abi.h"
#include "mesh/mesh_request.h"

namespace heightmesh::tool {

inline bool Finite(const HeightmeshFloat3& v) { return std::isfinite(v.x) && std::isfinite(v.y) && std::isfinite(v.z); }

// Turns a y-up mesh z-up (x, y, z) -> (x, -z, y), a rotation, and back; exact.
inline void TurnZUp(std::span<HeightmeshFloat3> points, bool back = false)
{
    for (HeightmeshFloat3& p : points)
        p = back ? HeightmeshFloat3{p.x, p.z, -p.y} : HeightmeshFloat3{p.x, -p.z, p.y};
}

// Bounds of positions folded in vertex order: the first of equal values
// wins, so -0 and +0 stay as they come; all zero while empty.
struct PositionBounds {
    HeightmeshFloat3 low{0, 0, 0}, high{0, 0, 0};
    bool any = false;

    void Add(const HeightmeshFloat3& p)
    {
        if (!any) {
            low = high = p;
            any = true;
            return;
        }
        low = {std::min(low.x, p.x), std::min(low.y, p.y), std::min(low.z, p.z)};
        high = {std::max(high.x, p.x), std::max(high.y, p.y), std::max(high.z, p.z)};
    }
    // Adds the bounds of values that come after these.
    void Add(const PositionBounds& later)
    {
        if (!later.any)
            return;
        if (!any) {
            *this = later;
            return;
        }
        low = {std::min(low.x, later.low.x), std::min(low.y, later.low.y), std::min(low.z, later.low.z)};
        high = {std::max(high.x, later.high.x), std::max(high.y, later.high.y), std::max(high.z, later.high.z)};
    }
};

// Throws the ToolError for written vertex `source` (a job vertex index) whose
// position, normal or UV is not finite.
[[noreturn]] void ThrowNonFiniteVertex(int32_t source, const HeightmeshFloat3& position,
                                       const HeightmeshFloat3& normal);

// A read-only view of the job's output reduced to what a file holds.
class KeptMesh {
public:
    // Checks the buffers' sizes against the grid, that every index names a
    // vertex and every value is finite; throws ToolError otherwise. The
    // checks and the compaction run on `threads` threads (0: every core).
    KeptMesh(const MeshData& mesh, int32_t width, int32_t height, unsigned threads = 0);

    int32_t gridWidth() const noexcept { return width_; }
    int32_t gridHeight() const noexcept { return height_; }
    int64_t cellCount() const noexcept { return static_cast<int64_t>(width_ - 1) * (height_ - 1); }
    int64_t keptCellCount() const noexcept { return keptCells_; }
    int64_t triangleCount() const noexcept { return triangleCount_; }
    int64_t vertexCount() const noexcept
    {
        return static_cast<int64_t>(compacted_ ? keptVertices_.size() : mesh_.vertices.size());
    }

    // The job's vertex index of written vertex k.
    int32_t SourceVertex(int64_t k) const noexcept
    {
        return compacted_ ? keptVertices_[static_cast<std::size_t>(k)] : static_cast<int32_t>(k);
    }
    const HeightmeshFloat3& Position(int64_t k) const noexcept
    {
        return mesh_.vertices[static_cast<std::size_t>(SourceVertex(k))];
    }
    const HeightmeshFloat2& Uv(int64_t k) const noexcept
    {
        return mesh_.uvs[static_cast<std::size_t>(SourceVertex(k))];
    }
    const HeightmeshFloat3& Normal(int64_t k) const noexcept
    {
        return mesh_.normals[static_cast<std::size_t>(SourceVertex(k))];
    }

    // Calls visit(a, b, c) with written-vertex indices for every kept
    // triangle, in the job's order.
    template <class Visit>
    void ForEachTriangle(Visit&& visit) const
    {
        ForEachTriangleInCells(0, cellCount(), visit);
    }
    // The same for the triangles of job cells [cellBegin, cellEnd) only, so
    // that slices of the triangles can be written on several threads.
    template <class Visit>
    void ForEachTriangleInCells(int64_t cellBegin, int64_t cellEnd, Visit&& visit) const
    {
        const int32_t* t = mesh_.triangles.data();
        for (std::size_t i = 6 * static_cast<std::size_t>(cellBegin); i < 6 * static_cast<std::size_t>(cellEnd);
             i += 3) {
            if (IsDegenerate(t[i], t[i + 1], t[i + 2]))
                continue;
            visit(Written(t[i]), Written(t[i + 1]), Written(t[i + 2]));
        }
    }
    // Whether the written mesh leaves some job vertex out (if not, written
    // vertex k is job vertex k and the job's buffers hold the written values).
    bool compacted() const noexcept { return compacted_; }
    // Whether every cell is kept (the job's triangle buffer then holds the
    // written indices as they are).
    bool everyCellKept() const noexcept { return triangleCount_ == 2 * cellCount(); }

    // Bounds of the written positions (all zero for an empty mesh).
    HeightmeshFloat3 minPosition() const noexcept { return min_; }
    HeightmeshFloat3 maxPosition() const noexcept { return max_; }

    // Whether job vertex `source` is written (some kept triangle uses it).
    bool IsWritten(int32_t source) const noexcept
    {
        return !compacted_ || remap_[static_cast<std::size_t>(source)] >= 0;
    }

    const MeshData& data() const noexcept { return mesh_; }

    static bool IsDegenerate(int32_t a, int32_t b, int32_t c) noexcept { return a == b || b == c || a == c; }

private:
    uint32_t Written(int32_t source) const noexcept
    {
        return compacted_ ? static_cast<uint32_t>(remap_[static_cast<std::size_t>(source)])
                          : static_cast<uint32_t>(source);
    }

    const MeshData& mesh_;
    int32_t width_;
    int32_t height_;
    int64_t keptCells_ = 0;
    int64_t triangleCount_ = 0;
    // Whether some vertex is left out; if not, every vertex is written in order
    // and the two tables below stay empty.
    bool compacted_ = false;
    jobhost::HostVector<int32_t> keptVertices_;  // job vertex of each written vertex
    jobhost::HostVector<int32_t> remap_;         // written index of each job vertex, or -1
    HeightmeshFloat3 min_{0, 0, 0};
    HeightmeshFloat3 max_{0, 0, 0};
};

}  // namespace heightmesh::tool
