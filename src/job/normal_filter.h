// The surface normal of the height grid at one grid point: a 3 x 3 Sobel
// filter over the neighbouring heights (clamped onto the grid's edges), with
// the constant 8 as the unnormalised y component, scaled to unit length.
#pragma once

#include <stdint.h>

#include "job/buffer_view.h"
#include "job/wrapping.h"

namespace heightmesh {

// max(0, min(v, n - 1)): the minimum first, so a grid of n <= 0 points gives 0.
constexpr int32_t ClampToGrid(int32_t v, int32_t n)
{
    const int32_t last = WrapSub(n, 1);
    const int32_t upper = v < last ? v : last;
    return upper > 0 ? upper : 0;
}

// Where a grid point lies across its row: anywhere, or strictly between the
// first and the last column, where no neighbour column needs clamping.
enum class Columns { kAny, kInterior };

// The grid points the filter reads around (x, z): the columns x - 1, x, x + 1
// and the rows z - 1, z, z + 1, clamped onto the grid, the rows as the index
// of their first point (row x width). The row starts are kept exact in 64
// bits; an element's index is rowStart + column, and the 32-bit index the
// host's arithmetic gives is its low half (ElementIndex32).
struct FilterTaps {
    int32_t left, centreColumn, right;
    int64_t below, centreRow, above;
};

template <Columns kColumns = Columns::kAny>
[[gnu::always_inline]] inline FilterTaps FilterTapsAt(int32_t x, int32_t z, int32_t width, int32_t height)
{
    const bool interior = kColumns == Columns::kInterior;
    FilterTaps taps;
    taps.left = interior ? WrapSub(x, 1) : ClampToGrid(WrapSub(x, 1), width);
    taps.centreColumn = interior ? x : ClampToGrid(x, width);
    taps.right = interior ? WrapAdd(x, 1) : ClampToGrid(WrapAdd(x, 1), width);
    taps.below = int64_t(ClampToGrid(WrapSub(z, 1), height)) * width;
    taps.centreRow = int64_t(ClampToGrid(z, height)) * width;
    taps.above = int64_t(ClampToGrid(WrapAdd(z, 1), height)) * width;
    return taps;
}

// column + rowStart in the host's wrapping 32-bit arithmetic.
constexpr int32_t ElementIndex32(int64_t index) { return static_cast<int32_t>(static_cast<uint32_t>(index)); }

// The Sobel normal from twelve reads of heights, in a fixed order (it decides
// which failure is reported first): the x gradient's columns x - 1 and x + 1,
// rows z - 1, z, z + 1; then the z gradient's rows z - 1 and z + 1, columns
// x - 1, x, x + 1. The corners are read twice and the centre never. Each read
// is a full checked read unless kRangeKnown says that all twelve indices were
// already found in range; the safety check is made at every read either way.
template <bool kRangeKnown>
[[gnu::always_inline]] inline Float3 SobelNormal(const BufferView& heights, const FilterTaps& taps, Float3 scale)
{
    // Each sample is scaled on its own before weighting; the weights 1 and 2
    // are exact, and the running sum is rounded after every addition.
    auto sample = [&](int32_t column, int64_t rowStart) {
        float h;
        if constexpr (kRangeKnown)
            h = ReadInRange<float>(heights, rowStart + column);  // in range, so the exact index fits 32 bits
        else
            h = ReadChecked<float>(heights, ElementIndex32(rowStart + column));
        return h * scale.y;
    };

    // The Sobel gradients.
    float gx = -sample(taps.left, taps.below);
    gx = gx + -2.0f * sample(taps.left, taps.centreRow);
    gx = gx + -sample(taps.left, taps.above);
    gx = gx + sample(taps.right, taps.below);
    gx = gx + 2.0f * sample(taps.right, taps.centreRow);
    gx = gx + sample(taps.right, taps.above);

    float gz = -sample(taps.left, taps.below);
    gz = gz + -2.0f * sample(taps.centreColumn, taps.below);
    gz = gz + -sample(taps.right, taps.below);
    gz = gz + sample(taps.left, taps.above);
    gz = gz + 2.0f * sample(taps.centreColumn, taps.above);
    gz = gz + sample(taps.right, taps.above);

    // The unnormalised normal: the negated gradients over the grid spacing.
    const float nx = -gx / scale.x;
    const float nz = -gz / scale.z;

    // The unit normal: a correctly rounded square root and division.
    const float lengthSquared = (nx * nx + 64.0f) + nz * nz;
    const float inverseLength = 1.0f / __builtin_sqrtf(lengthSquared);
    return Float3{nx * inverseLength, 8.0f * inverseLength, nz * inverseLength};
}

// The normal at grid point (x, z), with neighbours clamped onto the grid.
// kRangeKnown: the caller has found every index the filter reads allowed.
template <bool kRangeKnown, Columns kColumns = Columns::kAny>
[[gnu::always_inline]] inline Float3 ComputeNormalAt(const BufferView& heights, int32_t x, int32_t z, int32_t width,
                                                     int32_t height, Float3 scale)
{
    return SobelNormal<kRangeKnown>(heights, FilterTapsAt<kColumns>(x, z, width, height), scale);
}

// The normal at grid point (x, z) with twelve fully checked reads. `heights`
// is the filter's own copy: all twelve range checks use the allowed range the
// view had at the call.
inline Float3 ComputeNormal(BufferView heights, int32_t x, int32_t z, int32_t width, int32_t height, Float3 scale)
{
    return ComputeNormalAt<false>(heights, x, z, width, height, scale);
}

}  // namespace heightmesh
