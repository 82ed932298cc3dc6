// Shaped meshes: simplified, solid or GPU-ordered, made either from the
// job's full outputs or without them (the surface shaped from the heights'
// y values, then the job run band by band keeping only the vertices the
// mesh uses); both give the same mesh bit for bit.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "common/progress.h"
#include "mesh/indexed_mesh.h"
#include "mesh/mesh.h"
#include "mesh/mesh_request.h"
#include "mesh/surface_error.h"

namespace heightmesh::tool {

struct ShapeOptions {
    std::optional<double> maxError;         // vertical bound, in the output's height units
    std::optional<double> maxErrorPercent;  // ... or in percent of the kept heights' range
    int64_t maxTriangles = 0;               // 0: no budget
    std::optional<float> base;              // depth of a solid's bottom below the lowest height
    bool gpuOrder = false;                  // order a full-resolution mesh for the GPU too
    bool measureError = false;              // measure a simplified surface's error at every grid point
    unsigned threads = 0;                   // 0: every core

    bool Simplifies() const { return maxError || maxErrorPercent || maxTriangles > 0; }
    bool Shapes() const { return Simplifies() || base || gpuOrder; }
};

// What the job's triangles make of the grid: KeptMesh's counts, or the same
// worked out from the mask when the full outputs never exist.
struct MeshCounts {
    int64_t cells = 0;
    int64_t keptCells = 0;
    int64_t triangles = 0;
    int64_t vertices = 0;  // grid points some kept triangle uses
};

inline MeshCounts CountsOf(const KeptMesh& mesh)
{
    return {mesh.cellCount(), mesh.keptCellCount(), mesh.triangleCount(), mesh.vertexCount()};
}

// A simplified surface's size and error, for the run's report.
struct SimplifiedSummary {
    int64_t gridTriangles = 0;  // the full-resolution mesh's
    int64_t triangles = 0;      // the simplified surface's, before any base
    int64_t vertices = 0;
    double seconds = 0.0;
    std::optional<SurfaceError> error;  // when measured
};

// A shaped mesh and what the run reports of it.
struct ShapedMesh {
    std::optional<IndexedMesh> mesh;
    std::optional<SimplifiedSummary> simplified;
};

// The mesh shaped from the job's full outputs; no mesh when nothing is
// asked of shaping or no cell is kept.
ShapedMesh ShapeMesh(const ShapeOptions& options, const MeshData& data, const KeptMesh& kept, CellMaskView cellMask);

// The same mesh made without the full outputs: its vertices' values come
// from the job's runs over bands of rows into `gathered`, which must outlive
// it. Returns a reason instead, having done nothing the caller sees, when
// the full outputs are needed after all (no kept cell, a kept y that is not
// finite: their report comes from the full road).
struct BandedShape {
    ShapedMesh shaped;
    MeshCounts counts;
    double jobSeconds = 0.0;
    std::string declined;  // why the full outputs are needed; empty when shaped
};
BandedShape ShapeInBands(const ShapeOptions& options, const MeshRequest& request, const BandMesher& bandMesher,
                         GatheredVertices& gathered, ProgressLine& progress, StageTimes& stages);

}  // namespace heightmesh::tool
