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

// The Sobel normal from twelve reads of heights, in a fixed order (it decides
// which failure is reported first): the x gradient's columns x - 1 and x + 1,
// rows z - 1, z, z + 1; then the z gradient's rows z - 1 and z + 1, columns
// x - 1, x, x + 1. The corners are read twice and the centre never. Each read
// is a full checked read unless kRangeKnown says that all twelve indices were
// already found in range; the safety check is made at every read either way.
template <bool kRangeKnown>
[[gnu::always_inline]] inline Float3 SobelNormal(const BufferView& heights, int32_t left, int32_t centreColumn,
                                                 int32_t right, int32_t below, int32_t centreRow, int32_t above,
                                                 Float3 scale)
{
    // Each sample is scaled on its own before weighting; the weights 1 and 2
    // are exact, and the running sum is rounded after every addition.
    auto sample = [&](int32_t column, int32_t rowStart) {
        float h;
        if constexpr (kRangeKnown)
            h = ReadInRange<float>(heights, int64_t(rowStart) + column);  // the row's start folds out of the loop
        else
            h = ReadChecked<float>(heights, WrapAdd(column, rowStart));
        return h * scale.y;
    };

    // The Sobel gradients.
    float gx = -sample(left, below);
    gx = gx + -2.0f * sample(left, centreRow);
    gx = gx + -sample(left, above);
    gx = gx + sample(right, below);
    gx = gx + 2.0f * sample(right, centreRow);
    gx = gx + sample(right, above);

    float gz = -sample(left, below);
    gz = gz + -2.0f * sample(centreColumn, below);
    gz = gz + -sample(right, below);
    gz = gz + sample(left, above);
    gz = gz + 2.0f * sample(centreColumn, above);
    gz = gz + sample(right, above);

    // The unnormalised normal: the negated gradients over the grid spacing.
    const float nx = -gx / scale.x;
    const float nz = -gz / scale.z;

    // The unit normal: a correctly rounded square root and division.
    const float lengthSquared = (nx * nx + 64.0f) + nz * nz;
    const float inverseLength = 1.0f / __builtin_sqrtf(lengthSquared);
    return Float3{nx * inverseLength, 8.0f * inverseLength, nz * inverseLength};
}

// Where a grid point lies across its row: anywhere, or strictly between the
// first and the last column, where no neighbour column needs clamping.
enum class Columns { kAny, kInterior };

// The normal at grid point (x, z), with neighbours clamped onto the grid.
// kRangeKnown: the caller has found every index the filter reads allowed.
template <bool kRangeKnown, Columns kColumns = Columns::kAny>
[[gnu::always_inline]] inline Float3 ComputeNormalAt(const BufferView& heights, int32_t x, int32_t z, int32_t width,
                                                     int32_t height, Float3 scale)
{
    const bool interior = kColumns == Columns::kInterior;
    const int32_t left = interior ? WrapSub(x, 1) : ClampToGrid(WrapSub(x, 1), width);
    const int32_t centreColumn = interior ? x : ClampToGrid(x, width);
    const int32_t right = interior ? WrapAdd(x, 1) : ClampToGrid(WrapAdd(x, 1), width);
    const int32_t below = WrapMul(ClampToGrid(WrapSub(z, 1), height), width);
    const int32_t centreRow = WrapMul(ClampToGrid(z, height), width);
    const int32_t above = WrapMul(ClampToGrid(WrapAdd(z, 1), height), width);
    return SobelNormal<kRangeKnown>(heights, left, centreColumn, right, below, centreRow, above, scale);
}

// The normal at grid point (x, z) with twelve fully checked reads. `heights`
// is the filter's own copy: all twelve range checks use the allowed range the
// view had at the call.
inline Float3 ComputeNormal(BufferView heights, int32_t x, int32_t z, int32_t width, int32_t height, Float3 scale)
{
    return ComputeNormalAt<false>(heights, x, z, width, height, scale);
}

}  // namespace heightmesh
