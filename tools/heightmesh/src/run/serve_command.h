// `heightmesh serve`: a tileset on 127.0.0.1, with a viewer page.
#pragma once

#include <ostream>

#include "common/progress.h"

namespace heightmesh::tool {

// Parses the arguments after `serve` and serves until the process is
// stopped; returns the exit status (0 after --help).
int RunServeCommand(int argc, const char* const* argv, std::ostream& out, ProgressLine& progress);

}  // namespace heightmesh::tool
