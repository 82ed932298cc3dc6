// The whole run of the tool, from the command line's options to the files,
// with the job itself passed in.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>

#include "common/progress.h"
#include "mesh/mesh_request.h"
#include "run/options.h"
#include "run/road.h"

namespace heightmesh::tool {

struct RunReport {
    int32_t width = 0;
    int32_t height = 0;
    int64_t verticesWritten = 0;  // of the job's own mesh (every kept cell)
    int64_t trianglesKept = 0;
    int64_t cellsKept = 0;
    double jobSeconds = 0.0;
    double readSeconds = 0.0;
    double writeSeconds = 0.0;
    double generateSeconds = 0.0;
    RoadPlan plan;                    // the road planned, and why
    MeshRoad road = MeshRoad::kFull;  // the road taken
    std::string declined;             // why the planned road gave way to the full road
    StageTimes stages;                // each stage that ran, in order, with its wall time
};

// Runs the stages plan -> read -> mesh -> write -> report: checks the
// request, plans the road and the memory it needs, reads or makes the
// heights and the cell mask, makes the mesh on the planned road (the full
// road when that one declines), writes every requested file and tells `out`
// what was written (and the statistics when asked). Throws ToolError (or
// the job's own exceptions) on failure; files already complete stay, none
// is left partial. `threadCount` is the job system's worker count.
RunReport RunTool(const Options& options, const Meshers& meshers, std::ostream& out, ProgressLine& progress,
                  unsigned threadCount = 0);

}  // namespace heightmesh::tool
