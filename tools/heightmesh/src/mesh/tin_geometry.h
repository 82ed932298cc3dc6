// Exact grid geometry of the simplifier's triangles, shared by the TIN, its
// error scans and the surface-error measurement: points in (column, row) as
// integers, the orientation test without rounding, and the plane of a
// triangle's heights set up the same way for every caller, so that a scan and
// a measurement of the same triangle round alike.
#pragma once

#include <cstdint>
#include <utility>

namespace heightmesh::tool::tin {

__extension__ typedef __int128 Wide;

struct Point {
    int64_t x, y;
};

inline Point PointOf(int32_t id, int32_t width) { return {id % width, id / width}; }

// Twice the signed area of (a, b, c): > 0 when counter-clockwise in (column, row).
inline Wide Orient(Point a, Point b, Point c) { return Wide(b.x - a.x) * (c.y - a.y) - Wide(c.x - a.x) * (b.y - a.y); }

inline int64_t FloorDiv(int64_t a, int64_t b) { return a >= 0 ? a / b : -((-a + b - 1) / b); }

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

inline Corner CornerOf(int32_t id, int32_t width) { return {PointOf(id, width), id}; }

template <class HeightOf>
bool MakePlane(Corner a, Corner b, Corner c, HeightOf heightOf, Plane& plane)
{
    Corner v[3] = {a, b, c};
    if (v[1].id < v[0].id)
        std::swap(v[0], v[1]);
    if (v[2].id < v[1].id)
        std::swap(v[1], v[2]);
    if (v[1].id < v[0].id)
        std::swap(v[0], v[1]);
    const Point p0 = v[0].p, p1 = v[1].p, p2 = v[2].p;
    const int64_t den = (p1.x - p0.x) * (p2.y - p0.y) - (p2.x - p0.x) * (p1.y - p0.y);
    if (den == 0)
        return false;
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

// The plane's height `i` columns on from a row's first point, whose height is `start`.
inline double SurfaceAt(double start, double gx, int64_t i) { return start + gx * static_cast<double>(i); }

}  // namespace heightmesh::tool::tin
