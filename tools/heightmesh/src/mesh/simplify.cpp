#include "mesh/simplify.h"

#include "common/parallel.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <limits>
#include <thread>

#include <immintrin.h>

namespace heightmesh::tool {

namespace {

__extension__ typedef __int128 Wide;

// Tiles are simplified on their own threads; their borders are fixed first.
// At 512 cells a tile's heights (1 MB) stay in a core's cache, the tiles
// spread evenly over the threads and the border lines cost no more triangles
// than they save.
constexpr int32_t kTileCells = 512;

struct Point {
    int64_t x, y;
};

Point PointOf(int32_t id, int32_t width) { return {id % width, id / width}; }

// Twice the signed area of (a, b, c): > 0 when counter-clockwise in (column, row).
Wide Orient(Point a, Point b, Point c) {
    return Wide(b.x - a.x) * (c.y - a.y) - Wide(c.x - a.x) * (b.y - a.y);
}

// Whether d lies strictly inside the circle through the counter-clockwise a,
// b, c, exactly: T must hold fourth powers of the coordinate differences.
template <class T>
bool InCircle(Point a, Point b, Point c, Point d) {
    const T adx = a.x - d.x, ady = a.y - d.y, bdx = b.x - d.x, bdy = b.y - d.y, cdx = c.x - d.x, cdy = c.y - d.y;
    const T det = (adx * adx + ady * ady) * (bdx * cdy - cdx * bdy) + (bdx * bdx + bdy * bdy) * (cdx * ady - adx * cdy) +
                  (cdx * cdx + cdy * cdy) * (adx * bdy - bdx * ady);
    return det > 0;
}

int64_t FloorDiv(int64_t a, int64_t b) { return a >= 0 ? a / b : -((-a + b - 1) / b); }

// The plane through three grid vertices, set up from the vertices in
// ascending index order so that every caller gets the same rounding.
struct Plane {
    int64_t x0, y0;
    double z0, gx, gy;
};

// A grid vertex: its (column, row) and its index.
struct Corner {
    Point p;
    int32_t id;
};

Corner CornerOf(int32_t id, int32_t width) { return {PointOf(id, width), id}; }

template <class HeightOf>
bool MakePlane(Corner a, Corner b, Corner c, HeightOf heightOf, Plane& plane) {
    Corner v[3] = {a, b, c};
    if (v[1].id < v[0].id) std::swap(v[0], v[1]);
    if (v[2].id < v[1].id) std::swap(v[1], v[2]);
    if (v[1].id < v[0].id) std::swap(v[0], v[1]);
    const Point p0 = v[0].p, p1 = v[1].p, p2 = v[2].p;
    const int64_t den = (p1.x - p0.x) * (p2.y - p0.y) - (p2.x - p0.x) * (p1.y - p0.y);
    if (den == 0) return false;
    const double z0 = heightOf(v[0]);
    const double dz1 = static_cast<double>(heightOf(v[1])) - z0;
    const double dz2 = static_cast<double>(heightOf(v[2])) - z0;
    const double d = static_cast<double>(den);
    plane.x0 = p0.x;
    plane.y0 = p0.y;
    plane.z0 = z0;
    plane.gx = (dz1 * static_cast<double>(p2.y - p0.y) - dz2 * static_cast<double>(p1.y - p0.y)) / d;
    plane.gy = (dz2 * static_cast<double>(p1.x - p0.x) - dz1 * static_cast<double>(p2.x - p0.x)) / d;
    return true;
}

// Calls row(y, xLow, xHigh, start, gx) for every row of grid points inside the
// closed triangle; the surface at (xLow + i, y) is SurfaceAt(start, gx, i).
template <class Row>
void ForEachRow(Corner a, Corner b, Corner c, std::span<const float> heights, Row&& row) {
    Plane plane;
    if (!MakePlane(a, b, c, [&](const Corner& v) { return heights[static_cast<std::size_t>(v.id)]; }, plane)) return;
    Point p[3] = {a.p, b.p, c.p};
    if (Orient(p[0], p[1], p[2]) < 0) std::swap(p[1], p[2]);
    const int64_t yLow = std::min({p[0].y, p[1].y, p[2].y});
    const int64_t yHigh = std::max({p[0].y, p[1].y, p[2].y});
    const int64_t xMin = std::min({p[0].x, p[1].x, p[2].x});
    const int64_t xMax = std::max({p[0].x, p[1].x, p[2].x});
    for (int64_t y = yLow; y <= yHigh; ++y) {
        int64_t lo = xMin, hi = xMax;
        bool empty = false;
        for (int k = 0; k < 3; ++k) {
            const Point s = p[k], e = p[(k + 1) % 3];
            const int64_t dy = e.y - s.y;
            const int64_t num = (e.x - s.x) * (y - s.y);
            if (dy == 0) {
                if (num < 0) empty = true;
            } else if (dy > 0) {
                hi = std::min(hi, s.x + FloorDiv(num, dy));
            } else {
                lo = std::max(lo, s.x - FloorDiv(num, -dy));
            }
        }
        if (empty || lo > hi) continue;
        const double rowBase = plane.z0 + plane.gy * static_cast<double>(y - plane.y0);
        const double start = rowBase + plane.gx * static_cast<double>(lo - plane.x0);
        row(y, lo, hi, start, plane.gx);
    }
}

inline double SurfaceAt(double start, double gx, int64_t i) { return start + gx * static_cast<double>(i); }

// The largest |SurfaceAt(start, gx, x - first) - row[x]| for x in lo..hi (-1
// when empty), with the same arithmetic as SurfaceAt in every lane: the
// index is an exact integer in a double, and max is exact, so every width
// gives the same value.
struct RowSse2 {
    static double Worst(const float* row, int64_t lo, int64_t hi, int64_t first, double start, double gx, double) {
        const __m128d sign = _mm_set1_pd(-0.0);
        const __m128d slope = _mm_set1_pd(gx), base = _mm_set1_pd(start), two = _mm_set1_pd(2.0);
        __m128d index = _mm_set_pd(static_cast<double>(lo - first + 1), static_cast<double>(lo - first));
        __m128d worst = _mm_set1_pd(-1.0);
        int64_t x = lo;
        for (; x + 1 <= hi; x += 2) {
            const __m128d h = _mm_cvtps_pd(_mm_castsi128_ps(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(row + x))));
            const __m128d e = _mm_andnot_pd(sign, _mm_sub_pd(_mm_add_pd(base, _mm_mul_pd(slope, index)), h));
            worst = _mm_max_pd(worst, e);
            index = _mm_add_pd(index, two);
        }
        double lanes[2];
        _mm_storeu_pd(lanes, worst);
        double result = std::max(lanes[0], lanes[1]);
        if (x <= hi) result = std::max(result, std::fabs(SurfaceAt(start, gx, x - first) - static_cast<double>(row[x])));
        return result;
    }
};

struct RowAvx2 {
    __attribute__((target("avx2"))) static double Worst(const float* row, int64_t lo, int64_t hi, int64_t first,
                                                        double start, double gx, double) {
        if (lo > hi) return -1.0;
        const __m256d sign = _mm256_set1_pd(-0.0), none = _mm256_set1_pd(-1.0);
        const __m256d slope = _mm256_set1_pd(gx), base = _mm256_set1_pd(start), four = _mm256_set1_pd(4.0);
        __m256d index = _mm256_add_pd(_mm256_set1_pd(static_cast<double>(lo - first)), _mm256_setr_pd(0, 1, 2, 3));
        __m256d worst = none;
        const float* p = row + lo;
        const int64_t n = hi - lo + 1;
        int64_t i = 0;
        for (; i + 4 <= n; i += 4) {
            const __m256d h = _mm256_cvtps_pd(_mm_loadu_ps(p + i));
            const __m256d e = _mm256_andnot_pd(sign, _mm256_sub_pd(_mm256_add_pd(base, _mm256_mul_pd(slope, index)), h));
            worst = _mm256_max_pd(worst, e);
            index = _mm256_add_pd(index, four);
        }
        if (i < n) {
            const __m128i lanes = _mm_cmpgt_epi32(_mm_set1_epi32(static_cast<int32_t>(n - i)), _mm_setr_epi32(0, 1, 2, 3));
            const __m256d h = _mm256_cvtps_pd(_mm_maskload_ps(p + i, lanes));
            const __m256d e = _mm256_andnot_pd(sign, _mm256_sub_pd(_mm256_add_pd(base, _mm256_mul_pd(slope, index)), h));
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
                                                                    double above) {
        if (lo > hi) return -1.0;
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
        if (_mm512_cmp_pd_mask(worst, _mm512_set1_pd(above), _CMP_GT_OQ) == 0) return -1.0;
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
    EdgeBound(Point s, Point e, int64_t y) : base_(s.x), sign_(e.y > s.y ? 1 : -1) {
        den_ = e.y > s.y ? e.y - s.y : s.y - e.y;
        const int64_t dx = e.x - s.x, num = dx * (y - s.y);
        quotient_ = FloorDiv(num, den_);
        remainder_ = num - quotient_ * den_;
        stepQuotient_ = FloorDiv(dx, den_);
        stepRemainder_ = dx - stepQuotient_ * den_;
    }
    int64_t Value() const { return base_ + sign_ * quotient_; }
    void Next() {
        remainder_ += stepRemainder_;
        const bool carry = remainder_ >= den_;
        remainder_ -= carry ? den_ : 0;
        quotient_ += stepQuotient_ + (carry ? 1 : 0);
    }

private:
    int64_t base_, sign_ = 1, den_ = 1, quotient_ = 0, remainder_ = 0, stepQuotient_ = 0, stepRemainder_ = 0;
};

// What a triangle's scan leaves out: grid points on a locked border.
struct Locked {
    int64_t rows[2], columns[2];
};

struct Worst {
    double error;
    int32_t point;  // -1: none
};

// The triangle's worst grid point (the first in row order among equals),
// leaving out locked rows and columns: the rows of ForEachRow, their bounds
// stepped instead of divided, each row's largest error from Kernel, and the
// point found once in the row that holds the largest.
// A tile's heights, copied with a row stride of an odd number of cache lines
// so that the rows of a triangle fall into different cache sets (a power of
// two stride puts them all into a few).
class TileHeights {
public:
    TileHeights(std::span<const float> heights, int64_t width, const CellRect& tile)
        : column0_(tile.column0), row0_(tile.row0) {
        const int64_t columns = tile.column1 - tile.column0 + 1, rows = tile.row1 - tile.row0 + 1;
        stride_ = (columns + 15) / 16 * 16;
        if (stride_ / 16 % 2 == 0) stride_ += 16;
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

template <class Kernel>
__attribute__((always_inline)) inline Worst TriangleWorst(Corner a, Corner b, Corner c, const TileHeights& heights,
                                                          int64_t width, const Locked& locked) {
    Worst result{-1.0, -1};
    Plane plane;
    if (!MakePlane(a, b, c, [&](const Corner& v) { return heights.At(v); }, plane)) return result;
    const int64_t x0 = heights.column0();
    Point p[3] = {a.p, b.p, c.p};
    if (Orient(p[0], p[1], p[2]) < 0) std::swap(p[1], p[2]);
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
        if (e.y > s.y) upper[uppers++] = EdgeBound(s, e, yLow);
        else if (e.y < s.y) lower[lowers++] = EdgeBound(s, e, yLow);
    }
    int64_t bestY = -1, bestLo = 0, bestHi = -1, bestFirst = 0;
    double bestStart = 0.0;
    for (int64_t y = yLow; y <= yHigh; ++y) {
        int64_t hi = std::min({xMax, upper[0].Value(), upper[1].Value()});
        int64_t lo = std::max({xMin, lower[0].Value(), lower[1].Value()});
        upper[0].Next(), upper[1].Next(), lower[0].Next(), lower[1].Next();
        if (lo > hi || y == locked.rows[0] || y == locked.rows[1]) continue;
        const double rowBase = plane.z0 + plane.gy * static_cast<double>(y - plane.y0);
        const double start = rowBase + plane.gx * static_cast<double>(lo - plane.x0);
        const int64_t first = lo;
        if (lo == locked.columns[0]) ++lo;
        if (hi == locked.columns[1]) --hi;
        const double rowWorst = Kernel::Worst(heights.Row(y), lo - x0, hi - x0, first - x0, start, plane.gx, result.error);
        if (!(rowWorst > result.error)) continue;
        result.error = rowWorst;
        bestY = y, bestLo = lo, bestHi = hi, bestFirst = first, bestStart = start;
    }
    if (bestY < 0) return {-1.0, -1};
    const float* row = heights.Row(bestY);
    for (int64_t x = bestLo; x <= bestHi; ++x) {
        if (std::fabs(SurfaceAt(bestStart, plane.gx, x - bestFirst) - static_cast<double>(row[x - x0])) == result.error) {
            result.point = static_cast<int32_t>(bestY * width + x);
            return result;
        }
    }
    return {-1.0, -1};
}

using TriangleScan = Worst (*)(Corner, Corner, Corner, const TileHeights&, int64_t, const Locked&);

Worst TriangleWorstSse2(Corner a, Corner b, Corner c, const TileHeights& heights, int64_t width, const Locked& locked) {
    return TriangleWorst<RowSse2>(a, b, c, heights, width, locked);
}
__attribute__((target("avx2"))) Worst TriangleWorstAvx2(Corner a, Corner b, Corner c, const TileHeights& heights,
                                                        int64_t width, const Locked& locked) {
    return TriangleWorst<RowAvx2>(a, b, c, heights, width, locked);
}
__attribute__((target("avx512f,avx512vl"))) Worst TriangleWorstAvx512(Corner a, Corner b, Corner c,
                                                                      const TileHeights& heights, int64_t width,
                                                                      const Locked& locked) {
    return TriangleWorst<RowAvx512>(a, b, c, heights, width, locked);
}

// The scan of `lanes` lanes (0: the widest this processor runs), narrower
// when the processor lacks it; every one finds the same point.
TriangleScan ChooseTriangleScan(unsigned lanes) {
    static const bool avx512 = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl");
    }();
    static const bool avx2 = __builtin_cpu_supports("avx2");
    if (lanes == 0) lanes = 8;
    if (lanes >= 8 && avx512) return TriangleWorstAvx512;
    if (lanes >= 4 && avx2) return TriangleWorstAvx2;
    return TriangleWorstSse2;
}

// Integral image of the kept cells of `area`, for counting the kept cells of
// a rectangle inside it.
class KeptCounter {
public:
    KeptCounter(std::span<const uint8_t> mask, int32_t maskColumns, const CellRect& area)
        : column0_(area.column0), row0_(area.row0), columns_(area.column1 - area.column0),
          sums_(static_cast<std::size_t>(columns_ + 1) * static_cast<std::size_t>(area.row1 - area.row0 + 1), 0) {
        for (int32_t r = 0; r < area.row1 - area.row0; ++r) {
            const uint8_t* cells = mask.data() + static_cast<std::size_t>(r + row0_) * maskColumns + column0_;
            uint32_t run = 0;
            for (int32_t c = 0; c < columns_; ++c) {
                run += cells[c] & 1u;
                At(c + 1, r + 1) = At(c + 1, r) + run;
            }
        }
    }
    int64_t Count(const CellRect& q) const {
        const int32_t c0 = q.column0 - column0_, c1 = q.column1 - column0_, r0 = q.row0 - row0_, r1 = q.row1 - row0_;
        return int64_t{At(c1, r1)} - At(c0, r1) - At(c1, r0) + At(c0, r0);
    }

private:
    uint32_t& At(int32_t c, int32_t r) { return sums_[static_cast<std::size_t>(r) * (columns_ + 1) + c]; }
    uint32_t At(int32_t c, int32_t r) const { return sums_[static_cast<std::size_t>(r) * (columns_ + 1) + c]; }
    int32_t column0_, row0_, columns_;
    std::vector<uint32_t> sums_;
};

// Splits `area` in halves along its longer side until every part is wholly
// kept (appended to `out`) or wholly dropped.
void CoverRect(const KeptCounter& counter, CellRect area, std::vector<CellRect>& out) {
    std::vector<CellRect> stack{area};
    while (!stack.empty()) {
        const CellRect q = stack.back();
        stack.pop_back();
        const int64_t kept = counter.Count(q);
        if (kept == 0) continue;
        const int64_t cells = int64_t{q.column1 - q.column0} * (q.row1 - q.row0);
        if (kept == cells) {
            out.push_back(q);
            continue;
        }
        if (q.column1 - q.column0 >= q.row1 - q.row0) {
            const int32_t mid = q.column0 + (q.column1 - q.column0) / 2;
            stack.push_back({mid, q.row0, q.column1, q.row1});
            stack.push_back({q.column0, q.row0, mid, q.row1});
        } else {
            const int32_t mid = q.row0 + (q.row1 - q.row0) / 2;
            stack.push_back({q.column0, mid, q.column1, q.row1});
            stack.push_back({q.column0, q.row0, q.column1, mid});
        }
    }
}

std::vector<CellRect> Tiles(int32_t columns, int32_t rows, int32_t tileCells) {
    std::vector<CellRect> tiles;
    const int32_t step = tileCells > 0 ? tileCells : std::max(columns, rows);
    for (int32_t r = 0; r < rows; r += step)
        for (int32_t c = 0; c < columns; c += step)
            tiles.push_back({c, r, std::min(columns, c + step), std::min(rows, r + step)});
    return tiles;
}

// Triangulates the polygon p0, leg1..., corner, leg2..., p2 (counter-clockwise,
// the legs straight, the closing edge p2-p0 free of points) into `out`.
void TriangulateCorner(int32_t p0, const std::vector<int32_t>& leg1, int32_t corner, const std::vector<int32_t>& leg2,
                       int32_t p2, std::vector<int32_t>& out) {
    const auto emit = [&](int32_t a, int32_t b, int32_t c) { out.insert(out.end(), {a, b, c}); };
    int32_t previous = p0;
    for (const int32_t a : leg1) {
        emit(previous, a, p2);
        previous = a;
    }
    int32_t from = corner;
    for (const int32_t b : leg2) {
        emit(previous, from, b);
        from = b;
    }
    emit(previous, from, p2);
}

// A triangle with its worst grid point: 32 bytes, so that one cache line
// holds what an insertion reads and writes of it.
struct alignas(32) Triangle {
    int32_t v[3];  // counter-clockwise in (column, row)
    int32_t n[3];  // the triangle across edge (v[k], v[k+1]), or -1 on the outline
    int32_t candidate = -1;  // its worst grid point, -1: none
    uint32_t stamp = 0;      // which of its queue entries is current
};

struct Candidate {
    int32_t triangle;
    uint32_t stamp;
};

// A binary max-heap of candidates by error that takes and gives them in the
// order std::priority_queue of libstdc++ does (the same sift steps, so that
// equal errors come out in the same order), with the errors kept apart from
// the rest so that the sift steps read half the memory.
class WorstFirst {
public:
    bool empty() const { return errors_.empty(); }
    double topError() const { return errors_[0]; }
    Candidate top() const { return items_[0]; }

    void push(double error, Candidate item) {
        errors_.push_back(error);
        items_.push_back(item);
        SiftUp(errors_.size() - 1, 0, error, item);
    }

    void pop() {
        const std::size_t last = errors_.size() - 1;
        if (last > 0) {
            const double error = errors_[last];
            const Candidate item = items_[last];
            errors_[last] = errors_[0];
            items_[last] = items_[0];
            // Move the hole at the top down to a leaf along the larger
            // children, then the last entry up from there.
            const std::size_t length = last;
            std::size_t hole = 0, child = 0;
            while (child < (length - 1) / 2) {
                child = 2 * (child + 1);
                if (errors_[child] < errors_[child - 1]) --child;
                Move(hole, child);
                hole = child;
            }
            if ((length & 1) == 0 && child == (length - 2) / 2) {
                child = 2 * (child + 1);
                Move(hole, child - 1);
                hole = child - 1;
            }
            SiftUp(hole, 0, error, item);
        }
        errors_.pop_back();
        items_.pop_back();
    }

private:
    void Move(std::size_t to, std::size_t from) {
        errors_[to] = errors_[from];
        items_[to] = items_[from];
    }
    void SiftUp(std::size_t hole, std::size_t top, double error, Candidate item) {
        std::size_t parent = (hole - 1) / 2;
        while (hole > top && errors_[parent] < error) {
            Move(hole, parent);
            hole = parent;
            parent = (hole - 1) / 2;
        }
        errors_[hole] = error;
        items_[hole] = item;
    }

    std::vector<double> errors_;
    std::vector<Candidate> items_;
};

// The greedy insertion over one tile's kept region. Triangles name the tile's
// own vertices, which remember their grid point.
class Tin {
public:
    Tin(std::span<const float> heights, int32_t width, const CellRect& tile, int32_t lastColumn, int32_t lastRow,
        bool narrow, unsigned lanes)
        : heights_(heights, width, tile), width_(width), narrow_(narrow), scan_(ChooseTriangleScan(lanes)) {
        // Points on a border shared with another tile are fixed.
        locked_.columns[0] = tile.column0 > 0 ? tile.column0 : -1;
        locked_.columns[1] = tile.column1 < lastColumn ? tile.column1 : -1;
        locked_.rows[0] = tile.row0 > 0 ? tile.row0 : -1;
        locked_.rows[1] = tile.row1 < lastRow ? tile.row1 : -1;
    }

    // Starts from triangles over grid point indices.
    void Build(const std::vector<int32_t>& gridCorners) {
        std::vector<int32_t> ids(gridCorners);
        std::sort(ids.begin(), ids.end());
        ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
        for (const int32_t id : ids) corners_.push_back(CornerOf(id, width_));
        const auto local = [&](int32_t id) {
            return static_cast<int32_t>(std::lower_bound(ids.begin(), ids.end(), id) - ids.begin());
        };
        const std::size_t count = gridCorners.size() / 3;
        triangles_.resize(count);
        std::vector<std::pair<uint64_t, int32_t>> edges;
        edges.reserve(3 * count);
        for (std::size_t t = 0; t < count; ++t) {
            Triangle& tri = triangles_[t];
            for (int k = 0; k < 3; ++k) {
                tri.v[k] = local(gridCorners[3 * t + static_cast<std::size_t>(k)]);
                tri.n[k] = -1;
            }
            for (int k = 0; k < 3; ++k) {
                const uint32_t a = static_cast<uint32_t>(tri.v[k]), b = static_cast<uint32_t>(tri.v[(k + 1) % 3]);
                const uint64_t key = (uint64_t{std::min(a, b)} << 32) | std::max(a, b);
                edges.emplace_back(key, static_cast<int32_t>(3 * t + static_cast<std::size_t>(k)));
            }
        }
        std::sort(edges.begin(), edges.end());
        for (std::size_t i = 0; i + 1 < edges.size(); ++i) {
            if (edges[i].first != edges[i + 1].first) continue;
            const int32_t e = edges[i].second, f = edges[i + 1].second;
            triangles_[static_cast<std::size_t>(e / 3)].n[e % 3] = f / 3;
            triangles_[static_cast<std::size_t>(f / 3)].n[f % 3] = e / 3;
            ++i;
        }
        // Delaunay (constrained by the outline) before any insertion.
        for (int32_t t = 0; t < static_cast<int32_t>(count); ++t)
            for (int k = 0; k < 3; ++k) pending_.push_back({t, k});
        Legalize();
        touched_.clear();
        for (int32_t t = 0; t < static_cast<int32_t>(triangles_.size()); ++t) Rescan(t);
    }

    // Inserts the worst point until every point is within `maxError` or the
    // next insertion would pass `maxTriangles` (0: no limit).
    void Refine(double maxError, int64_t maxTriangles) {
        while (!queue_.empty()) {
            const double error = queue_.topError();
            const Candidate top = queue_.top();
            queue_.pop();
            const Triangle& tri = triangles_[static_cast<std::size_t>(top.triangle)];
            if (top.stamp != tri.stamp) continue;
            if (error <= maxError) break;
            if (maxTriangles > 0 && static_cast<int64_t>(triangles_.size()) + 2 > maxTriangles) break;
            Insert(top.triangle, tri.candidate);
        }
    }

    std::size_t triangleCount() const { return triangles_.size(); }
    // Grid point of corner k of triangle t.
    int32_t GridVertex(std::size_t t, int k) const { return corners_[static_cast<std::size_t>(triangles_[t].v[k])].id; }
    bool OnOutline(std::size_t t, int k) const { return triangles_[t].n[k] < 0; }

private:
    const Point& P(int32_t v) const { return corners_[static_cast<std::size_t>(v)].p; }

    bool CircleHolds(int32_t a, int32_t b, int32_t c, int32_t d) const {
        return narrow_ ? InCircle<int64_t>(P(a), P(b), P(c), P(d)) : InCircle<Wide>(P(a), P(b), P(c), P(d));
    }

    // Points the neighbour across from `t` at `replacement` instead.
    void Repoint(int32_t neighbour, int32_t t, int32_t replacement) {
        if (neighbour < 0) return;
        Triangle& n = triangles_[static_cast<std::size_t>(neighbour)];
        for (int k = 0; k < 3; ++k)
            if (n.n[k] == t) n.n[k] = replacement;
    }

    int32_t NewTriangle() {
        triangles_.push_back({});
        return static_cast<int32_t>(triangles_.size() - 1);
    }

    void Set(int32_t t, int32_t a, int32_t b, int32_t c, int32_t nab, int32_t nbc, int32_t nca) {
        Triangle& tri = triangles_[static_cast<std::size_t>(t)];
        tri.v[0] = a, tri.v[1] = b, tri.v[2] = c;
        tri.n[0] = nab, tri.n[1] = nbc, tri.n[2] = nca;
        touched_.push_back(t);
    }

    void Insert(int32_t t, int32_t gridPoint) {
        const int32_t p = static_cast<int32_t>(corners_.size());
        corners_.push_back(CornerOf(gridPoint, width_));
        const Point pp = P(p);
        const Triangle tri = triangles_[static_cast<std::size_t>(t)];
        int onEdge = -1;
        for (int k = 0; k < 3; ++k)
            if (Orient(P(tri.v[k]), P(tri.v[(k + 1) % 3]), pp) == 0) onEdge = k;
        if (onEdge < 0) {
            const int32_t a = tri.v[0], b = tri.v[1], c = tri.v[2];
            const int32_t nab = tri.n[0], nbc = tri.n[1], nca = tri.n[2];
            const int32_t t1 = NewTriangle(), t2 = NewTriangle();
            Set(t, a, b, p, nab, t1, t2);
            Set(t1, b, c, p, nbc, t2, t);
            Set(t2, c, a, p, nca, t, t1);
            Repoint(nbc, t, t1);
            Repoint(nca, t, t2);
            pending_.insert(pending_.end(), {{t, 0}, {t1, 0}, {t2, 0}});
        } else {
            // p splits edge (a, b) of t = (a, b, c), and of u = (b, a, d) across it.
            const int32_t a = tri.v[onEdge], b = tri.v[(onEdge + 1) % 3], c = tri.v[(onEdge + 2) % 3];
            const int32_t nbc = tri.n[(onEdge + 1) % 3], nca = tri.n[(onEdge + 2) % 3];
            const int32_t u = tri.n[onEdge];
            const int32_t t1 = NewTriangle();
            if (u < 0) {
                Set(t, c, a, p, nca, -1, t1);
                Set(t1, b, c, p, nbc, t, -1);
                Repoint(nbc, t, t1);
                pending_.insert(pending_.end(), {{t, 0}, {t1, 0}});
            } else {
                const Triangle ut = triangles_[static_cast<std::size_t>(u)];
                int ue = 0;
                while (ut.n[ue] != t) ++ue;
                const int32_t d = ut.v[(ue + 2) % 3];
                const int32_t nad = ut.n[(ue + 1) % 3], ndb = ut.n[(ue + 2) % 3];
                const int32_t u1 = NewTriangle();
                Set(t, c, a, p, nca, u, t1);
                Set(t1, b, c, p, nbc, t, u1);
                Set(u, a, d, p, nad, u1, t);
                Set(u1, d, b, p, ndb, t1, u);
                Repoint(nbc, t, t1);
                Repoint(ndb, u, u1);
                pending_.insert(pending_.end(), {{t, 0}, {t1, 0}, {u, 0}, {u1, 0}});
            }
        }
        Legalize();
        // Each changed triangle once, in the order first changed.
        if (touched_.size() <= 64) {
            for (std::size_t k = 0; k < touched_.size(); ++k)
                if (std::find(touched_.begin(), touched_.begin() + static_cast<std::ptrdiff_t>(k), touched_[k]) ==
                    touched_.begin() + static_cast<std::ptrdiff_t>(k))
                    Rescan(touched_[k]);
        } else {
            ++generation_;
            if (seen_.size() < triangles_.size()) seen_.resize(triangles_.size() + triangles_.size() / 2, 0);
            for (const int32_t changed : touched_) {
                if (seen_[static_cast<std::size_t>(changed)] == generation_) continue;
                seen_[static_cast<std::size_t>(changed)] = generation_;
                Rescan(changed);
            }
        }
        touched_.clear();
    }

    // Flips pending edges that are not locally Delaunay, and the edges that
    // flips expose, until none is left. The outline has no triangle across
    // and is never flipped.
    void Legalize() {
        while (!pending_.empty()) {
            const auto [t, k] = pending_.back();
            pending_.pop_back();
            const Triangle tri = triangles_[static_cast<std::size_t>(t)];
            const int32_t n = tri.n[k];
            if (n < 0) continue;
            const Triangle nt = triangles_[static_cast<std::size_t>(n)];
            int ne = 0;
            while (ne < 3 && nt.n[ne] != t) ++ne;
            if (ne == 3) continue;
            const int32_t a = tri.v[k], b = tri.v[(k + 1) % 3], c = tri.v[(k + 2) % 3];
            const int32_t d = nt.v[(ne + 2) % 3];
            if (!CircleHolds(a, b, c, d)) continue;
            // Flip (a, b) to (c, d): t = (a, d, c), n = (d, b, c).
            const int32_t tbc = tri.n[(k + 1) % 3], tca = tri.n[(k + 2) % 3];
            const int32_t nad = nt.n[(ne + 1) % 3], ndb = nt.n[(ne + 2) % 3];
            Set(t, a, d, c, nad, n, tca);
            Set(n, d, b, c, ndb, tbc, t);
            Repoint(nad, n, t);
            Repoint(tbc, t, n);
            pending_.push_back({t, 0});
            pending_.push_back({n, 0});
        }
    }

    // Finds the triangle's worst grid point and queues it. Points on a locked
    // border (the triangle's extreme rows or columns) are already within the
    // bound and are left out.
    void Rescan(int32_t t) {
        const Triangle& tri = triangles_[static_cast<std::size_t>(t)];
        const Corner& a = corners_[static_cast<std::size_t>(tri.v[0])];
        const Corner& b = corners_[static_cast<std::size_t>(tri.v[1])];
        const Corner& c = corners_[static_cast<std::size_t>(tri.v[2])];
        const Worst worst = scan_(a, b, c, heights_, width_, locked_);
        Triangle& record = triangles_[static_cast<std::size_t>(t)];
        record.candidate = worst.point;
        ++record.stamp;
        // A vertex of the triangle is never worth inserting.
        if (worst.point < 0 || worst.point == a.id || worst.point == b.id || worst.point == c.id) return;
        queue_.push(worst.error, {t, record.stamp});
    }

    TileHeights heights_;  // the vertices' heights over the tile
    int32_t width_;
    bool narrow_;
    Locked locked_;
    TriangleScan scan_;
    std::vector<Corner> corners_;
    std::vector<Triangle> triangles_;
    std::vector<uint32_t> seen_;
    uint32_t generation_ = 0;
    WorstFirst queue_;
    std::vector<std::pair<int32_t, int>> pending_;
    std::vector<int32_t> touched_;
};

// Marks the points of one tile border line that its two sides share, beyond
// the rectangle corners already marked: between consecutive marked points the
// line is simplified on its own (split at the farthest point) to the bound.
void SimplifyBorderLine(std::span<const float> heights, std::span<const uint8_t> cellMask, int32_t width,
                        int32_t height, bool vertical, int32_t line, double maxError, std::vector<uint8_t>& marks) {
    const int32_t columns = width - 1;
    const int32_t length = vertical ? height : width;
    const auto point = [&](int32_t t) {
        return vertical ? static_cast<std::size_t>(t) * width + line : static_cast<std::size_t>(line) * width + t;
    };
    const auto kept = [&](int32_t c, int32_t r) {
        return c >= 0 && r >= 0 && c < columns && r < height - 1 && (cellMask[static_cast<std::size_t>(r) * columns + c] & 1);
    };
    // Whether the segment from t to t + 1 borders a kept cell.
    const auto active = [&](int32_t t) {
        return vertical ? kept(line - 1, t) || kept(line, t) : kept(t, line - 1) || kept(t, line);
    };
    std::vector<std::pair<int32_t, int32_t>> stack;
    int32_t last = -1;
    for (int32_t t = 0; t < length; ++t) {
        if (!marks[point(t)]) continue;
        if (last >= 0 && t - last > 1 && active(last)) stack.push_back({last, t});
        while (!stack.empty()) {
            const auto [a, b] = stack.back();
            stack.pop_back();
            const double za = heights[point(a)], zb = heights[point(b)];
            double worst = -1.0;
            int32_t at = -1;
            for (int32_t s = a + 1; s < b; ++s) {
                const double f = static_cast<double>(s - a) / static_cast<double>(b - a);
                const double e = std::fabs(za + (zb - za) * f - static_cast<double>(heights[point(s)]));
                if (e > worst) {
                    worst = e;
                    at = s;
                }
            }
            if (at < 0 || worst <= maxError) continue;
            marks[point(at)] = 1;
            stack.push_back({a, at});
            stack.push_back({at, b});
        }
        last = t;
    }
}

// An estimate of a tile's cost: the triangles greedy insertion makes grow
// with the square root of the surface's curvature, here measured every
// eighth point as second differences over eight points.
double Roughness(std::span<const float> heights, int32_t width, const CellRect& q) {
    constexpr int32_t step = 8;
    double sum = 0.0;
    for (int32_t r = q.row0 + step; r + step <= q.row1; r += step) {
        const float* row = heights.data() + static_cast<std::size_t>(r) * width;
        const float* up = row - static_cast<std::size_t>(step) * width;
        const float* down = row + static_cast<std::size_t>(step) * width;
        for (int32_t c = q.column0 + step; c + step <= q.column1; c += step) {
            const double h = row[c];
            const double xx = std::fabs(row[c - step] + row[c + step] - 2.0 * h);
            const double yy = std::fabs(up[c] + down[c] - 2.0 * h);
            sum += std::sqrt(std::max(xx, yy));
        }
    }
    return sum;
}

}  // namespace

std::vector<CellRect> CoverKeptCells(std::span<const uint8_t> cellMask, int32_t width, int32_t height, int32_t tileCells) {
    const KeptCounter counter(cellMask, width - 1, {0, 0, width - 1, height - 1});
    std::vector<CellRect> rects;
    for (const CellRect& tile : Tiles(width - 1, height - 1, tileCells)) CoverRect(counter, tile, rects);
    return rects;
}

void TriangulateRects(std::span<const CellRect> rects, std::span<const uint8_t> marks, int32_t width,
                      std::vector<int32_t>& triangles) {
    std::vector<int32_t> ab, bc, cd, da;
    const auto id = [&](int32_t c, int32_t r) { return r * width + c; };
    const auto marked = [&](int32_t c, int32_t r) { return marks[static_cast<std::size_t>(id(c, r))] != 0; };
    for (const CellRect& q : rects) {
        ab.clear(), bc.clear(), cd.clear(), da.clear();
        for (int32_t c = q.column0 + 1; c < q.column1; ++c)
            if (marked(c, q.row0)) ab.push_back(id(c, q.row0));
        for (int32_t r = q.row0 + 1; r < q.row1; ++r)
            if (marked(q.column1, r)) bc.push_back(id(q.column1, r));
        for (int32_t c = q.column1 - 1; c > q.column0; --c)
            if (marked(c, q.row1)) cd.push_back(id(c, q.row1));
        for (int32_t r = q.row1 - 1; r > q.row0; --r)
            if (marked(q.column0, r)) da.push_back(id(q.column0, r));
        const int32_t a = id(q.column0, q.row0), b = id(q.column1, q.row0), c = id(q.column1, q.row1),
                      d = id(q.column0, q.row1);
        TriangulateCorner(a, ab, b, bc, c, triangles);
        TriangulateCorner(c, cd, d, da, a, triangles);
    }
}

std::vector<int32_t> GridBoundaryEdges(std::span<const uint8_t> cellMask, int32_t width, int32_t height) {
    const int32_t columns = width - 1, rows = height - 1;
    const auto kept = [&](int32_t c, int32_t r) {
        return c >= 0 && r >= 0 && c < columns && r < rows && (cellMask[static_cast<std::size_t>(r) * columns + c] & 1);
    };
    std::vector<int32_t> edges;
    for (int32_t r = 0; r < rows; ++r) {
        for (int32_t c = 0; c < columns; ++c) {
            if (!kept(c, r)) continue;
            const int32_t a = r * width + c, b = a + 1, cc = a + width + 1, d = a + width;
            // The job's triangles run a -> d -> c -> b around the cell.
            if (!kept(c - 1, r)) edges.insert(edges.end(), {a, d});
            if (!kept(c, r + 1)) edges.insert(edges.end(), {d, cc});
            if (!kept(c + 1, r)) edges.insert(edges.end(), {cc, b});
            if (!kept(c, r - 1)) edges.insert(edges.end(), {b, a});
        }
    }
    return edges;
}

SimplifiedMesh Simplify(const SimplifyRequest& request) {
    const int32_t width = request.width, height = request.height;
    const int32_t columns = width - 1, rows = height - 1;
    const double maxError = request.maxError >= 0.0 ? request.maxError : -1.0;
    // A triangle budget is a global order of insertions: one tile.
    const bool tiled = request.maxTriangles == 0 && maxError >= 0.0;
    const int32_t tileCells = tiled ? kTileCells : 0;
    const std::vector<CellRect> tiles = Tiles(columns, rows, tileCells);

    const unsigned threads = std::max(1u, std::min<unsigned>(request.threads, static_cast<unsigned>(tiles.size())));
    // Each tile's kept cells as rectangles, on all threads.
    std::vector<std::vector<CellRect>> tileRects(tiles.size());
    std::vector<double> cost(tiles.size(), 0.0);
    ForEachIndex(static_cast<int64_t>(tiles.size()), threads, [&](int64_t i) {
        const CellRect& q = tiles[i];
        cost[i] = Roughness(request.heights, width, q);
        bool allKept = true;
        for (int32_t r = q.row0; r < q.row1 && allKept; ++r) {
            const uint8_t* cells = request.cellMask.data() + static_cast<std::size_t>(r) * columns;
            uint8_t all = 1;
            for (int32_t c = q.column0; c < q.column1; ++c) all &= cells[c];
            allKept = all & 1;
        }
        if (allKept) {
            tileRects[i].push_back(q);
            return;
        }
        const KeptCounter counter(request.cellMask, columns, q);
        CoverRect(counter, q, tileRects[i]);
    });
    std::vector<uint8_t> marks(static_cast<std::size_t>(width) * static_cast<std::size_t>(height), 0);
    for (const std::vector<CellRect>& list : tileRects)
        for (const CellRect& q : list)
            for (const int32_t r : {q.row0, q.row1})
                for (const int32_t c : {q.column0, q.column1}) marks[static_cast<std::size_t>(r) * width + c] = 1;
    // Tile borders, a hair inside the bound so that rounding cannot push a
    // border point past it.
    const double borderError = maxError * (1.0 - 1e-7);
    for (int32_t c = tileCells; tiled && c < columns; c += tileCells)
        SimplifyBorderLine(request.heights, request.cellMask, width, height, true, c, borderError, marks);
    for (int32_t r = tileCells; tiled && r < rows; r += tileCells)
        SimplifyBorderLine(request.heights, request.cellMask, width, height, false, r, borderError, marks);

    // Each tile on its own.
    // Grid points of each tile's triangles, and which of their edges lie on
    // the tile's outline: four numbers per triangle.
    std::vector<std::vector<int32_t>> results(tiles.size());
    // Coordinate differences up to 2^14 keep the circle test in 64 bits.
    const bool narrow = std::max(width, height) <= (1 << 14);
    // The costliest tiles first, so that the threads finish together.
    std::vector<std::size_t> order(tiles.size());
    for (std::size_t i = 0; i < tiles.size(); ++i) order[i] = i;
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return cost[a] > cost[b]; });
    ForEachIndex(static_cast<int64_t>(tiles.size()), threads, [&, corners = std::vector<int32_t>()](int64_t k) mutable {
        const std::size_t i = order[k];
        corners.clear();
        TriangulateRects(tileRects[i], marks, width, corners);
        if (corners.empty()) return;
        Tin tin(request.heights, width, tiles[i], columns, rows, narrow, request.scanLanes);
        tin.Build(corners);
        tin.Refine(std::max(maxError, 0.0), request.maxTriangles);
        std::vector<int32_t>& out = results[i];
        out.reserve(4 * tin.triangleCount());
        for (std::size_t t = 0; t < tin.triangleCount(); ++t) {
            int32_t outline = 0;
            for (int e = 0; e < 3; ++e) {
                out.push_back(tin.GridVertex(t, e));
                outline |= tin.OnOutline(t, e) ? 1 << e : 0;
            }
            out.push_back(outline);
        }
    });

    // Vertices in the job's order, triangles turned to face the job's way.
    // The vertices used are bits of the grid; a vertex's index is the count
    // of bits before it.
    marks = {};
    std::vector<uint64_t> used((static_cast<std::size_t>(width) * static_cast<std::size_t>(height) + 63) / 64, 0);
    for (const auto& list : results)
        for (std::size_t i = 0; i < list.size(); i += 4)
            for (std::size_t k = 0; k < 3; ++k) {
                const auto v = static_cast<std::size_t>(list[i + k]);
                used[v / 64] |= uint64_t{1} << (v % 64);
            }
    SimplifiedMesh mesh;
    std::vector<uint32_t> before(used.size());
    uint32_t count = 0;
    for (std::size_t w = 0; w < used.size(); ++w) {
        before[w] = count;
        count += static_cast<uint32_t>(__builtin_popcountll(used[w]));
    }
    mesh.sourceVertices.reserve(count);
    for (std::size_t w = 0; w < used.size(); ++w)
        for (uint64_t bits = used[w]; bits != 0; bits &= bits - 1)
            mesh.sourceVertices.push_back(static_cast<int32_t>(w * 64 + static_cast<std::size_t>(__builtin_ctzll(bits))));
    const auto remap = [&](int32_t v) {
        const auto p = static_cast<std::size_t>(v);
        return before[p / 64] + static_cast<uint32_t>(__builtin_popcountll(used[p / 64] & ((uint64_t{1} << (p % 64)) - 1)));
    };
    std::size_t indexCount = 0;
    for (const auto& list : results) indexCount += list.size() / 4 * 3;
    mesh.indices.reserve(indexCount);
    const auto kept = [&](int64_t c, int64_t r) {
        return c >= 0 && r >= 0 && c < columns && r < rows &&
               (request.cellMask[static_cast<std::size_t>(r * columns + c)] & 1);
    };
    for (const auto& list : results) {
        for (std::size_t i = 0; i < list.size(); i += 4) {
            const int32_t v[3] = {list[i], list[i + 1], list[i + 2]};
            for (const int32_t g : {v[0], v[2], v[1]})
                mesh.indices.push_back(remap(g));
            for (int k = 0; k < 3; ++k) {
                if (!(list[i + 3] & (1 << k))) continue;
                const int32_t a = v[k], b = v[(k + 1) % 3];
                // An edge on a tile border with a kept cell beyond it is
                // inside the mesh. The triangle lies on the left of a -> b.
                const Point pa = PointOf(a, width), pb = PointOf(b, width);
                int64_t outsideColumn = 0, outsideRow = 0;
                if (pa.y == pb.y) {
                    outsideColumn = std::min(pa.x, pb.x);
                    outsideRow = pb.x > pa.x ? pa.y - 1 : pa.y;
                } else {
                    outsideRow = std::min(pa.y, pb.y);
                    outsideColumn = pb.y > pa.y ? pa.x : pa.x - 1;
                }
                if (kept(outsideColumn, outsideRow)) continue;
                mesh.boundaryEdges.insert(mesh.boundaryEdges.end(), {b, a});
            }
        }
    }
    return mesh;
}

SurfaceError MeasureSurfaceError(std::span<const float> heights, std::span<const uint8_t> cellMask,
                                 int32_t width, int32_t height, std::span<const int32_t> sourceVertices,
                                 std::span<const uint32_t> indices) {
    std::vector<double> exact(static_cast<std::size_t>(width) * static_cast<std::size_t>(height), -1.0);
    for (std::size_t i = 0; i + 2 < indices.size(); i += 3) {
        const int32_t a = sourceVertices[indices[i]], b = sourceVertices[indices[i + 1]], c = sourceVertices[indices[i + 2]];
        ForEachRow(CornerOf(a, width), CornerOf(b, width), CornerOf(c, width), heights, [&](int64_t y, int64_t lo, int64_t hi, double start, double gx) {
            for (int64_t x = lo; x <= hi; ++x) {
                const std::size_t p = static_cast<std::size_t>(y * width + x);
                const double e = std::fabs(SurfaceAt(start, gx, x - lo) - static_cast<double>(heights[p]));
                exact[p] = std::max(exact[p], e);
            }
        });
    }
    SurfaceError result;
    double sum = 0.0;
    const int32_t columns = width - 1;
    for (int32_t r = 0; r < height; ++r) {
        for (int32_t c = 0; c < width; ++c) {
            bool corner = false;
            for (int32_t dr = -1; dr <= 0 && !corner; ++dr)
                for (int32_t dc = -1; dc <= 0 && !corner; ++dc) {
                    const int32_t cc = c + dc, rr = r + dr;
                    corner = cc >= 0 && rr >= 0 && cc < columns && rr < height - 1 &&
                             (cellMask[static_cast<std::size_t>(rr) * columns + cc] & 1);
                }
            if (!corner) continue;
            ++result.points;
            const double e = exact[static_cast<std::size_t>(r) * width + c];
            if (e < 0.0) {
                ++result.uncovered;
                result.max = std::numeric_limits<double>::infinity();
                continue;
            }
            result.max = std::max(result.max, e);
            sum += e * e;
        }
    }
    result.rms = result.points > 0 ? std::sqrt(sum / static_cast<double>(result.points)) : 0.0;
    return result;
}

}  // namespace heightmesh::tool
