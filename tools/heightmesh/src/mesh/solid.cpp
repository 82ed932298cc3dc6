#include "mesh/solid.h"

#include <algorithm>
#include <unordered_map>
#include <vector>

#include "mesh/region_cover.h"

namespace heightmesh::tool {

namespace {

int Sign(int64_t v) { return (v > 0) - (v < 0); }

// Quadrant (0..3) of direction (sx, sy) around a grid point.
int Quadrant(int sx, int sy) { return (sx > 0 ? 1 : 0) + (sy > 0 ? 2 : 0); }

}  // namespace

SolidBasePlan PlanSolidBase(std::span<const int32_t> boundaryEdges, CellMaskView cellMask, int32_t width,
                            int32_t height)
{
    SolidBasePlan plan;
    // The bottom: rectangles covering the kept cells, with every outline
    // vertex of the surface on their edges.
    plan.marks = PointMarks(static_cast<std::size_t>(width) * static_cast<std::size_t>(height));
    const std::vector<CellRect> rects = CoverKeptCells(cellMask, width, height);
    for (const CellRect& q : rects)
        for (const int32_t r : {q.row0, q.row1})
            for (const int32_t c : {q.column0, q.column1})
                plan.marks.Set(static_cast<std::size_t>(r) * width + c);
    for (const int32_t v : boundaryEdges)
        plan.marks.Set(static_cast<std::size_t>(v));
    TriangulateRects(rects, plan.marks, width, plan.bottomTriangles);
    // The walls run through marked points only; the bottom's triangles may
    // hold others.
    plan.marks.ForEach([&](std::size_t g) { plan.points.push_back(static_cast<int32_t>(g)); });
    const std::size_t marked = plan.points.size();
    for (const int32_t g : plan.bottomTriangles)
        if (!plan.marks[static_cast<std::size_t>(g)])
            plan.points.push_back(g);
    std::sort(plan.points.begin() + static_cast<std::ptrdiff_t>(marked), plan.points.end());
    std::inplace_merge(plan.points.begin(), plan.points.begin() + static_cast<std::ptrdiff_t>(marked),
                       plan.points.end());
    plan.points.erase(std::unique(plan.points.begin(), plan.points.end()), plan.points.end());
    return plan;
}

void AddSolidBase(IndexedMesh& mesh, std::span<const int32_t> boundaryEdges, CellMaskView cellMask, int32_t width,
                  int32_t height, float depth)
{
    if (mesh.indices.empty())
        return;
    const SolidBasePlan plan = PlanSolidBase(boundaryEdges, cellMask, width, height);
    const MeshData& job = *mesh.job();
    std::vector<HeightmeshFloat3> positions;
    std::vector<HeightmeshFloat2> uvs;
    for (const int32_t g : plan.points) {
        positions.push_back(job.vertices[static_cast<std::size_t>(g)]);
        uvs.push_back(job.uvs[static_cast<std::size_t>(g)]);
    }
    AddSolidBase(mesh, plan, boundaryEdges, cellMask, width, height, depth, positions, uvs);
}

void AddSolidBase(IndexedMesh& mesh, const SolidBasePlan& plan, std::span<const int32_t> boundaryEdges,
                  CellMaskView cellMask, int32_t width, int32_t height, float depth,
                  std::span<const HeightmeshFloat3> pointPositions, std::span<const HeightmeshFloat2> pointUvs)
{
    if (mesh.indices.empty())
        return;
    const int32_t columns = width - 1, rows = height - 1;
    const auto kept = [&](int64_t c, int64_t r) {
        return c >= 0 && r >= 0 && c < columns && r < rows && cellMask.Kept(static_cast<std::size_t>(r * columns + c));
    };
    float lowest = mesh.Position(0).y;
    for (int64_t k = 0; k < mesh.vertexCount(); ++k)
        lowest = std::min(lowest, mesh.Position(k).y);
    const float bottom = lowest - depth;

    // The surface's index of every job vertex on the outline.
    std::vector<int32_t> surfaceIndex(static_cast<std::size_t>(width) * static_cast<std::size_t>(height), -1);
    for (std::size_t k = 0; k < mesh.sourceVertices.size(); ++k)
        surfaceIndex[static_cast<std::size_t>(mesh.sourceVertices[k])] = static_cast<int32_t>(k);

    const PointMarks& marks = plan.marks;
    const std::vector<int32_t>& bottomTriangles = plan.bottomTriangles;

    // A grid point where only two diagonally opposite cells are kept gets one
    // bottom vertex per kept cell, so that each side wall edge there has two
    // triangles, not four.
    const auto pinched = [&](int64_t c, int64_t r) {
        const bool a = kept(c - 1, r - 1), b = kept(c, r - 1), d = kept(c - 1, r), e = kept(c, r);
        return (a && e && !b && !d) || (b && d && !a && !e);
    };
    std::unordered_map<int64_t, uint32_t> bottomIndex;
    const auto bottomVertex = [&](int32_t g, int quadrant) {
        const int64_t c = g % width, r = g / width;
        const int64_t key = int64_t{g} * 4 + (pinched(c, r) ? quadrant : 0);
        const auto [it, added] = bottomIndex.try_emplace(key, static_cast<uint32_t>(mesh.vertexCount()));
        if (added) {
            const auto at = std::lower_bound(plan.points.begin(), plan.points.end(), g);
            const std::size_t j = static_cast<std::size_t>(at - plan.points.begin());
            const HeightmeshFloat3& p = pointPositions[j];
            mesh.extraPositions.push_back({p.x, bottom, p.z});
            mesh.extraNormals.push_back({0.0f, -1.0f, 0.0f});
            mesh.extraUvs.push_back(pointUvs[j]);
        }
        return it->second;
    };

    // Bottom triangles run counter-clockwise in (column, row), opposite to the
    // surface's, so they face down.
    for (std::size_t i = 0; i + 2 < bottomTriangles.size(); i += 3) {
        const int32_t t[3] = {bottomTriangles[i], bottomTriangles[i + 1], bottomTriangles[i + 2]};
        for (int k = 0; k < 3; ++k) {
            const int32_t g = t[k], p = t[(k + 1) % 3], q = t[(k + 2) % 3];
            const int64_t sx = (p % width) + (q % width) - 2 * int64_t{g % width};
            const int64_t sy = (p / width) + (q / width) - 2 * int64_t{g / width};
            mesh.indices.push_back(bottomVertex(g, Quadrant(Sign(sx), Sign(sy))));
        }
    }

    // Side walls: the surface has its kept side on the right of a -> b in
    // (column, row); the wall runs b -> a on top and a' -> b' below, through
    // any bottom vertex between them.
    for (std::size_t i = 0; i + 1 < boundaryEdges.size(); i += 2) {
        const int32_t a = boundaryEdges[i], b = boundaryEdges[i + 1];
        const int dx = Sign(int64_t{b % width} - a % width), dy = Sign(int64_t{b / width} - a / width);
        const int rx = dy, ry = -dx;  // towards the kept side
        const uint32_t topA = static_cast<uint32_t>(surfaceIndex[static_cast<std::size_t>(a)]);
        const uint32_t topB = static_cast<uint32_t>(surfaceIndex[static_cast<std::size_t>(b)]);
        uint32_t previous = bottomVertex(a, Quadrant(dx + rx, dy + ry));
        mesh.indices.insert(mesh.indices.end(), {topB, topA, previous});
        const int32_t step = dx + dy * width;
        for (int32_t g = a + step; g != b; g += step) {
            if (!marks[static_cast<std::size_t>(g)])
                continue;
            const uint32_t next = bottomVertex(g, 0);
            mesh.indices.insert(mesh.indices.end(), {topB, previous, next});
            previous = next;
        }
        mesh.indices.insert(mesh.indices.end(), {topB, previous, bottomVertex(b, Quadrant(-dx + rx, -dy + ry))});
    }

    // A mirrored scale turns everything inside out: turn it back.
    mesh.UpdateBounds();
    if (SignedVolume(mesh) < 0.0)
        for (std::size_t i = 0; i + 2 < mesh.indices.size(); i += 3)
            std::swap(mesh.indices[i + 1], mesh.indices[i + 2]);
}

}  // namespace heightmesh::tool
