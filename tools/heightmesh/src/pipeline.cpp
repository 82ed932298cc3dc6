#include "pipeline.h"

#include <sys/stat.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <system_error>
#include <thread>

#include <fmt/format.h>

#include "cell_mask.h"
#include "gpu_order.h"
#include "simplify.h"
#include "solid.h"
#include "file_io.h"
#include "heightmap.h"
#include "readers.h"
#include "terrain.h"
#include "mesh_writers.h"
#include "pictures.h"
#include "tool_error.h"

namespace heightmesh::tool {

namespace {

using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

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

// Turns a y-up mesh z-up (x, y, z) -> (x, -z, y), a rotation, and back; exact.
void TurnZUp(std::span<HeightmeshFloat3> points, bool back) {
    for (HeightmeshFloat3& p : points) p = back ? HeightmeshFloat3{p.x, p.z, -p.y} : HeightmeshFloat3{p.x, -p.z, p.y};
}

// The simplified and/or solid mesh, when asked for.
std::optional<IndexedMesh> ShapeMesh(const Options& options, const MeshData& data, const KeptMesh& kept,
                                     std::span<const uint8_t> cellMask, unsigned threadCount, std::ostream& out) {
    if (!options.Simplifies() && !options.base && !options.gpuOrder) return std::nullopt;
    if (kept.triangleCount() == 0) return std::nullopt;
    IndexedMesh mesh(data, kept.gridWidth(), kept.gridHeight());
    std::vector<int32_t> boundary;
    const Clock::time_point start = Clock::now();
    if (options.Simplifies()) {
        SimplifyRequest request;
        request.vertices = data.vertices;
        request.cellMask = cellMask;
        request.width = kept.gridWidth();
        request.height = kept.gridHeight();
        if (options.maxError) request.maxError = *options.maxError;
        if (options.maxErrorPercent)
            request.maxError = *options.maxErrorPercent / 100.0 *
                               (static_cast<double>(kept.maxPosition().y) - kept.minPosition().y);
        request.maxTriangles = options.maxTriangles.value_or(0);
        request.threads = threadCount > 0 ? threadCount : std::max(1u, std::thread::hardware_concurrency());
        SimplifiedMesh simplified = Simplify(request);
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
    if (options.stats && options.Simplifies()) {
        const SurfaceError error = MeasureSurfaceError(data.vertices, cellMask, kept.gridWidth(), kept.gridHeight(),
                                                       mesh.sourceVertices, mesh.indices);
        out << fmt::format("simplified: {} triangles, {} vertices ({:.2f}% of {} triangles) in {:.3f} ms\n",
                           mesh.triangleCount(), mesh.vertexCount(),
                           100.0 * static_cast<double>(mesh.triangleCount()) / static_cast<double>(kept.triangleCount()),
                           kept.triangleCount(), shapeSeconds * 1e3);
        out << fmt::format("error:      max {:.6g}, RMS {:.6g} over {} grid points{}\n", error.max, error.rms,
                           error.points,
                           error.uncovered > 0 ? fmt::format(" ({} not covered)", error.uncovered) : std::string());
    }
    if (options.base)
        AddSolidBase(mesh, boundary, cellMask, kept.gridWidth(), kept.gridHeight(), *options.base);
    mesh.UpdateBounds();
    return mesh;
}

}  // namespace

RunReport RunTool(const Options& options, const Mesher& mesher, std::ostream& out, ProgressLine& progress,
                  unsigned threadCount) {
    CheckRequest(options);
    RunReport report;

    // Heights.
    Heightmap map;
    std::string mapName;
    if (options.input) {
        const Clock::time_point start = Clock::now();
        progress.Begin("reading");
        map = ReadHeightmap(*options.input, options.size);
        progress.End();
        mapName = Quoted(*options.input);
        report.readSeconds += SecondsSince(start);
    } else {
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
    if (options.mask) {
        const Clock::time_point start = Clock::now();
        progress.Begin("reading mask");
        maskImage = ReadImage(*options.mask);
        progress.End();
        report.readSeconds += SecondsSince(start);
    }

    if (options.invert) InvertHeights(map);
    if (options.level) LevelHeights(map);
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
    request.batchSize = options.batch;
    const Clock::time_point jobStart = Clock::now();
    progress.Begin("meshing");
    MeshData data = mesher(request, [&](double f) { progress.Update(f); });
    report.jobSeconds = SecondsSince(jobStart);
    const KeptMesh mesh(data, map.width, map.height);
    progress.End();
    std::optional<IndexedMesh> shaped = ShapeMesh(options, data, mesh, cellMask, threadCount, out);
    report.verticesWritten = mesh.vertexCount();
    report.trianglesKept = mesh.triangleCount();
    report.cellsKept = mesh.keptCellCount();

    // Files.
    const Clock::time_point writeStart = Clock::now();
    if (options.output) {
        if (mesh.triangleCount() == 0)
            throw ToolError(fmt::format("every cell of {} is masked: there is no mesh to write to {}", mapName,
                                        Quoted(*options.output)));
        MeshWriteOptions writeOptions;
        writeOptions.asciiStl = options.asciiStl;
        writeOptions.progress = [&](double f) { progress.Update(f); };
        progress.Begin("writing mesh");
        const MeshFormat format = MeshFormatFromPath(*options.output);
        const bool zUp = options.up ? *options.up == 'z' : (format == MeshFormat::Stl || options.base.has_value());
        // The job's buffers are turned in place (and back for the pictures).
        const auto turn = [&](bool back) {
            TurnZUp(data.vertices, back);
            TurnZUp(data.normals, back);
            if (shaped) {
                TurnZUp(shaped->extraPositions, back);
                TurnZUp(shaped->extraNormals, back);
                shaped->UpdateBounds();
            }
        };
        if (zUp) turn(false);
        try {
            WriteFileAtomically(*options.output, [&](std::ostream& file) {
                if (shaped)
                    WriteMesh(*shaped, format, file, writeOptions);
                else
                    WriteMesh(mesh, format, file, writeOptions);
            });
        } catch (...) {
            if (zUp) turn(true);
            throw;
        }
        if (zUp) turn(true);
        progress.End();
        const int64_t vertices = shaped ? shaped->vertexCount() : mesh.vertexCount();
        const int64_t triangles = shaped ? shaped->triangleCount() : mesh.triangleCount();
        out << fmt::format("wrote {}: {} vertices, {} triangles ({} of {} cells kept)\n", options.output->string(),
                           vertices, triangles, mesh.keptCellCount(), mesh.cellCount());
    }
    if (options.normalMap) {
        progress.Begin("writing normal map");
        const Image image = RenderNormalMap(mesh);
        WriteFileAtomically(*options.normalMap, [&](std::ostream& file) { WritePng(image, file); });
        progress.End();
        out << fmt::format("wrote {}: {}x{} normal map\n", options.normalMap->string(), image.width, image.height);
    }
    if (options.preview) {
        progress.Begin("writing preview");
        const Image image = RenderPreview(mesh, options.light);
        WriteFileAtomically(*options.preview, [&](std::ostream& file) { WritePng(image, file); });
        progress.End();
        out << fmt::format("wrote {}: {}x{} preview\n", options.preview->string(), image.width, image.height);
    }
    report.writeSeconds = SecondsSince(writeStart);

    if (!options.output)
        out << fmt::format("{} of {} cells kept\n", mesh.keptCellCount(), mesh.cellCount());
    if (options.stats) {
        const int64_t points = static_cast<int64_t>(map.width) * map.height;
        out << fmt::format("grid:       {} x {} ({} points, {} cells)\n", map.width, map.height, points, mesh.cellCount());
        out << fmt::format("vertices:   {} computed, {} written\n", points, mesh.vertexCount());
        out << fmt::format("triangles:  {} kept ({} of {} cells)\n", mesh.triangleCount(), mesh.keptCellCount(),
                           mesh.cellCount());
        out << fmt::format("job:        {:.3f} ms{} ({:.1f} M vertices/s)\n", report.jobSeconds * 1e3,
                           threadCount > 0 ? fmt::format(" on {} threads", threadCount) : std::string(),
                           report.jobSeconds > 0.0 ? points / report.jobSeconds / 1e6 : 0.0);
        out << fmt::format("I/O:        {:.3f} ms (read {:.3f} ms, write {:.3f} ms)\n",
                           (report.readSeconds + report.writeSeconds) * 1e3, report.readSeconds * 1e3,
                           report.writeSeconds * 1e3);
        if (!options.input) out << fmt::format("terrain:    {:.3f} ms to make\n", report.generateSeconds * 1e3);
    }
    return report;
}

}  // namespace heightmesh::tool
