// Tile pyramids: neighbouring grids simplified on their own agree along
// their shared edge, and whole tilesets read back by the tests' own decoder
// hold together: headers, edge lists, shared edges, availability and the
// error bound at every lattice point of the finest level.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <tuple>
#include <vector>

#include <nlohmann/json.hpp>

#include "common/tool_error.h"
#include "mesh/simplify.h"
#include "mesh/surface_error.h"
#include "run/tiles_command.h"
#include "support/quantized_mesh_reader.h"
#include "tiles/pyramid.h"
#include "tiles/tile_mesh.h"
#include "tiles/tile_source.h"
#include "tool_test_support.h"

namespace heightmesh::tool {
namespace {

namespace fs = std::filesystem;
using namespace tooltest;

// ---------------------------------------------------------------------------
// Shared edges of grids cut from one surface.

struct Surface {
    int32_t width, height;
    std::vector<float> heights;
    std::vector<uint8_t> cells;  // (width - 1) * (height - 1)
    uint8_t Cell(int32_t c, int32_t r) const
    {
        return c >= 0 && r >= 0 && c < width - 1 && r < height - 1
                   ? cells[static_cast<std::size_t>(r) * (width - 1) + c]
                   : 0;
    }
};

Surface MakeSurface(int32_t width, int32_t height, uint32_t seed, double holes)
{
    std::mt19937 random(seed);
    std::uniform_real_distribution<float> unit(0.0f, 1.0f);
    Surface s{width, height, {}, {}};
    for (int32_t r = 0; r < height; ++r)
        for (int32_t c = 0; c < width; ++c)
            s.heights.push_back(std::sin(0.11f * c) * std::cos(0.07f * r) * 20.0f + 3.0f * unit(random));
    s.cells.assign(static_cast<std::size_t>(width - 1) * (height - 1), 1);
    // Round holes, some across the cut lines and the corners.
    for (int k = 0; k < static_cast<int>(holes); ++k) {
        const float cx = unit(random) * width, cy = unit(random) * height, radius = 1.0f + 6.0f * unit(random);
        for (int32_t r = 0; r < height - 1; ++r)
            for (int32_t c = 0; c < width - 1; ++c)
                if ((c - cx) * (c - cx) + (r - cy) * (r - cy) < radius * radius)
                    s.cells[static_cast<std::size_t>(r) * (width - 1) + c] = 0;
    }
    return s;
}

using GridPoint = std::pair<int32_t, int32_t>;  // column, row of the surface

// A piece's vertices and its triangles' edges, in the surface's grid points.
struct Piece {
    int64_t triangles = 0, aloneTriangles = 0;
    std::set<GridPoint> vertices;
    std::vector<std::pair<GridPoint, GridPoint>> edges;
};

// The grid of cells [c0, c0 + n) x [r0, r0 + n) of the surface, simplified
// with its edges shared.
Piece SimplifyPiece(const Surface& s, int32_t c0, int32_t r0, int32_t n, double bound)
{
    const int32_t w = n + 1;
    std::vector<float> heights;
    for (int32_t r = 0; r <= n; ++r)
        for (int32_t c = 0; c <= n; ++c)
            heights.push_back(s.heights[static_cast<std::size_t>(r0 + r) * s.width + c0 + c]);
    std::vector<uint8_t> cells, first, last, left, right;
    for (int32_t r = 0; r < n; ++r)
        for (int32_t c = 0; c < n; ++c)
            cells.push_back(s.Cell(c0 + c, r0 + r));
    for (int32_t k = 0; k < n; ++k) {
        first.push_back(s.Cell(c0 + k, r0 - 1));
        last.push_back(s.Cell(c0 + k, r0 + n));
        left.push_back(s.Cell(c0 - 1, r0 + k));
        right.push_back(s.Cell(c0 + n, r0 + k));
    }
    const SharedEdges edges{first, last, left, right};
    SimplifyRequest request;
    request.heights = heights;
    request.cellMask = cells;
    request.width = request.height = w;
    request.maxError = bound;
    request.sharedEdges = &edges;
    const SimplifiedMesh mesh = Simplify(request);
    // What the seam rule costs: the piece alone, its edges free.
    SimplifyRequest alone = request;
    alone.sharedEdges = nullptr;
    const int64_t aloneTriangles = Simplify(alone).triangleCount();
    // Every kept cell is covered, within the bound.
    const SurfaceError error = MeasureSurfaceError(heights, cells, w, w, mesh.sourceVertices, mesh.indices);
    EXPECT_EQ(error.uncovered, 0);
    EXPECT_LE(error.max, bound);
    // No triangle outside the kept cells: the mesh's area is theirs.
    double area = 0.0;
    for (std::size_t t = 0; t < mesh.indices.size(); t += 3) {
        const auto point = [&](std::size_t k) {
            const int32_t g = mesh.sourceVertices[mesh.indices[t + k]];
            return std::pair<double, double>(g % w, g / w);
        };
        const auto [ax, ay] = point(0);
        const auto [bx, by] = point(1);
        const auto [cx, cy] = point(2);
        area += std::fabs((bx - ax) * (cy - ay) - (cx - ax) * (by - ay)) / 2.0;
    }
    EXPECT_DOUBLE_EQ(area, static_cast<double>(std::count(cells.begin(), cells.end(), 1)));
    Piece piece;
    piece.triangles = mesh.triangleCount();
    piece.aloneTriangles = aloneTriangles;
    const auto at = [&](uint32_t v) {
        const int32_t g = mesh.sourceVertices[v];
        return GridPoint{c0 + g % w, r0 + g / w};
    };
    for (uint32_t v = 0; v < mesh.sourceVertices.size(); ++v)
        piece.vertices.insert(at(v));
    for (std::size_t t = 0; t < mesh.indices.size(); t += 3)
        for (std::size_t k = 0; k < 3; ++k)
            piece.edges.push_back({at(mesh.indices[t + k]), at(mesh.indices[t + (k + 1) % 3])});
    return piece;
}

// The vertices of `a` on the line (a column when `column`) that lie inside
// an edge of `b` along it: T-junctions, where the two would crack apart.
std::vector<GridPoint> TJunctions(const Piece& a, const Piece& b, bool column, int32_t line)
{
    std::vector<GridPoint> found;
    const auto along = [&](const GridPoint& p) { return column ? p.second : p.first; };
    const auto on = [&](const GridPoint& p) { return (column ? p.first : p.second) == line; };
    for (const GridPoint& v : a.vertices) {
        if (!on(v))
            continue;
        for (const auto& [p, q] : b.edges)
            if (on(p) && on(q) && std::min(along(p), along(q)) < along(v) && along(v) < std::max(along(p), along(q)))
                found.push_back(v);
    }
    return found;
}

TEST(ToolPyramid, NeighboursSimplifiedAloneKeepTheSamePointsAlongTheirEdge)
{
    // seed, holes, bound: no holes; holes across the cut lines; many holes; a fine bound.
    const std::tuple<uint32_t, double, double> cases[] = {{1, 0, 2.0}, {2, 6, 2.0}, {3, 25, 1.0}, {4, 12, 0.25}};
    constexpr int32_t n = 48;
    for (const auto& [seed, holes, bound] : cases) {
        const Surface s = MakeSurface(3 * n + 1, 3 * n + 1, seed, holes);
        std::map<std::pair<int32_t, int32_t>, Piece> pieces;
        for (int32_t j = 0; j < 3; ++j)
            for (int32_t i = 0; i < 3; ++i)
                pieces[{i, j}] = SimplifyPiece(s, i * n, j * n, n, bound);
        const std::vector<GridPoint> none;
        int64_t shared = 0, alone = 0;
        for (const auto& [at, piece] : pieces)
            shared += piece.triangles, alone += piece.aloneTriangles;
        // The seam rule may cost a few triangles, not more.
        EXPECT_LE(static_cast<double>(shared), 1.1 * static_cast<double>(alone)) << "seed " << seed;
        for (int32_t j = 0; j < 3; ++j)
            for (int32_t i = 0; i + 1 < 3; ++i) {
                const int32_t line = (i + 1) * n;
                const Piece &left = pieces[{i, j}], &right = pieces[{i + 1, j}];
                const Piece &above = pieces[{j, i}], &below = pieces[{j, i + 1}];
                EXPECT_EQ(TJunctions(left, right, true, line), none) << "seed " << seed << ", piece " << i << "," << j;
                EXPECT_EQ(TJunctions(right, left, true, line), none) << "seed " << seed << ", piece " << i << "," << j;
                EXPECT_EQ(TJunctions(above, below, false, line), none)
                    << "seed " << seed << ", piece " << j << "," << i;
                EXPECT_EQ(TJunctions(below, above, false, line), none)
                    << "seed " << seed << ", piece " << j << "," << i;
            }
    }
}

// ---------------------------------------------------------------------------
// Whole tilesets.

using Key = std::tuple<int32_t, int64_t, int64_t>;

struct Tileset {
    nlohmann::json layer;
    std::map<Key, tiletest::DecodedTile> tiles;
    std::map<Key, std::vector<uint8_t>> files;  // as stored
};

Tileset ReadTileset(const fs::path& root)
{
    Tileset set;
    set.layer = nlohmann::json::parse(ReadText(root / "layer.json"));
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        if (!entry.is_regular_file() || entry.path().extension() != ".terrain")
            continue;
        const fs::path relative = fs::relative(entry.path(), root);
        auto part = relative.begin();
        const int32_t level = std::stoi(part++->string());
        const int64_t x = std::stoll(part++->string());
        const int64_t y = std::stoll(part->stem().string());
        const Key key{level, x, y};
        set.files[key] = ReadBytes(entry.path());
        const std::optional<std::vector<uint8_t>> tile = tiletest::Gunzip(set.files[key]);
        EXPECT_TRUE(tile) << "a tile that is not whole gzip: " << relative;
        set.tiles[key] = tiletest::DecodeTile(tile.value_or(std::vector<uint8_t>{}));
    }
    return set;
}

double Decoded(const tiletest::DecodedTile& tile, uint32_t k)
{
    return tile.minimumHeight +
           tile.height[k] / 32767.0 * (static_cast<double>(tile.maximumHeight) - tile.minimumHeight);
}
double Step(const tiletest::DecodedTile& tile)
{
    return (static_cast<double>(tile.maximumHeight) - tile.minimumHeight) / 32767.0;
}

// The tiles the rectangles of one level of an availability list name.
std::set<std::pair<int64_t, int64_t>> Named(const nlohmann::json& rectangles)
{
    std::set<std::pair<int64_t, int64_t>> named;
    for (const auto& r : rectangles)
        for (int64_t y = r["startY"]; y <= r["endY"].get<int64_t>(); ++y)
            for (int64_t x = r["startX"]; x <= r["endX"].get<int64_t>(); ++x)
                EXPECT_TRUE(named.insert({x, y}).second) << "listed twice: " << x << "," << y;
    return named;
}

// Everything a tileset must hold together, from its files alone.
void CheckTileset(const Tileset& set)
{
    const nlohmann::json& layer = set.layer;
    EXPECT_EQ(layer["format"], "quantized-mesh-1.0");
    EXPECT_EQ(layer["scheme"], "tms");
    EXPECT_EQ(layer["projection"], "EPSG:4326");
    EXPECT_EQ(layer["tiles"][0], "{z}/{x}/{y}.terrain?v={version}");
    const int32_t maxZoom = layer["maxzoom"];
    ASSERT_EQ(layer["available"].size(), static_cast<std::size_t>(maxZoom) + 1);
    // available names exactly the files written.
    std::map<int32_t, std::set<std::pair<int64_t, int64_t>>> files;
    for (const auto& [key, tile] : set.tiles)
        files[std::get<0>(key)].insert({std::get<1>(key), std::get<2>(key)});
    for (int32_t level = 0; level <= maxZoom; ++level)
        EXPECT_EQ(Named(layer["available"][level]), files[level]) << "level " << level;
    // The client starts from both roots and reads availability from each
    // tile's metadata.
    EXPECT_EQ(layer["metadataAvailability"], 1);
    if (layer["minzoom"] == 0) {
        EXPECT_EQ(files[0], (std::set<std::pair<int64_t, int64_t>>{{0, 0}, {1, 0}}));
    }

    for (const auto& entry : set.tiles) {
        const tiletest::DecodedTile& tile = entry.second;
        const auto [level, x, y] = entry.first;
        SCOPED_TRACE(::testing::Message() << "tile " << level << "/" << x << "/" << y);
        const std::size_t n = tile.u.size();
        ASSERT_GT(n, 0u);
        // Heights within the header's range, positions within its sphere.
        const GeoRect bounds = TileBounds({level, x, y});
        for (uint32_t k = 0; k < n; ++k) {
            const double lon = bounds.west + tile.u[k] / 32767.0 * (bounds.east - bounds.west);
            const double lat = bounds.south + tile.v[k] / 32767.0 * (bounds.north - bounds.south);
            const Vec3 p = GeodeticToEcef(lon, lat, Decoded(tile, k));
            const double d = std::hypot(p[0] - tile.sphere[0], p[1] - tile.sphere[1], p[2] - tile.sphere[2]);
            EXPECT_LE(d, tile.sphere[3] * (1 + 1e-9) + 1e-6);
        }
        // Edge lists: exactly the vertices on each edge, sorted along it.
        const auto onEdge = [&](int e, uint32_t k) {
            return e == 0 ? tile.u[k] == 0 : e == 1 ? tile.v[k] == 0 : e == 2 ? tile.u[k] == 32767 : tile.v[k] == 32767;
        };
        for (int e = 0; e < 4; ++e) {
            std::vector<uint32_t> expected;
            for (uint32_t k = 0; k < n; ++k)
                if (onEdge(e, k))
                    expected.push_back(k);
            std::vector<uint32_t> listed = tile.edges[e];
            const auto along = [&](uint32_t k) { return e % 2 == 0 ? tile.v[k] : tile.u[k]; };
            EXPECT_TRUE(std::is_sorted(listed.begin(), listed.end(),
                                       [&](uint32_t a, uint32_t b) { return along(a) < along(b); }));
            std::sort(listed.begin(), listed.end());
            EXPECT_EQ(listed, expected) << "edge " << e;
        }
        // Counter-clockwise seen from above.
        for (std::size_t t = 0; t < tile.indices.size(); t += 3) {
            const uint32_t a = tile.indices[t], b = tile.indices[t + 1], c = tile.indices[t + 2];
            const int64_t area = (int64_t{tile.u[b]} - tile.u[a]) * (int64_t{tile.v[c]} - tile.v[a]) -
                                 (int64_t{tile.u[c]} - tile.u[a]) * (int64_t{tile.v[b]} - tile.v[a]);
            EXPECT_GT(area, 0) << "triangle " << t / 3;
        }
        // Child availability names the children that exist.
        {
            const nlohmann::json metadata = nlohmann::json::parse(tile.metadata);
            std::set<std::pair<int64_t, int64_t>> children;
            for (int64_t cy = 2 * y; cy <= 2 * y + 1; ++cy)
                for (int64_t cx = 2 * x; cx <= 2 * x + 1; ++cx)
                    if (set.tiles.count({level + 1, cx, cy}))
                        children.insert({cx, cy});
            EXPECT_EQ(Named(metadata["available"][0]), children);
        }
    }

    // Neighbours: the same points along the shared edge, with the same
    // height up to each side's quantisation and the same normal.
    int pairs = 0;
    for (const auto& [key, a] : set.tiles) {
        const auto [level, x, y] = key;
        for (const bool east : {true, false}) {
            const Key other{level, east ? x + 1 : x, east ? y : y + 1};
            const auto found = set.tiles.find(other);
            if (found == set.tiles.end())
                continue;
            const tiletest::DecodedTile& b = found->second;
            ++pairs;
            SCOPED_TRACE(::testing::Message()
                         << "tiles " << level << "/" << x << "/" << y << (east ? " east" : " north"));
            const int mineEdge = east ? 2 : 3, theirEdge = east ? 0 : 1;
            // Each side's edge vertices by their place along the edge, and
            // the spans of its triangles' edges along it.
            struct Side {
                std::map<uint16_t, uint32_t> vertices;
                std::vector<std::pair<uint16_t, uint16_t>> spans;
            };
            const auto side = [&](const tiletest::DecodedTile& tile, int edge) {
                Side s;
                const auto along = [&](uint32_t k) { return edge % 2 == 0 ? tile.v[k] : tile.u[k]; };
                std::set<uint32_t> on(tile.edges[edge].begin(), tile.edges[edge].end());
                for (const uint32_t k : on)
                    s.vertices[along(k)] = k;
                for (std::size_t t = 0; t < tile.indices.size(); t += 3)
                    for (std::size_t k = 0; k < 3; ++k) {
                        const uint32_t p = tile.indices[t + k], q = tile.indices[t + (k + 1) % 3];
                        if (on.count(p) && on.count(q))
                            s.spans.push_back(std::minmax(along(p), along(q)));
                    }
                return s;
            };
            const Side mine = side(a, mineEdge), theirs = side(b, theirEdge);
            for (const auto& [one, another, oneTile, otherTile] :
                 {std::tuple{&mine, &theirs, &a, &b}, std::tuple{&theirs, &mine, &b, &a}}) {
                for (const auto& [place, k] : one->vertices) {
                    for (const auto& [from, to] : another->spans)
                        EXPECT_FALSE(from < place && place < to) << "a T-junction at " << place;
                    const auto same = another->vertices.find(place);
                    if (same == another->vertices.end())
                        continue;
                    EXPECT_NEAR(Decoded(*oneTile, k), Decoded(*otherTile, same->second),
                                (Step(*oneTile) + Step(*otherTile)) / 2 + 1e-6);
                    EXPECT_EQ(oneTile->normals[k], otherTile->normals[same->second]);
                }
            }
        }
    }
    EXPECT_GT(pairs, 0);
}

// The finest level against the heights the tool read: every lattice point of
// a kept cell within the level's error plus one quantisation step.
void CheckErrorBound(const Tileset& set, const TileSourceOptions& source, double scale)
{
    const TileSourceFacts facts = DescribeTileSource(source);
    TileReader reader(source, facts);
    const int32_t maxZoom = set.layer["maxzoom"];
    std::vector<float> heights;
    int64_t checked = 0;
    for (const auto& [key, tile] : set.tiles) {
        const auto [level, x, y] = key;
        if (level != maxZoom)
            continue;
        reader.Read({level, x, y}, kTileCells, 1, heights);
        const int32_t outer = kTileCells + 3;
        const auto sample = [&](int32_t i, int32_t j) {  // i east, j north of the south-west corner
            return heights[static_cast<std::size_t>(kTileCells - j + 1) * outer + static_cast<std::size_t>(i + 1)];
        };
        // A corner whose cell holds data is a vertex.
        for (const int32_t ci : {0, kTileCells - 1})
            for (const int32_t cj : {0, kTileCells - 1}) {
                const bool kept = std::isfinite(sample(ci, cj)) && std::isfinite(sample(ci + 1, cj)) &&
                                  std::isfinite(sample(ci, cj + 1)) && std::isfinite(sample(ci + 1, cj + 1));
                const uint16_t u = ci == 0 ? 0 : 32767, v = cj == 0 ? 0 : 32767;
                bool present = false;
                for (std::size_t k = 0; k < tile.u.size(); ++k)
                    present |= tile.u[k] == u && tile.v[k] == v;
                EXPECT_TRUE(present || !kept) << "corner " << u << "," << v << " of " << level << "/" << x << "/" << y;
            }
        const double bound = LevelError(level) * scale + Step(tile) + 1e-6;
        for (std::size_t t = 0; t < tile.indices.size(); t += 3) {
            const uint32_t a = tile.indices[t], b = tile.indices[t + 1], c = tile.indices[t + 2];
            // Lattice point i has u = round(i * 32767 / 256).
            const auto lattice = [](uint16_t q) { return static_cast<int32_t>(std::lround(q * 256.0 / 32767.0)); };
            const int32_t ia = lattice(tile.u[a]), ib = lattice(tile.u[b]), ic = lattice(tile.u[c]);
            const int32_t ja = lattice(tile.v[a]), jb = lattice(tile.v[b]), jc = lattice(tile.v[c]);
            const double det = static_cast<double>(ib - ia) * (jc - ja) - static_cast<double>(ic - ia) * (jb - ja);
            for (int32_t j = std::min({ja, jb, jc}); j <= std::max({ja, jb, jc}); ++j)
                for (int32_t i = std::min({ia, ib, ic}); i <= std::max({ia, ib, ic}); ++i) {
                    const double wb =
                        ((i - ia) * static_cast<double>(jc - ja) - (ic - ia) * static_cast<double>(j - ja)) / det;
                    const double wc =
                        ((ib - ia) * static_cast<double>(j - ja) - (i - ia) * static_cast<double>(jb - ja)) / det;
                    const double wa = 1.0 - wb - wc;
                    if (wa < -1e-12 || wb < -1e-12 || wc < -1e-12)
                        continue;
                    const double surface = wa * Decoded(tile, a) + wb * Decoded(tile, b) + wc * Decoded(tile, c);
                    ASSERT_TRUE(std::isfinite(sample(i, j))) << "a triangle over no data";
                    ASSERT_LE(std::fabs(surface - sample(i, j)), bound) << level << "/" << x << "/" << y;
                    ++checked;
                }
        }
    }
    EXPECT_GT(checked, 0);
}

class ToolPyramidRun : public ::testing::Test {
protected:
    void SetUp() override
    {
        dir_ = fs::temp_directory_path() / ("heightmesh_pyramid_" + std::to_string(::getpid()) + "_" +
                                            ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }

    // A rough surface over 0.2 x 0.1 degrees with round holes of no data, one
    // of them across the raster's edge.
    fs::path WriteRaster(const std::string& name, const std::string& crs = "EPSG:4326", bool georeferenced = true)
    {
        TiffSpec spec;
        spec.width = 400, spec.height = 200;
        spec.crs = georeferenced ? crs : "";
        spec.noData = -9999.0;
        if (crs == "EPSG:4326")
            spec.transform = {10.0, 0.0005, 0, 46.1, 0, -0.0005};
        else  // UTM zone 32 around the same place
            spec.transform = {576000.0, 40.0, 0, 5106000.0, 0, -40.0};
        std::mt19937 random(7);
        std::uniform_real_distribution<double> unit(0.0, 1.0);
        for (int r = 0; r < spec.height; ++r)
            for (int c = 0; c < spec.width; ++c) {
                double h = 1500.0 + 400.0 * std::sin(c * 0.03) * std::cos(r * 0.05) + 30.0 * unit(random);
                const auto hole = [&](double cx, double cy, double radius) {
                    return (c - cx) * (c - cx) + (r - cy) * (r - cy) < radius * radius;
                };
                if (hole(120, 90, 14) || hole(0, 150, 25) || hole(300, 40, 6))
                    h = -9999.0;
                spec.samples.push_back(h);
            }
        const fs::path path = dir_ / name;
        WriteGeoTiff(path, spec);
        return path;
    }

    PyramidOptions Options(const fs::path& input, const std::string& output)
    {
        PyramidOptions options;
        options.source.input = input;
        options.output = dir_ / output;
        options.minZoom = 8;
        options.maxZoom = 12;
        options.threads = 2;
        return options;
    }

    PyramidReport Make(const PyramidOptions& options)
    {
        std::ostringstream out, err;
        ProgressLine progress(err, false);
        return MakePyramid(options, out, progress);
    }

    fs::path dir_;
};

TEST_F(ToolPyramidRun, TilesetsHoldTogetherAndKeepTheirBound)
{
    for (const std::string crs : {"EPSG:4326", "EPSG:32632"}) {
        SCOPED_TRACE(crs);
        const fs::path input = WriteRaster("dem.tif", crs);
        PyramidOptions options = Options(input, "tiles-" + crs.substr(5));
        const PyramidReport report = Make(options);
        ASSERT_EQ(report.levels.size(), 5u);
        const Tileset set = ReadTileset(options.output);
        CheckTileset(set);
        CheckErrorBound(set, options.source, options.errorScale);
        // The report's worst error is within each level's budget plus quantisation.
        for (const LevelReport& level : report.levels) {
            EXPECT_GT(level.tiles, 0);
            EXPECT_LE(level.error, level.budget * 1.001 + 1.0);
        }
    }
}

TEST_F(ToolPyramidRun, AnInterruptedRunResumesToTheSameBytes)
{
    const fs::path input = WriteRaster("dem.tif");
    const PyramidOptions whole = Options(input, "whole");
    Make(whole);
    const Tileset expected = ReadTileset(whole.output);

    // A run stopped part-way leaves complete tiles only, and no layer.json.
    PyramidOptions again = Options(input, "again");
    Make(again);
    int k = 0;
    for (const auto& [key, bytes] : expected.files)
        if (++k % 3 == 0)
            fs::remove(again.output / std::to_string(std::get<0>(key)) / std::to_string(std::get<1>(key)) /
                       (std::to_string(std::get<2>(key)) + ".terrain"));
    fs::remove(again.output / "layer.json");
    const PyramidReport resumed = Make(again);
    int64_t kept = 0;
    for (const LevelReport& level : resumed.levels)
        kept += level.kept;
    EXPECT_EQ(kept, static_cast<int64_t>(expected.files.size() - expected.files.size() / 3));
    const Tileset result = ReadTileset(again.output);
    EXPECT_EQ(result.files, expected.files);
    EXPECT_EQ(result.layer, expected.layer);
}

TEST_F(ToolPyramidRun, FoldersOfOtherRequestsAreRefusedUnlessReplaced)
{
    const fs::path input = WriteRaster("dem.tif");
    PyramidOptions options = Options(input, "tiles");
    Make(options);
    options.errorScale = 2.0;
    EXPECT_THROW(Make(options), UsageError);
    fs::create_directories(dir_ / "other");
    WriteText(dir_ / "other" / "notes.txt", "mine");
    PyramidOptions other = Options(input, "other");
    EXPECT_THROW(Make(other), UsageError);
    EXPECT_EQ(ReadText(dir_ / "other" / "notes.txt"), "mine");
    // --overwrite replaces the tileset's own files and nothing else.
    options.overwrite = true;
    Make(options);
    CheckTileset(ReadTileset(options.output));
    other.overwrite = true;
    Make(other);
    EXPECT_EQ(ReadText(dir_ / "other" / "notes.txt"), "mine");

    // A limit the tile work cannot keep is refused before anything is made.
    PyramidOptions small = Options(input, "small");
    small.maxMemory = int64_t{100} << 20;
    const std::string message = ErrorOf([&] { Make(small); });
    EXPECT_NE(message.find("above the memory limit"), std::string::npos) << message;
    EXPECT_FALSE(fs::exists(dir_ / "small"));

    WriteText(dir_ / "file", "x");
    PyramidOptions file = Options(input, "file");
    EXPECT_THROW(Make(file), UsageError);
}

TEST_F(ToolPyramidRun, ARasterWithoutGeoreferenceIsRefusedUnlessPlaced)
{
    const fs::path input = WriteRaster("plain.tif", "EPSG:4326", false);
    PyramidOptions options = Options(input, "tiles");
    // GDAL gives a raster without CRS a default geotransform: still no place.
    const std::string message = ErrorOf([&] { Make(options); });
    EXPECT_NE(message.find("has no georeference"), std::string::npos) << message;
    EXPECT_NE(message.find("--assume-bounds"), std::string::npos) << message;
    options.source.assumeBounds = GeoRect{10.0, 46.0, 10.2, 46.1};
    options.minZoom = 0;  // down to the roots, one of them without data
    Make(options);
    CheckTileset(ReadTileset(options.output));
}

TEST(ToolPyramidCommand, CommandLinesItCannotActOnAreRefused)
{
    const std::vector<std::vector<std::string>> refused = {
        {"in.tif"},                                 // no folder
        {"in.tif", "-o", "d", "--max-zoom", "25"},  // beyond the scheme
        {"in.tif", "-o", "d", "--min-zoom", "-2"},  //
        {"in.tif", "-o", "d", "--max-zoom", "-1"},  // not "no level given"
        {"in.tif", "-o", "d", "--threads", "-1"},
        {"in.tif", "-o", "d", "--min-zoom", "9", "--max-zoom", "3"},
        {"in.tif", "-o", "d", "--bounds", "10,46,9,47"},  // west above east
        {"in.tif", "-o", "d", "--bounds", "10,46,11"},    // three numbers
        {"in.tif", "-o", "d", "--bounds", "-181,0,1,1"},  // off the globe
        {"in.tif", "-o", "d", "--error-scale", "0"},
        {"in.tif", "-o", "d", "--error-scale", "nan"},
        {"in.tif", "-o", "d", "--band", "0"},
        {"in.tif", "-o", "d", "--resample", "sharpest"},
        {"in.tif", "-o", "d", "--assume-bounds", "0,0,0,0"},
    };
    for (const auto& words : refused) {
        std::vector<const char*> argv{"heightmesh tiles"};
        for (const std::string& word : words)
            argv.push_back(word.c_str());
        std::ostringstream out;
        EXPECT_THROW(ParseTilesCommand(static_cast<int>(argv.size()), argv.data(), out), UsageError)
            << ::testing::PrintToString(words);
    }
    const char* good[] = {"heightmesh tiles", "in.tif",         "-o",  "d", "--max-zoom", "11", "--bounds",
                          "7,45,8,46",        "--geoid-offset", "47.5"};
    std::ostringstream out;
    const std::optional<TilesRequest> request = ParseTilesCommand(10, good, out);
    ASSERT_TRUE(request);
    const PyramidOptions* options = &request->options;
    EXPECT_EQ(options->maxZoom, 11);
    EXPECT_FALSE(options->minZoom);
    EXPECT_EQ(options->source.heightOffset, 47.5f);
    EXPECT_EQ(options->bounds->west, 7.0);
}

}  // namespace
}  // namespace heightmesh::tool
