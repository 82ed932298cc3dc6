#include "mesh/mesh.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>

#include <fmt/format.h>

#include "common/parallel.h"
#include "common/tool_error.h"
#include "mesh/grid_cells.h"

namespace heightmesh::tool {

namespace {

// Per-thread results of the triangle pass.
struct alignas(64) TriangleTally {
    int64_t triangles = 0;
    int64_t keptCells = 0;
    int64_t badEntry = -1;  // first out-of-range index entry, or -1
    bool standard = true;   // every cell holds its own two triangles
};

// Per-thread results of the vertex pass.
struct alignas(64) VertexTally {
    int64_t firstBad = -1;  // first written vertex that is not finite, or -1
    PositionBounds bounds;
};

}  // namespace

void ThrowNonFiniteVertex(int32_t source, const HeightmeshFloat3& p, const HeightmeshFloat3& n)
{
    throw ToolError(
        fmt::format("vertex {} is not finite (position {} {} {}, normal {} {} {}): the heights times the scale exceed "
                    "single precision",
                    source, p.x, p.y, p.z, n.x, n.y, n.z));
}

KeptMesh::KeptMesh(const MeshData& mesh, int32_t width, int32_t height, unsigned threads)
    : mesh_(mesh), width_(width), height_(height)
{
    const std::size_t vertexCount = static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
    const std::size_t cells = static_cast<std::size_t>(width - 1) * static_cast<std::size_t>(height - 1);
    if (mesh.vertices.size() != vertexCount || mesh.uvs.size() != vertexCount || mesh.normals.size() != vertexCount ||
        mesh.triangles.size() != 6 * cells)
        throw ToolError(fmt::format("the job returned buffers of the wrong size for a {}x{} grid", width, height));
    threads = ThreadCount(threads);
    const int32_t* t = mesh.triangles.data();

    // Count the kept triangles and cells, check every index they hold, and
    // note whether every cell holds exactly its own two triangles (one pass
    // over the entries).
    std::vector<TriangleTally> tallies(threads);
    const CellOffsets offsets = JobCellOffsets(width);
    ParallelRanges(static_cast<int64_t>(cells), threads, [&](int64_t begin, int64_t end, unsigned part) {
        // Counted in locals and stored once, so that the threads' tallies
        // are written only at the end.
        TriangleTally tally;
        const auto store = [&] { tallies[part] = tally; };
        const int64_t columns = width - 1;
        int32_t p = static_cast<int32_t>(begin % columns + begin / columns * width);
        int64_t column = begin % columns;
        for (std::size_t cell = static_cast<std::size_t>(begin); cell < static_cast<std::size_t>(end); ++cell) {
            const int32_t* c = t + 6 * cell;
            tally.standard = tally.standard && HoldsOwnTriangles(c, p, offsets);
            if (++column == columns) {
                column = 0;
                p += 2;
            } else {
                ++p;
            }
            bool kept = false;
            for (std::size_t k = 6 * cell; k < 6 * cell + 6; k += 3) {
                if (IsDegenerate(t[k], t[k + 1], t[k + 2]))
                    continue;
                for (std::size_t j = k; j < k + 3; ++j) {
                    if (static_cast<uint32_t>(t[j]) >= vertexCount) {
                        tally.badEntry = static_cast<int64_t>(j);
                        store();
                        return;
                    }
                }
                ++tally.triangles;
                kept = true;
            }
            if (kept)
                ++tally.keptCells;
        }
        store();
    });
    bool standard = true;
    for (const TriangleTally& tally : tallies) {
        if (tally.badEntry >= 0) {
            const int32_t index = t[tally.badEntry];
            throw ToolError(fmt::format("the job returned triangle index {} outside 0..{}", index, vertexCount - 1));
        }
        triangleCount_ += tally.triangles;
        keptCells_ += tally.keptCells;
        standard = standard && tally.standard;
    }

    // Which vertices do kept triangles use? With every cell holding its own
    // two triangles, every grid point is a corner of some kept cell; any
    // other case marks the vertices the kept triangles name.
    const bool everyVertexUsed = standard;
    if (!everyVertexUsed) {
        jobhost::HostVector<uint8_t> used(vertexCount);
        ParallelRanges(static_cast<int64_t>(cells), threads, [&](int64_t begin, int64_t end, unsigned) {
            for (std::size_t k = 6 * static_cast<std::size_t>(begin); k < 6 * static_cast<std::size_t>(end); k += 3) {
                if (IsDegenerate(t[k], t[k + 1], t[k + 2]))
                    continue;
                for (std::size_t j = k; j < k + 3; ++j)
                    std::atomic_ref<uint8_t>(used[static_cast<std::size_t>(t[j])]).store(1, std::memory_order_relaxed);
            }
        });
        // Written indices in job order: each thread counts its range, then
        // numbers it from the total of the ranges before it.
        std::vector<int64_t> counts(threads + 1, 0);
        ParallelRanges(static_cast<int64_t>(vertexCount), threads, [&](int64_t begin, int64_t end, unsigned part) {
            counts[part + 1] = std::count(used.begin() + begin, used.begin() + end, uint8_t{1});
        });
        for (unsigned part = 0; part < threads; ++part)
            counts[part + 1] += counts[part];
        if (counts[threads] < static_cast<int64_t>(vertexCount)) {
            compacted_ = true;
            remap_.resize(vertexCount);
            keptVertices_.resize(static_cast<std::size_t>(counts[threads]));
            ParallelRanges(static_cast<int64_t>(vertexCount), threads, [&](int64_t begin, int64_t end, unsigned part) {
                int32_t next = static_cast<int32_t>(counts[part]);
                for (int64_t v = begin; v < end; ++v) {
                    if (used[static_cast<std::size_t>(v)]) {
                        remap_[static_cast<std::size_t>(v)] = next;
                        keptVertices_[static_cast<std::size_t>(next)] = static_cast<int32_t>(v);
                        ++next;
                    } else {
                        remap_[static_cast<std::size_t>(v)] = -1;
                    }
                }
            });
        }
    }

    // Every written value finite; bounds of the written positions.
    const int64_t written = this->vertexCount();
    std::vector<VertexTally> bounds(threads);
    ParallelRanges(written, threads, [&](int64_t begin, int64_t end, unsigned part) {
        VertexTally tally;
        for (int64_t k = begin; k < end; ++k) {
            const HeightmeshFloat3& p = Position(k);
            const HeightmeshFloat2& uv = Uv(k);
            if (!Finite(p) || !Finite(Normal(k)) || !std::isfinite(uv.x) || !std::isfinite(uv.y)) {
                tally.firstBad = k;
                break;
            }
            tally.bounds.Add(p);
        }
        bounds[part] = tally;
    });
    PositionBounds all;
    for (const VertexTally& tally : bounds) {
        if (tally.firstBad >= 0) {
            const int64_t k = tally.firstBad;
            ThrowNonFiniteVertex(SourceVertex(k), Position(k), Normal(k));
        }
        // Folded in order, as one pass over the vertices would.
        all.Add(tally.bounds);
    }
    min_ = all.low;
    max_ = all.high;
}

}  // namespace heightmesh::tool
