#include "mesh/gpu_order.h"

#include <algorithm>
#include <vector>

#include <meshoptimizer.h>

#include "common/parallel.h"

namespace heightmesh::tool {

// The run's vertices are numbered in ascending order for meshoptimizer (so
// that a run using every vertex is ordered exactly as the whole mesh would
// be).
void OrderRunForVertexCache(std::span<uint32_t> indices)
{
    if (indices.empty())
        return;
    // The run's vertices lie in [low, high]: numbered in ascending order
    // through a table over that span (a tile's vertices are a few rows of
    // the grid's).
    const auto [lowest, highest] = std::minmax_element(indices.begin(), indices.end());
    const uint32_t low = *lowest, high = *highest;
    std::vector<uint32_t> local(static_cast<std::size_t>(high - low) + 1, 0);
    for (const uint32_t v : indices)
        local[v - low] = 1;
    std::vector<uint32_t> used;
    for (std::size_t k = 0; k < local.size(); ++k)
        if (local[k]) {
            local[k] = static_cast<uint32_t>(used.size());
            used.push_back(low + static_cast<uint32_t>(k));
        }
    std::vector<unsigned int> run(indices.size());
    for (std::size_t i = 0; i < indices.size(); ++i)
        run[i] = local[indices[i] - low];
    meshopt_optimizeVertexCache(run.data(), run.data(), run.size(), used.size());
    for (std::size_t i = 0; i < indices.size(); ++i)
        indices[i] = used[run[i]];
}

void OrderVerticesForFetch(IndexedMesh& mesh)
{
    if (!mesh.extraPositions.empty() || mesh.indices.empty())
        return;
    const std::size_t vertices = mesh.sourceVertices.size();
    std::vector<unsigned int> remap(vertices);
    const std::size_t used =
        meshopt_optimizeVertexFetchRemap(remap.data(), mesh.indices.data(), mesh.indices.size(), vertices);
    std::vector<int32_t> sources(used);
    for (std::size_t v = 0; v < vertices; ++v)
        if (remap[v] != ~0u)
            sources[remap[v]] = mesh.sourceVertices[v];
    for (uint32_t& index : mesh.indices)
        index = remap[index];
    mesh.sourceVertices = std::move(sources);
}

void OrderForGpu(IndexedMesh& mesh, std::span<const std::size_t> runs, unsigned threads)
{
    if (!mesh.extraPositions.empty() || mesh.indices.empty())
        return;
    const std::size_t triangles = mesh.indices.size() / 3;
    std::vector<std::size_t> bounds(runs.begin(), runs.end());
    if (bounds.empty() || bounds.front() != 0)
        bounds.insert(bounds.begin(), 0);
    bounds.push_back(triangles);
    const auto count = static_cast<int64_t>(bounds.size() - 1);
    // The largest runs first, so that the threads finish together.
    std::vector<int64_t> order(static_cast<std::size_t>(count));
    for (int64_t k = 0; k < count; ++k)
        order[static_cast<std::size_t>(k)] = k;
    std::stable_sort(order.begin(), order.end(),
                     [&](int64_t a, int64_t b) { return bounds[a + 1] - bounds[a] > bounds[b + 1] - bounds[b]; });
    ForEachIndex(count, threads, [&](int64_t k) {
        const auto run = static_cast<std::size_t>(order[static_cast<std::size_t>(k)]);
        OrderRunForVertexCache(
            std::span<uint32_t>(mesh.indices).subspan(3 * bounds[run], 3 * (bounds[run + 1] - bounds[run])));
    });
    OrderVerticesForFetch(mesh);
}

}  // namespace heightmesh::tool
