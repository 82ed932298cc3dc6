#include "tiles/tiling.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace heightmesh::tool {

namespace {

constexpr double kRadiansPerDegree = std::numbers::pi / 180.0;

double Dot(const Vec3& a, const Vec3& b) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; }
double Length(const Vec3& a) { return std::sqrt(Dot(a, a)); }
Vec3 Cross(const Vec3& a, const Vec3& b)
{
    return {a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]};
}
Vec3 Scaled(const Vec3& a, double s) { return {a[0] * s, a[1] * s, a[2] * s}; }
// ECEF divided by the ellipsoid's radii: the ellipsoid becomes the unit sphere.
Vec3 ToScaledSpace(const Vec3& p) { return {p[0] / kWgs84A, p[1] / kWgs84A, p[2] / kWgs84B}; }

}  // namespace

int64_t TileColumns(int32_t level) { return int64_t{2} << level; }
int64_t TileRows(int32_t level) { return int64_t{1} << level; }

GeoRect TileBounds(const TileKey& tile)
{
    const double width = 360.0 / static_cast<double>(TileColumns(tile.level));
    const double height = 180.0 / static_cast<double>(TileRows(tile.level));
    GeoRect rect;
    rect.west = -180.0 + static_cast<double>(tile.x) * width;
    rect.east = tile.x + 1 == TileColumns(tile.level) ? 180.0 : -180.0 + static_cast<double>(tile.x + 1) * width;
    rect.south = -90.0 + static_cast<double>(tile.y) * height;
    rect.north = tile.y + 1 == TileRows(tile.level) ? 90.0 : -90.0 + static_cast<double>(tile.y + 1) * height;
    return rect;
}

double LevelError(int32_t level)
{
    return kWgs84A * 2.0 * std::numbers::pi * 0.25 / (65.0 * 2.0) / std::ldexp(1.0, level);
}

Vec3 GeodeticToEcef(double longitude, double latitude, double height)
{
    const double e2 = kWgs84F * (2.0 - kWgs84F);
    const double lambda = longitude * kRadiansPerDegree, phi = latitude * kRadiansPerDegree;
    const double sinPhi = std::sin(phi), cosPhi = std::cos(phi);
    const double n = kWgs84A / std::sqrt(1.0 - e2 * sinPhi * sinPhi);  // prime-vertical radius
    return {(n + height) * cosPhi * std::cos(lambda), (n + height) * cosPhi * std::sin(lambda),
            (n * (1.0 - e2) + height) * sinPhi};
}

Vec3 SurfaceNormal(double longitude, double latitude)
{
    const double lambda = longitude * kRadiansPerDegree, phi = latitude * kRadiansPerDegree;
    return {std::cos(phi) * std::cos(lambda), std::cos(phi) * std::sin(lambda), std::sin(phi)};
}

BoundingSphere SphereAround(std::span<const Vec3> points)
{
    BoundingSphere sphere;
    if (points.empty())
        return sphere;
    Vec3 low = points[0], high = points[0];
    for (const Vec3& p : points)
        for (int k = 0; k < 3; ++k) {
            low[k] = std::min(low[k], p[k]);
            high[k] = std::max(high[k], p[k]);
        }
    sphere.centre = {(low[0] + high[0]) / 2.0, (low[1] + high[1]) / 2.0, (low[2] + high[2]) / 2.0};
    for (const Vec3& p : points)
        sphere.radius = std::max(sphere.radius,
                                 Length({p[0] - sphere.centre[0], p[1] - sphere.centre[1], p[2] - sphere.centre[2]}));
    return sphere;
}

std::optional<Vec3> HorizonOcclusionPoint(std::span<const Vec3> points, const Vec3& direction)
{
    const Vec3 scaledDirection = ToScaledSpace(direction);
    const double directionLength = Length(scaledDirection);
    if (directionLength == 0.0)
        return std::nullopt;
    const Vec3 towards = Scaled(scaledDirection, 1.0 / directionLength);
    // Along `towards`, the distance from which each point is just on the
    // unit sphere's horizon; the farthest of them hides them all.
    double magnitude = 0.0;
    for (const Vec3& point : points) {
        const Vec3 p = ToScaledSpace(point);
        const double length = Length(p);
        if (length == 0.0)
            return std::nullopt;
        const Vec3 unit = Scaled(p, 1.0 / length);
        const double clamped = std::max(1.0, length);
        const double cosAlpha = Dot(unit, towards);
        const double sinAlpha = Length(Cross(unit, towards));
        const double cosBeta = 1.0 / clamped;
        const double sinBeta = std::sqrt(clamped * clamped - 1.0) * cosBeta;
        const double denominator = cosAlpha * cosBeta - sinAlpha * sinBeta;
        if (!(denominator > 0.0))
            return std::nullopt;
        magnitude = std::max(magnitude, 1.0 / denominator);
    }
    return Scaled(towards, magnitude);
}

}  // namespace heightmesh::tool
