// The job's grid as cells: which points are corners of kept cells, the two
// triangles a kept cell gets, and the survey of a cell mask that tells how
// many written vertices and kept cells come before each row.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <span>
#include <vector>

#include "common/cell_mask_view.h"
#include "common/parallel.h"
#include "heightmesh/job_abi.h"

namespace heightmesh::tool {

// The six triangle entries the job writes for a kept cell whose lower-left
// corner is grid point p of a grid `width` points wide.
inline std::array<int32_t, 6> JobCellTriangles(int64_t p, int32_t width)
{
    std::array<int32_t, 6> entries;
    HeightmeshCellTriangles(static_cast<int32_t>(p), width, entries.data());
    return entries;
}

// The same entries as offsets from the cell's corner, for loops over many
// cells: entry k of the cell at p is p + offsets[k].
using CellOffsets = std::array<int32_t, 6>;
inline CellOffsets JobCellOffsets(int32_t width) { return JobCellTriangles(0, width); }

// Whether the six entries at `entries` are the job's own two triangles of
// the cell whose corner is p.
inline bool HoldsOwnTriangles(const int32_t* entries, int64_t p, const CellOffsets& offsets)
{
    for (std::size_t k = 0; k < 6; ++k)
        if (entries[k] != p + offsets[k])
            return false;
    return true;
}

// flags[x] = 1 when point x of row z is a corner of some kept cell (bit 0
// of its mask entry set), else 0; flags holds `width` entries.
void KeptCornersOfRow(CellMaskView cellMask, int32_t width, int32_t height, int32_t z, std::span<uint8_t> flags);

// Kept cells of cell row z (bit 0 of the mask entry set).
int64_t KeptCellsOfRow(CellMaskView cellMask, int32_t width, int32_t z);

// Where each row's written vertices and kept cells start, in job order: a
// written vertex is a corner of some kept cell.
struct MaskSurvey {
    std::vector<int64_t> vertexStart;  // height + 1 entries: written vertices before row z
    std::vector<int64_t> cellStart;    // height entries: kept cells before cell row z
    int64_t cells = 0;                 // (width - 1) * (height - 1)

    int64_t vertices() const noexcept { return vertexStart.back(); }
    int64_t keptCells() const noexcept { return cellStart.back(); }
    bool everyCellKept() const noexcept { return keptCells() == cells; }
};

// Surveys a mask of a grid at least 2 x 2 on `threads` threads, calling
// visitRow(parts[part], z, corners) with each row's KeptCornersOfRow flags
// when `visitRows` is set, row by row in order within each part; parts are
// contiguous runs of rows, in order, so that folding them part by part is
// folding them in job order.
template <class Part, class Visit>
MaskSurvey SurveyMask(CellMaskView cellMask, int32_t width, int32_t height, std::vector<Part>& parts, bool visitRows,
                      Visit&& visitRow)
{
    MaskSurvey survey;
    survey.cells = int64_t{width - 1} * (height - 1);
    survey.vertexStart.assign(static_cast<std::size_t>(height) + 1, 0);
    survey.cellStart.assign(static_cast<std::size_t>(height), 0);
    ParallelRanges(
        height, static_cast<unsigned>(parts.size()),
        [&](int64_t begin, int64_t end, unsigned part) {
            std::vector<uint8_t> corners(static_cast<std::size_t>(width));
            for (int64_t z = begin; z < end; ++z) {
                KeptCornersOfRow(cellMask, width, height, static_cast<int32_t>(z), corners);
                survey.vertexStart[static_cast<std::size_t>(z) + 1] = std::count(corners.begin(), corners.end(), 1);
                if (visitRows)
                    visitRow(parts[part], static_cast<int32_t>(z), std::span<const uint8_t>(corners));
                if (z + 1 < height)
                    survey.cellStart[static_cast<std::size_t>(z) + 1] =
                        KeptCellsOfRow(cellMask, width, static_cast<int32_t>(z));
            }
        },
        16);
    for (std::size_t z = 1; z < survey.vertexStart.size(); ++z)
        survey.vertexStart[z] += survey.vertexStart[z - 1];
    for (std::size_t z = 1; z < survey.cellStart.size(); ++z)
        survey.cellStart[z] += survey.cellStart[z - 1];
    return survey;
}

}  // namespace heightmesh::tool
