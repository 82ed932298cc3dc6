// The whole run of the tool, from the command line's options to the files,
// with the job itself passed in.
#pragma once

#include <cstdint>
#include <functional>
#include <ostream>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "mesh/mesh.h"
#include "run/options.h"
#include "common/progress.h"

namespace heightmesh::tool {

// One run of the heightfield mesh job.
struct MeshRequest {
    std::span<const float> heights;     // width * height
    std::span<const uint8_t> cellMask;  // (width - 1) * (height - 1), bit 0 = keep
    int32_t width = 0;
    int32_t height = 0;
    HeightmeshFloat3 scale{1.0f, 1.0f, 1.0f};
    int32_t batchSize = 0;
};

// Runs the job; reports progress (0..1) on the calling thread.
using Mesher = std::function<MeshData(const MeshRequest&, const std::function<void(double)>& progress)>;

// Runs the job over grid rows [rowBegin, rowEnd) only, into the band's
// buffers (sized as jobhost::HeightfieldMeshBand describes), writing there
// exactly what a full run writes; reports progress (0..1) of the band.
using BandMesher = std::function<void(const MeshRequest&, int32_t rowBegin, int32_t rowEnd,
                                      const jobhost::HeightfieldMeshBand& band,
                                      const std::function<void(double)>& progress)>;

struct RunReport {
    int32_t width = 0;
    int32_t height = 0;
    int64_t verticesWritten = 0;
    int64_t trianglesKept = 0;
    int64_t cellsKept = 0;
    double jobSeconds = 0.0;
    double readSeconds = 0.0;
    double writeSeconds = 0.0;
    double generateSeconds = 0.0;
    // Each stage that ran, in order, with its wall time in seconds.
    std::vector<std::pair<std::string, double>> stages;
};

// Checks the options, reads or makes the heights, builds the cell mask, runs
// the mesher and writes every requested file, telling `out` what was written
// (and the statistics when asked). Throws ToolError (or the mesher's own
// exceptions) on failure; files already complete stay, none is left partial.
//
// With a band mesher, a shaped mesh (simplified, solid or GPU-ordered) that
// no picture needs the full outputs for is made without them: the surface is
// shaped from the heights, then the job runs band by band and only the
// vertices the file holds are kept; the files are the same byte for byte.
RunReport RunTool(const Options& options, const Mesher& mesher, std::ostream& out, ProgressLine& progress,
                  unsigned threadCount = 0, const BandMesher& bandMesher = {});

}  // namespace heightmesh::tool
