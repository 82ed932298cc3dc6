// A closed solid for printing: the terrain surface, side walls down from every
// edge of the kept region (the grid's edge and the edges of dropped cells),
// and a flat bottom. Every edge is shared by exactly two triangles running it
// in opposite directions, and the triangles face outwards.
#pragma once

#include <cstdint>
#include <span>

#include "indexed_mesh.h"

namespace heightmesh::tool {

// Turns `mesh` (the surface, facing up, its first vertices the job's) into a
// solid whose bottom lies `depth` below its lowest vertex. `boundaryEdges`
// holds the surface's outline as (start, end) job vertex pairs in the
// direction its triangles run them; `cellMask` is the job's.
void AddSolidBase(IndexedMesh& mesh, std::span<const int32_t> boundaryEdges, std::span<const uint8_t> cellMask,
                  int32_t width, int32_t height, float depth);

// The signed volume enclosed by the triangles (positive when they face out).
template <class Mesh>
double SignedVolume(const Mesh& mesh) {
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
