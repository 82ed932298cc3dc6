#include "run/pipeline.h"

#include <sys/resource.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <optional>
#include <stdexcept>

#include <fmt/format.h>

#include "common/file_io.h"
#include "common/memory_budget.h"
#include "common/tool_error.h"
#include "input/cell_mask.h"
#include "input/gdal_setup.h"
#include "input/heightmap.h"
#include "input/readers.h"
#include "input/terrain.h"
#include "mesh/surface_error.h"
#include "output/mesh_records.h"
#include "output/mesh_writers.h"
#include "output/pictures.h"
#include "run/roads.h"

namespace heightmesh::tool {

namespace {

// Times one stage of the run into the report.
class Stage {
public:
    Stage(RunReport& report, std::string name) : report_(report), name_(std::move(name)), start_(Clock::now()) {}
    ~Stage() { report_.stages.emplace_back(std::move(name_), SecondsSince(start_)); }
    double Seconds() const { return SecondsSince(start_); }
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
                 const std::function<void(std::ostream&, const std::function<void(double)>&)>& write)
{
    AtomicFile file(path);
    try {
        write(file.stream(), [&](double f) { progress.Update(f, file.bytesWritten()); });
    } catch (const ToolError& error) {
        const std::string reason = file.FailureReason();
        throw ToolError(fmt::format("cannot write {}: {}", Quoted(path), reason.empty() ? error.what() : reason));
    }
    file.Commit();
}

// What the run holds at once on `road`, for the memory estimate.
RunShape RunShapeOf(const Options& options, GridSize grid, const std::optional<InputPlan>& plan,
                    const std::optional<InputPlan>& maskPlan, MeshRoad road)
{
    RunShape shape;
    shape.points = int64_t{grid.width} * grid.height;
    shape.readBytes = (plan ? plan->readBytes : 0) + (maskPlan ? maskPlan->readBytes : 0);
    shape.mask = maskPlan.has_value();
    shape.mesh = options.output.has_value();
    shape.normalMap = options.normalMap.has_value();
    shape.preview = options.preview.has_value();
    shape.banded = road == MeshRoad::kBanded;
    shape.streamed = road == MeshRoad::kStreamed;
    shape.simplified = options.Simplifies();
    shape.solid = options.base.has_value();
    return shape;
}

// The lowest and highest height with a value (both 0 when none has one).
std::array<float, 2> HeightRange(const Heightmap& map)
{
    float low = std::numeric_limits<float>::infinity();
    float high = -low;
    for (std::size_t i = 0; i < map.heights.size(); ++i) {
        if (map.HasNoData() && map.noData[i])
            continue;
        low = std::min(low, map.heights[i]);
        high = std::max(high, map.heights[i]);
    }
    return low > high ? std::array<float, 2>{0.0f, 0.0f} : std::array<float, 2>{low, high};
}

// The input's part of --stats: what was read, the spacing and where it came
// from, the mesh's extents and the height range.
void PrintInputStats(std::ostream& out, const Options& options, const std::optional<InputPlan>& plan,
                     HeightmeshFloat3 scale, const Heightmap& map, std::array<float, 2> range)
{
    if (plan)
        out << fmt::format("input:      {}\n", plan->summary);
    const std::string how = options.scale           ? "--scale"
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

// The read stage's plan: the input's and the mask's, and the run's name in
// the memory check's message.
struct ReadPlan {
    std::optional<InputPlan> input;  // none: the built-in terrain
    std::optional<InputPlan> mask;
    GridSize grid;
    int64_t memoryLimit = 0;
    std::string runName;
};

ReadPlan PlanRead(const Options& options)
{
    ReadPlan plan;
    plan.memoryLimit = options.source.maxMemory.value_or(DefaultMemoryLimit());
    InputPlan gridPlan;
    if (options.input) {
        UseGdalDecodeThreads(options.threads);
        plan.input = PlanHeightInput(*options.input, options.size, options.source, plan.memoryLimit);
        gridPlan.grid = plan.input->grid;
        gridPlan.raster = plan.input->raster;
    } else {
        gridPlan.grid = options.size.value_or(Options::kDefaultTerrainSize);
    }
    plan.grid = gridPlan.grid;
    if (options.mask)
        plan.mask = PlanMaskInput(*options.mask, gridPlan, plan.memoryLimit);
    plan.runName =
        fmt::format("meshing {} ({}x{} points)", options.input ? Quoted(*options.input) : "the built-in terrain",
                    plan.grid.width, plan.grid.height);
    return plan;
}

// A glTF file holds at most 4 GiB of buffer data. An unsimplified mesh of
// the built-in terrain with no cell dropped by a mask or a cut keeps every
// cell, so whether its file fits follows from the grid alone: it is refused
// before anything is made. (A raster's no-data may drop cells, so its mesh
// is sized once its cells are known.)
void CheckGltfHoldsTheGrid(const Options& options, GridSize grid)
{
    if (!options.output || options.input || options.Simplifies() || options.mask || options.cutBelow)
        return;
    const MeshFormat format = MeshFormatFromPath(*options.output);
    if (format != MeshFormat::Glb && format != MeshFormat::Gltf)
        return;
    const int64_t points = int64_t{grid.width} * grid.height;
    const int64_t cells = int64_t{grid.width - 1} * (grid.height - 1);
    try {
        GltfLayoutFor(points, 6 * cells, format == MeshFormat::Glb);
    } catch (const ToolError& error) {
        throw ToolError(fmt::format("cannot write {}: {}; simplify it (--max-error) or write .ply or .stl",
                                    Quoted(*options.output), error.what()));
    }
}

// The heights as the job gets them, with their cell mask.
struct Grid {
    Heightmap map;
    std::string name;              // of the heights, in messages
    std::array<float, 2> range{};  // the heights with a value, before the no-data fill
    CellMask cellMask;
    MeshRequest request;
};

Grid ReadGrid(const Options& options, ReadPlan& plan, ProgressLine& progress, RunReport& report)
{
    Grid grid;
    if (plan.input) {
        const Stage stage(report, "read");
        progress.Begin("reading");
        grid.map = ReadPlannedInput(*plan.input, [&](double f) { progress.Update(f); });
        progress.End();
        grid.name = Quoted(*options.input);
        report.readSeconds += stage.Seconds();
    } else {
        const Stage stage(report, "terrain");
        progress.Begin("making terrain");
        grid.map = MakeTerrain(
            plan.grid, options.seed.value_or(Options::kDefaultSeed), [&](double f) { progress.Update(f); },
            TerrainRoad::kFastest, options.threads);
        progress.End();
        grid.name = "the built-in terrain";
        report.generateSeconds = stage.Seconds();
    }
    report.width = grid.map.width;
    report.height = grid.map.height;

    std::optional<Heightmap> maskImage;
    if (plan.mask) {
        const Stage stage(report, "read mask");
        progress.Begin("reading mask");
        maskImage = ReadPlannedInput(*plan.mask);
        progress.End();
        report.readSeconds += stage.Seconds();
    }

    Heightmap& map = grid.map;
    if (options.invert)
        InvertHeights(map);
    if (options.level)
        LevelHeights(map);
    grid.range = HeightRange(map);
    FillNoData(map, grid.name);

    MaskRules rules;
    rules.image = maskImage ? &*maskImage : nullptr;
    rules.threshold = options.maskThreshold;
    rules.invert = options.maskInvert;
    rules.cutBelow = options.cutBelow;
    grid.cellMask = BuildCellMask(map, rules, options.mask ? Quoted(*options.mask) : std::string());

    MeshRequest& request = grid.request;
    request.heights = map.heights;
    request.cellMask = grid.cellMask.View();
    request.width = map.width;
    request.height = map.height;
    request.scale = options.JobScale();
    if (!options.scale && !options.cellSizeGiven && plan.input && plan.input->spacing) {
        request.scale.x = static_cast<float>(plan.input->spacing->x);
        request.scale.z = static_cast<float>(plan.input->spacing->z);
    }
    request.batchSize = options.batch;
    return grid;
}

ShapeOptions ShapeOptionsOf(const Options& options, unsigned threadCount)
{
    ShapeOptions shape;
    shape.maxError = options.maxError;
    shape.maxErrorPercent = options.maxErrorPercent;
    shape.maxTriangles = options.maxTriangles.value_or(0);
    shape.base = options.base;
    shape.gpuOrder = options.gpuOrder;
    shape.measureError = options.stats;
    shape.threads = threadCount;
    return shape;
}

// The mesh on the planned road, or on the full road when that one declines
// (then the full outputs must fit the memory limit too).
MeshedGrid MakeMesh(const Options& options, const Meshers& meshers, const ReadPlan& plan, const Grid& grid,
                    ProgressLine& progress, unsigned threadCount, RunReport& report)
{
    const RoadInput input{options,  meshers,      grid.request, ShapeOptionsOf(options, threadCount),
                          progress, report.stages};
    std::optional<MeshedGrid> meshed = RoadFunctionOf(report.plan.road)(input, report.declined);
    if (!meshed) {
        CheckMemory(EstimateRunBytes(RunShapeOf(options, plan.grid, plan.input, plan.mask, MeshRoad::kFull)),
                    plan.memoryLimit, plan.runName);
        meshed.emplace(std::move(*MeshFull(input, report.declined)));
    }
    report.road = meshed->road;
    report.jobSeconds = meshed->jobSeconds;
    report.verticesWritten = meshed->counts.vertices;
    report.trianglesKept = meshed->counts.triangles;
    report.cellsKept = meshed->counts.keptCells;
    return std::move(*meshed);
}

// The kept view of the full outputs, which the pictures read: only the full
// road has them, and the plan sends every run with a picture that way.
const KeptMesh& FullOutputs(const MeshedGrid& meshed)
{
    if (!meshed.kept)
        throw std::logic_error("a picture needs the job's full outputs");
    return *meshed.kept;
}

void WriteMeshFile(const Options& options, MeshedGrid& meshed, const std::string& mapName, ProgressLine& progress,
                   RunReport& report, std::ostream& out)
{
    const MeshCounts& counts = meshed.counts;
    if (meshed.road == MeshRoad::kStreamed) {  // the road wrote the file as it went
        out << fmt::format("wrote {}: {} vertices, {} triangles ({} of {} cells kept)\n", options.output->string(),
                           counts.vertices, counts.triangles, counts.keptCells, counts.cells);
        return;
    }
    if (counts.triangles == 0)
        throw ToolError(fmt::format("every cell of {} is masked: there is no mesh to write to {}", mapName,
                                    Quoted(*options.output)));
    const Stage stage(report, "write mesh");
    progress.Begin("writing mesh");
    const MeshFormat format = MeshFormatFromPath(*options.output);
    const bool zUp = WritesZUp(options);
    std::optional<IndexedMesh>& shaped = meshed.shaped.mesh;
    // The job's buffers are turned in place (and back for the pictures).
    const auto turn = [&](bool back) {
        if (meshed.data) {
            TurnZUp(meshed.data->vertices, back);
            TurnZUp(meshed.data->normals, back);
        }
        if (meshed.gathered) {
            TurnZUp(meshed.gathered->positions, back);
            TurnZUp(meshed.gathered->normals, back);
        }
        if (shaped) {
            TurnZUp(shaped->extraPositions, back);
            TurnZUp(shaped->extraNormals, back);
            shaped->UpdateBounds();
        }
    };
    if (zUp)
        turn(false);
    try {
        WriteOutput(*options.output, progress, [&](std::ostream& file, const std::function<void(double)>& update) {
            MeshWriteOptions writeOptions;
            writeOptions.asciiStl = options.asciiStl;
            writeOptions.threads = options.threads;
            writeOptions.progress = update;
            if (shaped)
                WriteMesh(*shaped, format, file, writeOptions);
            else
                WriteMesh(*meshed.kept, format, file, writeOptions);
        });
    } catch (...) {
        if (zUp)
            turn(true);
        throw;
    }
    if (zUp)
        turn(true);
    progress.End();
    const int64_t vertices = shaped ? shaped->vertexCount() : counts.vertices;
    const int64_t triangles = shaped ? shaped->triangleCount() : counts.triangles;
    out << fmt::format("wrote {}: {} vertices, {} triangles ({} of {} cells kept)\n", options.output->string(),
                       vertices, triangles, counts.keptCells, counts.cells);
}

void WritePicture(const std::filesystem::path& path, const char* stage, const char* what,
                  const std::function<Image()>& render, unsigned threads, ProgressLine& progress, RunReport& report,
                  std::ostream& out)
{
    const Stage timed(report, stage);
    progress.Begin(fmt::format("writing {}", what));
    const Image image = render();
    WriteOutput(path, progress, [&](std::ostream& file, const std::function<void(double)>& update) {
        WritePng(image, file, threads, update);
    });
    progress.End();
    out << fmt::format("wrote {}: {}x{} {}\n", path.string(), image.width, image.height, what);
}

// The --stats lines of a simplified surface: its size and its error.
void PrintSimplifiedStats(std::ostream& out, const SimplifiedSummary& summary)
{
    out << fmt::format("simplified: {} triangles, {} vertices ({:.2f}% of {} triangles) in {:.3f} ms\n",
                       summary.triangles, summary.vertices,
                       100.0 * static_cast<double>(summary.triangles) / static_cast<double>(summary.gridTriangles),
                       summary.gridTriangles, summary.seconds * 1e3);
    if (!summary.error)
        return;
    const SurfaceError& error = *summary.error;
    out << fmt::format("error:      max {:.6g}, RMS {:.6g} over {} grid points{}\n", error.max, error.rms, error.points,
                       error.uncovered > 0 ? fmt::format(" ({} not covered)", error.uncovered) : std::string());
}

void PrintStats(std::ostream& out, const Options& options, const ReadPlan& plan, const Grid& grid,
                const MeshedGrid& meshed, const RunReport& report, unsigned threadCount)
{
    const MeshCounts& counts = meshed.counts;
    const int64_t points = static_cast<int64_t>(grid.map.width) * grid.map.height;
    if (meshed.shaped.simplified)
        PrintSimplifiedStats(out, *meshed.shaped.simplified);
    out << fmt::format("road:       {} ({})\n", RoadName(report.road),
                       report.declined.empty()
                           ? report.plan.reason
                           : fmt::format("the {} road declined: {}", RoadName(report.plan.road), report.declined));
    out << fmt::format("grid:       {} x {} ({} points, {} cells)\n", grid.map.width, grid.map.height, points,
                       counts.cells);
    if (const std::optional<IndexedMesh>& shaped = meshed.shaped.mesh) {
        // The file holds the shaped mesh; the job's own mesh is said beside it.
        out << fmt::format("vertices:   {} computed, {} written ({} in the full-resolution mesh)\n", points,
                           shaped->vertexCount(), counts.vertices);
        out << fmt::format("triangles:  {} written ({} kept in the full-resolution mesh, {} of {} cells)\n",
                           shaped->triangleCount(), counts.triangles, counts.keptCells, counts.cells);
    } else {
        out << fmt::format("vertices:   {} computed, {} written\n", points, counts.vertices);
        out << fmt::format("triangles:  {} kept ({} of {} cells)\n", counts.triangles, counts.keptCells, counts.cells);
    }
    out << fmt::format("job:        {:.3f} ms{} ({:.1f} M vertices/s)\n", report.jobSeconds * 1e3,
                       threadCount > 0 ? fmt::format(" on {} threads", threadCount) : std::string(),
                       report.jobSeconds > 0.0 ? points / report.jobSeconds / 1e6 : 0.0);
    out << fmt::format("I/O:        {:.3f} ms (read {:.3f} ms, write {:.3f} ms)\n",
                       (report.readSeconds + report.writeSeconds) * 1e3, report.readSeconds * 1e3,
                       report.writeSeconds * 1e3);
    if (!options.input)
        out << fmt::format("terrain:    {:.3f} ms to make\n", report.generateSeconds * 1e3);
    PrintInputStats(out, options, plan.input, grid.request.scale, grid.map, grid.range);
    std::string stages;
    for (const auto& [name, seconds] : report.stages)
        stages += fmt::format("{}{} {:.3f} ms", stages.empty() ? "" : ", ", name, seconds * 1e3);
    out << fmt::format("stages:     {}\n", stages);
    out << fmt::format("memory:     {:.1f} MB peak\n", PeakMemoryBytes() / 1e6);
}

}  // namespace

RunReport RunTool(const Options& options, const Meshers& meshers, std::ostream& out, ProgressLine& progress,
                  unsigned threadCount)
{
    // Plan: the request checked, the road chosen, the heights planned from
    // the input's header and the run held to the memory limit.
    CheckRequest(options);
    RunReport report;
    report.plan = PlanRoad(options, static_cast<bool>(meshers.bands));
    ReadPlan plan = PlanRead(options);
    CheckGltfHoldsTheGrid(options, plan.grid);
    CheckMemory(EstimateRunBytes(RunShapeOf(options, plan.grid, plan.input, plan.mask, report.plan.road)),
                plan.memoryLimit, plan.runName);

    // Read.
    const Grid grid = ReadGrid(options, plan, progress, report);

    // Mesh.
    MeshedGrid meshed = MakeMesh(options, meshers, plan, grid, progress, threadCount, report);

    // Write.
    const Clock::time_point writeStart = Clock::now();
    if (options.output)
        WriteMeshFile(options, meshed, grid.name, progress, report, out);
    if (options.normalMap)
        WritePicture(
            *options.normalMap, "normal map", "normal map",
            [&] { return RenderNormalMap(FullOutputs(meshed), options.threads); }, options.threads, progress, report,
            out);
    if (options.preview)
        WritePicture(
            *options.preview, "preview", "preview",
            [&] { return RenderPreview(FullOutputs(meshed), options.light, options.threads); }, options.threads,
            progress, report, out);
    report.writeSeconds = SecondsSince(writeStart);

    // Report.
    if (!options.output)
        out << fmt::format("{} of {} cells kept\n", meshed.counts.keptCells, meshed.counts.cells);
    if (options.stats)
        PrintStats(out, options, plan, grid, meshed, report, threadCount);
    return report;
}

}  // namespace heightmesh::tool
