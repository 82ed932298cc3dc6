// Which cells of a grid are kept: bit 0 of a byte per cell, row by row, or
// every cell, with no byte held for each. Most elevation models have no hole,
// and their mask would otherwise be a byte of ones per grid point.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace heightmesh::tool {

class CellMaskView {
public:
    CellMaskView() = default;
    // A mask of bytes: the cells kept are those whose bit 0 is set.
    CellMaskView(std::span<const uint8_t> bytes) : bytes_(bytes), cells_(bytes.size()) {}
    CellMaskView(const std::vector<uint8_t>& bytes) : CellMaskView(std::span<const uint8_t>(bytes)) {}

    // `cells` cells, every one kept.
    static CellMaskView EveryCell(std::size_t cells)
    {
        CellMaskView view;
        view.cells_ = cells;
        view.everyCell_ = true;
        return view;
    }

    std::size_t size() const noexcept { return cells_; }
    bool everyCell() const noexcept { return everyCell_; }
    bool Kept(std::size_t cell) const noexcept { return everyCell_ || (bytes_[cell] & 1); }
    // The bytes of a mask of bytes (none for EveryCell).
    std::span<const uint8_t> bytes() const noexcept { return bytes_; }

    // Cells [first, first + count) as bytes: the mask's own, or as many ones
    // from `ones`, a buffer kept for this that holds nothing but ones.
    std::span<const uint8_t> Bytes(std::size_t first, std::size_t count, std::vector<uint8_t>& ones) const
    {
        if (!everyCell_)
            return bytes_.subspan(first, count);
        if (ones.size() < count)
            ones.assign(count, 1);
        return std::span<const uint8_t>(ones).first(count);
    }

private:
    std::span<const uint8_t> bytes_;
    std::size_t cells_ = 0;
    bool everyCell_ = false;
};

}  // namespace heightmesh::tool
