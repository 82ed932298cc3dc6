// The surface-error measurement of a simplified mesh: the vertical distance
// at every grid point of the kept cells to the triangles over it.
#include "mesh/surface_error.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "mesh/tin_geometry.h"

namespace heightmesh::tool {

namespace {

using tin::Corner;
using tin::CornerOf;
using tin::FloorDiv;
using tin::MakePlane;
using tin::Orient;
using tin::Plane;
using tin::Point;
using tin::SurfaceAt;

// Calls row(y, xLow, xHigh, start, gx) for every row y in [yFrom, yTo) of
// grid points inside the closed triangle; the surface at (xLow + i, y) is
// SurfaceAt(start, gx, i).
template <class Row>
void ForEachRow(Corner a, Corner b, Corner c, std::span<const float> heights, int64_t yFrom, int64_t yTo, Row&& row)
{
    Plane plane;
    if (!MakePlane(
            a, b, c, [&](const Corner& v) { return heights[static_cast<std::size_t>(v.id)]; }, plane))
        return;
    Point p[3] = {a.p, b.p, c.p};
    if (Orient(p[0], p[1], p[2]) < 0)
        std::swap(p[1], p[2]);
    const int64_t yLow = std::max(yFrom, std::min({p[0].y, p[1].y, p[2].y}));
    const int64_t yHigh = std::min(yTo - 1, std::max({p[0].y, p[1].y, p[2].y}));
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
                if (num < 0)
                    empty = true;
            } else if (dy > 0) {
                hi = std::min(hi, s.x + FloorDiv(num, dy));
            } else {
                lo = std::max(lo, s.x - FloorDiv(num, -dy));
            }
        }
        if (empty || lo > hi)
            continue;
        const double rowBase = plane.z0 + plane.gy * static_cast<double>(y - plane.y0);
        const double start = rowBase + plane.gx * static_cast<double>(lo - plane.x0);
        row(y, lo, hi, start, plane.gx);
    }
}

}  // namespace

SurfaceError MeasureSurfaceError(std::span<const float> heights, CellMaskView cellMask, int32_t width, int32_t height,
                                 std::span<const int32_t> sourceVertices, std::span<const uint32_t> indices,
                                 int64_t bandPoints)
{
    // Each band from the triangles that reach into it, so that the largest
    // error at each point needs a band's doubles rather than the grid's.
    const int64_t bandRows = std::max<int64_t>(1, bandPoints / std::max(width, 1));
    const auto bands = static_cast<std::size_t>((height + bandRows - 1) / bandRows);
    const std::size_t triangles = indices.size() / 3;
    const auto rowOf = [&](std::size_t t, int k) {
        return static_cast<int64_t>(sourceVertices[indices[3 * t + static_cast<std::size_t>(k)]] / width);
    };
    // The triangles of each band, by counting.
    std::vector<std::size_t> bandStart(bands + 1, 0);
    const auto forEachBand = [&](std::size_t t, auto&& f) {
        const int64_t low = std::min({rowOf(t, 0), rowOf(t, 1), rowOf(t, 2)});
        const int64_t high = std::max({rowOf(t, 0), rowOf(t, 1), rowOf(t, 2)});
        for (int64_t band = low / bandRows; band <= high / bandRows; ++band)
            f(static_cast<std::size_t>(band));
    };
    for (std::size_t t = 0; t < triangles; ++t)
        forEachBand(t, [&](std::size_t band) { ++bandStart[band + 1]; });
    for (std::size_t band = 0; band < bands; ++band)
        bandStart[band + 1] += bandStart[band];
    std::vector<uint32_t> bandTriangles(bandStart[bands]);
    {
        std::vector<std::size_t> fill(bandStart.begin(), bandStart.end() - 1);
        for (std::size_t t = 0; t < triangles; ++t)
            forEachBand(t, [&](std::size_t band) { bandTriangles[fill[band]++] = static_cast<uint32_t>(t); });
    }

    SurfaceError result;
    double sum = 0.0;
    const int32_t columns = width - 1;
    std::vector<double> exact(static_cast<std::size_t>(std::min<int64_t>(bandRows, height)) *
                              static_cast<std::size_t>(width));
    for (std::size_t band = 0; band < bands; ++band) {
        const int64_t r0 = static_cast<int64_t>(band) * bandRows, r1 = std::min<int64_t>(height, r0 + bandRows);
        const std::size_t first = static_cast<std::size_t>(r0 * width);
        std::fill(exact.begin(), exact.end(), -1.0);
        for (std::size_t k = bandStart[band]; k < bandStart[band + 1]; ++k) {
            const std::size_t i = 3 * static_cast<std::size_t>(bandTriangles[k]);
            const int32_t a = sourceVertices[indices[i]], b = sourceVertices[indices[i + 1]],
                          c = sourceVertices[indices[i + 2]];
            ForEachRow(CornerOf(a, width), CornerOf(b, width), CornerOf(c, width), heights, r0, r1,
                       [&](int64_t y, int64_t lo, int64_t hi, double start, double gx) {
                           for (int64_t x = lo; x <= hi; ++x) {
                               const std::size_t p = static_cast<std::size_t>(y * width + x);
                               const double e =
                                   std::fabs(SurfaceAt(start, gx, x - lo) - static_cast<double>(heights[p]));
                               exact[p - first] = std::max(exact[p - first], e);
                           }
                       });
        }
        // Folded in row order, band after band, as over the whole grid.
        for (auto r = static_cast<int32_t>(r0); r < r1; ++r) {
            for (int32_t c = 0; c < width; ++c) {
                bool corner = false;
                for (int32_t dr = -1; dr <= 0 && !corner; ++dr)
                    for (int32_t dc = -1; dc <= 0 && !corner; ++dc) {
                        const int32_t cc = c + dc, rr = r + dr;
                        corner = cc >= 0 && rr >= 0 && cc < columns && rr < height - 1 &&
                                 cellMask.Kept(static_cast<std::size_t>(rr) * columns + cc);
                    }
                if (!corner)
                    continue;
                ++result.points;
                const double e = exact[static_cast<std::size_t>(r) * width + c - first];
                if (e < 0.0) {
                    ++result.uncovered;
                    result.max = std::numeric_limits<double>::infinity();
                    continue;
                }
                result.max = std::max(result.max, e);
                sum += e * e;
            }
        }
    }
    result.rms = result.points > 0 ? std::sqrt(sum / static_cast<double>(result.points)) : 0.0;
    return result;
}

}  // namespace heightmesh::tool
