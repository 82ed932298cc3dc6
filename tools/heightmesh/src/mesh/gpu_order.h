// Triangle and vertex order for the GPU: triangles ordered for the
// post-transform vertex cache, then vertices in the order triangles first use
// them (meshoptimizer).
#pragma once

#include "mesh/indexed_mesh.h"

namespace heightmesh::tool {

// Reorders the mesh's triangles and its job vertices; a mesh with vertices of
// its own (a solid's base) is left as it is.
void OrderForGpu(IndexedMesh& mesh);

}  // namespace heightmesh::tool
