// Simplification and the solid base: the error bound as a property over
// random terrains with dropped cells, the job's vertices kept bit for bit,
// and closed, outward-facing solids.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <map>
#include <random>
#include <utility>
#include <vector>

#include <meshoptimizer.h>

#include "mesh/gpu_order.h"
#include "mesh/grid_cells.h"
#include "mesh/indexed_mesh.h"
#include "mesh/region_cover.h"
#include "mesh/simplify.h"
#include "mesh/solid.h"
#include "mesh/surface_error.h"

namespace heightmesh::tool {
namespace {

// A job-shaped grid: vertex (c, r) at (c * sx, h * sy, r * sz).
struct Grid {
    int32_t width, height;
    MeshData data;
    std::vector<uint8_t> mask;
};

Grid MakeGrid(int32_t width, int32_t height, uint32_t seed, bool rough, double holes,
              HeightmeshFloat3 scale = {1, 1, 1})
{
    std::mt19937 random(seed);
    std::uniform_real_distribution<float> unit(0.0f, 1.0f);
    Grid g{width, height, {}, {}};
    const float f1 = 0.05f + 0.2f * unit(random), f2 = 0.03f + 0.1f * unit(random);
    for (int32_t r = 0; r < height; ++r)
        for (int32_t c = 0; c < width; ++c) {
            float h = std::sin(f1 * c) * std::cos(f2 * r) * 10.0f + 0.05f * c;
            if (rough)
                h += 4.0f * unit(random);
            g.data.vertices.push_back({c * scale.x, h * scale.y, r * scale.z});
            g.data.normals.push_back({unit(random), 1.0f, unit(random)});
            g.data.uvs.push_back({c / float(width - 1), r / float(height - 1)});
        }
    g.mask.assign(static_cast<std::size_t>(width - 1) * (height - 1), 1);
    // Dropped discs and single cells, as masks and no-data holes make them.
    const int discs = holes > 0 ? 3 : 0;
    for (int d = 0; d < discs; ++d) {
        const float cx = unit(random) * width, cy = unit(random) * height, radius = 2.0f + unit(random) * width / 6.0f;
        for (int32_t r = 0; r + 1 < height; ++r)
            for (int32_t c = 0; c + 1 < width; ++c)
                if (std::hypot(c - cx, r - cy) < radius)
                    g.mask[static_cast<std::size_t>(r) * (width - 1) + c] = 0;
    }
    for (uint8_t& m : g.mask)
        if (unit(random) < holes)
            m = 0;
    return g;
}

// The y of every vertex: what simplification and the error measure read.
std::vector<float> Heights(const Grid& g)
{
    std::vector<float> heights;
    for (const HeightmeshFloat3& v : g.data.vertices)
        heights.push_back(v.y);
    return heights;
}

SimplifiedMesh SimplifyGrid(const Grid& g, double maxError, unsigned threads = 2, int64_t maxTriangles = 0,
                            unsigned scanLanes = 0, bool orderTilesForGpu = false)
{
    const std::vector<float> heights = Heights(g);
    SimplifyRequest request;
    request.heights = heights;
    request.cellMask = g.mask;
    request.width = g.width;
    request.height = g.height;
    request.maxError = maxError;
    request.maxTriangles = maxTriangles;
    request.threads = threads;
    request.scanLanes = scanLanes;
    request.orderTilesForGpu = orderTilesForGpu;
    return Simplify(request);
}

int64_t KeptTriangles(const Grid& g)
{
    int64_t n = 0;
    for (uint8_t m : g.mask)
        n += 2 * (m & 1);
    return n;
}

// Area of triangle (a, b, c) inside the unit cell at (c0, r0), by clipping.
double OverlapWithCell(const double (&t)[3][2], int32_t c0, int32_t r0)
{
    std::vector<std::pair<double, double>> poly = {{t[0][0], t[0][1]}, {t[1][0], t[1][1]}, {t[2][0], t[2][1]}};
    const auto clip = [&](int axis, double bound, bool below) {
        std::vector<std::pair<double, double>> out;
        for (std::size_t i = 0; i < poly.size(); ++i) {
            const auto p = poly[i], q = poly[(i + 1) % poly.size()];
            const double pv = axis ? p.second : p.first, qv = axis ? q.second : q.first;
            const bool pin = below ? pv <= bound : pv >= bound, qin = below ? qv <= bound : qv >= bound;
            if (pin)
                out.push_back(p);
            if (pin != qin) {
                const double s = (bound - pv) / (qv - pv);
                out.push_back({p.first + s * (q.first - p.first), p.second + s * (q.second - p.second)});
            }
        }
        poly = out;
    };
    clip(0, c0, false), clip(0, c0 + 1, true), clip(1, r0, false), clip(1, r0 + 1, true);
    double area = 0;
    for (std::size_t i = 0; i < poly.size(); ++i) {
        const auto p = poly[i], q = poly[(i + 1) % poly.size()];
        area += p.first * q.second - q.first * p.second;
    }
    return std::fabs(area) / 2;
}

TEST(ToolSimplify, BoundHoldsAtEveryGridPointAndHolesStayHoles)
{
    struct Case {
        int32_t width, height;
        bool rough;
        double holes;
    };
    const Case cases[] = {{2, 2, false, 0},      {33, 17, false, 0},   {40, 40, true, 0},
                          {57, 43, false, 0.02}, {64, 64, true, 0.05}, {30, 70, false, 0.3}};
    uint32_t seed = 1;
    for (const Case& k : cases) {
        for (const double maxError : {0.0, 0.05, 0.5, 2.0, 50.0}) {
            SCOPED_TRACE(testing::Message() << k.width << "x" << k.height << " rough " << k.rough << " holes "
                                            << k.holes << " E " << maxError);
            const Grid g = MakeGrid(k.width, k.height, seed++, k.rough, k.holes);
            const SimplifiedMesh mesh = SimplifyGrid(g, maxError);
            const SurfaceError error =
                MeasureSurfaceError(Heights(g), g.mask, g.width, g.height, mesh.sourceVertices, mesh.indices);
            EXPECT_EQ(error.uncovered, 0);
            EXPECT_LE(error.max, maxError);
            EXPECT_LE(mesh.triangleCount(), KeptTriangles(g));
            // Every triangle lies over kept cells only, faces the job's way
            // (clockwise in column, row) and is not degenerate.
            for (std::size_t i = 0; i < mesh.indices.size(); i += 3) {
                double t[3][2];
                for (int j = 0; j < 3; ++j) {
                    const int32_t v = mesh.sourceVertices[mesh.indices[i + j]];
                    t[j][0] = v % g.width, t[j][1] = v / g.width;
                }
                const double area =
                    ((t[1][0] - t[0][0]) * (t[2][1] - t[0][1]) - (t[2][0] - t[0][0]) * (t[1][1] - t[0][1])) / 2;
                ASSERT_LT(area, 0.0);
                double overKept = 0;
                for (int32_t r = int32_t(std::min({t[0][1], t[1][1], t[2][1]}));
                     r < std::max({t[0][1], t[1][1], t[2][1]}); ++r)
                    for (int32_t c = int32_t(std::min({t[0][0], t[1][0], t[2][0]}));
                         c < std::max({t[0][0], t[1][0], t[2][0]}); ++c)
                        if (g.mask[static_cast<std::size_t>(r) * (g.width - 1) + c])
                            overKept += OverlapWithCell(t, c, r);
                ASSERT_NEAR(overKept, -area, 1e-9) << "triangle " << i / 3 << " covers a dropped cell";
            }
        }
    }
}

TEST(ToolSimplify, LargerBoundsNeverNeedMoreTrianglesOnSmoothGround)
{
    const Grid g = MakeGrid(200, 150, 7, false, 0);
    int64_t previous = KeptTriangles(g) + 1;
    for (const double maxError : {0.01, 0.1, 1.0, 10.0}) {
        const int64_t count = SimplifyGrid(g, maxError).triangleCount();
        EXPECT_LT(count, previous) << maxError;
        previous = count;
    }
    // A plane needs two triangles.
    Grid flat = MakeGrid(50, 50, 3, false, 0, {1, 0, 1});
    EXPECT_EQ(SimplifyGrid(flat, 0.0).triangleCount(), 2);
}

TEST(ToolSimplify, TilesAndThreadsAgreeWithTheBound)
{
    // Wider than a tile: borders are shared and must not crack.
    const Grid g = MakeGrid(1100, 40, 11, true, 0.01);
    for (const unsigned threads : {1u, 2u}) {
        const SimplifiedMesh mesh = SimplifyGrid(g, 1.0, threads);
        const SurfaceError error =
            MeasureSurfaceError(Heights(g), g.mask, g.width, g.height, mesh.sourceVertices, mesh.indices);
        EXPECT_EQ(error.uncovered, 0);
        EXPECT_LE(error.max, 1.0);
        // Every interior edge is shared by two triangles in opposite directions.
        std::map<std::pair<uint32_t, uint32_t>, int> uses;
        for (std::size_t i = 0; i < mesh.indices.size(); i += 3)
            for (int j = 0; j < 3; ++j)
                ++uses[{mesh.indices[i + j], mesh.indices[i + (j + 1) % 3]}];
        std::size_t open = 0;
        for (const auto& [edge, count] : uses) {
            EXPECT_EQ(count, 1);
            if (!uses.count({edge.second, edge.first}))
                ++open;
        }
        EXPECT_EQ(open, mesh.boundaryEdges.size() / 2);
    }
}

// A grid of one tile a side is cut into tiles the smaller the denser the
// ground, where the border lines keep points the mesh needs anyway, and
// stays one on sparse ground; either way within the bound, without cracks,
// on any threads alike.
TEST(ToolSimplify, SmallDenseGridsAreCutIntoSmallTiles)
{
    const Grid g = MakeGrid(513, 513, 29, true, 0.002);
    for (const auto& [bound, tiles] : std::vector<std::pair<double, std::size_t>>{{0.5, 64}, {1.5, 16}, {6.0, 1}}) {
        SCOPED_TRACE(bound);
        const SimplifiedMesh mesh = SimplifyGrid(g, bound, 2);
        EXPECT_EQ(mesh.tileRuns.size(), tiles);
        const SurfaceError error =
            MeasureSurfaceError(Heights(g), g.mask, g.width, g.height, mesh.sourceVertices, mesh.indices);
        EXPECT_EQ(error.uncovered, 0);
        EXPECT_LE(error.max, bound);
        const SimplifiedMesh alone = SimplifyGrid(g, bound, 1);
        EXPECT_EQ(alone.indices, mesh.indices);
        EXPECT_EQ(alone.sourceVertices, mesh.sourceVertices);
    }
}

// A grid of sixteen tiles with holes: the bound at every grid point, no
// crack between tiles, and GPU order of the tiles on their own keeps every
// triangle and orders for the cache as well as ordering the whole mesh.
TEST(ToolSimplify, LargeGridsKeepTheBoundAndOrderTheirTilesOnTheirOwn)
{
    const Grid g = MakeGrid(2049, 2049, 23, false, 0.0005);
    const SimplifiedMesh simplified = SimplifyGrid(g, 0.25, 2);
    const SurfaceError error =
        MeasureSurfaceError(Heights(g), g.mask, g.width, g.height, simplified.sourceVertices, simplified.indices);
    EXPECT_EQ(error.uncovered, 0);
    EXPECT_LE(error.max, 0.25);
    ASSERT_EQ(simplified.tileRuns.size(), 64u);

    // Each triangle as its grid points, turned to start at the least, in
    // one number (grid points fit in 22 bits).
    const auto triangles = [](const IndexedMesh& mesh) {
        std::vector<unsigned __int128> list;
        for (std::size_t i = 0; i < mesh.indices.size(); i += 3) {
            std::array<int32_t, 3> t{};
            for (int k = 0; k < 3; ++k)
                t[k] = mesh.sourceVertices[mesh.indices[i + static_cast<std::size_t>(k)]];
            std::rotate(t.begin(), std::min_element(t.begin(), t.end()), t.end());
            list.push_back((static_cast<unsigned __int128>(t[0]) << 64) | (static_cast<uint64_t>(t[1]) << 32) |
                           static_cast<uint32_t>(t[2]));
        }
        std::sort(list.begin(), list.end());
        return list;
    };
    const auto cacheMisses = [](const IndexedMesh& mesh) {
        return meshopt_analyzeVertexCache(mesh.indices.data(), mesh.indices.size(), mesh.sourceVertices.size(), 16, 0,
                                          0)
            .acmr;
    };
    IndexedMesh whole(g.data, g.width, g.height), tiled(g.data, g.width, g.height);
    whole.sourceVertices = tiled.sourceVertices = simplified.sourceVertices;
    whole.indices = tiled.indices = simplified.indices;
    OrderForGpu(whole);
    OrderForGpu(tiled, simplified.tileRuns, 2);
    const auto expected = triangles(whole);
    EXPECT_TRUE(triangles(tiled) == expected);
    EXPECT_LE(cacheMisses(tiled), cacheMisses(whole) * 1.02);
    // Tiles ordered on the threads that simplified them come out as the
    // tile runs ordered afterwards.
    const SimplifiedMesh ordered = SimplifyGrid(g, 0.25, 2, 0, 0, true);
    IndexedMesh inTiles(g.data, g.width, g.height);
    inTiles.sourceVertices = ordered.sourceVertices;
    inTiles.indices = ordered.indices;
    OrderVerticesForFetch(inTiles);
    EXPECT_EQ(inTiles.indices, tiled.indices);
    EXPECT_EQ(inTiles.sourceVertices, tiled.sourceVertices);
    EXPECT_EQ(ordered.boundaryEdges, simplified.boundaryEdges);
    // Vertices in the order triangles first use them.
    int64_t next = 0;
    for (const uint32_t v : tiled.indices) {
        ASSERT_LE(v, next);
        next = std::max<int64_t>(next, int64_t{v} + 1);
    }
}

// The error measure folds its bands into the figures of one pass over the
// grid, for bounded and budgeted meshes (whose triangles span many bands),
// and counts a point no triangle covers in whichever band holds it.
TEST(ToolSimplify, TheErrorMeasureIsTheSameInAnyBandOfRows)
{
    const Grid g = MakeGrid(203, 151, 61, true, 0.01);
    const std::vector<float> heights = Heights(g);
    for (const auto& [bound, budget] : {std::pair{0.3, int64_t{0}}, std::pair{-1.0, int64_t{400}}}) {
        SimplifiedMesh mesh = SimplifyGrid(g, bound, 2, budget);
        for (const bool hole : {false, true}) {
            if (hole) {
                // Drop the largest triangle, which has grid points inside.
                const auto area = [&](std::size_t i) {
                    int64_t x[3], y[3];
                    for (int k = 0; k < 3; ++k) {
                        const int32_t v = mesh.sourceVertices[mesh.indices[i + static_cast<std::size_t>(k)]];
                        x[k] = v % g.width, y[k] = v / g.width;
                    }
                    return std::abs((x[1] - x[0]) * (y[2] - y[0]) - (x[2] - x[0]) * (y[1] - y[0]));
                };
                std::size_t largest = 0;
                for (std::size_t i = 0; i < mesh.indices.size(); i += 3)
                    if (area(i) > area(largest))
                        largest = i;
                mesh.indices.erase(mesh.indices.begin() + static_cast<std::ptrdiff_t>(largest),
                                   mesh.indices.begin() + static_cast<std::ptrdiff_t>(largest) + 3);
            }
            const SurfaceError whole = MeasureSurfaceError(heights, g.mask, g.width, g.height, mesh.sourceVertices,
                                                           mesh.indices, int64_t{1} << 40);
            EXPECT_EQ(whole.uncovered > 0, hole);
            for (const int64_t bandPoints : {int64_t{1}, int64_t{3 * 203}, int64_t{40 * 203 + 7}}) {
                SCOPED_TRACE(testing::Message() << "budget " << budget << " hole " << hole << " band " << bandPoints);
                const SurfaceError banded = MeasureSurfaceError(heights, g.mask, g.width, g.height, mesh.sourceVertices,
                                                                mesh.indices, bandPoints);
                EXPECT_EQ(banded.max, whole.max);
                EXPECT_EQ(banded.rms, whole.rms);
                EXPECT_EQ(banded.points, whole.points);
                EXPECT_EQ(banded.uncovered, whole.uncovered);
            }
        }
    }
}

// A mask that keeps every cell without bytes acts as bytes of ones do, in
// the simplification (tiled, budgeted), its measure, the cover, the outline,
// the solid base's plan and the survey of written vertices.
TEST(ToolSimplify, AMaskOfEveryCellActsAsOnes)
{
    const Grid g = MakeGrid(301, 277, 71, true, 0.0);
    ASSERT_TRUE(std::all_of(g.mask.begin(), g.mask.end(), [](uint8_t m) { return m == 1; }));
    const std::vector<float> heights = Heights(g);
    const CellMaskView every = CellMaskView::EveryCell(g.mask.size());
    for (const auto& [bound, budget] : {std::pair{0.2, int64_t{0}}, std::pair{-1.0, int64_t{3000}}}) {
        SCOPED_TRACE(testing::Message() << "bound " << bound << " budget " << budget);
        SimplifyRequest request;
        request.heights = heights;
        request.width = g.width;
        request.height = g.height;
        request.maxError = bound;
        request.maxTriangles = budget;
        request.threads = 2;
        request.orderTilesForGpu = true;
        request.cellMask = g.mask;
        const SimplifiedMesh ones = Simplify(request);
        request.cellMask = every;
        const SimplifiedMesh none = Simplify(request);
        EXPECT_EQ(none.indices, ones.indices);
        EXPECT_EQ(none.sourceVertices, ones.sourceVertices);
        EXPECT_EQ(none.boundaryEdges, ones.boundaryEdges);
        EXPECT_EQ(none.tileRuns, ones.tileRuns);
        const SurfaceError a =
            MeasureSurfaceError(heights, g.mask, g.width, g.height, ones.sourceVertices, ones.indices);
        const SurfaceError b =
            MeasureSurfaceError(heights, every, g.width, g.height, ones.sourceVertices, ones.indices);
        EXPECT_EQ(a.max, b.max);
        EXPECT_EQ(a.rms, b.rms);
        EXPECT_EQ(a.points, b.points);
        const SolidBasePlan pa = PlanSolidBase(ones.boundaryEdges, g.mask, g.width, g.height);
        const SolidBasePlan pb = PlanSolidBase(ones.boundaryEdges, every, g.width, g.height);
        EXPECT_EQ(pa.bottomTriangles, pb.bottomTriangles);
        EXPECT_EQ(pa.points, pb.points);
    }
    const auto rects = [](const std::vector<CellRect>& list) {
        std::vector<std::array<int32_t, 4>> out;
        for (const CellRect& q : list)
            out.push_back({q.column0, q.row0, q.column1, q.row1});
        return out;
    };
    EXPECT_EQ(rects(CoverKeptCells(every, g.width, g.height, 64)),
              rects(CoverKeptCells(g.mask, g.width, g.height, 64)));
    EXPECT_EQ(GridBoundaryEdges(every, g.width, g.height), GridBoundaryEdges(g.mask, g.width, g.height));
    std::vector<int> parts(2);
    const auto survey = [&](CellMaskView mask) {
        return SurveyMask(mask, g.width, g.height, parts, false, [](int&, int32_t, std::span<const uint8_t>) {});
    };
    EXPECT_EQ(survey(every).vertexStart, survey(g.mask).vertexStart);
    EXPECT_EQ(survey(every).cellStart, survey(g.mask).cellStart);
    std::vector<uint8_t> a(static_cast<std::size_t>(g.width)), b(a.size());
    for (const int32_t z : {0, 1, g.height / 2, g.height - 1}) {
        KeptCornersOfRow(every, g.width, g.height, z, a);
        KeptCornersOfRow(g.mask, g.width, g.height, z, b);
        EXPECT_EQ(a, b) << "row " << z;
    }
}

TEST(ToolSimplify, EveryScanWidthMakesTheSameMesh)
{
    // Row lengths of every remainder modulo 8, rough ground (many near ties),
    // holes, a tile border and a triangle budget.
    struct Case {
        int32_t width, height;
        double holes, maxError;
        int64_t budget;
    };
    const Case cases[] = {
        {45, 38, 0.0, 0.0, 0}, {67, 59, 0.1, 0.3, 0}, {1100, 23, 0.02, 0.5, 0}, {70, 70, 0.05, -1.0, 500}};
    uint32_t seed = 40;
    for (const Case& k : cases) {
        const Grid g = MakeGrid(k.width, k.height, seed++, true, k.holes);
        const SimplifiedMesh wide = SimplifyGrid(g, k.maxError, 2, k.budget, 8);
        for (const unsigned lanes : {2u, 4u}) {
            SCOPED_TRACE(testing::Message() << k.width << "x" << k.height << " lanes " << lanes);
            const SimplifiedMesh mesh = SimplifyGrid(g, k.maxError, 2, k.budget, lanes);
            EXPECT_EQ(mesh.sourceVertices, wide.sourceVertices);
            EXPECT_EQ(mesh.indices, wide.indices);
            EXPECT_EQ(mesh.boundaryEdges, wide.boundaryEdges);
        }
    }
}

TEST(ToolSimplify, TriangleBudgetIsKept)
{
    const Grid g = MakeGrid(80, 80, 5, true, 0);
    for (const int64_t budget : {2, 100, 1000}) {
        const SimplifiedMesh mesh = SimplifyGrid(g, -1.0, 2, budget);
        EXPECT_LE(mesh.triangleCount(), budget);
        EXPECT_GE(mesh.triangleCount(), budget - 2);
    }
}

// Every directed edge once, and its reverse once: closed and consistently oriented.
void ExpectClosed(const IndexedMesh& mesh)
{
    std::map<std::pair<uint32_t, uint32_t>, int> uses;
    mesh.ForEachTriangle([&](uint32_t a, uint32_t b, uint32_t c) { ++uses[{a, b}], ++uses[{b, c}], ++uses[{c, a}]; });
    for (const auto& [edge, count] : uses) {
        ASSERT_EQ(count, 1) << edge.first << "-" << edge.second;
        ASSERT_EQ(uses.count({edge.second, edge.first}), 1u) << edge.first << "-" << edge.second << " is open";
    }
}

IndexedMesh FullMesh(const Grid& g)
{
    IndexedMesh mesh(g.data, g.width, g.height);
    for (int32_t v = 0; v < g.width * g.height; ++v)
        mesh.sourceVertices.push_back(v);
    for (int32_t r = 0; r + 1 < g.height; ++r)
        for (int32_t c = 0; c + 1 < g.width; ++c) {
            if (!g.mask[static_cast<std::size_t>(r) * (g.width - 1) + c])
                continue;
            const uint32_t p = static_cast<uint32_t>(r * g.width + c), w = static_cast<uint32_t>(g.width);
            mesh.indices.insert(mesh.indices.end(), {p, p + w + 1, p + 1, p, p + w, p + w + 1});
        }
    return mesh;
}

TEST(ToolSolid, FlatSlabHasItsExactVolume)
{
    // A 6 x 4 cell grid at height 2 with a base 3 deep: 6 * 4 * 3.
    Grid g = MakeGrid(7, 5, 1, false, 0, {1, 0, 1});
    for (auto& v : g.data.vertices)
        v.y = 2.0f;
    for (const bool simplified : {false, true}) {
        IndexedMesh mesh = FullMesh(g);
        std::vector<int32_t> boundary = GridBoundaryEdges(g.mask, g.width, g.height);
        if (simplified) {
            SimplifiedMesh s = SimplifyGrid(g, 0.0);
            EXPECT_EQ(s.triangleCount(), 2);
            mesh.sourceVertices = s.sourceVertices, mesh.indices = s.indices, boundary = s.boundaryEdges;
        }
        AddSolidBase(mesh, boundary, g.mask, g.width, g.height, 3.0f);
        ExpectClosed(mesh);
        EXPECT_DOUBLE_EQ(SignedVolume(mesh), 72.0);
        EXPECT_FLOAT_EQ(mesh.minPosition().y, -1.0f);
    }
}

TEST(ToolSolid, ClosedAndOutwardWithHolesPinchesAndMirroredScales)
{
    uint32_t seed = 20;
    for (const HeightmeshFloat3 scale : {HeightmeshFloat3{1, 1, 1}, HeightmeshFloat3{-2, 0.5f, 1}}) {
        for (const double holes : {0.0, 0.1, 0.4}) {
            for (const double maxError : {-1.0, 0.0, 1.0, 5.0}) {
                SCOPED_TRACE(testing::Message() << "holes " << holes << " E " << maxError << " scale x " << scale.x);
                const Grid g = MakeGrid(25, 19, seed++, true, holes, scale);
                IndexedMesh mesh = FullMesh(g);
                std::vector<int32_t> boundary = GridBoundaryEdges(g.mask, g.width, g.height);
                if (maxError >= 0) {
                    SimplifiedMesh s = SimplifyGrid(g, maxError);
                    mesh.sourceVertices = s.sourceVertices, mesh.indices = s.indices, boundary = s.boundaryEdges;
                }
                const std::size_t top = mesh.sourceVertices.size();
                AddSolidBase(mesh, boundary, g.mask, g.width, g.height, 1.5f);
                ExpectClosed(mesh);
                EXPECT_GT(SignedVolume(mesh), 0.0);
                // The surface's vertices are still the job's, bit for bit.
                for (std::size_t k = 0; k < top; ++k)
                    EXPECT_EQ(std::memcmp(&mesh.Position(static_cast<int64_t>(k)),
                                          &g.data.vertices[static_cast<std::size_t>(mesh.sourceVertices[k])], 12),
                              0);
            }
        }
    }
}

TEST(ToolSolid, ClosedAcrossTileBorders)
{
    const Grid g = MakeGrid(1100, 30, 13, true, 0.05);
    SimplifiedMesh s = SimplifyGrid(g, 0.5);
    IndexedMesh mesh(g.data, g.width, g.height);
    mesh.sourceVertices = s.sourceVertices, mesh.indices = s.indices;
    AddSolidBase(mesh, s.boundaryEdges, g.mask, g.width, g.height, 1.0f);
    ExpectClosed(mesh);
    EXPECT_GT(SignedVolume(mesh), 0.0);
}

}  // namespace
}  // namespace heightmesh::tool
