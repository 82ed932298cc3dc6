// The job's cell mask: one byte per grid cell, bit 0 set = the cell gets its
// two triangles.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "common/cell_mask_view.h"
#include "input/heightmap.h"

namespace heightmesh::tool {

struct MaskRules {
    const Heightmap* image = nullptr;  // a per-point mask of the heightmap's size, values 0..1
    float threshold = 0.5f;            // a point passes when its mask value is >= threshold
    bool invert = false;               // ... or, inverted, when it is below
    std::optional<float> cutBelow;     // a cell with any corner below this height is dropped
};

// A grid's cell mask as a run holds it: a byte per cell, or none when every
// cell is kept.
struct CellMask {
    std::vector<uint8_t> bytes;
    std::size_t cells = 0;
    bool everyCell = false;

    CellMaskView View() const { return everyCell ? CellMaskView::EveryCell(cells) : CellMaskView(bytes); }
};

// Cells are numbered column + row * (width - 1). A cell is kept when all four
// of its corners have a value, pass the mask image and are not below the cut.
// Throws ToolError when the mask image's size differs from the heightmap's.
CellMask BuildCellMask(const Heightmap& map, const MaskRules& rules, const std::string& maskName = {});

}  // namespace heightmesh::tool
