// The heightfield mesh job, typed: host buffers in, record filled, run over
// every grid point, outputs out.
#include <cstddef>
#include <string>

#include "internal.h"
#include "jobhost/jobhost.h"

namespace jobhost {

namespace {

std::string GridText(int32_t width, int32_t height)
{
    return std::to_string(width) + " x " + std::to_string(height);
}

void CheckInput(const HeightfieldMeshInput& input)
{
    const std::string grid = GridText(input.width, input.height);
    if (input.width < 1 || input.height < 1)
        throw std::invalid_argument("a heightfield grid needs at least 1 x 1 points, not " + grid);
    const int64_t points = HeightmeshPointCount(input.width, input.height);
    const int64_t cells = HeightmeshCellCount(input.width, input.height);
    const int64_t entries = HeightmeshTriangleEntryCount(input.width, input.height);
    if (points > HEIGHTMESH_MAX_VIEW_LENGTH)
        throw std::invalid_argument("a " + grid + " grid has " + std::to_string(points) +
                                    " points; vertex indices must fit 32 bits (at most " +
                                    std::to_string(HEIGHTMESH_MAX_VIEW_LENGTH) + ")");
    if (entries > HEIGHTMESH_MAX_VIEW_LENGTH)
        throw std::invalid_argument("a " + grid + " grid has " + std::to_string(cells) + " cells, " +
                                    std::to_string(entries) +
                                    " triangle indices; their count must fit 32 bits (at most " +
                                    std::to_string(HEIGHTMESH_MAX_VIEW_LENGTH) + ")");
    if (input.heights.size() != static_cast<uint64_t>(points))
        throw std::invalid_argument("heights holds " + std::to_string(input.heights.size()) + " values; a " + grid +
                                    " grid needs " + std::to_string(points));
    if (input.cellMask.size() != static_cast<uint64_t>(cells))
        throw std::invalid_argument("the cell mask holds " + std::to_string(input.cellMask.size()) +
                                    " bytes; a " + grid + " grid has " + std::to_string(cells) + " cells");
}

}  // namespace

HeightfieldMesh RunHeightfieldMesh(JobSystem& jobs, const JobLibrary& library, const HeightfieldMeshInput& input,
                                   const RunOptions& options)
{
    CheckInput(input);
    const auto points = static_cast<std::size_t>(HeightmeshPointCount(input.width, input.height));
    const auto entries = static_cast<std::size_t>(HeightmeshTriangleEntryCount(input.width, input.height));

    // The inputs are read where they are; the outputs start as fresh,
    // kernel-zeroed pages that the workers fault in as they write them.
    Buffer<float> heights = Buffer<float>::Borrow(input.heights, "heights");
    Buffer<uint8_t> cellMask = Buffer<uint8_t>::Borrow(input.cellMask, "cellMask");
    Buffer<HeightmeshFloat3> vertices(points, "vertices");
    Buffer<HeightmeshFloat2> uvs(points, "uvs");
    Buffer<HeightmeshFloat3> normals(points, "normals");
    Buffer<int32_t> triangles(entries, "triangles");

    HeightmeshHeightfieldMeshJob job{};
    job.heights = heights.View();
    job.cellMask = cellMask.View();
    job.width = input.width;
    job.height = input.height;
    job.scale = input.scale;
    job.vertices = vertices.View();
    job.uvs = uvs.View();
    job.normals = normals.View();
    job.triangles = triangles.View();

    // Each vertex index writes its own vertex, UV and normal; it reads
    // neighbouring heights and writes the triangles of a cell, which are at
    // other indices.
    static constexpr std::size_t kRestricted[] = {
        offsetof(HeightmeshHeightfieldMeshJob, vertices),
        offsetof(HeightmeshHeightfieldMeshJob, uvs),
        offsetof(HeightmeshHeightfieldMeshJob, normals),
    };
    static constexpr std::size_t kUnrestricted[] = {
        offsetof(HeightmeshHeightfieldMeshJob, heights),
        offsetof(HeightmeshHeightfieldMeshJob, cellMask),
        offsetof(HeightmeshHeightfieldMeshJob, triangles),
    };
    jobs.Run(library.entry(), &job, sizeof job, kRestricted, kUnrestricted, static_cast<int32_t>(points), options);

    HeightfieldMesh mesh;
    mesh.vertices = vertices.Release();
    mesh.uvs = uvs.Release();
    mesh.normals = normals.Release();
    mesh.triangles = triangles.Release();
    return mesh;
}

}  // namespace jobhost
