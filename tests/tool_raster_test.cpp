// Rasters read through GDAL: GeoTIFFs made here with GDAL's own API in a
// geographic and a projected CRS, SRTM tiles named after their corner, and
// terrain tiles with heights packed into RGB. Spacing against published
// lengths of a degree, exact heights, no data, windows, averaging, the
// memory estimate, and every refusal on one line.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <optional>

#include "common/memory_budget.h"
#include "common/tool_error.h"
#include "input/gdal_reader.h"
#include "input/georeference.h"
#include "input/readers.h"
#include "input/tile_encoding.h"
#include "tool_test_support.h"

namespace heightmesh::tool {
namespace {

using tooltest::ErrorOf;
using tooltest::ScratchDir;
using tooltest::TiffSpec;
using tooltest::WriteGeoTiff;

// Metres per degree on WGS 84 as published in geodesy tables, at latitudes
// 0, 15, ..., 75: along the meridian, and along the parallel.
struct DegreeLength {
    double latitude, meridian, parallel;
};
constexpr DegreeLength kDegreeLengths[] = {
    {0, 110574.3, 111319.5}, {15, 110649.2, 107550.7}, {30, 110852.4, 96486.3},
    {45, 111132.0, 78847.0}, {60, 111412.2, 55800.0},  {75, 111618.3, 28902.2},
};

TEST(ToolGeoreference, DegreeLengthsMatchTheWgs84Tables)
{
    for (const DegreeLength& row : kDegreeLengths) {
        SCOPED_TRACE(row.latitude);
        EXPECT_NEAR(MetresPerDegreeOfLatitude(kWgs84, row.latitude), row.meridian, 1.0);
        EXPECT_NEAR(MetresPerDegreeOfLongitude(kWgs84, row.latitude), row.parallel, 1.0);
    }
    // A sphere has one radius.
    const Ellipsoid sphere{6371000.0, 0.0};
    EXPECT_DOUBLE_EQ(MeridionalRadius(sphere, 37.0), 6371000.0);
    EXPECT_DOUBLE_EQ(PrimeVerticalRadius(sphere, 37.0), 6371000.0);
}

TEST(ToolGeoreference, GeographicGeoTiffGetsMetresAtItsCentreLatitude)
{
    const ScratchDir dir;
    // 6 x 4 pixels of 0.001 degrees, rows from 45.002 down to 44.998: the
    // centre is at latitude 45.
    TiffSpec spec{6, 4, GDT_Float32, {}, {8.0, 0.001, 0, 45.002, 0, -0.001}, "EPSG:4326", -9999.0};
    for (int i = 0; i < 24; ++i)
        spec.samples.push_back(100.0 + i * 0.5);
    spec.samples[9] = -9999.0;  // column 3, row 1
    WriteGeoTiff(dir / "dem.tif", spec);

    const GdalRaster raster(dir / "dem.tif", InputOptions{});
    const RasterPlan& plan = raster.plan();
    EXPECT_TRUE(plan.georeferenced);
    EXPECT_FALSE(plan.image);
    ASSERT_TRUE(plan.spacing);
    EXPECT_NEAR(plan.spacing->x, 78.847, 0.001);
    EXPECT_NEAR(plan.spacing->z, 111.132, 0.001);
    EXPECT_NE(plan.spacing->how.find("latitude 45.000000"), std::string::npos) << plan.spacing->how;

    const Heightmap map = ReadHeightmap(dir / "dem.tif", std::nullopt);
    ASSERT_EQ(map.width, 6);
    ASSERT_EQ(map.height, 4);
    EXPECT_EQ(map.heights[0], 100.0f);
    EXPECT_EQ(map.heights[23], 111.5f);
    EXPECT_EQ(map.heights[8], 104.0f);
    ASSERT_TRUE(map.HasNoData());
    for (std::size_t i = 0; i < 24; ++i)
        EXPECT_EQ(map.noData[i], i == 9 ? 1 : 0) << i;
    EXPECT_EQ(map.rangeLow, 100.0f);
    EXPECT_EQ(map.rangeHigh, 111.5f);
}

TEST(ToolGeoreference, ProjectedCrsKeepsItsLinearUnitInMetres)
{
    const ScratchDir dir;
    const struct {
        std::string crs;
        double pixel;
        double metres;
        bool feet;
    } cases[] = {
        {"EPSG:32632", 30.0, 30.0, false},                  // UTM zone 32N, metres
        {"EPSG:2263", 10.0, 10.0 * 1200.0 / 3937.0, true},  // New York Long Island, US survey feet
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.crs);
        // clang-format off
        TiffSpec spec{3, 3, GDT_Int16, {1, 2, 3, 4, 5, 6, 7, 8, -32768}, {500000, c.pixel, 0, 5200000, 0, -c.pixel},
                      c.crs, -32768.0};
        // clang-format on
        WriteGeoTiff(dir / "utm.tif", spec);
        const GdalRaster raster(dir / "utm.tif", InputOptions{});
        ASSERT_TRUE(raster.plan().spacing);
        EXPECT_NEAR(raster.plan().spacing->x, c.metres, 1e-9);
        EXPECT_NEAR(raster.plan().spacing->z, c.metres, 1e-9);
        EXPECT_EQ(raster.plan().spacing->how.find("feet converted to metres") != std::string::npos, c.feet)
            << raster.plan().spacing->how;
        const Heightmap map = ReadHeightmap(dir / "utm.tif", std::nullopt);
        EXPECT_EQ(map.heights, (std::vector<float>{1, 2, 3, 4, 5, 6, 7, 8, 0}));
        EXPECT_EQ(map.noData, (std::vector<uint8_t>{0, 0, 0, 0, 0, 0, 0, 0, 1}));
    }
}

TEST(ToolGeoreference, SrtmTileIsPlacedByItsName)
{
    const ScratchDir dir;
    tooltest::WriteBytes(dir / "N46E008.hgt", tooltest::MakeHgtTile({1000, 1001, 1002, 1003}, 2, 1500));
    const GdalRaster raster(dir / "N46E008.hgt", InputOptions{});
    const RasterPlan& plan = raster.plan();
    EXPECT_EQ(plan.driver, "SRTMHGT");
    EXPECT_EQ(plan.grid, (GridSize{1201, 1201}));
    ASSERT_TRUE(plan.spacing);
    // 3 arc seconds at the tile's centre, latitude 46.5.
    EXPECT_NEAR(plan.spacing->x, MetresPerDegreeOfLongitude(kWgs84, 46.5) / 1200.0, 1e-6);
    EXPECT_NEAR(plan.spacing->z, MetresPerDegreeOfLatitude(kWgs84, 46.5) / 1200.0, 1e-6);
    EXPECT_NEAR(plan.spacing->x, 63.97, 0.01);
    EXPECT_NEAR(plan.spacing->z, 92.63, 0.01);

    // The north-west corner through --bounds in degrees: the pixels
    // overlapping 8.0 .. 8.0009 east, 46.9991 .. 47.0 north.
    InputOptions corner;
    corner.bounds = std::array<double, 4>{8.0, 46.9991, 8.0009, 47.0};
    const Heightmap map = ReadHeightmap(dir / "N46E008.hgt", std::nullopt, corner);
    ASSERT_EQ(map.width, 2);
    ASSERT_EQ(map.height, 2);
    EXPECT_EQ(map.heights, (std::vector<float>{1000, 1001, 1002, 1003}));
}

TEST(ToolGeoreference, WindowsAndAveragedReadsFollowTheRaster)
{
    const ScratchDir dir;
    // 4 x 4 metres in UTM, one no-data sample.
    TiffSpec spec{4, 4, GDT_Float32, {}, {300000, 10, 0, 5000000, 0, -10}, "EPSG:32632", -1.0};
    for (int i = 0; i < 16; ++i)
        spec.samples.push_back(i);
    spec.samples[5] = -1.0;
    WriteGeoTiff(dir / "g.tif", spec);

    InputOptions window;
    window.window = PixelWindow{1, 2, 3, 2};
    Heightmap map = ReadHeightmap(dir / "g.tif", std::nullopt, window);
    EXPECT_EQ(map.heights, (std::vector<float>{9, 10, 11, 13, 14, 15}));

    // Averaged 2 x 2 blocks; the no-data sample is left out of its block.
    InputOptions half;
    half.resample = GridSize{2, 2};
    const GdalRaster raster(dir / "g.tif", half);
    EXPECT_EQ(raster.plan().spacing->x, 20.0);
    EXPECT_EQ(raster.plan().spacing->z, 20.0);
    map = ReadHeightmap(dir / "g.tif", std::nullopt, half);
    EXPECT_EQ(map.heights, (std::vector<float>{(0 + 1 + 4) / 3.0f, 4.5f, 10.5f, 12.5f}));
    EXPECT_FALSE(map.HasNoData());

    // --max-size keeps the aspect.
    InputOptions longest;
    longest.window = PixelWindow{0, 0, 4, 2};
    longest.maxSize = 2;
    EXPECT_EQ(GdalRaster(dir / "g.tif", longest).plan().grid, (GridSize{2, 2}));

    // A block of no data stays no data when averaged.
    spec.samples = std::vector<double>(16, 7.0);
    for (int i : {0, 1, 4, 5})
        spec.samples[static_cast<std::size_t>(i)] = -1.0;
    WriteGeoTiff(dir / "h.tif", spec);
    map = ReadHeightmap(dir / "h.tif", std::nullopt, half);
    EXPECT_EQ(map.noData, (std::vector<uint8_t>{1, 0, 0, 0}));
    EXPECT_EQ(map.heights[3], 7.0f);
}

TEST(ToolGeoreference, AveragedReadsInStripsMatchOneWholeReadByGdal)
{
    const ScratchDir dir;
    // Tall enough for several strips, with a row step that is no whole number.
    const int width = 1500, height = 2100;
    TiffSpec spec{width, height, GDT_Float32, {}, {0, 1, 0, 0, 0, -1}, "EPSG:32632", std::nullopt};
    for (int i = 0; i < width * height; ++i)
        spec.samples.push_back(std::fmod(i * 0.618034, 97.0));
    WriteGeoTiff(dir / "big.tif", spec);
    InputOptions options;
    options.resample = GridSize{700, 699};
    const Heightmap map = ReadHeightmap(dir / "big.tif", std::nullopt, options);

    GDALDatasetH dataset = GDALOpen((dir / "big.tif").c_str(), GA_ReadOnly);
    ASSERT_NE(dataset, nullptr);
    std::vector<float> whole(700 * 699);
    GDALRasterIOExtraArg extra;
    INIT_RASTERIO_EXTRA_ARG(extra);
    extra.eResampleAlg = GRIORA_Average;
    ASSERT_EQ(GDALRasterIOEx(GDALGetRasterBand(dataset, 1), GF_Read, 0, 0, width, height, whole.data(), 700, 699,
                             GDT_Float32, 0, 0, &extra),
              CE_None);
    GDALClose(dataset);
    ASSERT_EQ(map.heights.size(), whole.size());
    for (std::size_t i = 0; i < whole.size(); ++i)
        ASSERT_NEAR(map.heights[i], whole[i], 1e-3) << i;

    // 8-bit pictures are averaged in floating point, not rounded to a whole
    // sample.
    tooltest::WriteBytes(dir / "gray.png",
                         tooltest::MakePng(4, 4, 1, 8, {0, 1, 2, 3, 10, 11, 12, 13, 0, 1, 2, 3, 10, 11, 12, 13}));
    options.resample = GridSize{2, 2};
    const float a = static_cast<float>(5.5 / 255.0), b = static_cast<float>(7.5 / 255.0);
    EXPECT_EQ(ReadHeightmap(dir / "gray.png", std::nullopt, options).heights, (std::vector<float>{a, b, a, b}));
}

TEST(ToolGeoreference, SouthUpRastersAreTurnedNorthUpAndRotationIsRefused)
{
    const ScratchDir dir;
    TiffSpec spec{2, 3, GDT_Float32, {1, 2, 3, 4, 5, 6}, {0, 1, 0, 0, 0, 1}, "EPSG:32632", std::nullopt};
    WriteGeoTiff(dir / "south.tif", spec);
    EXPECT_EQ(ReadHeightmap(dir / "south.tif", std::nullopt).heights, (std::vector<float>{5, 6, 3, 4, 1, 2}));

    spec.transform = {0, 1, 0.2, 0, 0.1, -1};
    WriteGeoTiff(dir / "rotated.tif", spec);
    const std::string message = ErrorOf([&] { ReadHeightmap(dir / "rotated.tif", std::nullopt); });
    EXPECT_NE(message.find("has a rotated geotransform"), std::string::npos) << message;
    EXPECT_NE(message.find("gdalwarp"), std::string::npos) << message;
}

// ---- Terrain tiles ------------------------------------------------------------

TEST(ToolTileEncoding, PackedHeightsDecodeExactly)
{
    const struct {
        uint8_t r, g, b;
        float terrainRgb, terrarium;
    } cases[] = {
        {0, 0, 0, -10000.0f, -32768.0f},
        {1, 134, 160, 0.0f, -32377.375f},  // 100000 decimetres above -10000 m
        {128, 0, 0, 828860.8f, 0.0f},
        {128, 100, 128, 831433.6f, 100.5f},
        {255, 255, 255, 1667721.5f, 32767.99609375f},
        {0, 39, 16, -9000.0f, -32728.9375f},  // 10000 decimetres
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << int{c.r} << "," << int{c.g} << "," << int{c.b});
        EXPECT_EQ(DecodeTerrainRgb(c.r, c.g, c.b), c.terrainRgb);
        EXPECT_EQ(DecodeTerrarium(c.r, c.g, c.b), c.terrarium);
    }
}

TEST(ToolTileEncoding, TilePngsReadAsMetres)
{
    const ScratchDir dir;
    // 2 x 2 RGB: the same pixels read with each encoding.
    const std::vector<uint16_t> rgb = {1, 134, 160, 0, 39, 16, 128, 100, 128, 255, 255, 255};
    tooltest::WriteBytes(dir / "tile.png", tooltest::MakePng(2, 2, 3, 8, rgb));
    InputOptions options;
    options.encoding = HeightEncoding::TerrainRgb;
    Heightmap map = ReadHeightmap(dir / "tile.png", std::nullopt, options);
    EXPECT_EQ(map.heights, (std::vector<float>{0.0f, -9000.0f, 831433.6f, 1667721.5f}));
    EXPECT_EQ(map.rangeLow, -9000.0f);
    options.encoding = HeightEncoding::Terrarium;
    map = ReadHeightmap(dir / "tile.png", std::nullopt, options);
    EXPECT_EQ(map.heights, (std::vector<float>{-32377.375f, -32728.9375f, 100.5f, 32767.99609375f}));

    // Averaging happens on decoded heights, never on packed channels.
    std::vector<uint16_t> four;
    for (int i = 0; i < 4; ++i)
        four.insert(four.end(), {128, 0, 0});  // 0 m terrarium
    four[3 * 3 + 0] = 128;
    four[3 * 3 + 1] = 4;  // 4 m
    tooltest::WriteBytes(dir / "flat.png", tooltest::MakePng(2, 2, 3, 8, four));
    options.resample = GridSize{2, 2};
    EXPECT_EQ(ReadHeightmap(dir / "flat.png", std::nullopt, options).heights, (std::vector<float>{0, 0, 0, 4}));

    // A gray tile cannot carry packed heights.
    tooltest::WriteBytes(dir / "gray.png", tooltest::MakePng(2, 2, 1, 8, {1, 2, 3, 4}));
    const std::string message = ErrorOf([&] { ReadHeightmap(dir / "gray.png", std::nullopt, options); });
    EXPECT_NE(message.find("has 1 band, but --encoding terrarium needs red, green and blue"), std::string::npos)
        << message;
}

TEST(ToolTileEncoding, TileAddressesGiveMercatorSpacing)
{
    EXPECT_EQ(TileCentreLatitude(ParseTileAddress("0/0/0")), 0.0);
    EXPECT_NEAR(TileCentreLatitude(ParseTileAddress("1/0/0")), 66.51326, 1e-5);
    EXPECT_NEAR(TileCentreLatitude(ParseTileAddress("1/1/1")), -66.51326, 1e-5);
    // The whole world in one 256-pixel tile: at the equator a pixel spans
    // 2 pi a / 256 east-west, the famous 156543.03 m.
    const TileSpacing world = SpacingOfTile(ParseTileAddress("0/0/0"), 256);
    EXPECT_NEAR(world.x, 156543.034, 1e-3);
    EXPECT_NEAR(world.z, 156543.034 * (1.0 - 1.0 / 298.257223563) * (1.0 - 1.0 / 298.257223563), 1e-3);
    // Twice the zoom, half the spacing, on the same latitude.
    const TileSpacing a = SpacingOfTile(ParseTileAddress("12/2200/1343"), 512);
    const TileSpacing b = SpacingOfTile(ParseTileAddress("13/4401/2687"), 256);
    EXPECT_NEAR(a.x, b.x, a.x * 1e-3);
    for (const char* bad : {"", "1/2", "1/2/3/4", "a/0/0", "31/0/0", "2/4/0", "2/0/4", "-1/0/0", "1//0"})
        EXPECT_THROW(ParseTileAddress(bad), UsageError) << bad;
}

TEST(ToolRaster, PalettePicturesReadAsTheLuminanceOfTheirColours)
{
    const ScratchDir dir;
    GDALAllRegister();
    GDALDatasetH memory = GDALCreate(GDALGetDriverByName("MEM"), "", 2, 2, 1, GDT_Byte, nullptr);
    GDALColorTableH table = GDALCreateColorTable(GPI_RGB);
    const GDALColorEntry colours[] = {{0, 0, 0, 255}, {255, 0, 0, 255}, {0, 255, 0, 255}, {255, 255, 255, 255}};
    for (int i = 0; i < 4; ++i)
        GDALSetColorEntry(table, i, &colours[i]);
    GDALRasterBandH band = GDALGetRasterBand(memory, 1);
    GDALSetRasterColorTable(band, table);
    GDALSetRasterColorInterpretation(band, GCI_PaletteIndex);
    uint8_t indices[] = {3, 1, 2, 0};
    ASSERT_EQ(GDALRasterIO(band, GF_Write, 0, 0, 2, 2, indices, 2, 2, GDT_Byte, 0, 0), CE_None);
    GDALDatasetH png = GDALCreateCopy(GDALGetDriverByName("PNG"), (dir / "palette.png").c_str(), memory, FALSE, nullptr,
                                      nullptr, nullptr);
    ASSERT_NE(png, nullptr);
    GDALClose(png);
    GDALClose(memory);
    GDALDestroyColorTable(table);

    const Heightmap map = ReadHeightmap(dir / "palette.png", std::nullopt);
    EXPECT_EQ(map.heights, (std::vector<float>{1.0f, static_cast<float>(0.2126), static_cast<float>(0.7152), 0.0f}));
    EXPECT_EQ(map.rangeHigh, 1.0f);
}

// ---- Refusals and memory --------------------------------------------------------

TEST(ToolRaster, ReadsThatCannotBeDoneAreRefusedOnOneLine)
{
    const ScratchDir dir;
    tooltest::WriteBytes(dir / "gray.png", tooltest::MakePng(4, 4, 1, 8, std::vector<uint16_t>(16, 3)));
    TiffSpec spec{3, 3, GDT_Float32, std::vector<double>(9, 1.0), {0, 1, 0, 0, 0, -1}, "EPSG:32632", std::nullopt};
    WriteGeoTiff(dir / "m.tif", spec);
    std::filesystem::create_directory(dir / "folder");
    const auto with = [](auto change) {
        InputOptions options;
        change(options);
        return options;
    };
    const struct {
        std::string name;
        std::filesystem::path path;
        InputOptions options;
        std::string reason;
    } cases[] = {
        {"device", "/dev/zero", {}, "not a regular file"},
        {"directory", dir / "folder", {}, "it is a directory"},
        {"missing", dir / "none.tif", {}, "No such file or directory"},
        {"band", dir / "gray.png", with([](InputOptions& o) { o.band = 2; }), "--band 2: "},
        {"window outside", dir / "gray.png", with([](InputOptions& o) {
             o.window = PixelWindow{3, 0, 2, 2};
         }),
         "reaches outside"},
        {"bounds without georeference", dir / "gray.png", with([](InputOptions& o) {
             o.bounds = std::array<double, 4>{0, 0, 1, 1};
         }),
         "has no geotransform"},
        {"bounds outside", dir / "m.tif", with([](InputOptions& o) {
             o.bounds = std::array<double, 4>{5, 5, 6, 6};
         }),
         "lie outside"},
        {"upsampling", dir / "gray.png", with([](InputOptions& o) {
             o.resample = GridSize{8, 8};
         }),
         "it only reduces"},
        {"tile of a georeferenced raster", dir / "m.tif", with([](InputOptions& o) {
             o.tile = TileAddress{1, 0, 0};
         }),
         "--tile applies to tiles without"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string message = ErrorOf([&] { ReadHeightmap(c.path, std::nullopt, c.options); });
        EXPECT_FALSE(message.empty());
        EXPECT_NE(message.find(c.reason), std::string::npos) << message;
        EXPECT_EQ(message.find('\n'), std::string::npos) << message;
    }
}

TEST(ToolMemoryBudget, EstimateGrowsWithTheGridAndTheOutputs)
{
    RunShape shape;
    shape.points = 1000;
    const int64_t bare = EstimateRunBytes(shape);
    EXPECT_GE(bare, 1000 * (4 + 56));  // heights and the job's outputs at least
    shape.preview = true;
    EXPECT_GT(EstimateRunBytes(shape), bare);
    shape.points = 4000;
    EXPECT_GT(EstimateRunBytes(shape), 3 * EstimateRunBytes(RunShape{1000, 0, false, false, false, true}));
    shape.mesh = true;  // the writers' blocks come on top
    EXPECT_GT(EstimateRunBytes(shape), EstimateRunBytes(RunShape{4000, 0, false, false, false, true}));
    // A simplified mesh made band by band holds no full outputs.
    RunShape banded{int64_t{1} << 24, 0, false, true, false, false, true, true, true};
    EXPECT_LT(2 * EstimateRunBytes(banded), EstimateRunBytes(RunShape{int64_t{1} << 24, 0, false, true, false, false}));

    EXPECT_EQ(ParseByteCount("512M", "--max-memory"), int64_t{512} << 20);
    EXPECT_EQ(ParseByteCount("3G", "--max-memory"), int64_t{3} << 30);
    EXPECT_EQ(ParseByteCount("4096", "--max-memory"), 4096);
    for (const char* bad : {"", "M", "0", "-1G", "1.5G", "2Q", "99999999999T"})
        EXPECT_THROW(ParseByteCount(bad, "--max-memory"), UsageError) << bad;
    EXPECT_GT(DefaultMemoryLimit(), int64_t{64} << 20);

    const std::string message = ErrorOf([] { CheckMemory(int64_t{3} << 30, int64_t{1} << 30, "meshing 'x'"); });
    EXPECT_NE(message.find("would need about 3.0 GiB of memory, above the limit of 1.0 GiB"), std::string::npos)
        << message;
    EXPECT_NE(message.find("--window"), std::string::npos);
    EXPECT_NE(message.find("--resample"), std::string::npos);
    EXPECT_NO_THROW(CheckMemory(5, 5, "x"));
}

}  // namespace
}  // namespace heightmesh::tool
