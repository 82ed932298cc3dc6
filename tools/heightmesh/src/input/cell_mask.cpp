#include "input/cell_mask.h"

#include <algorithm>

#include <fmt/format.h>

#include "common/tool_error.h"

namespace heightmesh::tool {

CellMask BuildCellMask(const Heightmap& map, const MaskRules& rules, const std::string& maskName)
{
    if (rules.image && (rules.image->width != map.width || rules.image->height != map.height))
        throw ToolError(fmt::format("mask {} is {}x{}, but the heightmap is {}x{}", maskName, rules.image->width,
                                    rules.image->height, map.width, map.height));

    // First decide per point, a row at a time, then a cell keeps its
    // triangles when all four corners do.
    const std::size_t width = static_cast<std::size_t>(map.width);
    const auto decide = [&](std::size_t row, std::vector<uint8_t>& kept) {
        for (std::size_t x = 0; x < width; ++x) {
            const std::size_t i = row * width + x;
            bool keep = !(map.HasNoData() && map.noData[i]);
            if (keep && rules.image)
                keep = (rules.image->heights[i] >= rules.threshold) != rules.invert;
            if (keep && rules.cutBelow)
                keep = !(map.heights[i] < *rules.cutBelow);
            kept[x] = keep ? 1 : 0;
        }
    };
    const std::size_t cellColumns = width - 1;
    const std::size_t cellRows = static_cast<std::size_t>(map.height) - 1;
    CellMask mask;
    mask.cells = cellColumns * cellRows;
    // Without a rule or a point lacking data every cell is kept, as most
    // elevation models have it: no pass over the points, and no byte held.
    if (!map.HasNoData() && !rules.image && !rules.cutBelow) {
        mask.everyCell = true;
        return mask;
    }
    std::vector<uint8_t>& cells = mask.bytes;
    cells.resize(mask.cells);
    std::vector<uint8_t> above(width), below(width);
    if (cellRows > 0)
        decide(0, below);
    for (std::size_t row = 0; row < cellRows; ++row) {
        above.swap(below);
        decide(row + 1, below);
        for (std::size_t column = 0; column < cellColumns; ++column)
            cells[column + row * cellColumns] = above[column] & above[column + 1] & below[column] & below[column + 1];
    }
    return mask;
}

}  // namespace heightmesh::tool
