// How a run makes its mesh, decided once from the request before anything
// is read: the road chosen here sizes the memory estimate, runs the job and
// is named under --stats.
#pragma once

#include <string>

#include "run/options.h"

namespace heightmesh::tool {

enum class MeshRoad {
    kFull,      // the job's full outputs, then every file and picture from them
    kBanded,    // a shaped mesh: the surface shaped from the heights, then the job band by band
    kStreamed,  // a binary file of the job's own mesh written band by band as the job makes it
};

struct RoadPlan {
    MeshRoad road = MeshRoad::kFull;
    std::string reason;  // why this road, in a few words
};

// The road for `options`; without band meshing every run takes the full road.
RoadPlan PlanRoad(const Options& options, bool bandMeshing);

// "full", "banded" or "streamed".
const char* RoadName(MeshRoad road);

}  // namespace heightmesh::tool
