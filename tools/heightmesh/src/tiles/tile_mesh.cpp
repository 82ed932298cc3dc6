// A tile's mesh: mask, shared-edge simplification, quantisation, normals and
// header.
#include "tiles/tile_mesh.h"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <vector>

#include "input/georeference.h"
#include "mesh/simplify.h"
#include "mesh/surface_error.h"

namespace heightmesh::tool {

namespace {

// u or v of lattice point k of `cells`, rounded to the nearest step.
uint16_t Quantise(int64_t k, int32_t cells)
{
    return static_cast<uint16_t>((k * kQuantizedMax * 2 + cells) / (2 * int64_t{cells}));
}

}  // namespace

TileMesh MakeTileMesh(const TileKey& tile, std::span<const float> heights, int32_t cells, double maxError)
{
    TileMesh result;
    const int32_t n = cells + 1, outer = cells + 3;
    const auto at = [&](int32_t i, int32_t j) {  // lattice point (i, j), -1 .. n
        return heights[static_cast<std::size_t>(j + 1) * outer + static_cast<std::size_t>(i + 1)];
    };
    const auto cellKept = [&](int32_t c, int32_t r) -> uint8_t {
        return std::isfinite(at(c, r)) && std::isfinite(at(c + 1, r)) && std::isfinite(at(c, r + 1)) &&
               std::isfinite(at(c + 1, r + 1));
    };
    std::vector<float> grid(static_cast<std::size_t>(n) * n);
    for (int32_t j = 0; j < n; ++j)
        for (int32_t i = 0; i < n; ++i)
            grid[static_cast<std::size_t>(j) * n + i] = at(i, j);
    std::vector<uint8_t> mask(static_cast<std::size_t>(cells) * cells);
    int64_t kept = 0;
    for (int32_t r = 0; r < cells; ++r)
        for (int32_t c = 0; c < cells; ++c)
            kept += mask[static_cast<std::size_t>(r) * cells + c] = cellKept(c, r);
    if (kept == 0)
        return result;
    std::vector<uint8_t> north(cells), south(cells), west(cells), east(cells);
    for (int32_t k = 0; k < cells; ++k) {
        north[k] = cellKept(k, -1), south[k] = cellKept(k, cells);
        west[k] = cellKept(-1, k), east[k] = cellKept(cells, k);
    }
    const SharedEdges edges{north, south, west, east};
    SimplifyRequest request;
    request.heights = grid;
    request.cellMask = mask;
    request.width = request.height = n;
    request.maxError = maxError;
    request.sharedEdges = &edges;
    const SimplifiedMesh simplified = Simplify(request);
    const SurfaceError measured = MeasureSurfaceError(grid, mask, n, n, simplified.sourceVertices, simplified.indices);

    QuantizedMesh& mesh = result.mesh;
    const std::size_t count = simplified.sourceVertices.size();
    float low = grid[static_cast<std::size_t>(simplified.sourceVertices[0])], high = low;
    for (const int32_t g : simplified.sourceVertices) {
        low = std::min(low, grid[static_cast<std::size_t>(g)]);
        high = std::max(high, grid[static_cast<std::size_t>(g)]);
    }
    mesh.header.minimumHeight = low;
    mesh.header.maximumHeight = high;
    const double range = static_cast<double>(high) - static_cast<double>(low);
    const GeoRect bounds = TileBounds(tile);
    const double step = (bounds.east - bounds.west) / cells;
    mesh.u.resize(count), mesh.v.resize(count), mesh.height.resize(count), mesh.normals.resize(count);
    std::vector<Vec3> points(count);
    double quantisation = 0.0;
    for (std::size_t k = 0; k < count; ++k) {
        const int32_t g = simplified.sourceVertices[k], i = g % n, j = g / n;
        const double h = grid[static_cast<std::size_t>(g)];
        mesh.u[k] = Quantise(i, cells);
        mesh.v[k] = Quantise(cells - j, cells);
        const double q = range > 0.0 ? std::round((h - low) / range * kQuantizedMax) : 0.0;
        mesh.height[k] = static_cast<uint16_t>(q);
        const double decoded = low + q / kQuantizedMax * range;
        quantisation = std::max(quantisation, std::fabs(decoded - h));
        const double longitude = bounds.west + mesh.u[k] / double{kQuantizedMax} * (bounds.east - bounds.west);
        const double latitude = bounds.south + mesh.v[k] / double{kQuantizedMax} * (bounds.north - bounds.south);
        points[k] = GeodeticToEcef(longitude, latitude, decoded);

        // Sobel gradient over the lattice around the point, in metres on the
        // ground at its latitude; a missing neighbour counts as the point.
        const double lon = bounds.west + i * step, lat = bounds.north - j * step;
        const auto height = [&](int32_t di, int32_t dj) {
            const float value = at(i + di, j + dj);
            return std::isfinite(value) ? static_cast<double>(value) : h;
        };
        const double eastward = (height(1, -1) + 2.0 * height(1, 0) + height(1, 1)) -
                                (height(-1, -1) + 2.0 * height(-1, 0) + height(-1, 1));
        const double southward = (height(-1, 1) + 2.0 * height(0, 1) + height(1, 1)) -
                                 (height(-1, -1) + 2.0 * height(0, -1) + height(1, -1));
        const double dx = 8.0 * step * MetresPerDegreeOfLongitude(kWgs84, lat);
        const double dy = 8.0 * step * MetresPerDegreeOfLatitude(kWgs84, lat);
        const double ge = dx > 0.0 ? eastward / dx : 0.0, gn = -southward / dy;
        // (-ge, -gn, 1) in east, north, up, turned into the Earth-fixed frame.
        const double lambda = lon * std::numbers::pi / 180.0, phi = lat * std::numbers::pi / 180.0;
        const double sl = std::sin(lambda), cl = std::cos(lambda), sp = std::sin(phi), cp = std::cos(phi);
        const Vec3 e{-sl, cl, 0.0}, no{-sp * cl, -sp * sl, cp}, up{cp * cl, cp * sl, sp};
        Vec3 normal{};
        for (int a = 0; a < 3; ++a)
            normal[a] = -ge * e[a] - gn * no[a] + up[a];
        const double length = std::sqrt(normal[0] * normal[0] + normal[1] * normal[1] + normal[2] * normal[2]);
        for (double& component : normal)
            component /= length;
        mesh.normals[k] = OctEncodeNormal(normal);
    }
    mesh.indices = simplified.indices;
    mesh.header.sphere = SphereAround(points);
    mesh.header.centre = mesh.header.sphere.centre;
    const std::optional<Vec3> horizon = HorizonOcclusionPoint(points, mesh.header.centre);
    // Tiles too wide for a horizon point (a quarter of the globe) get one far
    // out along their centre, which the client never finds hidden.
    mesh.header.horizonOcclusion = horizon ? *horizon : Vec3{0.0, 0.0, 0.0};
    if (!horizon) {
        const double scale = 1e3 / std::sqrt(mesh.header.centre[0] * mesh.header.centre[0] / (kWgs84A * kWgs84A) +
                                             mesh.header.centre[1] * mesh.header.centre[1] / (kWgs84A * kWgs84A) +
                                             mesh.header.centre[2] * mesh.header.centre[2] / (kWgs84B * kWgs84B));
        mesh.header.horizonOcclusion = {mesh.header.centre[0] / kWgs84A * scale,
                                        mesh.header.centre[1] / kWgs84A * scale,
                                        mesh.header.centre[2] / kWgs84B * scale};
    }
    result.empty = false;
    result.triangles = simplified.triangleCount();
    result.samples = measured.points;
    result.error = measured.max + quantisation;
    return result;
}

}  // namespace heightmesh::tool
