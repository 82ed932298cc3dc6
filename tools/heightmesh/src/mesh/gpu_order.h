// Triangle and vertex order for the GPU: triangles ordered for the
// post-transform vertex cache, then vertices in the order triangles first use
// them (meshoptimizer).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "mesh/indexed_mesh.h"

namespace heightmesh::tool {

// Reorders the mesh's triangles and its job vertices; a mesh with vertices of
// its own (a solid's base) is left as it is. `runs` splits the triangles
// into runs ordered each on its own, on `threads` threads (the first
// triangle of each run, ascending; none: one run), as a simplified mesh's
// tiles are: the vertex cache sees few vertices shared between them.
void OrderForGpu(IndexedMesh& mesh, std::span<const std::size_t> runs = {}, unsigned threads = 1);

// Orders one run of triangles (three vertex numbers each) for the vertex
// cache, in place, as OrderForGpu orders a run: only the numbers' order
// matters, so any numbering that keeps the job vertices' order gives the
// same triangles.
void OrderRunForVertexCache(std::span<uint32_t> indices);

// The second half of OrderForGpu, for a mesh whose runs are ordered already:
// job vertices in the order triangles first use them.
void OrderVerticesForFetch(IndexedMesh& mesh);

}  // namespace heightmesh::tool
