// Triangle and vertex order for the GPU: triangles ordered for the
// post-transform vertex cache, then vertices in the order triangles first use
// them (meshoptimizer).
#pragma once

#include <cstddef>
#include <span>

#include "mesh/indexed_mesh.h"

namespace heightmesh::tool {

// Reorders the mesh's triangles and its job vertices; a mesh with vertices of
// its own (a solid's base) is left as it is. `runs` splits the triangles
// into runs ordered each on its own, on `threads` threads (the first
// triangle of each run, ascending; none: one run), as a simplified mesh's
// tiles are: the vertex cache sees few vertices shared between them.
void OrderForGpu(IndexedMesh& mesh, std::span<const std::size_t> runs = {}, unsigned threads = 1);

}  // namespace heightmesh::tool
