// A binary mesh file written band by band while the job makes the mesh: the
// job runs over a few rows at a time into small buffers it reuses, and each
// band's bytes go straight to their place in the file while the next band
// is meshed. The job's full outputs never exist, and the file is the one
// the whole-mesh writers make from them, byte for byte.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

#include "common/progress.h"
#include "mesh/mesh_request.h"
#include "output/mesh_writers.h"

namespace heightmesh::tool {

// Whether a file of this format can be written band by band: .glb, .ply
// and binary .stl, whose records all have fixed sizes (so that where each
// band's bytes go follows from the cell mask alone).
bool StreamsFormat(MeshFormat format, bool asciiStl);

struct StreamedMeshFile {
    std::filesystem::path path;  // empty: no file, the bands checked and packed alone
    MeshFormat format = MeshFormat::Glb;
    bool zUp = false;      // positions and normals turned z-up as they are written
    unsigned threads = 0;  // for the checks before the bands (0: every core)
};

struct StreamedMeshReport {
    double jobSeconds = 0.0;  // the band runs of the job alone
    int64_t vertices = 0;
    int64_t triangles = 0;
    int64_t keptCells = 0;
    int64_t cells = 0;
    std::string declined;  // why the full road must make the file, when it must
};

// Writes the mesh of the kept cells of `request` (and the vertices they
// use) to `file` band by band. Returns false, having left nothing behind
// and said why in report.declined, when the file must be made from the full
// outputs instead: no kept cell, a
// grid smaller than 2 x 2, or job output other than a correct job's for
// these heights (a written value that is not finite, triangles other than
// each kept cell's own two and none for a masked one, a failed job);
// the full road then makes the file or reports what is wrong as it always
// does. Throws ToolError when the file cannot be written.
bool StreamMeshFile(const MeshRequest& request, const BandMesher& bandMesher, const StreamedMeshFile& file,
                    ProgressLine& progress, StreamedMeshReport& report);

}  // namespace heightmesh::tool
