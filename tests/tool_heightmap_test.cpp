// Readers of heightmaps and masks, the built-in terrain, height edits and the
// cell mask, on small data made here.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <limits>
#include <stdexcept>

#include "common/parallel.h"
#include "common/tool_error.h"
#include "input/cell_mask.h"
#include "input/heightmap.h"
#include "input/readers.h"
#include "input/terrain.h"
#include "tool_test_support.h"

namespace heightmesh::tool {
namespace {

using tooltest::ErrorOf;
using tooltest::MakeHgt;
using tooltest::MakePng;
using tooltest::MakeRaw;

// Reads bytes written to a scratch file of the given name, through the
// tool's reader for it.
Heightmap ReadBytesAs(const std::vector<uint8_t>& bytes, const std::string& fileName, const InputOptions& options = {})
{
    const tooltest::ScratchDir dir;
    tooltest::WriteBytes(dir / fileName, bytes);
    return ReadHeightmap(dir / fileName, std::nullopt, options);
}

std::vector<uint8_t> Bytes(const std::string& text) { return std::vector<uint8_t>(text.begin(), text.end()); }

TEST(ToolHeightmap, PngSamplesScaleToUnitRangeForEveryDepthAndLayout)
{
    struct Case {
        int channels;
        int depth;
        std::vector<uint16_t> samples;  // 2 x 2 pixels
        std::vector<float> expected;
    };
    const double k = 1.0 / 255.0;
    const std::vector<Case> cases = {
        {1, 8, {0, 255, 51, 128}, {0.0f, 1.0f, static_cast<float>(51 * k), static_cast<float>(128 * k)}},
        {1,
         16,
         {0, 65535, 1, 32768},
         {0.0f, 1.0f, static_cast<float>(1 / 65535.0), static_cast<float>(32768 / 65535.0)}},
        // Gray + alpha: the alpha is ignored.
        {2,
         8,
         {10, 0, 20, 255, 30, 7, 40, 99},
         {static_cast<float>(10 * k), static_cast<float>(20 * k), static_cast<float>(30 * k),
          static_cast<float>(40 * k)}},
        // Colour as luminance: pure red, green, blue and white.
        {3,
         8,
         {255, 0, 0, 0, 255, 0, 0, 0, 255, 255, 255, 255},
         {static_cast<float>(0.2126), static_cast<float>(0.7152), static_cast<float>(0.0722), 1.0f}},
        {4,
         16,
         {65535, 0, 0, 0, 0, 65535, 0, 1, 0, 0, 65535, 2, 65535, 65535, 65535, 3},
         {static_cast<float>(0.2126), static_cast<float>(0.7152), static_cast<float>(0.0722), 1.0f}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.channels << " channels, " << c.depth << " bits");
        const Heightmap map = ReadBytesAs(MakePng(2, 2, c.channels, c.depth, c.samples), "t.png");
        ASSERT_EQ(map.width, 2);
        ASSERT_EQ(map.height, 2);
        ASSERT_EQ(map.heights.size(), 4u);
        for (int i = 0; i < 4; ++i)
            EXPECT_NEAR(map.heights[i], c.expected[i], 1e-6f) << i;
        EXPECT_FALSE(map.HasNoData());
    }
}

TEST(ToolHeightmap, PngRowsStayInOrder)
{
    // 3 x 2: row 0 is the top row of the image.
    const Heightmap map = ReadBytesAs(MakePng(3, 2, 1, 8, {0, 1, 2, 3, 4, 5}), "t.png");
    ASSERT_EQ(map.width, 3);
    ASSERT_EQ(map.height, 2);
    for (int i = 0; i < 6; ++i)
        EXPECT_EQ(map.heights[i], static_cast<float>(i / 255.0));
}

TEST(ToolHeightmap, PgmTextAndBinaryAtBothDepths)
{
    const std::vector<float> eight = {0.0f, static_cast<float>(100 / 255.0), static_cast<float>(200 / 255.0), 1.0f};
    const std::vector<float> sixteen = {0.0f, static_cast<float>(1 / 1000.0), static_cast<float>(999 / 1000.0), 1.0f};
    std::string p5 = "P5\n# a comment\n2 2\n255\n";
    p5 += std::string{'\0', '\x64', '\xC8', '\xFF'};
    std::string p5Wide = "P5 2 2 1000\n";
    for (int v : {0, 1, 999, 1000})
        p5Wide += {static_cast<char>(v >> 8), static_cast<char>(v & 0xFF)};
    const struct {
        std::string text;
        std::vector<float> expected;
    } cases[] = {
        {"P2\n2 2\n255\n0 100\n200 255\n", eight},
        {"P2 # size next\n2 # width\n 2\n255\n0\t100 200\n# late comment\n255", eight},
        {"P2\n2 2\n1000\n0 1 999 1000\n", sixteen},
        {p5, eight},
        {p5Wide, sixteen},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text.substr(0, 2));
        const Heightmap map = ParsePgm(Bytes(c.text), "'t.pgm'");
        ASSERT_EQ(map.width, 2);
        ASSERT_EQ(map.height, 2);
        for (int i = 0; i < 4; ++i)
            EXPECT_EQ(map.heights[i], c.expected[i]) << i;
    }
}

TEST(ToolHeightmap, BrokenImagesAreRefusedWithAReason)
{
    const std::vector<uint8_t> png = MakePng(4, 4, 1, 8, std::vector<uint16_t>(16, 9));
    const struct {
        std::string name;
        std::function<void()> parse;
        std::string reason;
    } cases[] = {
        {"png truncated",
         [&] { ReadBytesAs(std::vector<uint8_t>(png.begin(), png.begin() + png.size() / 2), "t.png"); }, "cannot read"},
        {"png header only", [&] { ReadBytesAs(std::vector<uint8_t>(png.begin(), png.begin() + 8), "t.png"); },
         "GDAL reads no raster from it"},
        {"png garbage", [&] { ReadBytesAs(Bytes("\x89PNG garbage"), "t.png"); }, "GDAL reads no raster from it"},
        {"png 1 x 4",
         [&] {
             ReadBytesAs(MakePng(1, 4, 1, 8, {1, 2, 3, 4}), "t.png");
         },
         "too small"},
        {"pgm binary truncated", [&] { ParsePgm(Bytes("P5 2 2 255\n\x01\x02\x03"), "'t.pgm'"); }, "truncated"},
        {"pgm wide truncated", [&] { ParsePgm(Bytes("P5 2 2 65535\n\x01\x02\x03\x04\x05\x06\x07"), "'t.pgm'"); },
         "truncated"},
        {"pgm text truncated", [&] { ParsePgm(Bytes("P2 2 2 255\n1 2 3"), "'t.pgm'"); }, "truncated"},
        {"pgm header truncated", [&] { ParsePgm(Bytes("P5 2 2"), "'t.pgm'"); }, "truncated"},
        {"pgm no samples", [&] { ParsePgm(Bytes("P5 2 2 255"), "'t.pgm'"); }, "truncated"},
        {"pgm sample above max", [&] { ParsePgm(Bytes("P2 2 2 100\n1 2 3 101"), "'t.pgm'"); }, "above the maximum"},
        {"pgm bad sample", [&] { ParsePgm(Bytes("P2 2 2 100\n1 2 x 4"), "'t.pgm'"); }, "bad sample"},
        {"pgm max 0", [&] { ParsePgm(Bytes("P2 2 2 0\n0 0 0 0"), "'t.pgm'"); }, "maximum value 0"},
        {"pgm max too big", [&] { ParsePgm(Bytes("P2 2 2 65536\n0 0 0 0"), "'t.pgm'"); }, "above 65535"},
        {"pgm wrong magic", [&] { ParsePgm(Bytes("P6 2 2 255\n"), "'t.pgm'"); }, "not a PGM file"},
        {"pgm too small", [&] { ParsePgm(Bytes("P2 5 1 255\n1 2 3 4 5"), "'t.pgm'"); }, "too small"},
        // A header asking for far more than the file holds is refused before
        // anything is allocated.
        {"pgm huge header", [&] { ParsePgm(Bytes("P5 10000 10000 255\n\x01"), "'t.pgm'"); }, "truncated"},
        {"pgm past indices", [&] { ParsePgm(Bytes("P5 70000 70000 255\n\x01"), "'t.pgm'"); }, "too large"},
        {"hgt odd size", [&] { ReadBytesAs(std::vector<uint8_t>(9, 0), "N00E000.hgt"); }, "not an SRTM .hgt tile"},
        {"hgt not square", [&] { ReadBytesAs(std::vector<uint8_t>(2 * 12, 0), "N00E000.hgt"); },
         "not an SRTM .hgt tile"},
        {"hgt empty", [&] { ReadBytesAs({}, "N00E000.hgt"); }, "not an SRTM .hgt tile"},
        {"hgt 5 x 5", [&] { ReadBytesAs(MakeHgt(std::vector<int16_t>(25, 1)), "N00E000.hgt"); },
         "not an SRTM .hgt tile"},
        {"raw short",
         [&] {
             ParseRawFloat32(MakeRaw({1, 2, 3}), {2, 2}, "'t.raw'");
         },
         "needs 16"},
        {"raw long",
         [&] {
             ParseRawFloat32(MakeRaw({1, 2, 3, 4, 5}), {2, 2}, "'t.raw'");
         },
         "has 20 bytes"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string message = ErrorOf(c.parse);
        EXPECT_NE(message.find(c.reason), std::string::npos) << message;
        EXPECT_EQ(message.find('\n'), std::string::npos) << message;
    }
}

TEST(ToolHeightmap, HgtIsBigEndianSignedWithNoDataMarked)
{
    const std::vector<int16_t> block = {-32768, 1, -2, 300, -32767, 32767, 0, -32768, 7};
    InputOptions window;
    window.window = PixelWindow{0, 0, 3, 3};
    const Heightmap map = ReadBytesAs(tooltest::MakeHgtTile(block, 3, 5), "N47E011.hgt", window);
    ASSERT_EQ(map.width, 3);
    ASSERT_EQ(map.height, 3);
    const std::vector<float> expected = {0, 1, -2, 300, -32767, 32767, 0, 0, 7};
    const std::vector<uint8_t> noData = {1, 0, 0, 0, 0, 0, 0, 1, 0};
    EXPECT_EQ(map.heights, expected);
    EXPECT_EQ(map.noData, noData);
    EXPECT_EQ(map.rangeLow, -32767.0f);
    EXPECT_EQ(map.rangeHigh, 32767.0f);
}

TEST(ToolHeightmap, RawFloatsReadInPlaceAndNonFiniteIsNoData)
{
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    const Heightmap map = ParseRawFloat32(MakeRaw({1.5f, -0.0f, nan, 3e38f, -inf, 2.0f}), {3, 2}, "'t.raw'");
    ASSERT_EQ(map.width, 3);
    ASSERT_EQ(map.height, 2);
    EXPECT_EQ(tooltest::Bits(map.heights[1]), tooltest::Bits(-0.0f));
    EXPECT_EQ(map.heights[3], 3e38f);
    EXPECT_EQ(map.noData, (std::vector<uint8_t>{0, 0, 1, 0, 1, 0}));
}

TEST(ToolHeightmap, GridSizesParseAndRespectTheJobsLimits)
{
    EXPECT_EQ(ParseGridSize("512x256"), (GridSize{512, 256}));
    EXPECT_EQ(ParseGridSize("7X9"), (GridSize{7, 9}));
    EXPECT_EQ(ParseGridSize("33"), (GridSize{33, 33}));
    for (const char* bad : {"", "x", "12x", "x12", "-3x4", "3x4x5", "3.5x4", " 3x4", "3 x4", "99999999999999x2"})
        EXPECT_THROW(ParseGridSize(bad), UsageError) << bad;
    for (const char* small : {"1x5", "5x1", "0x0", "1"})
        EXPECT_THROW(ParseGridSize(small), UsageError) << small;

    // The largest grids: the vertex count and six indices per cell must fit
    // signed 32-bit lengths.
    EXPECT_TRUE(GridFitsIndices(18919, 18919));
    EXPECT_FALSE(GridFitsIndices(18920, 18920));
    EXPECT_TRUE(GridFitsIndices(2, 357913942));  // 6 * 357913941 = 2147483646 index entries
    EXPECT_FALSE(GridFitsIndices(2, 357913943));
    EXPECT_FALSE(GridFitsIndices(65536, 65536));
    EXPECT_FALSE(GridFitsIndices(2147483647, 2));
    EXPECT_NE(ErrorOf([] { ParseGridSize("70000x70000"); }).find("too large"), std::string::npos);
}

TEST(ToolHeightmap, DetectsFormatsByExtensionThenContent)
{
    const std::vector<uint8_t> png = MakePng(2, 2, 1, 8, {0, 0, 0, 0});
    EXPECT_EQ(DetectInputFormat("a.PNG", png), InputFormat::Gdal);
    EXPECT_EQ(DetectInputFormat("a.pgm", Bytes("P2 1 1 255\n")), InputFormat::Pgm);
    EXPECT_EQ(DetectInputFormat("N47E011.hgt", {}), InputFormat::Gdal);
    EXPECT_EQ(DetectInputFormat("a.r32", {}), InputFormat::RawFloat32);
    EXPECT_EQ(DetectInputFormat("a.F32", Bytes("P5")), InputFormat::RawFloat32);
    EXPECT_EQ(DetectInputFormat("a", Bytes("P5 1 1 255\n")), InputFormat::Pgm);
    EXPECT_EQ(DetectInputFormat("a.tif", Bytes("II*\0")), InputFormat::Gdal);
}

TEST(ToolHeightmap, TerrainIsSeededAndReproducible)
{
    const Heightmap a = MakeTerrain({40, 30}, 7);
    const Heightmap b = MakeTerrain({40, 30}, 7);
    const Heightmap c = MakeTerrain({40, 30}, 8);
    ASSERT_EQ(a.heights.size(), 1200u);
    EXPECT_EQ(a.heights, b.heights);
    EXPECT_NE(a.heights, c.heights);
    EXPECT_LT(a.rangeLow, a.rangeHigh);
    for (float h : a.heights)
        EXPECT_TRUE(std::isfinite(h));
}

TEST(ToolHeightmap, TerrainIsTheSameOnAnyNumberOfThreads)
{
    const Heightmap one = MakeTerrain({301, 157}, 3, {}, TerrainRoad::kFastest, 1);
    for (const unsigned threads : {2u, 3u, 8u}) {
        const Heightmap many = MakeTerrain({301, 157}, 3, {}, TerrainRoad::kFastest, threads);
        EXPECT_EQ(std::memcmp(one.heights.data(), many.heights.data(), one.heights.size() * sizeof(float)), 0)
            << threads;
    }
}

TEST(ToolHeightmap, TerrainRoadsGiveTheSameBits)
{
    // Widths around the four-sample groups (remainders 0 to 3), tall and
    // wide grids, several seeds.
    const GridSize sizes[] = {{2, 2}, {3, 2}, {4, 4}, {5, 3}, {7, 9}, {64, 17}, {131, 40}, {9, 300}, {517, 6}};
    for (const GridSize size : sizes)
        for (const uint64_t seed : {1u, 7u, 123456789u}) {
            const Heightmap fastest = MakeTerrain(size, seed, {}, TerrainRoad::kFastest);
            const Heightmap scalar = MakeTerrain(size, seed, {}, TerrainRoad::kScalar);
            ASSERT_EQ(fastest.heights.size(), scalar.heights.size());
            EXPECT_EQ(std::memcmp(fastest.heights.data(), scalar.heights.data(), scalar.heights.size() * sizeof(float)),
                      0)
                << size.width << "x" << size.height << " seed " << seed;
        }
}

TEST(ToolHeightmap, InvertMirrorsWithinTheRangeAndLevelStretches)
{
    Heightmap map;
    map.width = 2;
    map.height = 2;
    map.heights = {0.25f, 0.5f, 0.75f, 0.0f};
    map.noData = {0, 0, 0, 1};
    map.rangeLow = 0.0f;
    map.rangeHigh = 1.0f;
    InvertHeights(map);
    EXPECT_EQ(map.heights, (std::vector<float>{0.75f, 0.5f, 0.25f, 0.0f}));  // no-data untouched
    LevelHeights(map);
    EXPECT_EQ(map.heights, (std::vector<float>{1.0f, 0.5f, 0.0f, 0.0f}));

    map.heights = {3.0f, 3.0f, 3.0f, 3.0f};
    map.noData.clear();
    LevelHeights(map);  // a level field stays level, at 0
    EXPECT_EQ(map.heights, (std::vector<float>{0.0f, 0.0f, 0.0f, 0.0f}));
}

TEST(ToolHeightmap, NoDataTakesTheNearestValue)
{
    Heightmap map;
    map.width = 4;
    map.height = 2;
    map.heights = {0, 0, 0, 9, 0, 0, 0, 5};
    map.noData = {1, 1, 1, 0, 1, 1, 1, 0};
    FillNoData(map, "'t'");
    EXPECT_EQ(map.heights, (std::vector<float>{9, 9, 9, 9, 5, 5, 5, 5}));
    map.noData.assign(8, 1);
    EXPECT_NE(ErrorOf([&] { FillNoData(map, "'t'"); }).find("no samples with a value"), std::string::npos);
}

// Every hole takes the value of a sample at the fewest grid steps from it,
// whatever the holes' share and shape; samples with a value keep theirs.
TEST(ToolHeightmap, NoDataTakesAValueOfTheNearestSamples)
{
    uint32_t seed = 17;
    const auto next = [&] {
        seed = seed * 1664525u + 1013904223u;
        return seed >> 8;
    };
    for (const uint32_t holesIn16 : {1u, 8u, 15u}) {
        SCOPED_TRACE(holesIn16);
        Heightmap map;
        map.width = 37;
        map.height = 23;
        const std::size_t count = static_cast<std::size_t>(map.width) * map.height;
        for (std::size_t i = 0; i < count; ++i) {
            map.heights.push_back(static_cast<float>(next() % 1000));
            map.noData.push_back(next() % 16 < holesIn16 ? 1 : 0);
        }
        // A block hole too, wider than any fill front from one side.
        for (int32_t r = 5; r < 18; ++r)
            for (int32_t c = 10; c < 30; ++c)
                map.noData[static_cast<std::size_t>(r) * map.width + c] = 1;
        map.noData[0] = 0;
        const std::vector<float> before = map.heights;
        FillNoData(map, "'t'");
        for (std::size_t i = 0; i < count; ++i) {
            if (!map.noData[i]) {
                ASSERT_EQ(map.heights[i], before[i]) << i;
                continue;
            }
            const int64_t column = static_cast<int64_t>(i) % map.width, row = static_cast<int64_t>(i) / map.width;
            int64_t nearest = std::numeric_limits<int64_t>::max();
            std::vector<float> values;
            for (std::size_t j = 0; j < count; ++j) {
                if (map.noData[j])
                    continue;
                const int64_t steps = std::abs(static_cast<int64_t>(j) % map.width - column) +
                                      std::abs(static_cast<int64_t>(j) / map.width - row);
                if (steps < nearest)
                    nearest = steps, values.clear();
                if (steps == nearest)
                    values.push_back(before[j]);
            }
            ASSERT_NE(std::find(values.begin(), values.end(), map.heights[i]), values.end()) << i;
        }
    }
}

// ---- Cell mask ----------------------------------------------------------------

Heightmap Grid(int32_t width, int32_t height, std::vector<float> heights)
{
    Heightmap map;
    map.width = width;
    map.height = height;
    map.heights = std::move(heights);
    return map;
}

// A mask's cells as bytes, whether it holds them or keeps every cell.
std::vector<uint8_t> CellBytes(const CellMask& mask)
{
    std::vector<uint8_t> ones;
    const std::span<const uint8_t> bytes = mask.View().Bytes(0, mask.cells, ones);
    return {bytes.begin(), bytes.end()};
}

// Without a rule every cell is kept, and the mask holds no byte for them.
TEST(ToolCellMask, EveryCellKeptWithoutRules)
{
    const Heightmap map = Grid(4, 3, std::vector<float>(12, 0.0f));
    const CellMask mask = BuildCellMask(map, {});
    EXPECT_TRUE(mask.everyCell);
    EXPECT_TRUE(mask.bytes.empty());
    EXPECT_EQ(CellBytes(mask), std::vector<uint8_t>(6, 1));
}

TEST(ToolCellMask, ARejectedPointDropsEveryCellItTouches)
{
    // 4 x 4 points, 3 x 3 cells; reject the point at column 1, row 1 in each
    // way the rules allow, and the four cells around it go.
    const std::vector<uint8_t> aroundPoint5 = {0, 0, 1, 0, 0, 1, 1, 1, 1};
    Heightmap map = Grid(4, 4, std::vector<float>(16, 1.0f));

    Heightmap noData = map;
    noData.noData.assign(16, 0);
    noData.noData[5] = 1;
    EXPECT_EQ(CellBytes(BuildCellMask(noData, {})), aroundPoint5);

    Heightmap low = map;
    low.heights[5] = -1.0f;
    MaskRules cut;
    cut.cutBelow = 0.0f;
    EXPECT_EQ(CellBytes(BuildCellMask(low, cut)), aroundPoint5);
    low.heights[5] = 0.0f;  // at the cut height stays
    EXPECT_EQ(CellBytes(BuildCellMask(low, cut)), std::vector<uint8_t>(9, 1));

    Heightmap image = Grid(4, 4, std::vector<float>(16, 1.0f));
    image.heights[5] = 0.2f;
    MaskRules mask;
    mask.image = &image;
    EXPECT_EQ(CellBytes(BuildCellMask(map, mask)), aroundPoint5);
    mask.threshold = 0.2f;  // at the threshold passes
    EXPECT_EQ(CellBytes(BuildCellMask(map, mask)), std::vector<uint8_t>(9, 1));

    // Inverted: only the point below the threshold passes, so no cell has
    // four passing corners.
    mask.threshold = 0.5f;
    mask.invert = true;
    EXPECT_EQ(CellBytes(BuildCellMask(map, mask)), std::vector<uint8_t>(9, 0));
}

TEST(ToolCellMask, MaskOfAnotherSizeIsRefused)
{
    const Heightmap map = Grid(3, 3, std::vector<float>(9, 0.0f));
    const Heightmap image = Grid(3, 2, std::vector<float>(6, 1.0f));
    MaskRules rules;
    rules.image = &image;
    const std::string message = ErrorOf([&] { BuildCellMask(map, rules, "'m.png'"); });
    EXPECT_NE(message.find("'m.png' is 3x2, but the heightmap is 3x3"), std::string::npos) << message;
}

}  // namespace
}  // namespace heightmesh::tool

namespace heightmesh::tool {
namespace {

// The tool's one way of starting threads: every index is done exactly once
// on any number of threads, and a worker's exception reaches the caller
// (the first one thrown), with no new index taken after it.
TEST(ToolThreads, EveryIndexOnceAndAWorkersExceptionReachesTheCaller)
{
    for (const unsigned threads : {1u, 2u, 5u}) {
        std::vector<std::atomic<int>> done(1000);
        ForEachIndex(1000, threads, [&](int64_t i) { ++done[static_cast<std::size_t>(i)]; });
        for (const auto& d : done)
            EXPECT_EQ(d.load(), 1) << threads;

        std::atomic<int64_t> taken{0};
        EXPECT_THROW(ForEachIndex(1000, threads,
                                  [&](int64_t i, unsigned part) {
                                      ++taken;
                                      if (i == 10 || part == 1)
                                          throw std::runtime_error("worker failed");
                                  }),
                     std::runtime_error)
            << threads;
        EXPECT_LT(taken.load(), 1000) << threads;

        std::atomic<int> ran{0};
        EXPECT_THROW(RunParts(threads,
                              [&](unsigned part) {
                                  ++ran;
                                  if (part + 1 == threads)
                                      throw std::invalid_argument("last part failed");
                              }),
                     std::invalid_argument);
        EXPECT_EQ(ran.load(), static_cast<int>(threads)) << "every part runs to its end";
    }
}

}  // namespace
}  // namespace heightmesh::tool
