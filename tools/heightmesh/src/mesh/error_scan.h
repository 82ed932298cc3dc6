// The simplifier's error scans: a triangle's worst grid point over a tile's
// heights, in SSE2, AVX2 or AVX-512 lanes chosen for the processor at run
// time. Every width finds the same point with the same error.
#pragma once

#include <algorithm>
#include <cstdint>
#include <span>
#include <vector>

#include "mesh/region_cover.h"
#include "mesh/tin_geometry.h"

namespace heightmesh::tool::tin {

// A tile's heights, copied with a row stride of an odd number of cache lines
// so that the rows of a triangle fall into different cache sets (a power of
// two stride puts them all into a few).
class TileHeights {
public:
    TileHeights(std::span<const float> heights, int64_t width, const CellRect& tile)
        : column0_(tile.column0), row0_(tile.row0)
    {
        const int64_t columns = tile.column1 - tile.column0 + 1, rows = tile.row1 - tile.row0 + 1;
        stride_ = (columns + 15) / 16 * 16;
        if (stride_ / 16 % 2 == 0)
            stride_ += 16;
        data_.resize(static_cast<std::size_t>(stride_ * rows));
        for (int64_t r = 0; r < rows; ++r)
            std::copy_n(heights.data() + (r + row0_) * width + column0_, columns, data_.data() + r * stride_);
    }
    // Row y, indexed by column - column0().
    const float* Row(int64_t y) const { return data_.data() + (y - row0_) * stride_; }
    float At(const Corner& v) const { return Row(v.p.y)[v.p.x - column0_]; }
    int64_t column0() const { return column0_; }

private:
    int64_t column0_, row0_, stride_ = 0;
    std::vector<float> data_;
};

// What a triangle's scan leaves out: grid points on a locked border.
struct Locked {
    int64_t rows[2], columns[2];
};

struct Worst {
    double error;
    int32_t point;  // -1: none
};

// The worst grid point of the triangle (a, b, c) with its error; the point
// is a grid index (row * width + column).
using TriangleScan = Worst (*)(Corner, Corner, Corner, const TileHeights&, int64_t, const Locked&);

// The scan of `lanes` lanes (0: the widest this processor runs), narrower
// when the processor lacks it; every one finds the same point.
TriangleScan ChooseTriangleScan(unsigned lanes);

}  // namespace heightmesh::tool::tin
