// The three roads a run's mesh can take, one function each, all returning
// one result: what the writers and the report need of the mesh.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "common/progress.h"
#include "mesh/indexed_mesh.h"
#include "mesh/mesh.h"
#include "mesh/mesh_request.h"
#include "mesh/shape.h"
#include "run/options.h"
#include "run/road.h"

namespace heightmesh::tool {

// What a road made. The full road holds the job's outputs and the kept view
// of them; the banded road the values of the vertices its mesh uses; either
// may hold a shaped mesh; the streamed road has written the mesh file.
struct MeshedGrid {
    MeshRoad road = MeshRoad::kFull;
    MeshCounts counts;  // of the job's own mesh
    double jobSeconds = 0.0;
    std::unique_ptr<MeshData> data;
    std::optional<KeptMesh> kept;
    std::unique_ptr<GatheredVertices> gathered;
    ShapedMesh shaped;
};

struct RoadInput {
    const Options& options;
    const Meshers& meshers;
    const MeshRequest& request;
    ShapeOptions shape;
    ProgressLine& progress;
    StageTimes& stages;
};

// Each road makes the mesh, or declines, having done nothing the caller
// sees, and says why in `declined`; the full road never declines.
std::optional<MeshedGrid> MeshFull(const RoadInput& input, std::string& declined);
std::optional<MeshedGrid> MeshBanded(const RoadInput& input, std::string& declined);
std::optional<MeshedGrid> MeshStreamed(const RoadInput& input, std::string& declined);

using RoadFunction = std::optional<MeshedGrid> (*)(const RoadInput& input, std::string& declined);
RoadFunction RoadFunctionOf(MeshRoad road);

// The zUp a mesh file gets: --up when given, else z for STL and solids.
bool WritesZUp(const Options& options);

}  // namespace heightmesh::tool
