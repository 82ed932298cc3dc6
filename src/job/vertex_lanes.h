// The packed roads of the vertex kernel: four (SSE2) or eight (AVX2)
// consecutive vertices of a row at once, each lane computing exactly the scalar kernel's operations in the
// scalar kernel's order (products, sums, quotients and square roots are
// correctly rounded in packed form just as in scalar form), so every lane's
// bits equal the scalar result.
//
// Every access of every lane still loads its view's version word afresh; the
// group's comparisons are made before anything is stored, and the outputs
// are stored only when every comparison passed. A group that finds any
// doubt stores nothing and leaves its vertices to the exact road, which asks
// the host before each access concerned, in order.
#pragma once

#include <stdint.h>

#include "job/buffer_view.h"
#include "job/vertex_footprint.h"
#include "job/vertex_scalar.h"

namespace heightmesh {

// The packed code is written once for both widths. Its helpers are always
// inlined into the road's own function, which carries the instruction set
// (the AVX2 road's is compiled for AVX2, see vertex_lanes_avx2.h), so no
// 256-bit value ever crosses a call, and the ABI note GCC gives for such
// values in helpers compiled without AVX does not apply. GCC gives that note
// at the end of the translation unit, so it stays off from here on.
#pragma GCC diagnostic ignored "-Wpsabi"

inline constexpr int kLaneCount = 4;  // the SSE2 road's group

template <int kLanes>
struct Lanes {
    typedef float Float __attribute__((vector_size(4 * kLanes)));
    typedef int32_t Int __attribute__((vector_size(4 * kLanes)));
    typedef uint32_t Uint __attribute__((vector_size(4 * kLanes)));
};

typedef Lanes<4>::Float Float4;
typedef Lanes<4>::Int Int4;
typedef Lanes<4>::Uint Uint4;

template <typename Vector>
[[gnu::always_inline]] inline Vector LoadLanes(const void* at)
{
    Vector value;
    __builtin_memcpy(&value, at, sizeof value);
    return value;
}

template <typename Vector>
[[gnu::always_inline]] inline void StoreLanes(void* at, const Vector& value)
{
    __builtin_memcpy(at, &value, sizeof value);
}

// Every lane set to value. For floats the value minus zeros, which is the
// value itself in every lane, -0 included (adding it to zeros would turn -0
// into +0).
template <typename Vector, typename Scalar>
[[gnu::always_inline]] inline Vector Broadcast(Scalar value)
{
    if constexpr (static_cast<Scalar>(0.5) != 0)
        return value - Vector{};
    else
        return Vector{} + value;
}

// The quarter q (four lanes) of a vector.
template <int kQuarter, typename Vector>
[[gnu::always_inline]] inline auto Quarter(const Vector& value)
{
    typedef decltype(value[0] + 0) Element;
    typedef Element Part __attribute__((vector_size(16)));
    Part part;
    __builtin_memcpy(&part, reinterpret_cast<const char*>(&value) + 16 * kQuarter, sizeof part);
    return part;
}

// The correctly rounded square root of every lane (sqrtps / vsqrtps, which
// round exactly as sqrtss does). Clang checks an operand's size against the
// instruction set of the function it appears in, which for this helper is
// the baseline, so it takes the eight lanes as two halves; once inlined into
// the AVX2 road the compiler is free to join them again.
template <int kLanes>
[[gnu::always_inline]] inline typename Lanes<kLanes>::Float SquareRoot(const typename Lanes<kLanes>::Float& value)
{
    typename Lanes<kLanes>::Float root;
    if constexpr (kLanes == 4) {
        root = __builtin_ia32_sqrtps(value);
    } else {
#if defined(__clang__)
        const Float4 low = __builtin_ia32_sqrtps(Quarter<0>(value));
        const Float4 high = __builtin_ia32_sqrtps(Quarter<1>(value));
        root = __builtin_shufflevector(low, high, 0, 1, 2, 3, 4, 5, 6, 7);
#else
        asm("vsqrtps %1, %0" : "=x"(root) : "x"(value));
#endif
    }
    return root;
}

// Whether the version word still holds word: one aligned 32-bit load of the
// word, compared and branched on at once. This is the relaxed atomic load of
// LoadVersionWord as x86-64 makes it (a plain aligned load), written out so
// that the load folds into the comparison; each call is its own load, never
// merged with another or moved out of its loop.
[[gnu::always_inline]] inline bool VersionWordStill(const uint32_t* versionCell, uint32_t word)
{
    asm goto("cmpl %0, %1\n\tjne %l[changed]" : : "r"(word), "m"(*versionCell) : "cc" : changed);
    return true;
changed:
    return false;
}

// The safety comparisons of kAccesses accesses of one view, each loading the
// version word afresh. The first load is compared exactly, version ==
// (word & mask); every later one must load that same word again, which then
// passes too. A word that changed may still pass the exact comparison, but
// that is for the exact road to find out: false means doubt, not failure.
template <int kAccesses, uint32_t kMask>
[[gnu::always_inline]] inline bool VersionsMatch(const uint32_t* versionCell, uint32_t version)
{
    const uint32_t word = LoadVersionWord(versionCell);
    if ((word & kMask) != version)
        return false;
        // Clang cannot unroll a loop around asm goto and would report it; it
        // keeps the loop.
#if !defined(__clang__)
#pragma GCC unroll 64
#endif
    for (int k = 1; k < kAccesses; ++k)
        if (!VersionWordStill(versionCell, word))
            return false;
    return true;
}

// Whether the packed road is worth trying in this batch: a view whose
// version has a bit that its mask clears fails every comparison, and the
// exact road asks the host at each of its accesses.
inline bool VersionsFitMasks(const HeightfieldMeshJob& job)
{
    const uint32_t read = job.heights.safety.version | job.cellMask.safety.version;
    const uint32_t write = job.vertices.safety.version | job.uvs.safety.version | job.normals.safety.version |
                           job.triangles.safety.version;
    return (read & ~kReadVersionMask) == 0 && (write & ~kWriteVersionMask) == 0;
}

// Stores the triples (a[k], b[k], c[k]) of four lanes at twelve consecutive floats.
[[gnu::always_inline]] inline void StoreTriples(void* at, const Float4& a, const Float4& b, const Float4& c)
{
    const Float4 abLow = __builtin_shufflevector(a, b, 0, 4, 1, 5);   // a0 b0 a1 b1
    const Float4 abHigh = __builtin_shufflevector(a, b, 2, 6, 3, 7);  // a2 b2 a3 b3
    const Float4 middle = __builtin_shufflevector(abLow, c, 3, 5, 3, 5);
    float* out = static_cast<float*>(at);
    StoreLanes(out, Float4(__builtin_shufflevector(abLow, c, 0, 1, 4, 2)));            // a0 b0 c0 a1
    StoreLanes(out + 4, Float4(__builtin_shufflevector(middle, abHigh, 0, 1, 4, 5)));  // b1 c1 a2 b2
    StoreLanes(out + 8, Float4(__builtin_shufflevector(c, abHigh, 2, 6, 7, 3)));       // c2 a3 b3 c3
}

// Stores the pairs (u[k], v) of four lanes at eight consecutive floats.
[[gnu::always_inline]] inline void StorePairs(void* at, const Float4& u, const Float4& v)
{
    float* out = static_cast<float*>(at);
    StoreLanes(out, Float4(__builtin_shufflevector(u, v, 0, 4, 1, 5)));
    StoreLanes(out + 4, Float4(__builtin_shufflevector(u, v, 2, 6, 3, 7)));
}

// The 24 triangle entries of four consecutive cells whose first corner is
// corner, from their four mask bytes.
[[gnu::always_inline]] inline void StoreCellQuarter(int32_t* out, uint32_t masks, uint32_t corner,
                                                    const Uint4 (&cornerOffsets)[6])
{
    // A cell's entries are its corners when bit 0 of its mask is set, else zeros.
    const Uint4 keep = -Uint4{masks & 1u, (masks >> 8) & 1u, (masks >> 16) & 1u, (masks >> 24) & 1u};
    const Uint4 keepOf[6] = {
        __builtin_shufflevector(keep, keep, 0, 0, 0, 0), __builtin_shufflevector(keep, keep, 0, 0, 1, 1),
        __builtin_shufflevector(keep, keep, 1, 1, 1, 1), __builtin_shufflevector(keep, keep, 2, 2, 2, 2),
        __builtin_shufflevector(keep, keep, 2, 2, 3, 3), __builtin_shufflevector(keep, keep, 3, 3, 3, 3),
    };
    const Uint4 first = Broadcast<Uint4>(corner);
    for (int k = 0; k < 6; ++k)
        StoreLanes(out + 4 * k, Uint4((first + cornerOffsets[k]) & keepOf[k]));
}

// What the lanes need of the record and the row, prepared once per row
// stretch inside the road's own function.
template <int kLanes>
struct LaneStretch {
    typedef typename Lanes<kLanes>::Float Float;
    Float scaleX, scaleY, scaleZ, widthAsFloat;
    typename Lanes<kLanes>::Int columnOffsets;  // 0, 1, ..., kLanes - 1
    Uint4 cornerOffsets[6];                     // the six triangle entries of four cells, relative to the first corner
    int64_t below, centre, above;               // the starts of the filter's rows
    Float positionZ, v;                         // the row's own z position and v coordinate
    int64_t cellStart;                          // z * (width - 1)
};

template <int kLanes>
[[gnu::always_inline]] inline void PrepareLaneStretch(LaneStretch<kLanes>& lanes, const HeightfieldMeshJob& job,
                                                      int32_t z)
{
    typedef typename Lanes<kLanes>::Float Float;
    lanes.scaleX = Broadcast<Float>(job.scale.x);
    lanes.scaleY = Broadcast<Float>(job.scale.y);
    lanes.scaleZ = Broadcast<Float>(job.scale.z);
    lanes.widthAsFloat = Broadcast<Float>(static_cast<float>(job.width));
    for (int k = 0; k < kLanes; ++k)
        lanes.columnOffsets[k] = k;
    // Cell k has the corner p + k, so its entries are those of a cell at
    // corner 0 plus k; the four cells are laid out cell after cell, four
    // entries per vector.
    int32_t cellAtZero[6];
    HeightmeshCellTriangles(0, job.width, cellAtZero);
    for (int entry = 0; entry < 24; ++entry)
        lanes.cornerOffsets[entry / 4][entry % 4] = static_cast<uint32_t>(cellAtZero[entry % 6]) + uint32_t(entry / 6);

    const FilterTaps taps = FilterTapsAt<Columns::kInterior>(1, z, job.width, job.height);
    lanes.below = taps.below;
    lanes.centre = taps.centreRow;
    lanes.above = taps.above;
    const float row = static_cast<float>(z);
    lanes.positionZ = Broadcast<Float>(row * job.scale.z);
    lanes.v = Broadcast<Float>(row / static_cast<float>(job.height));
    lanes.cellStart = int64_t(z) * (int64_t(job.width) - 1);
}

// One heights sample per lane, scaled on its own.
template <int kLanes>
[[gnu::always_inline]] inline typename Lanes<kLanes>::Float Sample(const LaneStretch<kLanes>& lanes,
                                                                   const float* heights, int64_t column,
                                                                   int64_t rowStart)
{
    return LoadLanes<typename Lanes<kLanes>::Float>(heights + rowStart + column) * lanes.scaleY;
}

// Vertices i ... i + kLanes - 1 at the columns x ... x + kLanes - 1 of a
// row, all strictly between its first and last column, whose every access
// the caller has found allowed; kCells: the row is not the last, so each
// vertex is a cell corner. Returns false, having stored nothing, when any
// version comparison was in doubt.
template <int kLanes, bool kCells>
[[gnu::always_inline]] inline bool ExecuteVertexLanes(const HeightfieldMeshJob& job, const LaneStretch<kLanes>& lanes,
                                                      int32_t i, int32_t x)
{
    typedef typename Lanes<kLanes>::Float Float;
    typedef typename Lanes<kLanes>::Int Int;

    const float* heights = static_cast<const float*>(job.heights.data);

    // Position and texture coordinate; each lane converts its own column.
    const Float column = __builtin_convertvector(Broadcast<Int>(x) + lanes.columnOffsets, Float);
    const Float positionX = column * lanes.scaleX;
    const Float positionY = LoadLanes<Float>(heights + i) * lanes.scaleY;
    const Float u = column / lanes.widthAsFloat;

    // The Sobel gradients, each sample scaled on its own, in the filter's order.
    const int64_t left = int64_t(x) - 1, centre = x, right = int64_t(x) + 1;
    Float gx = -Sample(lanes, heights, left, lanes.below);
    gx = gx + -2.0f * Sample(lanes, heights, left, lanes.centre);
    gx = gx + -Sample(lanes, heights, left, lanes.above);
    gx = gx + Sample(lanes, heights, right, lanes.below);
    gx = gx + 2.0f * Sample(lanes, heights, right, lanes.centre);
    gx = gx + Sample(lanes, heights, right, lanes.above);

    Float gz = -Sample(lanes, heights, left, lanes.below);
    gz = gz + -2.0f * Sample(lanes, heights, centre, lanes.below);
    gz = gz + -Sample(lanes, heights, right, lanes.below);
    gz = gz + Sample(lanes, heights, left, lanes.above);
    gz = gz + 2.0f * Sample(lanes, heights, centre, lanes.above);
    gz = gz + Sample(lanes, heights, right, lanes.above);

    // The unit normal.
    const Float nx = -gx / lanes.scaleX;
    const Float nz = -gz / lanes.scaleZ;
    const Float lengthSquared = (nx * nx + 64.0f) + nz * nz;
    const Float inverseLength = 1.0f / SquareRoot<kLanes>(lengthSquared);
    const Float normalX = nx * inverseLength;
    const Float normalY = 8.0f * inverseLength;
    const Float normalZ = nz * inverseLength;

    // The safety comparisons of all kLanes x 23 accesses (x 16 on the last
    // row), made while the divisions and square roots above are under way,
    // and before anything is stored.
    bool verified =
        VersionsMatch<kLanes * 13, kReadVersionMask>(job.heights.safety.versionCell, job.heights.safety.version) &&
        VersionsMatch<kLanes, kWriteVersionMask>(job.vertices.safety.versionCell, job.vertices.safety.version) &&
        VersionsMatch<kLanes, kWriteVersionMask>(job.uvs.safety.versionCell, job.uvs.safety.version) &&
        VersionsMatch<kLanes, kWriteVersionMask>(job.normals.safety.versionCell, job.normals.safety.version);
    if constexpr (kCells)
        verified =
            verified &&
            VersionsMatch<kLanes, kReadVersionMask>(job.cellMask.safety.versionCell, job.cellMask.safety.version) &&
            VersionsMatch<kLanes * 6, kWriteVersionMask>(job.triangles.safety.versionCell,
                                                         job.triangles.safety.version);
    if (!verified) [[unlikely]]
        return false;

    // Stored four lanes at a time.
    auto* vertices = ElementAddress<Float3>(job.vertices, i);
    auto* uvs = ElementAddress<Float2>(job.uvs, i);
    auto* normals = ElementAddress<Float3>(job.normals, i);
    const Float4 positionZ = Quarter<0>(lanes.positionZ);
    const Float4 v = Quarter<0>(lanes.v);
    StoreTriples(vertices, Quarter<0>(positionX), Quarter<0>(positionY), positionZ);
    StorePairs(uvs, Quarter<0>(u), v);
    StoreTriples(normals, Quarter<0>(normalX), Quarter<0>(normalY), Quarter<0>(normalZ));
    if constexpr (kLanes == 8) {
        StoreTriples(vertices + 4, Quarter<1>(positionX), Quarter<1>(positionY), positionZ);
        StorePairs(uvs + 4, Quarter<1>(u), v);
        StoreTriples(normals + 4, Quarter<1>(normalX), Quarter<1>(normalY), Quarter<1>(normalZ));
    }
    if constexpr (kCells) {
        const int64_t cell = lanes.cellStart + x;
        const uint8_t* masks = static_cast<const uint8_t*>(job.cellMask.data) + cell;
        int32_t* entries = ElementAddress<int32_t>(job.triangles, cell * 6);
        for (int q = 0; q < kLanes / 4; ++q)
            StoreCellQuarter(entries + 24 * q, LoadLanes<uint32_t>(masks + 4 * q), static_cast<uint32_t>(i) + 4u * q,
                             lanes.cornerOffsets);
    }
    return true;
}

// The packed groups of one interior stretch [i, end): each group that finds
// any doubt is run again from its first vertex on the exact road, which asks
// the host before each access concerned, in order.
template <int kLanes, bool kCells>
[[gnu::always_inline]] inline void ExecuteInteriorLanes(const HeightfieldMeshJob& record, int32_t& i, int32_t& x,
                                                        int32_t z, int32_t end)
{
    LaneStretch<kLanes> lanes;
    PrepareLaneStretch(lanes, record, z);
    for (; end - i >= kLanes; i += kLanes, x += kLanes) {
        if (!ExecuteVertexLanes<kLanes, kCells>(record, lanes, i, x)) [[unlikely]] {
            for (int k = 0; k < kLanes; ++k)
                ExecuteVertexAt<true, Columns::kInterior>(record, i + k, x + k, z);
        }
    }
}

// The SSE2 road of one interior stretch.
inline void ExecuteInteriorSse2(const HeightfieldMeshJob& record, int32_t& i, int32_t& x, int32_t z, int32_t end)
{
    if (z < WrapSub(record.height, 1))
        ExecuteInteriorLanes<4, true>(record, i, x, z, end);
    else
        ExecuteInteriorLanes<4, false>(record, i, x, z, end);
}

}  // namespace heightmesh
