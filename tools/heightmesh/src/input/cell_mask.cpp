#include "input/cell_mask.h"

#include <algorithm>

#include <fmt/format.h>

#include "common/tool_error.h"

namespace heightmesh::tool {

std::vector<uint8_t> BuildCellMask(const Heightmap& map, const MaskRules& rules, const std::string& maskName)
{
    if (rules.image && (rules.image->width != map.width || rules.image->height != map.height))
        throw ToolError(fmt::format("mask {} is {}x{}, but the heightmap is {}x{}", maskName, rules.image->width,
                                    rules.image->height, map.width, map.height));

    // First decide per point, then a cell keeps its triangles when all four
    // corners do.
    const std::size_t points = map.heights.size();
    std::vector<uint8_t> pointKept(points, 1);
    for (std::size_t i = 0; i < points; ++i) {
        bool keep = !(map.HasNoData() && map.noData[i]);
        if (keep && rules.image)
            keep = (rules.image->heights[i] >= rules.threshold) != rules.invert;
        if (keep && rules.cutBelow)
            keep = !(map.heights[i] < *rules.cutBelow);
        pointKept[i] = keep ? 1 : 0;
    }

    const std::size_t width = static_cast<std::size_t>(map.width);
    const std::size_t cellColumns = width - 1;
    const std::size_t cellRows = static_cast<std::size_t>(map.height) - 1;
    std::vector<uint8_t> cells(cellColumns * cellRows);
    for (std::size_t row = 0; row < cellRows; ++row) {
        for (std::size_t column = 0; column < cellColumns; ++column) {
            const std::size_t p = column + row * width;
            cells[column + row * cellColumns] =
                pointKept[p] & pointKept[p + 1] & pointKept[p + width] & pointKept[p + width + 1];
        }
    }
    return cells;
}

}  // namespace heightmesh::tool
