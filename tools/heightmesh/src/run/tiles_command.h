// `heightmesh tiles`: a quantized-mesh tileset from a raster.
#pragma once

#include <optional>
#include <ostream>

#include "common/progress.h"
#include "tiles/pyramid.h"

namespace heightmesh::tool {

// Parses the arguments after `tiles`. Returns no options when --help was
// answered on `out`; throws UsageError for a command line it cannot act on.
std::optional<PyramidOptions> ParseTilesCommand(int argc, const char* const* argv, std::ostream& out);

// The whole command: parse, make, report. Returns the exit status.
int RunTilesCommand(int argc, const char* const* argv, std::ostream& out, ProgressLine& progress);

}  // namespace heightmesh::tool
