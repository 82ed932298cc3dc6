#include "run/road.h"

#include "output/mesh_writers.h"
#include "output/streamed_mesh.h"

namespace heightmesh::tool {

RoadPlan PlanRoad(const Options& options, bool bandMeshing)
{
    if (!bandMeshing)
        return {MeshRoad::kFull, "the job runs over the whole grid only"};
    if (options.normalMap || options.preview)
        return {MeshRoad::kFull, "a picture reads every vertex"};
    if (options.Shapes())
        return {MeshRoad::kBanded, "a shaped mesh is made from the heights, then the job runs in bands"};
    if (!options.output)
        return {MeshRoad::kStreamed, "no mesh file: the job runs band by band as for a binary file"};
    if (!StreamsFormat(MeshFormatFromPath(*options.output), options.asciiStl))
        return {MeshRoad::kFull, "a text format is written from the full outputs"};
    return {MeshRoad::kStreamed, "a binary file written band by band as the job makes it"};
}

const char* RoadName(MeshRoad road)
{
    switch (road) {
    case MeshRoad::kFull: return "full";
    case MeshRoad::kBanded: return "banded";
    case MeshRoad::kStreamed: return "streamed";
    }
    return "full";
}

}  // namespace heightmesh::tool
