// The geographic tiling that web globes read terrain in (EPSG:4326, two root
// tiles, rows counted from the south), each level's geometric error, and the
// WGS 84 geometry a tile's header is made of.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>

namespace heightmesh::tool {

// A tile of the geographic scheme: level L has 2^(L+1) columns from the
// antimeridian eastwards and 2^L rows from the south pole northwards.
struct TileKey {
    int32_t level = 0;
    int64_t x = 0;
    int64_t y = 0;
};

// Longitude and latitude bounds in degrees.
struct GeoRect {
    double west = 0.0, south = 0.0, east = 0.0, north = 0.0;
};

inline constexpr int32_t kMaxTileLevel = 24;

int64_t TileColumns(int32_t level);  // 2^(level + 1)
int64_t TileRows(int32_t level);     // 2^level
GeoRect TileBounds(const TileKey& tile);

// The geometric error the client's screen-space test gives level L, metres:
// 6378137 * 2 pi * 0.25 / (65 * 2) / 2^L.
double LevelError(int32_t level);

// WGS 84.
inline constexpr double kWgs84A = 6378137.0;
inline constexpr double kWgs84F = 1.0 / 298.257223563;
inline constexpr double kWgs84B = kWgs84A * (1.0 - kWgs84F);

using Vec3 = std::array<double, 3>;

// Earth-centred, Earth-fixed metres of a point at longitude and latitude
// (degrees) and height above the ellipsoid (metres).
Vec3 GeodeticToEcef(double longitude, double latitude, double height);

// The unit normal of the ellipsoid's surface at a longitude and latitude
// (degrees), in the Earth-fixed frame.
Vec3 SurfaceNormal(double longitude, double latitude);

struct BoundingSphere {
    Vec3 centre{};
    double radius = 0.0;
};
// A sphere holding every point: the centre of their box, the largest distance.
BoundingSphere SphereAround(std::span<const Vec3> points);

// The horizon-occlusion point of points seen from the direction of
// `direction` (the tile's centre): in ellipsoid-scaled space (ECEF divided
// by the radii), the nearest point along that direction from which all of
// them lie behind the ellipsoid's horizon when it does. None when a point is
// inside the ellipsoid in that space's sense, where no such point exists.
std::optional<Vec3> HorizonOcclusionPoint(std::span<const Vec3> points, const Vec3& direction);

}  // namespace heightmesh::tool
