// The packed road of the vertex kernel: four consecutive vertices of a row at
// once, each lane computing exactly the scalar kernel's operations in the
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

namespace heightmesh {

inline constexpr int kLaneCount = 4;

typedef float FloatLanes __attribute__((vector_size(16)));
typedef int32_t IntLanes __attribute__((vector_size(16)));
typedef uint32_t UintLanes __attribute__((vector_size(16)));

[[gnu::always_inline]] inline FloatLanes LoadLanes(const float* at)
{
    FloatLanes value;
    __builtin_memcpy(&value, at, sizeof value);
    return value;
}

template <typename Lanes>
[[gnu::always_inline]] inline void StoreLanes(void* at, Lanes value)
{
    __builtin_memcpy(at, &value, sizeof value);
}

inline FloatLanes Broadcast(float value) { return FloatLanes{value, value, value, value}; }
inline UintLanes Broadcast(uint32_t value) { return UintLanes{value, value, value, value}; }

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
#pragma GCC unroll 64
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
[[gnu::always_inline]] inline void StoreTriples(void* at, FloatLanes a, FloatLanes b, FloatLanes c)
{
    typedef int32_t Select __attribute__((vector_size(16)));
    const FloatLanes abLow = __builtin_shuffle(a, b, Select{0, 4, 1, 5});   // a0 b0 a1 b1
    const FloatLanes abHigh = __builtin_shuffle(a, b, Select{2, 6, 3, 7});  // a2 b2 a3 b3
    const FloatLanes middle = __builtin_shuffle(abLow, c, Select{3, 5, 3, 5});
    float* out = static_cast<float*>(at);
    StoreLanes(out, __builtin_shuffle(abLow, c, Select{0, 1, 4, 2}));         // a0 b0 c0 a1
    StoreLanes(out + 4, __builtin_shuffle(middle, abHigh, Select{0, 1, 4, 5}));  // b1 c1 a2 b2
    StoreLanes(out + 8, __builtin_shuffle(c, abHigh, Select{2, 6, 7, 3}));     // c2 a3 b3 c3
}

// What the lanes need of the record, prepared once per batch.
struct LaneBatch {
    FloatLanes scaleX, scaleY, scaleZ, widthAsFloat;
    IntLanes columnOffsets;
    UintLanes cornerOffsets[6];  // the six triangle entries of four cells, relative to the first corner
};

inline LaneBatch PrepareLaneBatch(const HeightfieldMeshJob& job)
{
    LaneBatch batch;
    batch.scaleX = Broadcast(job.scale.x);
    batch.scaleY = Broadcast(job.scale.y);
    batch.scaleZ = Broadcast(job.scale.z);
    batch.widthAsFloat = Broadcast(static_cast<float>(job.width));
    batch.columnOffsets = IntLanes{0, 1, 2, 3};
    // Cell k has the corner p + k: (p, p + w + 1, p + 1, p, p + w, p + w + 1),
    // laid out cell after cell, four entries per vector.
    const uint32_t w = static_cast<uint32_t>(job.width);
    batch.cornerOffsets[0] = UintLanes{0, w + 1, 1, 0};
    batch.cornerOffsets[1] = UintLanes{w, w + 1, 1, w + 2};
    batch.cornerOffsets[2] = UintLanes{2, 1, w + 1, w + 2};
    batch.cornerOffsets[3] = UintLanes{2, w + 3, 3, 2};
    batch.cornerOffsets[4] = UintLanes{w + 2, w + 3, 3, w + 4};
    batch.cornerOffsets[5] = UintLanes{4, 3, w + 3, w + 4};
    return batch;
}

// What the lanes need of the row: the starts of the filter's rows, the
// row's own position and v coordinate, and its first cell.
struct LaneRow {
    int64_t below, centre, above;
    FloatLanes positionZ, v;
    int64_t cellStart;  // z * (width - 1)
};

inline LaneRow PrepareLaneRow(const HeightfieldMeshJob& job, int32_t z)
{
    const FilterTaps taps = FilterTapsAt<Columns::kInterior>(1, z, job.width, job.height);
    const float row = static_cast<float>(z);
    return LaneRow{taps.below,
                   taps.centreRow,
                   taps.above,
                   Broadcast(row * job.scale.z),
                   Broadcast(row / static_cast<float>(job.height)),
                   int64_t(z) * (int64_t(job.width) - 1)};
}

// Vertices i ... i + 3 at the columns x ... x + 3 of a row, all strictly
// between its first and last column, whose every access the caller has found
// allowed; kCells: the row is not the last, so each vertex is a cell corner.
// Returns false, having stored nothing, when any version comparison failed.
template <bool kCells>
[[gnu::always_inline]] inline bool ExecuteVertexLanes(const HeightfieldMeshJob& job, const LaneBatch& batch,
                                                      const LaneRow& row, int32_t i, int32_t x)
{
    const float* heights = static_cast<const float*>(job.heights.data);

    // Position and texture coordinate.
    // Each lane converts its own column, as the scalar kernel does.
    const FloatLanes column = __builtin_convertvector(IntLanes{x, x, x, x} + batch.columnOffsets, FloatLanes);
    const FloatLanes h = LoadLanes(heights + i);
    const FloatLanes positionX = column * batch.scaleX;
    const FloatLanes positionY = h * batch.scaleY;
    const FloatLanes u = column / batch.widthAsFloat;

    // The Sobel gradients, each sample scaled on its own, in the filter's order.
    const int64_t left = x - 1, centre = x, right = x + 1;
    auto sample = [&](int64_t columnOf, int64_t rowStart) { return LoadLanes(heights + rowStart + columnOf) * batch.scaleY; };
    FloatLanes gx = -sample(left, row.below);
    gx = gx + -2.0f * sample(left, row.centre);
    gx = gx + -sample(left, row.above);
    gx = gx + sample(right, row.below);
    gx = gx + 2.0f * sample(right, row.centre);
    gx = gx + sample(right, row.above);

    FloatLanes gz = -sample(left, row.below);
    gz = gz + -2.0f * sample(centre, row.below);
    gz = gz + -sample(right, row.below);
    gz = gz + sample(left, row.above);
    gz = gz + 2.0f * sample(centre, row.above);
    gz = gz + sample(right, row.above);

    // The unit normal.
    const FloatLanes nx = -gx / batch.scaleX;
    const FloatLanes nz = -gz / batch.scaleZ;
    const FloatLanes lengthSquared = (nx * nx + 64.0f) + nz * nz;
    const FloatLanes inverseLength = 1.0f / __builtin_ia32_sqrtps(lengthSquared);
    const FloatLanes normalX = nx * inverseLength;
    const FloatLanes normalY = 8.0f * inverseLength;
    const FloatLanes normalZ = nz * inverseLength;

    // The safety comparisons of all 4 x 23 accesses (4 x 16 on the last row).
    bool verified = VersionsMatch<kLaneCount * 13, kReadVersionMask>(job.heights.safety.versionCell,
                                                                     job.heights.safety.version) &&
                    VersionsMatch<kLaneCount, kWriteVersionMask>(job.vertices.safety.versionCell,
                                                                 job.vertices.safety.version) &&
                    VersionsMatch<kLaneCount, kWriteVersionMask>(job.uvs.safety.versionCell, job.uvs.safety.version) &&
                    VersionsMatch<kLaneCount, kWriteVersionMask>(job.normals.safety.versionCell,
                                                                 job.normals.safety.version);
    if constexpr (kCells)
        verified = verified &&
                   VersionsMatch<kLaneCount, kReadVersionMask>(job.cellMask.safety.versionCell,
                                                               job.cellMask.safety.version) &&
                   VersionsMatch<kLaneCount * 6, kWriteVersionMask>(job.triangles.safety.versionCell,
                                                                    job.triangles.safety.version);
    if (!verified) [[unlikely]]
        return false;

    UintLanes entries[6];
    const int64_t cell = row.cellStart + x;
    if constexpr (kCells) {
        // A cell's entries are its corners when bit 0 of its mask is set, else zeros.
        uint32_t masks;
        __builtin_memcpy(&masks, static_cast<const uint8_t*>(job.cellMask.data) + cell, sizeof masks);
        const UintLanes keep = -UintLanes{masks & 1u, (masks >> 8) & 1u, (masks >> 16) & 1u, (masks >> 24) & 1u};
        typedef int32_t Select __attribute__((vector_size(16)));
        const UintLanes keepOf[6] = {
            __builtin_shuffle(keep, Select{0, 0, 0, 0}), __builtin_shuffle(keep, Select{0, 0, 1, 1}),
            __builtin_shuffle(keep, Select{1, 1, 1, 1}), __builtin_shuffle(keep, Select{2, 2, 2, 2}),
            __builtin_shuffle(keep, Select{2, 2, 3, 3}), __builtin_shuffle(keep, Select{3, 3, 3, 3}),
        };
        const UintLanes corner = Broadcast(static_cast<uint32_t>(i));
        for (int k = 0; k < 6; ++k)
            entries[k] = (corner + batch.cornerOffsets[k]) & keepOf[k];
    }

    StoreTriples(ElementAddress<Float3>(job.vertices, i), positionX, positionY, row.positionZ);
    typedef int32_t Select __attribute__((vector_size(16)));
    Float2* uv = ElementAddress<Float2>(job.uvs, i);
    StoreLanes(uv, __builtin_shuffle(u, row.v, Select{0, 4, 1, 5}));
    StoreLanes(uv + 2, __builtin_shuffle(u, row.v, Select{2, 6, 3, 7}));
    StoreTriples(ElementAddress<Float3>(job.normals, i), normalX, normalY, normalZ);
    if constexpr (kCells) {
        int32_t* out = ElementAddress<int32_t>(job.triangles, cell * 6);
        for (int k = 0; k < 6; ++k)
            StoreLanes(out + 4 * k, entries[k]);
    }
    return true;
}

}  // namespace heightmesh
