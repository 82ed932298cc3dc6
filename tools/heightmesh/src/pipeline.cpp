#include "pipeline.h"

#include <sys/resource.h>
#include <sys/stat.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <system_error>

#include <fmt/format.h>

#include "cell_mask.h"
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

}  // namespace

RunReport RunTool(const Options& options, const Mesher& mesher, std::ostream& out, ProgressLine& progress,
                  unsigned threadCount) {
    CheckRequest(options);
    RunReport report;

    // Heights.
    Heightmap map;
    std::string mapName;
    if (options.input) {
        const Stage stage(report, "read");
        const Clock::time_point start = Clock::now();
        progress.Begin("reading");
        map = ReadHeightmap(*options.input, options.size);
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
    if (options.mask) {
        const Stage stage(report, "read mask");
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
    const unsigned threads = options.threads;
    const Clock::time_point jobStart = Clock::now();
    progress.Begin("meshing");
    MeshData data = mesher(request, [&](double f) { progress.Update(f); });
    report.jobSeconds = SecondsSince(jobStart);
    report.stages.emplace_back("job", report.jobSeconds);
    const Clock::time_point checkStart = Clock::now();
    const KeptMesh mesh(data, map.width, map.height, threads);
    report.stages.emplace_back("check", SecondsSince(checkStart));
    progress.End();
    report.verticesWritten = mesh.vertexCount();
    report.trianglesKept = mesh.triangleCount();
    report.cellsKept = mesh.keptCellCount();

    // Files.
    const Clock::time_point writeStart = Clock::now();
    if (options.output) {
        if (mesh.triangleCount() == 0)
            throw ToolError(fmt::format("every cell of {} is masked: there is no mesh to write to {}", mapName,
                                        Quoted(*options.output)));
        const Stage stage(report, "write mesh");
        progress.Begin("writing mesh");
        WriteOutput(*options.output, progress, [&](std::ostream& file, const std::function<void(double)>& update) {
            MeshWriteOptions writeOptions;
            writeOptions.asciiStl = options.asciiStl;
            writeOptions.threads = threads;
            writeOptions.progress = update;
            WriteMesh(mesh, MeshFormatFromPath(*options.output), file, writeOptions);
        });
        progress.End();
        out << fmt::format("wrote {}: {} vertices, {} triangles ({} of {} cells kept)\n", options.output->string(),
                           mesh.vertexCount(), mesh.triangleCount(), mesh.keptCellCount(), mesh.cellCount());
    }
    if (options.normalMap) {
        const Stage stage(report, "normal map");
        progress.Begin("writing normal map");
        const Image image = RenderNormalMap(mesh, threads);
        WriteOutput(*options.normalMap, progress,
                    [&](std::ostream& file, const std::function<void(double)>& update) { WritePng(image, file, threads, update); });
        progress.End();
        out << fmt::format("wrote {}: {}x{} normal map\n", options.normalMap->string(), image.width, image.height);
    }
    if (options.preview) {
        const Stage stage(report, "preview");
        progress.Begin("writing preview");
        const Image image = RenderPreview(mesh, options.light, threads);
        WriteOutput(*options.preview, progress,
                    [&](std::ostream& file, const std::function<void(double)>& update) { WritePng(image, file, threads, update); });
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
        std::string stages;
        for (const auto& [name, seconds] : report.stages)
            stages += fmt::format("{}{} {:.3f} ms", stages.empty() ? "" : ", ", name, seconds * 1e3);
        out << fmt::format("stages:     {}\n", stages);
        out << fmt::format("memory:     {:.1f} MB peak\n", PeakMemoryBytes() / 1e6);
    }
    return report;
}

}  // namespace heightmesh::tool
