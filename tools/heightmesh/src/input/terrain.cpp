#include "input/terrain.h"

#include "common/parallel.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <thread>
#include <vector>

#if defined(__x86_64__)
// GCC 12's intrinsics start some results from an undefined register, which
// it then reports as uninitialised inside its own header.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#ifndef __clang__
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <immintrin.h>
#pragma GCC diagnostic pop
#endif

#include <fmt/format.h>

namespace heightmesh::tool {

namespace {

// ---- Procedural terrain ---------------------------------------------------

uint64_t Mix(uint64_t x)
{
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

// A value in [-1, 1] for lattice point (ix, iy) of one noise layer.
double Lattice(int64_t ix, int64_t iy, uint64_t layerSeed)
{
    const uint64_t h =
        Mix(Mix(layerSeed ^ static_cast<uint64_t>(ix)) ^ (static_cast<uint64_t>(iy) * 0xD6E8FEB86659FD93ull));
    return static_cast<double>(h >> 11) * (2.0 / 9007199254740992.0) - 1.0;
}

double Fade(double t) { return t * t * t * (t * (t * 6.0 - 15.0) + 10.0); }

// floor(x) for |x| < 2^52 without a call into libm (baseline x86-64 has no
// rounding instruction): the same value std::floor gives.
double Floor(double x)
{
    const double truncated = static_cast<double>(static_cast<int64_t>(x));
    return truncated > x ? truncated - 1.0 : truncated;
}

// The lattice values of one noise layer over the rectangle of lattice points
// its coordinates can reach, computed once instead of hashed four times per
// sample; points outside it (never reached) are hashed as before.
class LatticeTable {
public:
    LatticeTable(uint64_t layerSeed, double xLow, double xHigh, double yLow, double yHigh) : seed_(layerSeed)
    {
        x0_ = static_cast<int64_t>(Floor(xLow)) - 2;
        y0_ = static_cast<int64_t>(Floor(yLow)) - 2;
        nx_ = static_cast<int64_t>(Floor(xHigh)) + 3 - x0_;
        ny_ = static_cast<int64_t>(Floor(yHigh)) + 3 - y0_;
        values_.resize(static_cast<std::size_t>(nx_ * ny_));
        for (int64_t y = 0; y < ny_; ++y)
            for (int64_t x = 0; x < nx_; ++x)
                values_[static_cast<std::size_t>(y * nx_ + x)] = Lattice(x0_ + x, y0_ + y, seed_);
    }
    // Lattice(ix, iy, seed) and its neighbours at +1 in x, y and both.
    void Corners(int64_t ix, int64_t iy, double& a, double& b, double& c, double& d) const
    {
        const int64_t x = ix - x0_, y = iy - y0_;
        if (x >= 0 && y >= 0 && x + 1 < nx_ && y + 1 < ny_) {
            const double* row = values_.data() + y * nx_ + x;
            a = row[0];
            b = row[1];
            c = row[nx_];
            d = row[nx_ + 1];
            return;
        }
        a = Lattice(ix, iy, seed_);
        b = Lattice(ix + 1, iy, seed_);
        c = Lattice(ix, iy + 1, seed_);
        d = Lattice(ix + 1, iy + 1, seed_);
    }

    const double* values() const noexcept { return values_.data(); }
    int64_t x0() const noexcept { return x0_; }
    int64_t y0() const noexcept { return y0_; }
    int64_t nx() const noexcept { return nx_; }
    int64_t ny() const noexcept { return ny_; }

private:
    uint64_t seed_ = 0;
    int64_t x0_ = 0, y0_ = 0, nx_ = 0, ny_ = 0;
    std::vector<double> values_;
};

// Smoothly interpolated lattice noise, [-1, 1].
double ValueNoise(double x, double y, const LatticeTable& table)
{
    const double fx = Floor(x);
    const double fy = Floor(y);
    const int64_t ix = static_cast<int64_t>(fx);
    const int64_t iy = static_cast<int64_t>(fy);
    const double tx = Fade(x - fx);
    const double ty = Fade(y - fy);
    double a, b, c, d;
    table.Corners(ix, iy, a, b, c, d);
    const double top = a + (b - a) * tx;
    const double bottom = c + (d - c) * tx;
    return top + (bottom - top) * ty;
}

// The octaves of one fractal sum: each octave's table, for coordinates that
// start within [xLow, xHigh] x [yLow, yHigh] and are carried from octave to
// octave by x * scale + xShift, y * scale + yShift.
struct Octaves {
    Octaves(int count, uint64_t seed, double xLow, double xHigh, double yLow, double yHigh, double scale, double xShift,
            double yShift)
    {
        for (int octave = 0; octave < count; ++octave) {
            tables.emplace_back(Mix(seed + static_cast<uint64_t>(octave)), xLow, xHigh, yLow, yHigh);
            xLow = xLow * scale + xShift;
            xHigh = xHigh * scale + xShift;
            yLow = yLow * scale + yShift;
            yHigh = yHigh * scale + yShift;
        }
    }
    std::vector<LatticeTable> tables;
};

// Fractal sum of octaves, roughly [-1, 1].
double Fbm(double x, double y, const Octaves& octaves)
{
    double sum = 0.0, amplitude = 0.5, norm = 0.0;
    for (const LatticeTable& table : octaves.tables) {
        sum += amplitude * ValueNoise(x, y, table);
        norm += amplitude;
        amplitude *= 0.5;
        x = x * 2.03 + 17.1;
        y = y * 2.03 - 9.7;
    }
    return sum / norm;
}

// Sharp crests: octaves of 1 - |noise|, squared, each weighted by the last.
double Ridged(double x, double y, const Octaves& octaves)
{
    double sum = 0.0, amplitude = 0.5, norm = 0.0, weight = 1.0;
    for (const LatticeTable& table : octaves.tables) {
        double ridge = 1.0 - std::fabs(ValueNoise(x, y, table));
        ridge *= ridge;
        ridge *= weight;
        weight = std::clamp(ridge * 1.8, 0.0, 1.0);
        sum += amplitude * ridge;
        norm += amplitude;
        amplitude *= 0.5;
        x = x * 2.1 - 3.3;
        y = y * 2.1 + 5.9;
    }
    return sum / norm;
}

double SmoothStep(double edge0, double edge1, double x)
{
    const double t = std::clamp((x - edge0) / (edge1 - edge0), 0.0, 1.0);
    return t * t * (3.0 - 2.0 * t);
}

// The landscape: four fractal sums over warped coordinates. Features are
// laid out over the unit square of the longer side, so every size shows the
// same landscape; the relief grows with the grid.
struct Landscape {
    Landscape(GridSize size, uint64_t seed)
        : extent(std::max(size.width, size.height)),
          relief(0.2 * std::sqrt(static_cast<double>(size.width) * size.height)),
          base(Mix(seed)),
          // u and v stay within [0, 1]; the warp moves them by at most 0.15.
          uHigh((size.width - 1) / extent),
          vHigh((size.height - 1) / extent),
          warpU(4, base ^ 0x1111, 5.2, uHigh * 2.0 + 5.2, 1.3, vHigh * 2.0 + 1.3, 2.03, 17.1, -9.7),
          warpV(4, base ^ 0x2222, -7.7, uHigh * 2.0 - 7.7, 3.1, vHigh * 2.0 + 3.1, 2.03, 17.1, -9.7),
          hills(6, base, -0.15 * 2.5, (uHigh + 0.15) * 2.5, -0.15 * 2.5, (vHigh + 0.15) * 2.5, 2.03, 17.1, -9.7),
          ridges(7, base + 101, -0.15 * 3.5, (uHigh + 0.15) * 3.5, -0.15 * 3.5, (vHigh + 0.15) * 3.5, 2.1, -3.3, 5.9)
    {
    }

    // The height at (column, row); v = row / extent.
    float Sample(int32_t column, double v) const
    {
        const double u = column / extent;
        // Warped coordinates bend the ranges; broad hills carry sharp
        // ridges where they are high and fade into smooth lowland.
        const double wu = u + 0.15 * Fbm(u * 2.0 + 5.2, v * 2.0 + 1.3, warpU);
        const double wv = v + 0.15 * Fbm(u * 2.0 - 7.7, v * 2.0 + 3.1, warpV);
        const double hill = 0.5 + Fbm(wu * 2.5, wv * 2.5, hills);
        const double ridge = Ridged(wu * 3.5, wv * 3.5, ridges);
        const double mountains = SmoothStep(0.3, 0.6, hill);
        const double h = 0.55 * hill * hill + 0.75 * ridge * mountains;
        return static_cast<float>(h * relief);
    }

    double extent, relief;
    uint64_t base;
    double uHigh, vHigh;
    Octaves warpU, warpV, hills, ridges;
};

#if defined(__x86_64__)
#define HEIGHTMESH_TERRAIN_LANES 1

// Samples in packed lanes: four at once in AVX2, eight in AVX-512. Every
// lane runs the scalar sequence of double operations, each rounded on its
// own (neither road uses fused multiply-add), so every lane's bits are
// Sample's. The shared part is terrain_lanes.inc; each road gives it its
// primitives.

#ifdef __clang__
#pragma clang attribute push(__attribute__((target("avx2"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx2")
#endif
namespace avx2 {

using V = __m256d;
constexpr int kLanes = 4;

inline V Add(V a, V b) { return _mm256_add_pd(a, b); }
inline V Sub(V a, V b) { return _mm256_sub_pd(a, b); }
inline V Mul(V a, V b) { return _mm256_mul_pd(a, b); }
inline V Div(V a, V b) { return _mm256_div_pd(a, b); }
inline V All(double x) { return _mm256_set1_pd(x); }
inline V Min(V a, V b) { return _mm256_min_pd(a, b); }
inline V Max(V a, V b) { return _mm256_max_pd(a, b); }
inline V Floor(V x) { return _mm256_floor_pd(x); }
inline V Abs(V x) { return _mm256_andnot_pd(All(-0.0), x); }
inline V Columns(int32_t column)
{
    return _mm256_cvtepi32_pd(_mm_add_epi32(_mm_set1_epi32(column), _mm_setr_epi32(0, 1, 2, 3)));
}
inline void Store(float* out, V h) { _mm_storeu_ps(out, _mm256_cvtpd_ps(h)); }

// Lane k's table offset: (iy - y0) * nx + (ix - x0) for integral fx, fy.
// Returns false when a lane's corners are not all in the table (a lane
// too far out for 32 bits converts to INT32_MIN and fails too).
inline bool Offsets(V fx, V fy, const LatticeTable& table, int32_t* at)
{
    const __m128i ix = _mm_sub_epi32(_mm256_cvttpd_epi32(fx), _mm_set1_epi32(static_cast<int32_t>(table.x0())));
    const __m128i iy = _mm_sub_epi32(_mm256_cvttpd_epi32(fy), _mm_set1_epi32(static_cast<int32_t>(table.y0())));
    const __m128i none = _mm_set1_epi32(-1);
    const __m128i inside =
        _mm_and_si128(_mm_and_si128(_mm_cmpgt_epi32(ix, none),
                                    _mm_cmpgt_epi32(_mm_set1_epi32(static_cast<int32_t>(table.nx() - 1)), ix)),
                      _mm_and_si128(_mm_cmpgt_epi32(iy, none),
                                    _mm_cmpgt_epi32(_mm_set1_epi32(static_cast<int32_t>(table.ny() - 1)), iy)));
    if (_mm_movemask_epi8(inside) != 0xFFFF)
        return false;
    const __m128i stride = _mm_set1_epi32(static_cast<int32_t>(table.nx()));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(at), _mm_add_epi32(_mm_mullo_epi32(iy, stride), ix));
    return true;
}

// Each lane's corners are two pairs of neighbours, (a, b) in its row and
// (c, d) in the next: two loads per lane, then a transpose (cheaper than
// four gathers).
inline void Gather(const double* values, std::size_t next, const int32_t* at, V& a, V& b, V& c, V& d)
{
    const double* p0 = values + at[0];
    const double* p1 = values + at[1];
    const double* p2 = values + at[2];
    const double* p3 = values + at[3];
    const V ab02 = _mm256_set_m128d(_mm_loadu_pd(p2), _mm_loadu_pd(p0));
    const V ab13 = _mm256_set_m128d(_mm_loadu_pd(p3), _mm_loadu_pd(p1));
    const V cd02 = _mm256_set_m128d(_mm_loadu_pd(p2 + next), _mm_loadu_pd(p0 + next));
    const V cd13 = _mm256_set_m128d(_mm_loadu_pd(p3 + next), _mm_loadu_pd(p1 + next));
    a = _mm256_unpacklo_pd(ab02, ab13);
    b = _mm256_unpackhi_pd(ab02, ab13);
    c = _mm256_unpacklo_pd(cd02, cd13);
    d = _mm256_unpackhi_pd(cd02, cd13);
}

#include "input/terrain_lanes.inc"

}  // namespace avx2
#ifdef __clang__
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif

#ifdef __clang__
#pragma clang attribute push(__attribute__((target("avx512f,avx512dq,avx512vl"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx512f,avx512dq,avx512vl")
#endif
namespace avx512 {

using V = __m512d;
constexpr int kLanes = 8;

inline V Add(V a, V b) { return _mm512_add_pd(a, b); }
inline V Sub(V a, V b) { return _mm512_sub_pd(a, b); }
inline V Mul(V a, V b) { return _mm512_mul_pd(a, b); }
inline V Div(V a, V b) { return _mm512_div_pd(a, b); }
inline V All(double x) { return _mm512_set1_pd(x); }
inline V Min(V a, V b) { return _mm512_min_pd(a, b); }
inline V Max(V a, V b) { return _mm512_max_pd(a, b); }
inline V Floor(V x) { return _mm512_roundscale_pd(x, _MM_FROUND_TO_NEG_INF | _MM_FROUND_NO_EXC); }
inline V Abs(V x) { return _mm512_andnot_pd(All(-0.0), x); }
inline V Columns(int32_t column)
{
    return _mm512_cvtepi32_pd(_mm256_add_epi32(_mm256_set1_epi32(column), _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7)));
}
inline void Store(float* out, V h) { _mm256_storeu_ps(out, _mm512_cvtpd_ps(h)); }

inline bool Offsets(V fx, V fy, const LatticeTable& table, int32_t* at)
{
    const __m256i ix = _mm256_sub_epi32(_mm512_cvttpd_epi32(fx), _mm256_set1_epi32(static_cast<int32_t>(table.x0())));
    const __m256i iy = _mm256_sub_epi32(_mm512_cvttpd_epi32(fy), _mm256_set1_epi32(static_cast<int32_t>(table.y0())));
    const __m256i none = _mm256_set1_epi32(-1);
    const __m256i inside = _mm256_and_si256(
        _mm256_and_si256(_mm256_cmpgt_epi32(ix, none),
                         _mm256_cmpgt_epi32(_mm256_set1_epi32(static_cast<int32_t>(table.nx() - 1)), ix)),
        _mm256_and_si256(_mm256_cmpgt_epi32(iy, none),
                         _mm256_cmpgt_epi32(_mm256_set1_epi32(static_cast<int32_t>(table.ny() - 1)), iy)));
    if (_mm256_movemask_epi8(inside) != -1)
        return false;
    const __m256i stride = _mm256_set1_epi32(static_cast<int32_t>(table.nx()));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(at), _mm256_add_epi32(_mm256_mullo_epi32(iy, stride), ix));
    return true;
}

inline V Pairs(const double* p0, const double* p1, const double* p2, const double* p3)
{
    const __m256d low = _mm256_set_m128d(_mm_loadu_pd(p1), _mm_loadu_pd(p0));
    const __m256d high = _mm256_set_m128d(_mm_loadu_pd(p3), _mm_loadu_pd(p2));
    return _mm512_insertf64x4(_mm512_castpd256_pd512(low), high, 1);
}

inline void Gather(const double* values, std::size_t next, const int32_t* at, V& a, V& b, V& c, V& d)
{
    const double* p[8];
    for (int k = 0; k < 8; ++k)
        p[k] = values + at[k];
    const V abEven = Pairs(p[0], p[2], p[4], p[6]);
    const V abOdd = Pairs(p[1], p[3], p[5], p[7]);
    const V cdEven = Pairs(p[0] + next, p[2] + next, p[4] + next, p[6] + next);
    const V cdOdd = Pairs(p[1] + next, p[3] + next, p[5] + next, p[7] + next);
    a = _mm512_unpacklo_pd(abEven, abOdd);
    b = _mm512_unpackhi_pd(abEven, abOdd);
    c = _mm512_unpacklo_pd(cdEven, cdOdd);
    d = _mm512_unpackhi_pd(cdEven, cdOdd);
}

#include "input/terrain_lanes.inc"

}  // namespace avx512
#ifdef __clang__
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif
#endif

}  // namespace

// ---- Built-in terrain ------------------------------------------------------

Heightmap MakeTerrain(GridSize size, uint64_t seed, const std::function<void(double)>& progress, TerrainRoad road,
                      unsigned threads)
{
    CheckGridSize(size.width, size.height, fmt::format("grid {}x{}", size.width, size.height));
    Heightmap map;
    map.width = size.width;
    map.height = size.height;
    map.heights.resize(static_cast<std::size_t>(size.width) * static_cast<std::size_t>(size.height));
    const Landscape land(size, seed);
#ifdef HEIGHTMESH_TERRAIN_LANES
    const bool fastest = road == TerrainRoad::kFastest;
    const bool lanes8 = fastest && __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq") &&
                        __builtin_cpu_supports("avx512vl");
    const bool lanes4 = fastest && __builtin_cpu_supports("avx2");
#else
    (void)road;
#endif
    const auto makeRow = [&](int32_t row) {
        const double v = row / land.extent;
        float* out = map.heights.data() + static_cast<std::size_t>(row) * size.width;
        int32_t column = 0;
#ifdef HEIGHTMESH_TERRAIN_LANES
        if (lanes8)
            for (; column + 8 <= size.width; column += 8)
                avx512::Samples(land, column, v, out + column);
        if (lanes4)
            for (; column + 4 <= size.width; column += 4)
                avx2::Samples(land, column, v, out + column);
#endif
        for (; column < size.width; ++column)
            out[column] = land.Sample(column, v);
    };
    // Rows are independent: every thread takes rows in turn; the calling
    // thread reports progress.
    std::atomic<int32_t> rowsDone{0};
    const unsigned threadCount = static_cast<unsigned>(std::clamp<int64_t>(size.height / 16, 1, ThreadCount(threads)));
    ForEachIndex(size.height, threadCount, [&](int64_t row, unsigned part) {
        makeRow(static_cast<int32_t>(row));
        const int32_t done = ++rowsDone;
        if (part == 0 && progress && (row & 15) == 0)
            progress(static_cast<double>(done) / size.height);
    });
    SetRangeFromSamples(map);
    return map;
}

}  // namespace heightmesh::tool
