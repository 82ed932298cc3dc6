// From a raster's geotransform and coordinate reference system to the ground
// spacing of its grid points in metres, and from CRS bounds to pixels.
#pragma once

#include <array>
#include <cstdint>
#include <string>

class OGRSpatialReference;

namespace heightmesh::tool {

struct Ellipsoid {
    double semiMajor = 0.0;          // metres
    double inverseFlattening = 0.0;  // 0 for a sphere
};
inline constexpr Ellipsoid kWgs84{6378137.0, 298.257223563};

// Radii of curvature at a geodetic latitude in degrees: along the meridian
// M = a(1 - e²) / (1 - e² sin²φ)^(3/2), and across it (prime vertical)
// N = a / sqrt(1 - e² sin²φ).
double MeridionalRadius(const Ellipsoid& ellipsoid, double latitude);
double PrimeVerticalRadius(const Ellipsoid& ellipsoid, double latitude);

// Ground length of one degree along the parallel (N cos φ) and along the
// meridian (M), in metres.
double MetresPerDegreeOfLongitude(const Ellipsoid& ellipsoid, double latitude);
double MetresPerDegreeOfLatitude(const Ellipsoid& ellipsoid, double latitude);

enum class CrsKind { None, Projected, Geographic };

// What the spacing needs to know of a CRS.
struct CrsUnits {
    CrsKind kind = CrsKind::None;
    std::string name;            // the CRS's own name, for --stats
    double metresPerUnit = 1.0;  // projected: the linear unit
    std::string unitName = "metre";
    double degreesPerUnit = 1.0;   // geographic: the angular unit
    Ellipsoid ellipsoid = kWgs84;  // geographic
};

// Reads the kind, units and ellipsoid of a CRS (none for a null pointer).
CrsUnits DescribeCrs(const OGRSpatialReference* crs);

// GDAL's affine geotransform: x = t[0] + column * t[1] + row * t[2],
// y = t[3] + column * t[4] + row * t[5], at pixel corners.
using GeoTransform = std::array<double, 6>;

// Refuses a geotransform with rotation or shear terms, which would need a
// warp; names `name` and suggests gdalwarp.
void CheckNorthUp(const GeoTransform& transform, const std::string& name);

struct GridSpacing {
    double x = 1.0;   // metres between neighbouring columns
    double z = 1.0;   // metres between neighbouring rows
    std::string how;  // one line for --stats
};

// The spacing of grid points that are `columnStep` x `rowStep` source pixels
// apart, for a north-up raster whose read area is centred on source row
// `centreRow` (which sets the latitude of a geographic CRS).
GridSpacing SpacingFromGeoTransform(const GeoTransform& transform, const CrsUnits& crs, double centreRow,
                                    double columnStep, double rowStep);

// Pixel window of a raster, in source pixels.
struct PixelWindow {
    int64_t x = 0;
    int64_t y = 0;
    int64_t width = 0;
    int64_t height = 0;
};

// The smallest window holding every pixel that overlaps the bounds (CRS
// units; minX < maxX, minY < maxY), clipped to the raster. Throws ToolError
// when the bounds miss the raster.
PixelWindow WindowFromBounds(const GeoTransform& transform, const std::array<double, 4>& bounds, int64_t rasterWidth,
                             int64_t rasterHeight, const std::string& name);

}  // namespace heightmesh::tool
