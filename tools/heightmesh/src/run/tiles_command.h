// `heightmesh tiles`: a quantized-mesh tileset from a raster.
#pragma once

#include <optional>
#include <ostream>

#include "common/progress.h"
#include "tiles/pyramid.h"

namespace heightmesh::tool {

// What a tiles command line asks for: the tileset's options, and which way
// of making it (a whole run, a plan, a shard or the merge).
struct TilesRequest {
    PyramidOptions options;
    void (*make)(const PyramidOptions&, std::ostream&, ProgressLine&) = nullptr;
};

// Parses the arguments after `tiles`. Returns nothing when --help was
// answered on `out`; throws UsageError for a command line it cannot act on.
// `environment` looks up the variables of `--shard slurm`.
std::optional<TilesRequest> ParseTilesCommand(int argc, const char* const* argv, std::ostream& out,
                                              const char* (*environment)(const char*) = nullptr);

// The whole command: parse, make, report. Returns the exit status.
int RunTilesCommand(int argc, const char* const* argv, std::ostream& out, ProgressLine& progress);

}  // namespace heightmesh::tool
