#include "run/pipeline.h"

#include <sys/resource.h>
#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <optional>
#include <system_error>
#include <thread>

#include <fmt/format.h>

#include "input/cell_mask.h"
#include "mesh/gpu_order.h"
#include "mesh/simplify.h"
#include "mesh/solid.h"
#include "output/streamed_mesh.h"
#include "common/file_io.h"
#include "input/heightmap.h"
#include "common/memory_budget.h"
#include "input/readers.h"
#include "input/terrain.h"
#include "output/mesh_writers.h"
#include "common/parallel.h"
#include "output/pictures.h"
#include "common/tool_error.h"

namespace heightmesh::tool {

namespace {

// The process's peak resident memory so far, in bytes.
uint64_t PeakMemoryBytes() {
    rusage usage {};
    return ::getrusage(RUSAGE_SELF, &usage) == 0 ? static_cast<uint64_t>(usage.ru_maxrss) * 1024 : 0;
}

// Times one stage of the run into the report.
class Stage {
public:
    Stage(RunReport& report, std::string name) : report_(report), name_(std::move(name)), start_(Clock::now()) {}
    ~Stage() { report_.stages.emplace_back(std::move(name_), SecondsSince(start_)); }
    Stage(const Stage&) = delete;
    Stage& operator=(const Stage&) = delete;

private:
    RunReport& report_;
    std::string name_;
    Clock::time_point start_;
};

// Writes one file through AtomicFile, showing its bytes and rate on the
// progress line.
void WriteOutput(const std::filesystem::path& path, ProgressLine& progress,
                 const std::function<void(std::ostream&, const std::function<void(double)>&)>& write) {
    AtomicFile file(path);
    try {
        write(file.stream(), [&](double f) { progress.Update(f, file.bytesWritten()); });
    } catch (const ToolError& error) {
        const std::string reason = file.FailureReason();
        throw ToolError(fmt::format("cannot write {}: {}", Quoted(path), reason.empty() ? error.what() : reason));
    }
    file.Commit();
}

std::string Lowercase(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// Two paths naming the same file, whether or not it exists yet.
bool SameFile(const std::filesystem::path& a, const std::filesystem::path& b) {
    std::error_code error;
    if (std::filesystem::equivalent(a, b, error)) return true;
    const auto canonicalA = std::filesystem::weakly_canonical(a, error);
    if (error) return false;
    const auto canonicalB = std::filesystem::weakly_canonical(b, error);
    return !error && canonicalA == canonicalB;
}

// Refuses contradictory or empty requests before anything is read.
void CheckRequest(const Options& options) {
    if (!options.output && !options.normalMap && !options.preview && !options.stats)
        throw UsageError("nothing to do: give -o MESH, --normal-map PNG, --preview PNG or --stats (see --help)");
    std::optional<MeshFormat> format;
    if (options.output) format = MeshFormatFromPath(*options.output);
    if (options.asciiStl && format != MeshFormat::Stl) throw UsageError("--ascii applies only to .stl output");
    for (const auto* picture : {&options.normalMap, &options.preview}) {
        if (*picture && Lowercase(picture->value().extension().string()) != ".png")
            throw UsageError(fmt::format("pictures are written as PNG: {} must end in .png", Quoted(**picture)));
    }
    if (options.input && options.seed) throw UsageError("--seed applies only to the built-in terrain");
    if (options.up == 'z' && (format == MeshFormat::Gltf || format == MeshFormat::Glb))
        throw UsageError("glTF is y-up by definition: --up z applies only to .stl, .obj and .ply");

    // A missing directory is found before any work is done.
    for (const auto* path : {&options.output, &options.normalMap, &options.preview}) {
        if (!*path) continue;
        const std::filesystem::path directory = (*path)->parent_path();
        struct stat info {};
        const int error = ::stat(directory.empty() ? "." : directory.c_str(), &info) != 0 ? errno
                          : !S_ISDIR(info.st_mode)                                      ? ENOTDIR
                                                                                        : 0;
        if (error != 0) throw ToolError(fmt::format("cannot write {}: {}", Quoted(**path), std::strerror(error)));
        ResolveDestination(**path);  // refuses a directory, FIFO or device there
    }

    std::vector<std::filesystem::path> outputs;
    for (const auto* path : {&options.output, &options.normalMap, &options.preview})
        if (*path) outputs.push_back(**path);
    for (std::size_t i = 0; i < outputs.size(); ++i) {
        for (std::size_t j = i + 1; j < outputs.size(); ++j)
            if (SameFile(outputs[i], outputs[j]))
                throw UsageError(fmt::format("{} is given for two outputs", Quoted(outputs[i])));
        for (const auto* source : {&options.input, &options.mask})
            if (*source && SameFile(outputs[i], **source))
                throw UsageError(fmt::format("output {} would replace an input", Quoted(outputs[i])));
    }
}

// Whether a run can shape its mesh without the job's full outputs: a shaped
// mesh is asked for, and no picture reads every vertex.
bool ShapesWithoutFullOutputs(const Options& options) {
    return (options.Simplifies() || options.base || options.gpuOrder) && !options.normalMap && !options.preview;
}

// Whether a run can write its mesh file band by band as the job makes it:
// a binary file of the job's own mesh, and no picture that reads every
// vertex.
bool StreamsWithoutFullOutputs(const Options& options) {
    return options.output && !options.Simplifies() && !options.base && !options.gpuOrder && !options.normalMap &&
           !options.preview && StreamsFormat(MeshFormatFromPath(*options.output), options.asciiStl);
}

// What the run holds at once, for the memory estimate.
RunShape RunShapeOf(const Options& options, GridSize grid, const std::optional<InputPlan>& plan,
                    const std::optional<InputPlan>& maskPlan, bool bands) {
    RunShape shape;
    shape.points = int64_t{grid.width} * grid.height;
    shape.readBytes = (plan ? plan->readBytes : 0) + (maskPlan ? maskPlan->readBytes : 0);
    shape.mask = maskPlan.has_value();
    shape.mesh = options.output.has_value();
    shape.normalMap = options.normalMap.has_value();
    shape.preview = options.preview.has_value();
    shape.banded = bands && ShapesWithoutFullOutputs(options);
    shape.streamed = bands && StreamsWithoutFullOutputs(options);
    shape.simplified = options.Simplifies();
    shape.solid = options.base.has_value();
    return shape;
}

// The lowest and highest height with a value (both 0 when none has one).
std::array<float, 2> HeightRange(const Heightmap& map) {
    float low = std::numeric_limits<float>::infinity();
    float high = -low;
    for (std::size_t i = 0; i < map.heights.size(); ++i) {
        if (map.HasNoData() && map.noData[i]) continue;
        low = std::min(low, map.heights[i]);
        high = std::max(high, map.heights[i]);
    }
    return low > high ? std::array<float, 2>{0.0f, 0.0f} : std::array<float, 2>{low, high};
}

// The input's part of --stats: what was read, the spacing and where it came
// from, the mesh's extents and the height range.
void PrintInputStats(std::ostream& out, const Options& options, const std::optional<InputPlan>& plan,
                     HeightmeshFloat3 scale, const Heightmap& map, std::array<float, 2> range) {
    if (plan) out << fmt::format("input:      {}\n", plan->summary);
    const std::string how = options.scale          ? "--scale"
                            : options.cellSizeGiven ? "--cell-size"
                            : plan && plan->spacing ? plan->spacing->how
                                                    : "--cell-size default; the input gives no spacing";
    const bool metres = plan && plan->spacing && !plan->image;
    out << fmt::format("spacing:    x {:.6g} m, z {:.6g} m ({})\n", scale.x, scale.z, how);
    out << fmt::format("extent:     {:.6g} m x {:.6g} m (first to last point, x by z)\n",
                       std::abs(static_cast<double>(scale.x)) * (map.width - 1),
                       std::abs(static_cast<double>(scale.z)) * (map.height - 1));
    out << fmt::format("heights:    {:.6g} to {:.6g}{} (y {:.6g} to {:.6g} after --z-scale)\n", range[0], range[1],
                       metres ? " m" : "", static_cast<double>(range[0]) * scale.y,
                       static_cast<double>(range[1]) * scale.y);
}

// The --stats lines of a simplified surface: its size and its error.
void PrintSimplifiedStats(std::ostream& out, std::span<const float> heights, std::span<const uint8_t> cellMask,
                          const IndexedMesh& mesh, int64_t gridTriangles, double shapeSeconds) {
    const SurfaceError error = MeasureSurfaceError(heights, cellMask, mesh.gridWidth(), mesh.gridHeight(),
                                                   mesh.sourceVertices, mesh.indices);
    out << fmt::format("simplified: {} triangles, {} vertices ({:.2f}% of {} triangles) in {:.3f} ms\n",
                       mesh.triangleCount(), mesh.vertexCount(),
                       100.0 * static_cast<double>(mesh.triangleCount()) / static_cast<double>(gridTriangles),
                       gridTriangles, shapeSeconds * 1e3);
    out << fmt::format("error:      max {:.6g}, RMS {:.6g} over {} grid points{}\n", error.max, error.rms,
                       error.points,
                       error.uncovered > 0 ? fmt::format(" ({} not covered)", error.uncovered) : std::string());
}

// What Simplify is asked for: the bound (E, or E% of the kept heights' range
// low ... high) or the triangle budget, on all cores unless told otherwise.
SimplifyRequest SimplifyRequestFor(const Options& options, std::span<const float> heights,
                                   std::span<const uint8_t> cellMask, int32_t width, int32_t height, float low,
                                   float high, unsigned threadCount) {
    SimplifyRequest request;
    request.heights = heights;
    request.cellMask = cellMask;
    request.width = width;
    request.height = height;
    if (options.maxError) request.maxError = *options.maxError;
    if (options.maxErrorPercent)
        request.maxError = *options.maxErrorPercent / 100.0 * (static_cast<double>(high) - low);
    request.maxTriangles = options.maxTriangles.value_or(0);
    request.threads = threadCount > 0 ? threadCount : std::max(1u, std::thread::hardware_concurrency());
    return request;
}

// The simplified and/or solid mesh, when asked for.
std::optional<IndexedMesh> ShapeMesh(const Options& options, const MeshData& data, const KeptMesh& kept,
                                     std::span<const uint8_t> cellMask, unsigned threadCount, std::ostream& out) {
    if (!options.Simplifies() && !options.base && !options.gpuOrder) return std::nullopt;
    if (kept.triangleCount() == 0) return std::nullopt;
    IndexedMesh mesh(data, kept.gridWidth(), kept.gridHeight());
    std::vector<int32_t> boundary;
    std::vector<float> heights;
    if (options.Simplifies()) {
        heights.resize(data.vertices.size());
        for (std::size_t i = 0; i < heights.size(); ++i) heights[i] = data.vertices[i].y;
    }
    const Clock::time_point start = Clock::now();
    if (options.Simplifies()) {
        SimplifiedMesh simplified = Simplify(SimplifyRequestFor(options, heights, cellMask, kept.gridWidth(),
                                                                kept.gridHeight(), kept.minPosition().y,
                                                                kept.maxPosition().y, threadCount));
        mesh.sourceVertices = std::move(simplified.sourceVertices);
        mesh.indices = std::move(simplified.indices);
        boundary = std::move(simplified.boundaryEdges);
    } else {
        mesh.sourceVertices.resize(static_cast<std::size_t>(kept.vertexCount()));
        for (int64_t k = 0; k < kept.vertexCount(); ++k) mesh.sourceVertices[static_cast<std::size_t>(k)] = kept.SourceVertex(k);
        mesh.indices.reserve(static_cast<std::size_t>(3 * kept.triangleCount()));
        kept.ForEachTriangle([&](uint32_t a, uint32_t b, uint32_t c) { mesh.indices.insert(mesh.indices.end(), {a, b, c}); });
        if (options.base) boundary = GridBoundaryEdges(cellMask, kept.gridWidth(), kept.gridHeight());
    }
    if (options.Simplifies() || options.gpuOrder) OrderForGpu(mesh);
    const double shapeSeconds = SecondsSince(start);
    if (options.stats && options.Simplifies())
        PrintSimplifiedStats(out, heights, cellMask, mesh, kept.triangleCount(), shapeSeconds);
    if (options.base)
        AddSolidBase(mesh, boundary, cellMask, kept.gridWidth(), kept.gridHeight(), *options.base);
    mesh.UpdateBounds();
    return mesh;
}

// What the reports say of the mesh the job's triangles make: KeptMesh's
// counts, or the same worked out from the mask for a banded run.
struct MeshCounts {
    int64_t cells = 0;
    int64_t keptCells = 0;
    int64_t triangles = 0;
    int64_t vertices = 0;  // grid points some kept triangle uses
};

MeshCounts CountsOf(const KeptMesh& mesh) {
    return {mesh.cellCount(), mesh.keptCellCount(), mesh.triangleCount(), mesh.vertexCount()};
}

// Whether every value of the records is finite; one branch-free pass over
// their bits (all exponent bits set: infinite or NaN).
bool AllFinite(std::span<const HeightmeshFloat3> a, std::span<const HeightmeshFloat3> b,
               std::span<const HeightmeshFloat2> c) {
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

// Grid points per band of a banded run: enough that a band keeps every
// worker busy, few enough that its buffers stay small.
constexpr int64_t kBandPoints = int64_t{1} << 17;

// Runs the job band by band over every row and keeps the values of the grid
// points `wanted` (any order, repeats allowed): out entry j is wanted[j]'s.
// Like KeptMesh, refuses a corner of a kept cell whose values are not finite,
// the first in job order.
void GatherInBands(const BandMesher& bandMesher, const MeshRequest& request, std::span<const int32_t> wanted,
                   GatheredVertices& out, const std::function<void(double)>& progress) {
    const int32_t width = request.width, height = request.height;
    std::vector<uint32_t> order(wanted.size());
    for (std::size_t j = 0; j < order.size(); ++j) order[j] = static_cast<uint32_t>(j);
    // The points come as one or two ascending runs (a surface in job order,
    // then a base's points), which merge in linear time; GPU order needs a
    // sort.
    const auto before = [&](uint32_t a, uint32_t b) { return wanted[a] < wanted[b]; };
    std::size_t descents = 0, secondRun = 0;
    for (std::size_t j = 1; j < wanted.size(); ++j)
        if (wanted[j] < wanted[j - 1]) ++descents, secondRun = j;
    if (descents == 1)
        std::inplace_merge(order.begin(), order.begin() + static_cast<std::ptrdiff_t>(secondRun), order.end(), before);
    else if (descents > 1)
        std::sort(order.begin(), order.end(), before);
    out.positions.resize(wanted.size());
    out.normals.resize(wanted.size());
    out.uvs.resize(wanted.size());

    const int32_t bandRows = static_cast<int32_t>(std::clamp<int64_t>(kBandPoints / width, 1, height));
    const std::size_t bandPoints = static_cast<std::size_t>(bandRows) * static_cast<std::size_t>(width);
    jobhost::HostVector<HeightmeshFloat3> vertices(bandPoints), normals(bandPoints);
    jobhost::HostVector<HeightmeshFloat2> uvs(bandPoints);
    jobhost::HostVector<int32_t> triangles(6 * static_cast<std::size_t>(bandRows) * static_cast<std::size_t>(width - 1));
    std::vector<uint8_t> corners(static_cast<std::size_t>(width));
    std::size_t next = 0;
    for (int32_t r0 = 0; r0 < height; r0 += bandRows) {
        const int32_t r1 = std::min(height, r0 + bandRows);
        const std::size_t points = static_cast<std::size_t>(r1 - r0) * static_cast<std::size_t>(width);
        const std::size_t cellRows = static_cast<std::size_t>(std::max(0, std::min(r1, height - 1) - r0));
        const jobhost::HeightfieldMeshBand band{
            std::span(vertices).first(points), std::span(uvs).first(points), std::span(normals).first(points),
            std::span(triangles).first(6 * cellRows * static_cast<std::size_t>(width - 1))};
        bandMesher(request, r0, r1, band,
                   [&](double f) { progress((r0 + f * (r1 - r0)) / static_cast<double>(height)); });

        const int64_t first = int64_t{r0} * width;
        for (int32_t z = r0; z < r1; ++z) {
            const std::size_t row = static_cast<std::size_t>(z - r0) * static_cast<std::size_t>(width);
            if (AllFinite(std::span(vertices).subspan(row, corners.size()), std::span(normals).subspan(row, corners.size()),
                          std::span(uvs).subspan(row, corners.size())))
                continue;
            KeptCornersOfRow(request.cellMask, width, height, z, corners);
            for (std::size_t x = 0; x < corners.size(); ++x) {
                if (!corners[x]) continue;
                const HeightmeshFloat2& uv = uvs[row + x];
                if (!Finite(vertices[row + x]) || !Finite(normals[row + x]) || !std::isfinite(uv.x) ||
                    !std::isfinite(uv.y))
                    ThrowNonFiniteVertex(static_cast<int32_t>(first + static_cast<int64_t>(row + x)),
                                         vertices[row + x], normals[row + x]);
            }
        }
        const int64_t end = int64_t{r1} * width;
        for (; next < order.size() && wanted[order[next]] < end; ++next) {
            const uint32_t j = order[next];
            const auto local = static_cast<std::size_t>(wanted[j] - first);
            out.positions[j] = vertices[local];
            out.normals[j] = normals[local];
            out.uvs[j] = uvs[local];
        }
    }
}

// The mesh ShapeMesh makes, made without the job's full outputs: the
// heights' y values (rounded as the job rounds them) are shaped first, then
// the job runs in bands and only the vertices the mesh uses are kept, in
// `gathered`. Returns false, having done nothing the caller sees, when the
// full run must be made instead: no kept cell (its report comes from there)
// or a kept corner whose y is not finite (KeptMesh's report).
bool ShapeInBands(const Options& options, const MeshRequest& request, const BandMesher& bandMesher,
                  unsigned threadCount, std::ostream& out, ProgressLine& progress, RunReport& report,
                  GatheredVertices& gathered, std::optional<IndexedMesh>& shaped, MeshCounts& counts) {
    const int32_t width = request.width, height = request.height;
    if (width < 2 || height < 2) return false;
    const std::span<const uint8_t> cellMask = request.cellMask;
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
    struct Tally {
        int64_t corners = 0, keptCells = 0;
        bool finite = true, any = false;
        float low = 0.0f, high = 0.0f;
    };
    const unsigned threads = ThreadCount(options.threads);
    std::vector<Tally> tallies(threads);
    ParallelRanges(height, threads, [&](int64_t begin, int64_t end, unsigned part) {
        Tally& tally = tallies[part];
        std::vector<uint8_t> corners(static_cast<std::size_t>(width));
        for (int64_t z = begin; z < end; ++z) {
            const std::size_t row = static_cast<std::size_t>(z) * static_cast<std::size_t>(width);
            if (!unitScale)
                for (std::size_t x = 0; x < corners.size(); ++x)
                    scaled[row + x] = request.heights[row + x] * request.scale.y;
            KeptCornersOfRow(cellMask, width, height, static_cast<int32_t>(z), corners);
            for (std::size_t x = 0; x < corners.size(); ++x) {
                if (!corners[x]) continue;
                const float y = heights[row + x];
                ++tally.corners;
                if (!std::isfinite(y)) tally.finite = false;
                if (!tally.any) {
                    tally.low = tally.high = y;
                    tally.any = true;
                } else {
                    tally.low = std::min(tally.low, y);
                    tally.high = std::max(tally.high, y);
                }
            }
            if (z < height - 1) {
                const uint8_t* m = cellMask.data() + static_cast<std::size_t>(z) * (width - 1);
                for (int32_t c = 0; c < width - 1; ++c) tally.keptCells += m[c] & 1;
            }
        }
    }, 16);
    MeshCounts found;
    found.cells = int64_t{width - 1} * (height - 1);
    float low = 0.0f, high = 0.0f;
    bool any = false;
    for (const Tally& tally : tallies) {
        if (!tally.finite) return false;
        found.vertices += tally.corners;
        found.keptCells += tally.keptCells;
        if (!tally.any) continue;
        // Folded in order, as KeptMesh folds its bounds.
        low = any ? std::min(low, tally.low) : tally.low;
        high = any ? std::max(high, tally.high) : tally.high;
        any = true;
    }
    if (found.keptCells == 0) return false;
    found.triangles = 2 * found.keptCells;  // the job's two triangles per kept cell are never degenerate
    counts = found;
    report.stages.emplace_back("check", SecondsSince(checkStart));

    // The surface, as ShapeMesh makes it from the full outputs.
    IndexedMesh mesh(gathered, width, height);
    std::vector<int32_t> boundary;
    const Clock::time_point start = Clock::now();
    progress.Begin(options.Simplifies() ? "simplifying" : "shaping");
    if (options.Simplifies()) {
        SimplifiedMesh simplified =
            Simplify(SimplifyRequestFor(options, heights, cellMask, width, height, low, high, threadCount));
        mesh.sourceVertices = std::move(simplified.sourceVertices);
        mesh.indices = std::move(simplified.indices);
        boundary = std::move(simplified.boundaryEdges);
    } else {
        // Every corner of a kept cell, in job order, and the job's triangles
        // in those numbers.
        jobhost::HostVector<int32_t> written(points);
        mesh.sourceVertices.reserve(static_cast<std::size_t>(found.vertices));
        std::vector<uint8_t> corners(static_cast<std::size_t>(width));
        for (int32_t z = 0; z < height; ++z) {
            KeptCornersOfRow(cellMask, width, height, z, corners);
            for (int32_t x = 0; x < width; ++x) {
                const int32_t g = z * width + x;
                if (corners[static_cast<std::size_t>(x)]) {
                    written[static_cast<std::size_t>(g)] = static_cast<int32_t>(mesh.sourceVertices.size());
                    mesh.sourceVertices.push_back(g);
                }
            }
        }
        mesh.indices.reserve(static_cast<std::size_t>(3 * found.triangles));
        for (int32_t z = 0; z + 1 < height; ++z) {
            for (int32_t x = 0; x + 1 < width; ++x) {
                if (!(cellMask[static_cast<std::size_t>(z) * (width - 1) + x] & 1)) continue;
                const std::size_t p = static_cast<std::size_t>(z) * width + x, w = static_cast<std::size_t>(width);
                const auto v = [&](std::size_t g) { return static_cast<uint32_t>(written[g]); };
                mesh.indices.insert(mesh.indices.end(), {v(p), v(p + w + 1), v(p + 1), v(p), v(p + w), v(p + w + 1)});
            }
        }
        if (options.base) boundary = GridBoundaryEdges(cellMask, width, height);
    }
    if (options.Simplifies() || options.gpuOrder) OrderForGpu(mesh);
    const double shapeSeconds = SecondsSince(start);
    progress.End();
    report.stages.emplace_back(options.Simplifies() ? "simplify" : "shape", shapeSeconds);

    // The job, band by band, keeping the surface's vertices and the grid
    // points the base's bottom is made from.
    std::optional<SolidBasePlan> plan;
    if (options.base) plan = PlanSolidBase(boundary, cellMask, width, height);
    std::vector<int32_t> wanted = mesh.sourceVertices;
    if (plan) wanted.insert(wanted.end(), plan->points.begin(), plan->points.end());
    const Clock::time_point jobStart = Clock::now();
    progress.Begin("meshing");
    GatherInBands(bandMesher, request, wanted, gathered, [&](double f) { progress.Update(f); });
    progress.End();
    report.jobSeconds = SecondsSince(jobStart);
    report.stages.emplace_back("job", report.jobSeconds);

    if (options.stats && options.Simplifies())
        PrintSimplifiedStats(out, heights, cellMask, mesh, found.triangles, shapeSeconds);
    if (plan) {
        const std::size_t surface = mesh.sourceVertices.size();
        AddSolidBase(mesh, *plan, boundary, cellMask, width, height, *options.base,
                     std::span(gathered.positions).subspan(surface), std::span(gathered.uvs).subspan(surface));
    }
    mesh.UpdateBounds();
    shaped.emplace(std::move(mesh));
    return true;
}

}  // namespace

RunReport RunTool(const Options& options, const Mesher& mesher, std::ostream& out, ProgressLine& progress,
                  unsigned threadCount, const BandMesher& bandMesher) {
    CheckRequest(options);
    RunReport report;

    // Heights: planned from the input's header, checked against the memory
    // limit, then read.
    const int64_t memoryLimit = options.source.maxMemory.value_or(DefaultMemoryLimit());
    std::optional<InputPlan> plan;
    InputPlan gridPlan;
    if (options.input) {
        plan = PlanHeightInput(*options.input, options.size, options.source, memoryLimit);
        gridPlan.grid = plan->grid;
        gridPlan.raster = plan->raster;
    } else {
        if (options.source.ForRasters())
            throw UsageError("--band, --window, --bounds, --resample, --max-size, --encoding and --tile apply to an "
                             "input raster, not to the built-in terrain");
        gridPlan.grid = options.size.value_or(Options::kDefaultTerrainSize);
    }
    std::optional<InputPlan> maskPlan;
    if (options.mask) maskPlan = PlanMaskInput(*options.mask, gridPlan, memoryLimit);
    const std::string runName = fmt::format("meshing {} ({}x{} points)",
                                            options.input ? Quoted(*options.input) : "the built-in terrain",
                                            gridPlan.grid.width, gridPlan.grid.height);
    CheckMemory(EstimateRunBytes(RunShapeOf(options, gridPlan.grid, plan, maskPlan, static_cast<bool>(bandMesher))),
                memoryLimit, runName);

    Heightmap map;
    std::string mapName;
    if (plan) {
        const Stage stage(report, "read");
        const Clock::time_point start = Clock::now();
        progress.Begin("reading");
        map = ReadPlannedInput(*plan, [&](double f) { progress.Update(f); });
        progress.End();
        mapName = Quoted(*options.input);
        report.readSeconds += SecondsSince(start);
    } else {
        const Stage stage(report, "terrain");
        const Clock::time_point start = Clock::now();
        progress.Begin("making terrain");
        map = MakeTerrain(options.size.value_or(Options::kDefaultTerrainSize), options.seed.value_or(Options::kDefaultSeed),
                          [&](double f) { progress.Update(f); });
        progress.End();
        mapName = "the built-in terrain";
        report.generateSeconds = SecondsSince(start);
    }
    report.width = map.width;
    report.height = map.height;

    std::optional<Heightmap> maskImage;
    if (maskPlan) {
        const Stage stage(report, "read mask");
        const Clock::time_point start = Clock::now();
        progress.Begin("reading mask");
        maskImage = ReadPlannedInput(*maskPlan);
        progress.End();
        report.readSeconds += SecondsSince(start);
    }

    if (options.invert) InvertHeights(map);
    if (options.level) LevelHeights(map);
    const std::array<float, 2> heightRange = HeightRange(map);
    FillNoData(map, mapName);

    MaskRules rules;
    rules.image = maskImage ? &*maskImage : nullptr;
    rules.threshold = options.maskThreshold;
    rules.invert = options.maskInvert;
    rules.cutBelow = options.cutBelow;
    const std::vector<uint8_t> cellMask = BuildCellMask(map, rules, options.mask ? Quoted(*options.mask) : std::string());

    // The job.
    MeshRequest request;
    request.heights = map.heights;
    request.cellMask = cellMask;
    request.width = map.width;
    request.height = map.height;
    request.scale = options.JobScale();
    if (!options.scale && !options.cellSizeGiven && plan && plan->spacing) {
        request.scale.x = static_cast<float>(plan->spacing->x);
        request.scale.z = static_cast<float>(plan->spacing->z);
    }
    request.batchSize = options.batch;
    const unsigned threads = options.threads;
    // A shaped mesh is made band by band when nothing needs the full outputs;
    // otherwise (or when that road declines) the job runs over the whole grid.
    MeshData data;
    std::optional<KeptMesh> mesh;
    const auto gathered = std::make_unique<GatheredVertices>();
    std::optional<IndexedMesh> shaped;
    MeshCounts counts;
    // A binary file of the job's own mesh, with no picture asked for, is
    // written band by band as the job makes it.
    bool streamed = false;
    if (bandMesher && StreamsWithoutFullOutputs(options)) {
        StreamedMeshFile file;
        file.path = *options.output;
        file.format = MeshFormatFromPath(*options.output);
        file.zUp = options.up ? *options.up == 'z' : file.format == MeshFormat::Stl;
        file.threads = threads;
        StreamedMeshReport streamedReport;
        const Clock::time_point start = Clock::now();
        streamed = StreamMeshFile(request, bandMesher, file, progress, streamedReport);
        if (streamed) {
            report.jobSeconds = streamedReport.jobSeconds;
            report.stages.emplace_back("job and write mesh", SecondsSince(start));
            counts.vertices = streamedReport.vertices;
            counts.triangles = streamedReport.triangles;
            counts.keptCells = streamedReport.keptCells;
            counts.cells = streamedReport.cells;
        }
    }
    const bool banded = !streamed && bandMesher && ShapesWithoutFullOutputs(options) &&
                        ShapeInBands(options, request, bandMesher, threadCount, out, progress, report, *gathered,
                                     shaped, counts);
    if (!banded && !streamed) {
        // A run planned band by band that declined the bands (a masked or no
        // kept cell, a value that is not finite) needs the full outputs after
        // all: they must fit the limit too.
        if (bandMesher && (ShapesWithoutFullOutputs(options) || StreamsWithoutFullOutputs(options)))
            CheckMemory(EstimateRunBytes(RunShapeOf(options, gridPlan.grid, plan, maskPlan, false)), memoryLimit,
                        runName);
        const Clock::time_point jobStart = Clock::now();
        progress.Begin("meshing");
        data = mesher(request, [&](double f) { progress.Update(f); });
        report.jobSeconds = SecondsSince(jobStart);
        report.stages.emplace_back("job", report.jobSeconds);
        const Clock::time_point checkStart = Clock::now();
        mesh.emplace(data, map.width, map.height, threads);
        report.stages.emplace_back("check", SecondsSince(checkStart));
        progress.End();
        if (options.Simplifies() || options.base || options.gpuOrder) {
            const Clock::time_point shapeStart = Clock::now();
            progress.Begin(options.Simplifies() ? "simplifying" : "shaping");
            shaped = ShapeMesh(options, data, *mesh, cellMask, threadCount, out);
            progress.End();
            report.stages.emplace_back(options.Simplifies() ? "simplify" : "shape", SecondsSince(shapeStart));
        }
        counts = CountsOf(*mesh);
    }
    report.verticesWritten = counts.vertices;
    report.trianglesKept = counts.triangles;
    report.cellsKept = counts.keptCells;

    // Files.
    const Clock::time_point writeStart = Clock::now();
    if (streamed)
        out << fmt::format("wrote {}: {} vertices, {} triangles ({} of {} cells kept)\n", options.output->string(),
                           counts.vertices, counts.triangles, counts.keptCells, counts.cells);
    if (options.output && !streamed) {
        if (counts.triangles == 0)
            throw ToolError(fmt::format("every cell of {} is masked: there is no mesh to write to {}", mapName,
                                        Quoted(*options.output)));
        const Stage stage(report, "write mesh");
        progress.Begin("writing mesh");
        const MeshFormat format = MeshFormatFromPath(*options.output);
        const bool zUp = options.up ? *options.up == 'z' : (format == MeshFormat::Stl || options.base.has_value());
        // The job's buffers are turned in place (and back for the pictures).
        const auto turn = [&](bool back) {
            TurnZUp(data.vertices, back);
            TurnZUp(data.normals, back);
            TurnZUp(gathered->positions, back);
            TurnZUp(gathered->normals, back);
            if (shaped) {
                TurnZUp(shaped->extraPositions, back);
                TurnZUp(shaped->extraNormals, back);
                shaped->UpdateBounds();
            }
        };
        if (zUp) turn(false);
        try {
            WriteOutput(*options.output, progress, [&](std::ostream& file, const std::function<void(double)>& update) {
                MeshWriteOptions writeOptions;
                writeOptions.asciiStl = options.asciiStl;
                writeOptions.threads = threads;
                writeOptions.progress = update;
                if (shaped)
                    WriteMesh(*shaped, format, file, writeOptions);
                else
                    WriteMesh(*mesh, format, file, writeOptions);
            });
        } catch (...) {
            if (zUp) turn(true);
            throw;
        }
        if (zUp) turn(true);
        progress.End();
        const int64_t vertices = shaped ? shaped->vertexCount() : counts.vertices;
        const int64_t triangles = shaped ? shaped->triangleCount() : counts.triangles;
        out << fmt::format("wrote {}: {} vertices, {} triangles ({} of {} cells kept)\n", options.output->string(),
                           vertices, triangles, counts.keptCells, counts.cells);
    }
    if (options.normalMap) {
        const Stage stage(report, "normal map");
        progress.Begin("writing normal map");
        const Image image = RenderNormalMap(*mesh, threads);
        WriteOutput(*options.normalMap, progress,
                    [&](std::ostream& file, const std::function<void(double)>& update) { WritePng(image, file, threads, update); });
        progress.End();
        out << fmt::format("wrote {}: {}x{} normal map\n", options.normalMap->string(), image.width, image.height);
    }
    if (options.preview) {
        const Stage stage(report, "preview");
        progress.Begin("writing preview");
        const Image image = RenderPreview(*mesh, options.light, threads);
        WriteOutput(*options.preview, progress,
                    [&](std::ostream& file, const std::function<void(double)>& update) { WritePng(image, file, threads, update); });
        progress.End();
        out << fmt::format("wrote {}: {}x{} preview\n", options.preview->string(), image.width, image.height);
    }
    report.writeSeconds = SecondsSince(writeStart);

    if (!options.output)
        out << fmt::format("{} of {} cells kept\n", counts.keptCells, counts.cells);
    if (options.stats) {
        const int64_t points = static_cast<int64_t>(map.width) * map.height;
        out << fmt::format("grid:       {} x {} ({} points, {} cells)\n", map.width, map.height, points, counts.cells);
        out << fmt::format("vertices:   {} computed, {} written\n", points, counts.vertices);
        out << fmt::format("triangles:  {} kept ({} of {} cells)\n", counts.triangles, counts.keptCells,
                           counts.cells);
        out << fmt::format("job:        {:.3f} ms{} ({:.1f} M vertices/s)\n", report.jobSeconds * 1e3,
                           threadCount > 0 ? fmt::format(" on {} threads", threadCount) : std::string(),
                           report.jobSeconds > 0.0 ? points / report.jobSeconds / 1e6 : 0.0);
        out << fmt::format("I/O:        {:.3f} ms (read {:.3f} ms, write {:.3f} ms)\n",
                           (report.readSeconds + report.writeSeconds) * 1e3, report.readSeconds * 1e3,
                           report.writeSeconds * 1e3);
        if (!options.input) out << fmt::format("terrain:    {:.3f} ms to make\n", report.generateSeconds * 1e3);
        PrintInputStats(out, options, plan, request.scale, map, heightRange);
        std::string stages;
        for (const auto& [name, seconds] : report.stages)
            stages += fmt::format("{}{} {:.3f} ms", stages.empty() ? "" : ", ", name, seconds * 1e3);
        out << fmt::format("stages:     {}\n", stages);
        out << fmt::format("memory:     {:.1f} MB peak\n", PeakMemoryBytes() / 1e6);
    }
    return report;
}

}  // namespace heightmesh::tool
