// The heightfield mesh job, typed: host buffers in, record filled, run over
// every grid point, outputs out.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>

#include "internal.h"
#include "jobhost/jobhost.h"

namespace jobhost {

namespace {

std::string GridText(int32_t width, int32_t height) { return std::to_string(width) + " x " + std::to_string(height); }

// `maskInBand`: the mask comes with each band, and the input's may be empty.
void CheckInput(const HeightfieldMeshInput& input, bool maskInBand = false)
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
    if (!(maskInBand && input.cellMask.empty()) && input.cellMask.size() != static_cast<uint64_t>(cells))
        throw std::invalid_argument("the cell mask holds " + std::to_string(input.cellMask.size()) + " bytes; a " +
                                    grid + " grid has " + std::to_string(cells) + " cells");
}

// Each vertex index writes its own vertex, UV and normal; it reads
// neighbouring heights and writes the triangles of a cell, which are at
// other indices.
constexpr std::size_t kPerIndex[] = {
    offsetof(HeightmeshHeightfieldMeshJob, vertices),
    offsetof(HeightmeshHeightfieldMeshJob, uvs),
    offsetof(HeightmeshHeightfieldMeshJob, normals),
};
constexpr std::size_t kWholeInputs[] = {
    offsetof(HeightmeshHeightfieldMeshJob, heights),
    offsetof(HeightmeshHeightfieldMeshJob, cellMask),
};

// A view of the full length whose element i is band[i - first], allowed
// [minIndex, maxIndex]. The data address is worked out as an integer: it
// lies before the band's memory and is only ever offset by an allowed index.
template <class T>
HeightmeshBufferView WindowView(std::span<T> band, int64_t first, int64_t length, int64_t minIndex, int64_t maxIndex,
                                const SafetyState& safety)
{
    HeightmeshBufferView view{};
    view.data =
        reinterpret_cast<void*>(reinterpret_cast<uintptr_t>(band.data()) - static_cast<uintptr_t>(first) * sizeof(T));
    view.length = static_cast<int32_t>(length);
    view.minIndex = static_cast<int32_t>(minIndex);
    view.maxIndex = static_cast<int32_t>(maxIndex);
    view.safety = safety.Handle();
    return view;
}

void CheckBandSize(const char* name, std::size_t given, int64_t needed, int32_t rowBegin, int32_t rowEnd)
{
    if (given != static_cast<uint64_t>(needed))
        throw std::invalid_argument(std::string("the band's ") + name + " hold " + std::to_string(given) +
                                    " elements; rows [" + std::to_string(rowBegin) + ", " + std::to_string(rowEnd) +
                                    ") need " + std::to_string(needed));
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

    static constexpr std::size_t kUnrestricted[] = {
        offsetof(HeightmeshHeightfieldMeshJob, heights),
        offsetof(HeightmeshHeightfieldMeshJob, cellMask),
        offsetof(HeightmeshHeightfieldMeshJob, triangles),
    };
    jobs.Run(library.entry(), &job, sizeof job, kPerIndex, kUnrestricted, static_cast<int32_t>(points), options);

    HeightfieldMesh mesh;
    mesh.vertices = vertices.Release();
    mesh.uvs = uvs.Release();
    mesh.normals = normals.Release();
    mesh.triangles = triangles.Release();
    return mesh;
}

void RunHeightfieldMeshRows(JobSystem& jobs, const JobLibrary& library, const HeightfieldMeshInput& input,
                            int32_t rowBegin, int32_t rowEnd, const HeightfieldMeshBand& band,
                            const RunOptions& options)
{
    // Without a whole mask the band brings its cells' (none for a band of
    // the last row alone).
    const bool maskInBand = input.cellMask.empty() || !band.cellMask.empty();
    CheckInput(input, maskInBand);
    if (rowBegin < 0 || rowBegin > rowEnd || rowEnd > input.height)
        throw std::invalid_argument("rows [" + std::to_string(rowBegin) + ", " + std::to_string(rowEnd) +
                                    ") are not rows of a " + GridText(input.width, input.height) + " grid");
    const int64_t width = input.width;
    const int64_t points = HeightmeshPointCount(input.width, input.height);
    const int64_t entries = HeightmeshTriangleEntryCount(input.width, input.height);
    const int64_t first = rowBegin * width;
    const int64_t bandPoints = (rowEnd - rowBegin) * width;
    // The band's cells: those whose lower-left corner lies in it.
    const int64_t firstEntry = 6 * std::min<int64_t>(rowBegin, std::max(input.height - 1, 0)) * (width - 1);
    const int64_t cellRows = std::max<int64_t>(0, std::min<int64_t>(rowEnd, input.height - 1) - rowBegin);
    const int64_t bandEntries = 6 * cellRows * (width - 1);
    CheckBandSize("vertices", band.vertices.size(), bandPoints, rowBegin, rowEnd);
    CheckBandSize("UVs", band.uvs.size(), bandPoints, rowBegin, rowEnd);
    CheckBandSize("normals", band.normals.size(), bandPoints, rowBegin, rowEnd);
    CheckBandSize("triangles", band.triangles.size(), bandEntries, rowBegin, rowEnd);
    if (maskInBand)
        CheckBandSize("cell mask", band.cellMask.size(), bandEntries / 6, rowBegin, rowEnd);

    Buffer<float> heights = Buffer<float>::Borrow(input.heights, "heights");
    Buffer<uint8_t> cellMask = Buffer<uint8_t>::Borrow(input.cellMask, "cellMask");
    SafetyState bandMaskSafety("cellMask");
    bandMaskSafety.SetWritable(false);
    const SafetyState verticesSafety("vertices"), uvsSafety("uvs"), normalsSafety("normals"),
        trianglesSafety("triangles");

    HeightmeshHeightfieldMeshJob job{};
    job.heights = heights.View();
    const int64_t firstCell = firstEntry / 6;
    job.cellMask = maskInBand ? WindowView(band.cellMask, firstCell, entries / 6, firstCell,
                                           firstCell + bandEntries / 6 - 1, bandMaskSafety)
                              : cellMask.View();
    job.width = input.width;
    job.height = input.height;
    job.scale = input.scale;
    const int64_t lastPoint = first + bandPoints - 1;
    job.vertices = WindowView(band.vertices, first, points, first, lastPoint, verticesSafety);
    job.uvs = WindowView(band.uvs, first, points, first, lastPoint, uvsSafety);
    job.normals = WindowView(band.normals, first, points, first, lastPoint, normalsSafety);
    // Not patched: the window holds for the whole run.
    job.triangles =
        WindowView(band.triangles, firstEntry, entries, firstEntry, firstEntry + bandEntries - 1, trianglesSafety);

    jobs.Run(library.entry(), &job, sizeof job, kPerIndex, kWholeInputs, static_cast<int32_t>(first),
             static_cast<int32_t>(bandPoints), options);
}

}  // namespace jobhost
