#include "mesh/shape.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "common/memory_budget.h"
#include "common/parallel.h"
#include "mesh/gpu_order.h"
#include "mesh/grid_cells.h"
#include "mesh/region_cover.h"
#include "mesh/simplify.h"
#include "mesh/solid.h"

namespace heightmesh::tool {

namespace {

// What Simplify is asked for: the bound (E, or E% of the kept heights' range
// low ... high) or the triangle budget.
SimplifyRequest SimplifyRequestFor(const ShapeOptions& options, std::span<const float> heights, CellMaskView cellMask,
                                   int32_t width, int32_t height, float low, float high)
{
    SimplifyRequest request;
    request.heights = heights;
    request.cellMask = cellMask;
    request.width = width;
    request.height = height;
    if (options.maxError)
        request.maxError = *options.maxError;
    if (options.maxErrorPercent)
        request.maxError = *options.maxErrorPercent / 100.0 * (static_cast<double>(high) - low);
    request.maxTriangles = options.maxTriangles;
    request.threads = ThreadCount(options.threads);
    request.orderTilesForGpu = true;
    return request;
}

// The surface of a shaped mesh in `mesh`: simplified from the y values, or
// every kept cell's two triangles; its outline for a solid; GPU order.
// Measures the simplified surface's error when asked. Returns the seconds
// the shaping took, without the measurement.
double ShapeSurface(const ShapeOptions& options, std::span<const float> heights, CellMaskView cellMask, int32_t width,
                    int32_t height, float low, float high, const MeshCounts& counts, IndexedMesh& mesh,
                    std::vector<int32_t>& boundary, ShapedMesh& shaped,
                    const std::function<void(IndexedMesh&)>& everyKeptCell)
{
    const Clock::time_point start = Clock::now();
    if (options.Simplifies()) {
        SimplifiedMesh simplified = Simplify(SimplifyRequestFor(options, heights, cellMask, width, height, low, high));
        mesh.sourceVertices = std::move(simplified.sourceVertices);
        mesh.indices = std::move(simplified.indices);
        boundary = std::move(simplified.boundaryEdges);
        // The tiles' working memory, freed on the threads that simplified them.
        ReleaseFreedMemory();
        // Each tile's triangles are in vertex cache order already.
        OrderVerticesForFetch(mesh);
    } else {
        everyKeptCell(mesh);
        if (options.base)
            boundary = GridBoundaryEdges(cellMask, width, height);
        if (options.gpuOrder)
            OrderForGpu(mesh, {}, ThreadCount(options.threads));
    }
    const double seconds = SecondsSince(start);
    if (!options.Simplifies())
        return seconds;
    SimplifiedSummary summary;
    summary.seconds = seconds;
    summary.gridTriangles = counts.triangles;
    summary.triangles = mesh.triangleCount();
    summary.vertices = mesh.vertexCount();
    if (options.measureError)
        summary.error = MeasureSurfaceError(heights, cellMask, width, height, mesh.sourceVertices, mesh.indices);
    shaped.simplified = summary;
    return seconds;
}

// Whether every value of the records is finite; one branch-free pass over
// their bits (all exponent bits set: infinite or NaN).
bool AllFinite(std::span<const HeightmeshFloat3> a, std::span<const HeightmeshFloat3> b,
               std::span<const HeightmeshFloat2> c)
{
    const auto none = [](const float* values, std::size_t count) {
        uint32_t bad = 0;
        for (std::size_t i = 0; i < count; ++i) {
            uint32_t bits;
            std::memcpy(&bits, values + i, sizeof bits);
            bad |= static_cast<uint32_t>((bits & 0x7F800000u) == 0x7F800000u);
        }
        return bad == 0;
    };
    return none(&a.data()->x, 3 * a.size()) && none(&b.data()->x, 3 * b.size()) && none(&c.data()->x, 2 * c.size());
}

// Runs the job band by band over every row and keeps the values of the grid
// points `wanted` (any order, repeats allowed): out entry j is wanted[j]'s.
// Like KeptMesh, refuses a corner of a kept cell whose values are not finite,
// the first in job order.
void GatherInBands(const BandMesher& bandMesher, const MeshRequest& request, std::span<const int32_t> wanted,
                   GatheredVertices& out, const std::function<void(double)>& progress)
{
    const int32_t width = request.width, height = request.height;
    out.positions.resize(wanted.size());
    out.normals.resize(wanted.size());
    out.uvs.resize(wanted.size());

    const int32_t bandRows = BandRows(width, height);
    const std::size_t bandPoints = static_cast<std::size_t>(bandRows) * static_cast<std::size_t>(width);
    MeshData buffers =
        BandBuffers(bandPoints, 6 * static_cast<std::size_t>(bandRows) * static_cast<std::size_t>(width - 1));
    // The wanted entries grouped by the band that computes them, by counting:
    // the points come in GPU order, and sorting them by comparison took
    // longer than the job itself.
    const auto bandOf = [&](int32_t point) { return static_cast<std::size_t>(point / width / bandRows); };
    const std::size_t bands = static_cast<std::size_t>((height + bandRows - 1) / bandRows);
    std::vector<std::size_t> bandStart(bands + 1, 0);
    for (const int32_t point : wanted)
        ++bandStart[bandOf(point) + 1];
    for (std::size_t b = 0; b < bands; ++b)
        bandStart[b + 1] += bandStart[b];
    std::vector<uint32_t> order(wanted.size());
    {
        std::vector<std::size_t> fill(bandStart.begin(), bandStart.end() - 1);
        for (std::size_t j = 0; j < wanted.size(); ++j)
            order[fill[bandOf(wanted[j])]++] = static_cast<uint32_t>(j);
    }
    std::vector<uint8_t> corners(static_cast<std::size_t>(width));
    for (int32_t r0 = 0; r0 < height; r0 += bandRows) {
        const int32_t r1 = std::min(height, r0 + bandRows);
        const std::size_t points = static_cast<std::size_t>(r1 - r0) * static_cast<std::size_t>(width);
        const std::size_t cellRows = static_cast<std::size_t>(std::max(0, std::min(r1, height - 1) - r0));
        bandMesher(request, r0, r1, BandOf(buffers, points, 6 * cellRows * static_cast<std::size_t>(width - 1)),
                   [&](double f) { progress((r0 + f * (r1 - r0)) / static_cast<double>(height)); });

        const auto& vertices = buffers.vertices;
        const auto& normals = buffers.normals;
        const auto& uvs = buffers.uvs;
        const int64_t first = int64_t{r0} * width;
        for (int32_t z = r0; z < r1; ++z) {
            const std::size_t row = static_cast<std::size_t>(z - r0) * static_cast<std::size_t>(width);
            if (AllFinite(std::span(vertices).subspan(row, corners.size()),
                          std::span(normals).subspan(row, corners.size()), std::span(uvs).subspan(row, corners.size())))
                continue;
            KeptCornersOfRow(request.cellMask, width, height, z, corners);
            for (std::size_t x = 0; x < corners.size(); ++x) {
                if (!corners[x])
                    continue;
                const HeightmeshFloat2& uv = uvs[row + x];
                if (!Finite(vertices[row + x]) || !Finite(normals[row + x]) || !std::isfinite(uv.x) ||
                    !std::isfinite(uv.y))
                    ThrowNonFiniteVertex(static_cast<int32_t>(first + static_cast<int64_t>(row + x)), vertices[row + x],
                                         normals[row + x]);
            }
        }
        const std::size_t band = static_cast<std::size_t>(r0 / bandRows);
        for (std::size_t k = bandStart[band]; k < bandStart[band + 1]; ++k) {
            const uint32_t j = order[k];
            const auto local = static_cast<std::size_t>(wanted[j] - first);
            out.positions[j] = vertices[local];
            out.normals[j] = normals[local];
            out.uvs[j] = uvs[local];
        }
    }
}

}  // namespace

ShapedMesh ShapeMesh(const ShapeOptions& options, const MeshData& data, const KeptMesh& kept, CellMaskView cellMask)
{
    ShapedMesh shaped;
    if (!options.Shapes() || kept.triangleCount() == 0)
        return shaped;
    const int32_t width = kept.gridWidth(), height = kept.gridHeight();
    IndexedMesh mesh(data, width, height);
    std::vector<int32_t> boundary;
    std::vector<float> heights;
    if (options.Simplifies()) {
        heights.resize(data.vertices.size());
        for (std::size_t i = 0; i < heights.size(); ++i)
            heights[i] = data.vertices[i].y;
    }
    ShapeSurface(options, heights, cellMask, width, height, kept.minPosition().y, kept.maxPosition().y, CountsOf(kept),
                 mesh, boundary, shaped, [&](IndexedMesh& surface) {
                     surface.sourceVertices.resize(static_cast<std::size_t>(kept.vertexCount()));
                     for (int64_t k = 0; k < kept.vertexCount(); ++k)
                         surface.sourceVertices[static_cast<std::size_t>(k)] = kept.SourceVertex(k);
                     surface.indices.reserve(static_cast<std::size_t>(3 * kept.triangleCount()));
                     kept.ForEachTriangle([&](uint32_t a, uint32_t b, uint32_t c) {
                         surface.indices.insert(surface.indices.end(), {a, b, c});
                     });
                 });
    if (options.base)
        AddSolidBase(mesh, boundary, cellMask, width, height, *options.base);
    mesh.UpdateBounds();
    shaped.mesh.emplace(std::move(mesh));
    return shaped;
}

BandedShape ShapeInBands(const ShapeOptions& options, const MeshRequest& request, const BandMesher& bandMesher,
                         GatheredVertices& gathered, ProgressLine& progress, StageTimes& stages)
{
    BandedShape result;
    const int32_t width = request.width, height = request.height;
    if (width < 2 || height < 2) {
        result.declined = "a grid smaller than 2 x 2";
        return result;
    }
    const CellMaskView cellMask = request.cellMask;
    const std::size_t points = static_cast<std::size_t>(width) * static_cast<std::size_t>(height);

    // The y values, and what KeptMesh finds over the written vertices: their
    // count and the range of their y.
    const Clock::time_point checkStart = Clock::now();
    // With a y scale of 1 the y values are the heights themselves (h * 1 is
    // h for every finite and infinite h, and a NaN stays a NaN), so they are
    // not copied.
    const bool unitScale = request.scale.y == 1.0f;
    std::vector<float> scaled(unitScale ? 0 : points);
    const std::span<const float> heights = unitScale ? request.heights : std::span<const float>(scaled);
    const unsigned threads = ThreadCount(options.threads);
    if (!unitScale)
        ParallelRanges(static_cast<int64_t>(points), threads, [&](int64_t begin, int64_t end, unsigned) {
            for (auto i = static_cast<std::size_t>(begin); i < static_cast<std::size_t>(end); ++i)
                scaled[i] = request.heights[i] * request.scale.y;
        });
    // The y range folded as PositionBounds folds it (the first of equal
    // values stays), over y alone.
    struct alignas(64) Tally {
        bool finite = true;
        bool any = false;
        float low = 0.0f, high = 0.0f;
        void Add(float y)
        {
            low = any ? std::min(low, y) : y;
            high = any ? std::max(high, y) : y;
            any = true;
        }
    };
    std::vector<Tally> tallies(threads);
    const MaskSurvey survey = SurveyMask(
        cellMask, width, height, tallies, true, [&](Tally& tally, int32_t z, std::span<const uint8_t> corners) {
            const float* row = heights.data() + static_cast<std::size_t>(z) * static_cast<std::size_t>(width);
            for (std::size_t x = 0; x < corners.size(); ++x) {
                if (!corners[x])
                    continue;
                const float y = row[x];
                if (!std::isfinite(y))
                    tally.finite = false;
                tally.Add(y);
            }
        });
    MeshCounts found;
    found.cells = survey.cells;
    found.keptCells = survey.keptCells();
    found.vertices = survey.vertices();
    found.triangles = 2 * found.keptCells;  // the job's two triangles per kept cell are never degenerate
    Tally range;
    for (const Tally& tally : tallies) {
        if (!tally.finite) {
            result.declined = "a kept height times the y scale is not finite";
            return result;
        }
        // Folded in order, as KeptMesh folds its bounds.
        if (tally.any) {
            range.Add(tally.low);
            range.Add(tally.high);
        }
    }
    if (found.keptCells == 0) {
        result.declined = "no cell is kept";
        return result;
    }
    result.counts = found;
    stages.emplace_back("check", SecondsSince(checkStart));

    // The surface, as ShapeMesh makes it from the full outputs.
    IndexedMesh mesh(gathered, width, height);
    std::vector<int32_t> boundary;
    progress.Begin(options.Simplifies() ? "simplifying" : "shaping");
    const double shapeSeconds = ShapeSurface(
        options, heights, cellMask, width, height, range.low, range.high, found, mesh, boundary, result.shaped,
        [&](IndexedMesh& surface) {
            // Every corner of a kept cell, in job order, and the
            // job's triangles in those numbers.
            jobhost::HostVector<int32_t> written(points);
            surface.sourceVertices.reserve(static_cast<std::size_t>(found.vertices));
            std::vector<uint8_t> corners(static_cast<std::size_t>(width));
            for (int32_t z = 0; z < height; ++z) {
                KeptCornersOfRow(cellMask, width, height, z, corners);
                for (int32_t x = 0; x < width; ++x) {
                    const int32_t g = z * width + x;
                    if (corners[static_cast<std::size_t>(x)]) {
                        written[static_cast<std::size_t>(g)] = static_cast<int32_t>(surface.sourceVertices.size());
                        surface.sourceVertices.push_back(g);
                    }
                }
            }
            surface.indices.resize(static_cast<std::size_t>(3 * found.triangles));
            uint32_t* out = surface.indices.data();
            const CellOffsets offsets = JobCellOffsets(width);
            for (int32_t z = 0; z + 1 < height; ++z) {
                for (int32_t x = 0; x + 1 < width; ++x) {
                    if (!cellMask.Kept(static_cast<std::size_t>(z) * (width - 1) + x))
                        continue;
                    const std::size_t p = static_cast<std::size_t>(z) * static_cast<std::size_t>(width) + x;
                    for (const int32_t offset : offsets)
                        *out++ = static_cast<uint32_t>(written[p + static_cast<std::size_t>(offset)]);
                }
            }
        });
    progress.End();
    stages.emplace_back(options.Simplifies() ? "simplify" : "shape", shapeSeconds);

    // The job, band by band, keeping the surface's vertices and the grid
    // points the base's bottom is made from.
    std::optional<SolidBasePlan> plan;
    if (options.base)
        plan = PlanSolidBase(boundary, cellMask, width, height);
    std::vector<int32_t> wanted = mesh.sourceVertices;
    if (plan)
        wanted.insert(wanted.end(), plan->points.begin(), plan->points.end());
    const Clock::time_point jobStart = Clock::now();
    progress.Begin("meshing");
    GatherInBands(bandMesher, request, wanted, gathered, [&](double f) { progress.Update(f); });
    progress.End();
    result.jobSeconds = SecondsSince(jobStart);
    stages.emplace_back("job", result.jobSeconds);

    if (plan) {
        const std::size_t surface = mesh.sourceVertices.size();
        AddSolidBase(mesh, *plan, boundary, cellMask, width, height, *options.base,
                     std::span(gathered.positions).subspan(surface), std::span(gathered.uvs).subspan(surface));
    }
    mesh.UpdateBounds();
    result.shaped.mesh.emplace(std::move(mesh));
    return result;
}

}  // namespace heightmesh::tool
