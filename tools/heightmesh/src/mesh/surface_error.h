// The error of a simplified surface, measured at every grid point of the kept
// cells against the triangles over it.
#pragma once

#include <cstdint>
#include <span>

#include "common/cell_mask_view.h"

namespace heightmesh::tool {

struct SurfaceError {
    double max = 0.0;
    double rms = 0.0;
    int64_t points = 0;     // grid points of kept cells measured
    int64_t uncovered = 0;  // of those, points no triangle covers (counted as infinite error)
};

// Measures, at every corner of every kept cell, the vertical distance between
// its height (as in SimplifyRequest) and the surface of the triangles (job
// vertex indices, three per triangle) over it. The grid is measured in bands
// of whole rows of about `bandPoints` points, which bound the memory it takes;
// every band size gives the same figures.
SurfaceError MeasureSurfaceError(std::span<const float> heights, CellMaskView cellMask, int32_t width, int32_t height,
                                 std::span<const int32_t> sourceVertices, std::span<const uint32_t> indices,
                                 int64_t bandPoints = int64_t{1} << 20);

}  // namespace heightmesh::tool
