// A closed solid for printing: the terrain surface, side walls down from every
// edge of the kept region (the grid's edge and the edges of dropped cells),
// and a flat bottom. Every edge is shared by exactly two triangles running it
// in opposite directions, and the triangles face outwards.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "mesh/indexed_mesh.h"
#include "mesh/region_cover.h"

namespace heightmesh::tool {

// The bottom of a solid, worked out from the outline and the mask alone
// before any vertex value is known: which grid points its vertices are made
// from, so that a caller meshing band by band can gather their values.
struct SolidBasePlan {
    PointMarks marks;                      // per grid point: a vertex of the bottom's rectangles' edges
    std::vector<int32_t> bottomTriangles;  // grid points, three per triangle (see TriangulateRects)
    std::vector<int32_t> points;           // every grid point the bottom and the walls take, ascending
};
SolidBasePlan PlanSolidBase(std::span<const int32_t> boundaryEdges, CellMaskView cellMask, int32_t width,
                            int32_t height);

// Turns `mesh` (the surface, facing up, its first vertices the job's) into a
// solid whose bottom lies `depth` below its lowest vertex. `boundaryEdges`
// holds the surface's outline as (start, end) job vertex pairs in the
// direction its triangles run them; `cellMask` is the job's. The bottom's
// vertices take x, z and UV from the job's values at plan.points:
// pointPositions[j] and pointUvs[j] are those of plan.points[j].
void AddSolidBase(IndexedMesh& mesh, const SolidBasePlan& plan, std::span<const int32_t> boundaryEdges,
                  CellMaskView cellMask, int32_t width, int32_t height, float depth,
                  std::span<const HeightmeshFloat3> pointPositions, std::span<const HeightmeshFloat2> pointUvs);

// The same for a mesh made from the job's full outputs, read from them.
void AddSolidBase(IndexedMesh& mesh, std::span<const int32_t> boundaryEdges, CellMaskView cellMask, int32_t width,
                  int32_t height, float depth);

// The signed volume enclosed by the triangles (positive when they face out).
template <class Mesh>
double SignedVolume(const Mesh& mesh)
{
    double sum = 0.0;
    mesh.ForEachTriangle([&](uint32_t a, uint32_t b, uint32_t c) {
        const HeightmeshFloat3 &p = mesh.Position(a), &q = mesh.Position(b), &r = mesh.Position(c);
        const double cx = double(q.y) * r.z - double(q.z) * r.y;
        const double cy = double(q.z) * r.x - double(q.x) * r.z;
        const double cz = double(q.x) * r.y - double(q.y) * r.x;
        sum += double(p.x) * cx + double(p.y) * cy + double(p.z) * cz;
    });
    return sum / 6.0;
}

}  // namespace heightmesh::tool
