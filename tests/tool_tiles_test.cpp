// Terrain tiles: the geographic tiling and its level errors, the header's
// geometry, and quantized-mesh tiles read back by the tests' own reader.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <numbers>
#include <random>
#include <tuple>
#include <vector>

#include "common/tool_error.h"
#include "support/quantized_mesh_reader.h"
#include "tiles/quantized_mesh.h"
#include "tiles/tiling.h"

namespace heightmesh::tool {
namespace {

TEST(ToolTiling, LevelsSplitTheGlobeExactlyWithRowsFromTheSouth)
{
    const GeoRect root0 = TileBounds({0, 0, 0}), root1 = TileBounds({0, 1, 0});
    EXPECT_EQ(std::tie(root0.west, root0.south, root0.east, root0.north), std::make_tuple(-180.0, -90.0, 0.0, 90.0));
    EXPECT_EQ(std::tie(root1.west, root1.east), std::make_tuple(0.0, 180.0));
    for (const int32_t level : {1, 5, 13, kMaxTileLevel}) {
        EXPECT_EQ(TileColumns(level), 2 * TileRows(level));
        // Neighbours share their edges exactly, and the last tiles end on the
        // antimeridian and the pole.
        for (const int64_t x : {int64_t{0}, TileColumns(level) / 3, TileColumns(level) - 2}) {
            EXPECT_EQ(TileBounds({level, x, 0}).east, TileBounds({level, x + 1, 0}).west) << level << " " << x;
            EXPECT_EQ(TileBounds({level, 0, x / 2}).north, TileBounds({level, 0, x / 2 + 1}).south)
                << level << " " << x;
        }
        EXPECT_EQ(TileBounds({level, TileColumns(level) - 1, 0}).east, 180.0);
        EXPECT_EQ(TileBounds({level, 0, TileRows(level) - 1}).north, 90.0);
        EXPECT_EQ(TileBounds({level, 0, 0}).south, -90.0);
    }
}

TEST(ToolTiling, LevelErrorsHalveFromTheClientsRoot)
{
    EXPECT_NEAR(LevelError(0), 77067.34, 0.005);
    EXPECT_NEAR(LevelError(10), 75.26, 0.005);
    EXPECT_NEAR(LevelError(14), 4.70, 0.005);
    EXPECT_NEAR(LevelError(18), 0.294, 0.0005);
    for (int32_t level = 0; level < kMaxTileLevel; ++level)
        EXPECT_EQ(LevelError(level), 2.0 * LevelError(level + 1)) << level;
}

TEST(ToolTiling, EcefOnTheEllipsoid)
{
    const Vec3 equator = GeodeticToEcef(0.0, 0.0, 0.0);
    EXPECT_EQ(equator[0], kWgs84A);
    EXPECT_NEAR(equator[1], 0.0, 1e-9);
    EXPECT_NEAR(GeodeticToEcef(0.0, 90.0, 0.0)[2], kWgs84B, 1e-6);
    EXPECT_NEAR(GeodeticToEcef(90.0, 0.0, 100.0)[1], kWgs84A + 100.0, 1e-6);
    // Every point at height 0 satisfies the ellipsoid's equation; a height
    // moves it along the surface normal.
    for (const double latitude : {-89.0, -45.0, 0.0, 12.5, 60.0}) {
        const Vec3 p = GeodeticToEcef(33.0, latitude, 0.0);
        EXPECT_NEAR((p[0] * p[0] + p[1] * p[1]) / (kWgs84A * kWgs84A) + p[2] * p[2] / (kWgs84B * kWgs84B), 1.0, 1e-12);
        const Vec3 up = GeodeticToEcef(33.0, latitude, 250.0), n = SurfaceNormal(33.0, latitude);
        for (int k = 0; k < 3; ++k)
            EXPECT_NEAR(up[k] - p[k], 250.0 * n[k], 1e-6);
    }
}

TEST(ToolTiling, HorizonOcclusionPointHidesEveryPoint)
{
    // A point on the surface in the direction looked from is its own horizon
    // point; a surface point 60 degrees off is hidden from twice the radius.
    const Vec3 onSurface = GeodeticToEcef(0.0, 0.0, 0.0);
    const auto self = HorizonOcclusionPoint(std::span(&onSurface, 1), onSurface);
    ASSERT_TRUE(self);
    EXPECT_NEAR((*self)[0], 1.0, 1e-12);
    const Vec3 off = {kWgs84A * 0.5, kWgs84A * std::sqrt(3.0) / 2.0, 0.0};
    const auto far = HorizonOcclusionPoint(std::span(&off, 1), onSurface);
    ASSERT_TRUE(far);
    EXPECT_NEAR((*far)[0], 2.0, 1e-9);
    // For a tile's points: every viewer from whom the occlusion point is
    // behind the ellipsoid sees none of the points either (the client's test
    // of a point in scaled space against the horizon of a viewer there).
    std::vector<Vec3> points;
    for (double lon = 10.0; lon <= 11.0; lon += 0.25)
        for (double lat = 45.0; lat <= 46.0; lat += 0.25)
            points.push_back(GeodeticToEcef(lon, lat, 4000.0 * std::sin(lon * lat)));
    const BoundingSphere sphere = SphereAround(points);
    const auto h = HorizonOcclusionPoint(points, sphere.centre);
    ASSERT_TRUE(h);
    const auto scaled = [](const Vec3& p) { return Vec3{p[0] / kWgs84A, p[1] / kWgs84A, p[2] / kWgs84B}; };
    const auto dot = [](const Vec3& a, const Vec3& b) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; };
    const auto visible = [&](const Vec3& viewer, const Vec3& target) {
        const double horizon = dot(viewer, viewer) - 1.0;
        const Vec3 t = {target[0] - viewer[0], target[1] - viewer[1], target[2] - viewer[2]};
        const double along = -dot(t, viewer);
        return !(along > horizon && along * along / dot(t, t) > horizon);
    };
    std::mt19937 random(3);
    std::uniform_real_distribution<double> lon(-180.0, 180.0), lat(-90.0, 90.0), height(1e3, 2e7);
    int hidden = 0;
    for (int k = 0; k < 20000; ++k) {
        const Vec3 viewer = scaled(GeodeticToEcef(lon(random), lat(random), height(random)));
        if (visible(viewer, *h))
            continue;
        ++hidden;
        for (const Vec3& point : points)
            ASSERT_FALSE(visible(viewer, scaled(point))) << k;
    }
    EXPECT_GT(hidden, 5000);
    for (const Vec3& point : points) {
        const Vec3 d = {point[0] - sphere.centre[0], point[1] - sphere.centre[1], point[2] - sphere.centre[2]};
        EXPECT_LE(std::sqrt(d[0] * d[0] + d[1] * d[1] + d[2] * d[2]), sphere.radius * (1 + 1e-12));
    }
}

TEST(ToolQuantizedMesh, ZigZagCodesEveryDelta)
{
    for (int32_t delta = -32767; delta <= 32767; ++delta)
        ASSERT_EQ(UnZigZag(ZigZag(delta)), delta) << delta;
    EXPECT_EQ(ZigZag(0), 0);
    EXPECT_EQ(ZigZag(-1), 1);
    EXPECT_EQ(ZigZag(1), 2);
    EXPECT_EQ(ZigZag(-32767), 65533);
}

TEST(ToolQuantizedMesh, OctNormalsComeBackWithinAFewDegrees)
{
    std::mt19937 random(5);
    std::normal_distribution<double> gauss;
    double worst = 0.0;
    for (int k = 0; k < 20000; ++k) {
        Vec3 n = {gauss(random), gauss(random), gauss(random)};
        const double length = std::sqrt(n[0] * n[0] + n[1] * n[1] + n[2] * n[2]);
        for (double& c : n)
            c /= length;
        const Vec3 back = OctDecodeNormal(OctEncodeNormal(n));
        const double cosine = std::clamp(n[0] * back[0] + n[1] * back[1] + n[2] * back[2], -1.0, 1.0);
        worst = std::max(worst, std::acos(cosine) * 180.0 / std::numbers::pi);
    }
    EXPECT_LT(worst, 1.5);
    // The axes themselves.
    for (const Vec3 axis : {Vec3{0, 0, 1}, Vec3{0, 0, -1}, Vec3{1, 0, 0}, Vec3{0, -1, 0}}) {
        const Vec3 back = OctDecodeNormal(OctEncodeNormal(axis));
        EXPECT_GT(axis[0] * back[0] + axis[1] * back[1] + axis[2] * back[2], 0.9999);
    }
}

// A grid of n x n quantised points, triangulated counter-clockwise, with the
// vertices in a shuffled order and `unused` vertices no triangle names.
QuantizedMesh GridTile(int n, int unused, uint32_t seed)
{
    std::mt19937 random(seed);
    QuantizedMesh mesh;
    std::vector<uint32_t> slot(static_cast<std::size_t>(n * n + unused));
    for (std::size_t k = 0; k < slot.size(); ++k)
        slot[k] = static_cast<uint32_t>(k);
    std::shuffle(slot.begin(), slot.end(), random);
    mesh.u.resize(slot.size());
    mesh.v.resize(slot.size());
    mesh.height.resize(slot.size());
    mesh.normals.resize(slot.size());
    std::uniform_int_distribution<int> h(0, kQuantizedMax);
    for (int k = 0; k < n * n + unused; ++k) {
        const uint32_t s = slot[static_cast<std::size_t>(k)];
        const int i = k % n, j = k / n;
        mesh.u[s] = static_cast<uint16_t>(k < n * n ? i * kQuantizedMax / (n - 1) : 1 + k % 100);
        mesh.v[s] = static_cast<uint16_t>(k < n * n ? j * kQuantizedMax / (n - 1) : 1 + k % 77);
        mesh.height[s] = static_cast<uint16_t>(h(random));
        mesh.normals[s] = {static_cast<uint8_t>(k), static_cast<uint8_t>(k >> 8)};
    }
    const auto at = [&](int i, int j) { return slot[static_cast<std::size_t>(j * n + i)]; };
    for (int j = 0; j + 1 < n; ++j)
        for (int i = 0; i + 1 < n; ++i)
            mesh.indices.insert(mesh.indices.end(),
                                {at(i, j), at(i + 1, j), at(i + 1, j + 1), at(i, j), at(i + 1, j + 1), at(i, j + 1)});
    mesh.header.centre = {1.5, -2.25, 3e6};
    mesh.header.minimumHeight = -12.5f;
    mesh.header.maximumHeight = 4810.0f;
    mesh.header.sphere = {{4.0, 5.0, 6.0}, 1234.5};
    mesh.header.horizonOcclusion = {0.25, 0.5, 1.125};
    mesh.metadata = R"({"available":[[{"startX":0,"startY":0,"endX":1,"endY":1}]]})";
    return mesh;
}

TEST(ToolQuantizedMesh, TilesReadBackAsTheyWereMeant)
{
    // 16-bit indices, and 32-bit ones past 65536 vertices.
    for (const auto& [n, unused] : {std::pair{2, 0}, std::pair{17, 5}, std::pair{256, 0}, std::pair{257, 3}}) {
        SCOPED_TRACE(n);
        const QuantizedMesh mesh = GridTile(n, unused, static_cast<uint32_t>(n));
        const std::vector<uint8_t> bytes = EncodeQuantizedMesh(mesh);
        const tiletest::DecodedTile tile = tiletest::DecodeTile(bytes);
        EXPECT_EQ(tile.wideIndices, n * n > 65536);
        EXPECT_EQ(tile.u.size(), static_cast<std::size_t>(n * n)) << "unused vertices are left out";
        EXPECT_EQ(tile.centre, mesh.header.centre);
        EXPECT_EQ(tile.minimumHeight, mesh.header.minimumHeight);
        EXPECT_EQ(tile.maximumHeight, mesh.header.maximumHeight);
        EXPECT_EQ(tile.sphere, (std::array<double, 4>{4.0, 5.0, 6.0, 1234.5}));
        EXPECT_EQ(tile.horizonOcclusion, mesh.header.horizonOcclusion);
        EXPECT_EQ(tile.metadata, mesh.metadata);
        // Every triangle corner is the same point, with its normal, in order.
        ASSERT_EQ(tile.indices.size(), mesh.indices.size());
        for (std::size_t k = 0; k < mesh.indices.size(); ++k) {
            const uint32_t a = mesh.indices[k], b = tile.indices[k];
            ASSERT_EQ(std::tie(mesh.u[a], mesh.v[a], mesh.height[a]), std::tie(tile.u[b], tile.v[b], tile.height[b]))
                << k;
            ASSERT_EQ(mesh.normals[a], tile.normals[b]) << k;
        }
        // The edge lists hold exactly the vertices on each edge, along it,
        // corners included.
        const uint16_t m = kQuantizedMax;
        const std::array<std::pair<bool, uint16_t>, 4> edges = {{{true, 0}, {false, 0}, {true, m}, {false, m}}};
        for (std::size_t e = 0; e < 4; ++e) {
            const auto [onU, at] = edges[e];
            std::vector<uint32_t> expected;
            for (uint32_t k = 0; k < tile.u.size(); ++k)
                if ((onU ? tile.u[k] : tile.v[k]) == at)
                    expected.push_back(k);
            EXPECT_EQ(tile.edges[e].size(), static_cast<std::size_t>(n)) << e;
            EXPECT_TRUE(
                std::is_permutation(expected.begin(), expected.end(), tile.edges[e].begin(), tile.edges[e].end()));
            for (std::size_t k = 1; k < tile.edges[e].size(); ++k) {
                const uint32_t p = tile.edges[e][k - 1], q = tile.edges[e][k];
                EXPECT_LT(onU ? tile.v[p] : tile.u[p], onU ? tile.v[q] : tile.u[q]) << e;
            }
        }
    }
}

TEST(ToolQuantizedMesh, MeshesTheFormatCannotHoldAreRefused)
{
    QuantizedMesh mesh = GridTile(3, 0, 1);
    QuantizedMesh outOfRange = mesh;
    outOfRange.indices[4] = static_cast<uint32_t>(mesh.u.size());
    QuantizedMesh uneven = mesh;
    uneven.v.pop_back();
    QuantizedMesh tooHigh = mesh;
    tooHigh.height[2] = 32768;
    QuantizedMesh partial = mesh;
    partial.indices.pop_back();
    for (const QuantizedMesh* bad : {&outOfRange, &uneven, &tooHigh, &partial})
        EXPECT_THROW(EncodeQuantizedMesh(*bad), ToolError);
}

TEST(ToolQuantizedMesh, GzipIsOneMemberTheReaderInflates)
{
    const std::vector<uint8_t> bytes = EncodeQuantizedMesh(GridTile(40, 2, 9));
    const std::vector<uint8_t> packed = Gzip(bytes);
    ASSERT_GE(packed.size(), 18u);
    EXPECT_EQ(packed[0], 0x1F);
    EXPECT_EQ(packed[1], 0x8B);
    const std::optional<std::vector<uint8_t>> back = tiletest::Gunzip(packed);
    ASSERT_TRUE(back);
    EXPECT_TRUE(*back == bytes);
}

}  // namespace
}  // namespace heightmesh::tool
