#include "mesh/gpu_order.h"

#include <meshoptimizer.h>

namespace heightmesh::tool {

void OrderForGpu(IndexedMesh& mesh)
{
    if (!mesh.extraPositions.empty() || mesh.indices.empty())
        return;
    const std::size_t vertices = mesh.sourceVertices.size();
    std::vector<unsigned int> indices(mesh.indices.begin(), mesh.indices.end());
    meshopt_optimizeVertexCache(indices.data(), indices.data(), indices.size(), vertices);
    std::vector<unsigned int> remap(vertices);
    const std::size_t used = meshopt_optimizeVertexFetchRemap(remap.data(), indices.data(), indices.size(), vertices);
    std::vector<int32_t> sources(used);
    for (std::size_t v = 0; v < vertices; ++v)
        if (remap[v] != ~0u)
            sources[remap[v]] = mesh.sourceVertices[v];
    for (std::size_t i = 0; i < indices.size(); ++i)
        mesh.indices[i] = remap[indices[i]];
    mesh.sourceVertices = std::move(sources);
}

}  // namespace heightmesh::tool
