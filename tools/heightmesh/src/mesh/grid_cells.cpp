#include "mesh/grid_cells.h"

#include <algorithm>

namespace heightmesh::tool {

void KeptCornersOfRow(CellMaskView cellMask, int32_t width, int32_t height, int32_t z, std::span<uint8_t> flags)
{
    std::fill(flags.begin(), flags.end(), uint8_t{0});
    const std::size_t columns = static_cast<std::size_t>(width) - 1;
    if (width < 2)
        return;
    for (const int32_t r : {z - 1, z}) {
        if (r < 0 || r >= height - 1)
            continue;
        if (cellMask.everyCell()) {
            std::fill(flags.begin(), flags.end(), uint8_t{1});
            return;
        }
        // A corner is kept when the cell on either side of it is: a pass
        // without branches, over lanes.
        const uint8_t* m = cellMask.bytes().data() + static_cast<std::size_t>(r) * columns;
        uint8_t* f = flags.data();
        f[0] |= m[0] & 1;
        for (std::size_t c = 1; c < columns; ++c)
            f[c] |= (m[c - 1] | m[c]) & 1;
        f[columns] |= m[columns - 1] & 1;
    }
}

int64_t KeptCellsOfRow(CellMaskView cellMask, int32_t width, int32_t z)
{
    const std::size_t columns = static_cast<std::size_t>(width) - 1;
    if (cellMask.everyCell())
        return static_cast<int64_t>(columns);
    const uint8_t* m = cellMask.bytes().data() + static_cast<std::size_t>(z) * columns;
    int64_t kept = 0;
    for (std::size_t c = 0; c < columns; ++c)
        kept += m[c] & 1;
    return kept;
}

}  // namespace heightmesh::tool
