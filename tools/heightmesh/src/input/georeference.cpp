#include "input/georeference.h"

#include <algorithm>
#include <cmath>
#include <numbers>

#include <fmt/format.h>
#include <ogr_spatialref.h>

#include "common/text.h"
#include "common/tool_error.h"

namespace heightmesh::tool {

namespace {

constexpr double kRadiansPerDegree = std::numbers::pi / 180.0;

double EccentricitySquared(const Ellipsoid& ellipsoid)
{
    if (ellipsoid.inverseFlattening == 0.0)
        return 0.0;
    const double f = 1.0 / ellipsoid.inverseFlattening;
    return f * (2.0 - f);
}

}  // namespace

double MeridionalRadius(const Ellipsoid& ellipsoid, double latitude)
{
    const double e2 = EccentricitySquared(ellipsoid);
    const double s = std::sin(latitude * kRadiansPerDegree);
    const double w = 1.0 - e2 * s * s;
    return ellipsoid.semiMajor * (1.0 - e2) / (w * std::sqrt(w));
}

double PrimeVerticalRadius(const Ellipsoid& ellipsoid, double latitude)
{
    const double e2 = EccentricitySquared(ellipsoid);
    const double s = std::sin(latitude * kRadiansPerDegree);
    return ellipsoid.semiMajor / std::sqrt(1.0 - e2 * s * s);
}

double MetresPerDegreeOfLongitude(const Ellipsoid& ellipsoid, double latitude)
{
    return kRadiansPerDegree * PrimeVerticalRadius(ellipsoid, latitude) * std::cos(latitude * kRadiansPerDegree);
}

double MetresPerDegreeOfLatitude(const Ellipsoid& ellipsoid, double latitude)
{
    return kRadiansPerDegree * MeridionalRadius(ellipsoid, latitude);
}

CrsUnits DescribeCrs(const OGRSpatialReference* crs)
{
    CrsUnits units;
    if (!crs || crs->IsEmpty())
        return units;
    if (const char* name = crs->GetName())
        units.name = name;
    if (crs->IsProjected() || crs->IsLocal()) {
        units.kind = CrsKind::Projected;
        const char* unit = nullptr;
        units.metresPerUnit = crs->GetLinearUnits(&unit);
        if (unit)
            units.unitName = unit;
    } else if (crs->IsGeographic()) {
        units.kind = CrsKind::Geographic;
        const char* unit = nullptr;
        units.degreesPerUnit = crs->GetAngularUnits(&unit) / kRadiansPerDegree;
        if (unit)
            units.unitName = unit;
        OGRErr error = OGRERR_NONE;
        units.ellipsoid.semiMajor = crs->GetSemiMajor(&error);
        if (error != OGRERR_NONE)
            units.ellipsoid = kWgs84;
        else
            units.ellipsoid.inverseFlattening = crs->GetInvFlattening(&error);
        if (error != OGRERR_NONE)
            units.ellipsoid = kWgs84;
    }
    return units;
}

void CheckNorthUp(const GeoTransform& transform, const std::string& name)
{
    if (transform[2] != 0.0 || transform[4] != 0.0)
        throw ToolError(fmt::format(
            "{} has a rotated geotransform, which heightmesh does not warp; make it north-up first, e.g. gdalwarp "
            "in.tif north-up.tif",
            name));
    if (transform[1] == 0.0 || transform[5] == 0.0 || !std::isfinite(transform[1]) || !std::isfinite(transform[5]))
        throw ToolError(fmt::format("{} has a geotransform with a zero or non-finite pixel size", name));
}

GridSpacing SpacingFromGeoTransform(const GeoTransform& transform, const CrsUnits& crs, double centreRow,
                                    double columnStep, double rowStep)
{
    const double pixelX = std::abs(transform[1]) * columnStep;
    const double pixelY = std::abs(transform[5]) * rowStep;
    GridSpacing spacing;
    switch (crs.kind) {
    case CrsKind::None:
        spacing.x = pixelX;
        spacing.z = pixelY;
        spacing.how = "from the geotransform; no CRS, so its units are taken as metres";
        break;
    case CrsKind::Projected: {
        spacing.x = pixelX * crs.metresPerUnit;
        spacing.z = pixelY * crs.metresPerUnit;
        const std::string unit = Lowercase(crs.unitName);
        if (crs.metresPerUnit == 1.0)
            spacing.how = fmt::format("from the geotransform of {} (metres)", crs.name);
        else
            spacing.how = fmt::format("from the geotransform of {}: {} x {} {}{}, 1 {} = {} m", crs.name, pixelX,
                                      pixelY, crs.unitName,
                                      unit.find("foot") != std::string::npos || unit.find("feet") != std::string::npos
                                          ? " (feet converted to metres)"
                                          : "",
                                      crs.unitName, crs.metresPerUnit);
        break;
    }
    case CrsKind::Geographic: {
        const double latitude = (transform[3] + transform[5] * centreRow) * crs.degreesPerUnit;
        const double clamped = std::clamp(latitude, -90.0, 90.0);
        spacing.x = pixelX * crs.degreesPerUnit * MetresPerDegreeOfLongitude(crs.ellipsoid, clamped);
        spacing.z = pixelY * crs.degreesPerUnit * MetresPerDegreeOfLatitude(crs.ellipsoid, clamped);
        spacing.how = fmt::format(
            "from the geotransform of {}: {:.9g} x {:.9g} degrees at latitude {:.6f} on the ellipsoid a = {} m, "
            "1/f = {}",
            crs.name, pixelX * crs.degreesPerUnit, pixelY * crs.degreesPerUnit, clamped, crs.ellipsoid.semiMajor,
            crs.ellipsoid.inverseFlattening);
        break;
    }
    }
    return spacing;
}

PixelWindow WindowFromBounds(const GeoTransform& transform, const std::array<double, 4>& bounds, int64_t rasterWidth,
                             int64_t rasterHeight, const std::string& name)
{
    // Fractional pixel coordinates of the bounds' edges (either order, as the
    // pixel size may be negative).
    const double x0 = (bounds[0] - transform[0]) / transform[1];
    const double x1 = (bounds[2] - transform[0]) / transform[1];
    const double y0 = (bounds[1] - transform[3]) / transform[5];
    const double y1 = (bounds[3] - transform[3]) / transform[5];
    const double left = std::max(0.0, std::floor(std::min(x0, x1)));
    const double right = std::min(static_cast<double>(rasterWidth), std::ceil(std::max(x0, x1)));
    const double top = std::max(0.0, std::floor(std::min(y0, y1)));
    const double bottom = std::min(static_cast<double>(rasterHeight), std::ceil(std::max(y0, y1)));
    if (!(left < right) || !(top < bottom))
        throw ToolError(fmt::format("--bounds {},{},{},{} lie outside {} ({} to {} by {} to {})", bounds[0], bounds[1],
                                    bounds[2], bounds[3], name, transform[0], transform[0] + transform[1] * rasterWidth,
                                    transform[3] + transform[5] * rasterHeight, transform[3]));
    return PixelWindow{static_cast<int64_t>(left), static_cast<int64_t>(top), static_cast<int64_t>(right - left),
                       static_cast<int64_t>(bottom - top)};
}

}  // namespace heightmesh::tool
