#include "run/roads.h"

#include "output/mesh_writers.h"
#include "output/streamed_mesh.h"

namespace heightmesh::tool {

bool WritesZUp(const Options& options)
{
    if (options.up)
        return *options.up == 'z';
    return (options.output && MeshFormatFromPath(*options.output) == MeshFormat::Stl) || options.base.has_value();
}

std::optional<MeshedGrid> MeshFull(const RoadInput& input, std::string&)
{
    MeshedGrid meshed;
    meshed.road = MeshRoad::kFull;
    const Clock::time_point jobStart = Clock::now();
    input.progress.Begin("meshing");
    meshed.data =
        std::make_unique<MeshData>(input.meshers.full(input.request, [&](double f) { input.progress.Update(f); }));
    meshed.jobSeconds = SecondsSince(jobStart);
    input.stages.emplace_back("job", meshed.jobSeconds);
    const Clock::time_point checkStart = Clock::now();
    meshed.kept.emplace(*meshed.data, input.request.width, input.request.height, input.options.threads);
    input.stages.emplace_back("check", SecondsSince(checkStart));
    input.progress.End();
    meshed.counts = CountsOf(*meshed.kept);
    if (input.shape.Shapes()) {
        const Clock::time_point shapeStart = Clock::now();
        input.progress.Begin(input.shape.Simplifies() ? "simplifying" : "shaping");
        meshed.shaped = ShapeMesh(input.shape, *meshed.data, *meshed.kept, input.request.cellMask);
        input.progress.End();
        input.stages.emplace_back(input.shape.Simplifies() ? "simplify" : "shape", SecondsSince(shapeStart));
    }
    return meshed;
}

std::optional<MeshedGrid> MeshBanded(const RoadInput& input, std::string& declined)
{
    MeshedGrid meshed;
    meshed.road = MeshRoad::kBanded;
    meshed.gathered = std::make_unique<GatheredVertices>();
    BandedShape banded =
        ShapeInBands(input.shape, input.request, input.meshers.bands, *meshed.gathered, input.progress, input.stages);
    if (!banded.declined.empty()) {
        declined = std::move(banded.declined);
        return std::nullopt;
    }
    meshed.counts = banded.counts;
    meshed.jobSeconds = banded.jobSeconds;
    meshed.shaped = std::move(banded.shaped);
    return meshed;
}

std::optional<MeshedGrid> MeshStreamed(const RoadInput& input, std::string& declined)
{
    const Options& options = input.options;
    StreamedMeshFile file;
    // Without a mesh file the bands run as for a .ply (which any size fits),
    // and nothing is written.
    file.path = options.output ? *options.output : std::filesystem::path();
    file.format = options.output ? MeshFormatFromPath(*options.output) : MeshFormat::Ply;
    file.zUp = WritesZUp(options);
    file.threads = options.threads;
    StreamedMeshReport report;
    const Clock::time_point start = Clock::now();
    if (!StreamMeshFile(input.request, input.meshers.bands, file, input.progress, report)) {
        declined = std::move(report.declined);
        return std::nullopt;
    }
    input.stages.emplace_back(options.output ? "job and write mesh" : "job", SecondsSince(start));
    MeshedGrid meshed;
    meshed.road = MeshRoad::kStreamed;
    meshed.jobSeconds = report.jobSeconds;
    meshed.counts = {report.cells, report.keptCells, report.triangles, report.vertices};
    return meshed;
}

RoadFunction RoadFunctionOf(MeshRoad road)
{
    switch (road) {
    case MeshRoad::kBanded: return MeshBanded;
    case MeshRoad::kStreamed: return MeshStreamed;
    case MeshRoad::kFull: break;
    }
    return MeshFull;
}

}  // namespace heightmesh::tool
