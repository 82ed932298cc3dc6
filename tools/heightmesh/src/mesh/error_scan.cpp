// The error scans' row kernels and the triangle scans built on them. Each
// scan is compiled for its instruction set with its kernel inlined, and the
// TIN reaches it only through the TriangleScan pointer chosen at run time.
#include "mesh/error_scan.h"

#include <algorithm>
#include <cmath>

#include <immintrin.h>

namespace heightmesh::tool::tin {

namespace {

// The largest |SurfaceAt(start, gx, x - first) - row[x]| for x in lo..hi (-1
// when empty), with the same arithmetic as SurfaceAt in every lane: the
// index is an exact integer in a double, and max is exact, so every width
// gives the same value.
struct RowSse2 {
    static double Worst(const float* row, int64_t lo, int64_t hi, int64_t first, double start, double gx, double)
    {
        const __m128d sign = _mm_set1_pd(-0.0);
        const __m128d slope = _mm_set1_pd(gx), base = _mm_set1_pd(start), two = _mm_set1_pd(2.0);
        __m128d index = _mm_set_pd(static_cast<double>(lo - first + 1), static_cast<double>(lo - first));
        __m128d worst = _mm_set1_pd(-1.0);
        int64_t x = lo;
        for (; x + 1 <= hi; x += 2) {
            const __m128d h =
                _mm_cvtps_pd(_mm_castsi128_ps(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(row + x))));
            const __m128d e = _mm_andnot_pd(sign, _mm_sub_pd(_mm_add_pd(base, _mm_mul_pd(slope, index)), h));
            worst = _mm_max_pd(worst, e);
            index = _mm_add_pd(index, two);
        }
        double lanes[2];
        _mm_storeu_pd(lanes, worst);
        double result = std::max(lanes[0], lanes[1]);
        if (x <= hi)
            result = std::max(result, std::fabs(SurfaceAt(start, gx, x - first) - static_cast<double>(row[x])));
        return result;
    }
};

struct RowAvx2 {
    __attribute__((target("avx2"))) static double Worst(const float* row, int64_t lo, int64_t hi, int64_t first,
                                                        double start, double gx, double)
    {
        if (lo > hi)
            return -1.0;
        const __m256d sign = _mm256_set1_pd(-0.0), none = _mm256_set1_pd(-1.0);
        const __m256d slope = _mm256_set1_pd(gx), base = _mm256_set1_pd(start), four = _mm256_set1_pd(4.0);
        __m256d index = _mm256_add_pd(_mm256_set1_pd(static_cast<double>(lo - first)), _mm256_setr_pd(0, 1, 2, 3));
        __m256d worst = none;
        const float* p = row + lo;
        const int64_t n = hi - lo + 1;
        int64_t i = 0;
        for (; i + 4 <= n; i += 4) {
            const __m256d h = _mm256_cvtps_pd(_mm_loadu_ps(p + i));
            const __m256d e =
                _mm256_andnot_pd(sign, _mm256_sub_pd(_mm256_add_pd(base, _mm256_mul_pd(slope, index)), h));
            worst = _mm256_max_pd(worst, e);
            index = _mm256_add_pd(index, four);
        }
        if (i < n) {
            const __m128i lanes =
                _mm_cmpgt_epi32(_mm_set1_epi32(static_cast<int32_t>(n - i)), _mm_setr_epi32(0, 1, 2, 3));
            const __m256d h = _mm256_cvtps_pd(_mm_maskload_ps(p + i, lanes));
            const __m256d e =
                _mm256_andnot_pd(sign, _mm256_sub_pd(_mm256_add_pd(base, _mm256_mul_pd(slope, index)), h));
            worst = _mm256_max_pd(worst, _mm256_blendv_pd(none, e, _mm256_castsi256_pd(_mm256_cvtepi32_epi64(lanes))));
        }
        const __m128d half = _mm_max_pd(_mm256_castpd256_pd128(worst), _mm256_extractf128_pd(worst, 1));
        return _mm_cvtsd_f64(_mm_max_sd(half, _mm_unpackhi_pd(half, half)));
    }
};

struct RowAvx512 {
    // Returns the largest only when it is above `above`, else at most that:
    // most rows hold no new worst, and they are spared the reduction.
    __attribute__((target("avx512f,avx512vl"))) static double Worst(const float* row, int64_t lo, int64_t hi,
                                                                    int64_t first, double start, double gx,
                                                                    double above)
    {
        if (lo > hi)
            return -1.0;
        // The masked forms throughout: GCC 12 warns of the unmasked ones'
        // undefined pass-through operand.
        const __m512d slope = _mm512_set1_pd(gx), base = _mm512_set1_pd(start), eight = _mm512_set1_pd(8.0);
        const __m512d none = _mm512_set1_pd(-1.0);
        __m512d index =
            _mm512_add_pd(_mm512_set1_pd(static_cast<double>(lo - first)), _mm512_setr_pd(0, 1, 2, 3, 4, 5, 6, 7));
        __m512d worst = none;
        const float* p = row + lo;
        const int64_t n = hi - lo + 1;
        // Eight points at a time, the last eight or fewer masked; one row of
        // up to eight points takes no loop.
        for (int64_t i = 0; i < n; i += 8) {
            const __mmask8 lanes = n - i >= 8 ? __mmask8{0xff} : static_cast<__mmask8>((1u << (n - i)) - 1u);
            const __m512d h = _mm512_maskz_cvtps_pd(0xff, _mm256_maskz_loadu_ps(lanes, p + i));
            const __m512d e = _mm512_abs_pd(_mm512_sub_pd(_mm512_add_pd(base, _mm512_mul_pd(slope, index)), h));
            worst = _mm512_mask_max_pd(worst, lanes, worst, e);
            index = _mm512_add_pd(index, eight);
        }
        if (_mm512_cmp_pd_mask(worst, _mm512_set1_pd(above), _CMP_GT_OQ) == 0)
            return -1.0;
        double l[8];
        _mm512_storeu_pd(l, worst);
        return std::max(std::max(std::max(l[0], l[1]), std::max(l[2], l[3])),
                        std::max(std::max(l[4], l[5]), std::max(l[6], l[7])));
    }
};

// An edge's bound on the columns of each row, from its start s:
// s.x + floor(dx * (y - s.y) / dy) from above when dy > 0,
// s.x - floor(dx * (y - s.y) / -dy) from below when dy < 0, stepped row by
// row exactly without a division or a branch.
class EdgeBound {
public:
    // A bound that is always `x`.
    explicit EdgeBound(int64_t x) : base_(x) {}
    EdgeBound(Point s, Point e, int64_t y) : base_(s.x), sign_(e.y > s.y ? 1 : -1)
    {
        den_ = e.y > s.y ? e.y - s.y : s.y - e.y;
        const int64_t dx = e.x - s.x, num = dx * (y - s.y);
        quotient_ = FloorDiv(num, den_);
        remainder_ = num - quotient_ * den_;
        stepQuotient_ = FloorDiv(dx, den_);
        stepRemainder_ = dx - stepQuotient_ * den_;
    }
    int64_t Value() const { return base_ + sign_ * quotient_; }
    void Next()
    {
        remainder_ += stepRemainder_;
        const bool carry = remainder_ >= den_;
        remainder_ -= carry ? den_ : 0;
        quotient_ += stepQuotient_ + (carry ? 1 : 0);
    }

private:
    int64_t base_, sign_ = 1, den_ = 1, quotient_ = 0, remainder_ = 0, stepQuotient_ = 0, stepRemainder_ = 0;
};

// The triangle's worst grid point (the first in row order among equals),
// leaving out locked rows and columns: the rows ForEachRow (surface_error.cpp)
// visits, their bounds stepped instead of divided, each row's largest error
// from Kernel, and the point found once in the row that holds the largest.
template <class Kernel>
__attribute__((always_inline)) inline Worst TriangleWorst(Corner a, Corner b, Corner c, const TileHeights& heights,
                                                          int64_t width, const Locked& locked)
{
    Worst result{-1.0, -1};
    Plane plane;
    if (!MakePlane(
            a, b, c, [&](const Corner& v) { return heights.At(v); }, plane))
        return result;
    const int64_t x0 = heights.column0();
    Point p[3] = {a.p, b.p, c.p};
    if (Orient(p[0], p[1], p[2]) < 0)
        std::swap(p[1], p[2]);
    const int64_t yLow = std::min({p[0].y, p[1].y, p[2].y});
    const int64_t yHigh = std::max({p[0].y, p[1].y, p[2].y});
    const int64_t xMin = std::min({p[0].x, p[1].x, p[2].x});
    const int64_t xMax = std::max({p[0].x, p[1].x, p[2].x});
    // Each sloping edge bounds the rows from above (dy > 0) or below (dy < 0):
    // one or two each; the rest are the extreme columns. A level edge keeps
    // every row of the triangle, which lies all on its one side.
    EdgeBound upper[2] = {EdgeBound(xMax), EdgeBound(xMax)}, lower[2] = {EdgeBound(xMin), EdgeBound(xMin)};
    int uppers = 0, lowers = 0;
    for (int k = 0; k < 3; ++k) {
        const Point s = p[k], e = p[(k + 1) % 3];
        if (e.y > s.y)
            upper[uppers++] = EdgeBound(s, e, yLow);
        else if (e.y < s.y)
            lower[lowers++] = EdgeBound(s, e, yLow);
    }
    int64_t bestY = -1, bestLo = 0, bestHi = -1, bestFirst = 0;
    double bestStart = 0.0;
    for (int64_t y = yLow; y <= yHigh; ++y) {
        int64_t hi = std::min({xMax, upper[0].Value(), upper[1].Value()});
        int64_t lo = std::max({xMin, lower[0].Value(), lower[1].Value()});
        upper[0].Next(), upper[1].Next(), lower[0].Next(), lower[1].Next();
        if (lo > hi || y == locked.rows[0] || y == locked.rows[1])
            continue;
        const double rowBase = plane.z0 + plane.gy * static_cast<double>(y - plane.y0);
        const double start = rowBase + plane.gx * static_cast<double>(lo - plane.x0);
        const int64_t first = lo;
        if (lo == locked.columns[0])
            ++lo;
        if (hi == locked.columns[1])
            --hi;
        const double rowWorst =
            Kernel::Worst(heights.Row(y), lo - x0, hi - x0, first - x0, start, plane.gx, result.error);
        if (!(rowWorst > result.error))
            continue;
        result.error = rowWorst;
        bestY = y, bestLo = lo, bestHi = hi, bestFirst = first, bestStart = start;
    }
    if (bestY < 0)
        return {-1.0, -1};
    const float* row = heights.Row(bestY);
    for (int64_t x = bestLo; x <= bestHi; ++x) {
        if (std::fabs(SurfaceAt(bestStart, plane.gx, x - bestFirst) - static_cast<double>(row[x - x0])) ==
            result.error) {
            result.point = static_cast<int32_t>(bestY * width + x);
            return result;
        }
    }
    return {-1.0, -1};
}

Worst TriangleWorstSse2(Corner a, Corner b, Corner c, const TileHeights& heights, int64_t width, const Locked& locked)
{
    return TriangleWorst<RowSse2>(a, b, c, heights, width, locked);
}
__attribute__((target("avx2"))) Worst TriangleWorstAvx2(Corner a, Corner b, Corner c, const TileHeights& heights,
                                                        int64_t width, const Locked& locked)
{
    return TriangleWorst<RowAvx2>(a, b, c, heights, width, locked);
}
__attribute__((target("avx512f,avx512vl"))) Worst TriangleWorstAvx512(Corner a, Corner b, Corner c,
                                                                      const TileHeights& heights, int64_t width,
                                                                      const Locked& locked)
{
    return TriangleWorst<RowAvx512>(a, b, c, heights, width, locked);
}

}  // namespace

TriangleScan ChooseTriangleScan(unsigned lanes)
{
    static const bool avx512 = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl");
    }();
    static const bool avx2 = __builtin_cpu_supports("avx2");
    if (lanes == 0)
        lanes = 8;
    if (lanes >= 8 && avx512)
        return TriangleWorstAvx512;
    if (lanes >= 4 && avx2)
        return TriangleWorstAvx2;
    return TriangleWorstSse2;
}

}  // namespace heightmesh::tool::tin
