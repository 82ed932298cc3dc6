// The command line: defaults, values, refusals, and the one-line reports of
// every kind of failure.
#include <gtest/gtest.h>

#include <sstream>
#include <thread>

#include "common/progress.h"
#include "common/tool_error.h"
#include "run/job_mesher.h"
#include "run/options.h"

namespace heightmesh::tool {
namespace {

std::optional<Options> Parse(std::vector<std::string> args, std::string* printed = nullptr)
{
    args.insert(args.begin(), "heightmesh");
    std::vector<const char*> argv;
    for (const std::string& a : args)
        argv.push_back(a.c_str());
    std::ostringstream out;
    auto options = ParseCommandLine(static_cast<int>(argv.size()), argv.data(), out);
    if (printed)
        *printed = out.str();
    return options;
}

TEST(ToolCommandLine, DefaultsMakeTheBuiltInTerrainAtUnitScale)
{
    const Options options = Parse({}).value();
    EXPECT_FALSE(options.input);
    EXPECT_FALSE(options.output);
    EXPECT_FALSE(options.size);
    EXPECT_FALSE(options.seed);
    const HeightmeshFloat3 scale = options.JobScale();
    EXPECT_EQ(scale.x, 1.0f);
    EXPECT_EQ(scale.y, 1.0f);
    EXPECT_EQ(scale.z, 1.0f);
    EXPECT_EQ(options.maskThreshold, 0.5f);
    EXPECT_EQ(options.light.azimuth, 315.0);
    EXPECT_EQ(options.light.elevation, 45.0);
    EXPECT_EQ(options.threads, 0u);
    EXPECT_EQ(options.batch, 0);
    EXPECT_FALSE(options.cutBelow);
}

TEST(ToolCommandLine, ValuesReachTheOptions)
{
    const Options options = Parse({"in.hgt",       "-o",
                                   "out/m.glb",    "--z-scale",
                                   "0.5",          "--cell-size",
                                   "30",           "--invert",
                                   "--level",      "--mask",
                                   "m.png",        "--mask-threshold",
                                   "0.25",         "--mask-invert",
                                   "--cut-below",  "-3.5",
                                   "--normal-map", "n.png",
                                   "--preview",    "p.png",
                                   "--light",      "90,30",
                                   "--threads",    "3",
                                   "--batch",      "64",
                                   "--stats",      "--library",
                                   "/x/lib.so"})
                                .value();
    EXPECT_EQ(options.input->string(), "in.hgt");
    EXPECT_EQ(options.output->string(), "out/m.glb");
    const HeightmeshFloat3 scale = options.JobScale();
    EXPECT_EQ(scale.x, 30.0f);
    EXPECT_EQ(scale.y, 0.5f);
    EXPECT_EQ(scale.z, 30.0f);
    EXPECT_TRUE(options.invert && options.level && options.maskInvert && options.stats);
    EXPECT_EQ(options.mask->string(), "m.png");
    EXPECT_EQ(options.maskThreshold, 0.25f);
    EXPECT_EQ(options.cutBelow.value(), -3.5f);
    EXPECT_EQ(options.normalMap->string(), "n.png");
    EXPECT_EQ(options.preview->string(), "p.png");
    EXPECT_EQ(options.light.azimuth, 90.0);
    EXPECT_EQ(options.light.elevation, 30.0);
    EXPECT_EQ(options.threads, 3u);
    EXPECT_EQ(options.batch, 64);
    EXPECT_EQ(options.library->string(), "/x/lib.so");

    const Options scaled = Parse({"--scale", "2,0.5,-3", "--size", "64x32", "--seed", "99"}).value();
    const HeightmeshFloat3 direct = scaled.JobScale();
    EXPECT_EQ(direct.x, 2.0f);
    EXPECT_EQ(direct.y, 0.5f);
    EXPECT_EQ(direct.z, -3.0f);
    EXPECT_EQ(scaled.size, (GridSize{64, 32}));
    EXPECT_EQ(scaled.seed.value(), 99u);
}

TEST(ToolCommandLine, InputOptionsReachTheReadStage)
{
    const Options plain = Parse({"in.tif", "--stats"}).value();
    EXPECT_FALSE(plain.cellSizeGiven);
    EXPECT_FALSE(plain.source.Reshapes());
    EXPECT_EQ(plain.source.band, 0);
    EXPECT_EQ(plain.source.encoding, HeightEncoding::Gray);
    EXPECT_FALSE(plain.source.maxMemory);

    const Options options = Parse({"in.tif", "--band", "2", "--window", "10,20,300,400", "--resample", "30x40",
                                   "--max-memory", "3G", "--cell-size", "5"})
                                .value();
    EXPECT_TRUE(options.cellSizeGiven);
    EXPECT_EQ(options.source.band, 2);
    ASSERT_TRUE(options.source.window);
    EXPECT_EQ(options.source.window->x, 10);
    EXPECT_EQ(options.source.window->y, 20);
    EXPECT_EQ(options.source.window->width, 300);
    EXPECT_EQ(options.source.window->height, 400);
    EXPECT_EQ(options.source.resample, (GridSize{30, 40}));
    EXPECT_EQ(options.source.maxMemory, int64_t{3} << 30);

    const Options tile = Parse({"t.png", "--encoding", "terrarium", "--tile", "12/2200/1343", "--bounds",
                                "-1.5,2,3,4.25", "--max-size", "64"})
                             .value();
    EXPECT_EQ(tile.source.encoding, HeightEncoding::Terrarium);
    ASSERT_TRUE(tile.source.tile);
    EXPECT_EQ(tile.source.tile->zoom, 12);
    EXPECT_EQ(tile.source.tile->x, 2200);
    EXPECT_EQ(tile.source.tile->y, 1343);
    EXPECT_EQ(tile.source.bounds, (std::array<double, 4>{-1.5, 2, 3, 4.25}));
    EXPECT_EQ(tile.source.maxSize, 64);
}

TEST(ToolCommandLine, BadCommandLinesAreUsageErrorsOnOneLine)
{
    const std::vector<std::vector<std::string>> cases = {
        {"--scale", "1,2,3", "--z-scale", "2"},
        {"--scale", "1,2,3", "--cell-size", "2"},
        {"--scale", "1,2"},
        {"--scale", "1,x,3"},
        {"--scale", "0,1,1"},
        {"--z-scale", "nan"},
        {"--z-scale", "1e39"},
        {"--cell-size", "0"},
        {"--cut-below", "inf"},
        {"--mask-threshold", "1.5"},
        {"--light", "10"},
        {"--threads", "-1"},
        {"--batch", "-5"},
        {"--size", "12by12"},
        {"--size", "1x100"},
        {"--no-such-option"},
        {"a.png", "b.png"},
        {"-o"},
        {"--band", "0"},
        {"--window", "1,2,3"},
        {"--window", "-1,0,4,4"},
        {"--window", "0,0,1,4"},
        {"--bounds", "1,1,0,2"},
        {"--bounds", "0,0,1,nan"},
        {"--window", "0,0,2,2", "--bounds", "0,0,1,1"},
        {"--resample", "4x4", "--max-size", "8"},
        {"--max-size", "1"},
        {"--encoding", "rgb"},
        {"--encoding", "terrarium", "--band", "1"},
        {"--tile", "1/2/0"},
        {"--max-memory", "lots"},
    };
    for (const auto& args : cases) {
        std::string shown;
        for (const auto& a : args)
            shown += a + " ";
        try {
            Parse(args);
            ADD_FAILURE() << "accepted: " << shown;
        } catch (const ToolError& error) {
            const FailureReport report = DescribeFailure(std::current_exception());
            EXPECT_EQ(report.line.find('\n'), std::string::npos) << shown << ": " << report.line;
            EXPECT_FALSE(report.line.empty());
            // Too-small grids are input errors, the rest usage errors.
            if (args[0] != "--size" || args[1] != "1x100") {
                EXPECT_EQ(report.exitStatus, 2) << shown << ": " << report.line;
            }
        }
    }
}

// Numbers single precision cannot hold, NaN where a number is asked for,
// whole numbers out of range or not whole, empty values and spacings whose
// square underflows are each named for what they are.
TEST(ToolCommandLine, NumbersOutOfRangeAndEmptyValuesAreNamed)
{
    const struct {
        std::vector<std::string> args;
        const char* says;
    } cases[] = {
        {{"--max-error", "1e308"},
         "--max-error: '1e308' is out of range: give 0 or a magnitude from 1.4013e-45 to 3.40282e+38"},
        {{"--max-error", "1e-300"}, "--max-error: '1e-300' is out of range"},
        {{"--light", "1e308,0"}, "--light: '1e308' is out of range"},
        {{"--z-scale", "-1e39"}, "--z-scale: '-1e39' is out of range"},
        {{"--cut-below", "1e39"}, "--cut-below: '1e39' is out of range"},
        {{"--mask-threshold", "nan"}, "--mask-threshold: 'nan' is not a finite number"},
        {{"--mask-threshold", "-0.5"}, "--mask-threshold: '-0.5' is out of range: give a value from 0 to 1"},
        {{"--base", "nan"}, "--base: 'nan' is not a finite number"},
        {{"--base", "0"}, "--base: '0' is not a depth"},
        {{"--cell-size", "1e-45"},
         "--cell-size: '1e-45' is too small a spacing: its square underflows single precision"},
        {{"--scale", "1e-30,1,1"}, "--scale X: '1e-30' is too small a spacing"},
        {{"--max-memory", ""}, "--max-memory: the value is empty"},
        {{"--tile", ""}, "--tile: the value is empty"},
        {{"--window", ""}, "--window: the value is empty"},
        {{"", "--stats"}, "INPUT: the value is empty"},
        {{"--max-triangles", "0"}, "--max-triangles: '0' is out of range: give a whole number of at least 1"},
        {{"--max-triangles", "1.5"}, "--max-triangles: '1.5' is not a whole number (give one of at least 1)"},
        {{"--threads", "-1"}, "--threads: '-1' is out of range: give a whole number from 0 to 1024"},
        {{"--threads", "99999999999999999999"}, "--threads: '99999999999999999999' is out of range"},
        {{"--band", "one"}, "--band: 'one' is not a whole number"},
        {{"--seed", "-"}, "--seed: '-' is not a whole number"},
    };
    for (const auto& c : cases) {
        try {
            Parse(c.args);
            ADD_FAILURE() << "accepted: " << c.says;
        } catch (const UsageError& error) {
            EXPECT_NE(std::string(error.what()).find(c.says), std::string::npos) << error.what();
        }
    }
    // The smallest spacing whose square is not 0 is taken.
    EXPECT_EQ(Parse({"--cell-size", "1e-22"}).value().cellSize, 1e-22f);
}

TEST(ToolCommandLine, HelpListsEveryOptionWithItsDefault)
{
    std::string help;
    EXPECT_FALSE(Parse({"--help"}, &help));
    for (const char* expected : {"INPUT",
                                 "-o,--output",
                                 "--size TEXT=512x512",
                                 "--seed UINT=1",
                                 "--z-scale FLOAT=1",
                                 "--cell-size FLOAT=1",
                                 "--scale",
                                 "--invert",
                                 "--level",
                                 "--mask TEXT=none",
                                 "=0.5",
                                 "--mask-invert",
                                 "--cut-below FLOAT=none",
                                 "--ascii",
                                 "--normal-map",
                                 "--preview",
                                 "--light TEXT=315,45",
                                 "--threads UINT:0..1024=0",
                                 "--batch",
                                 "--stats",
                                 "--library",
                                 "--band",
                                 "--window",
                                 "--bounds",
                                 "--resample",
                                 "--max-size",
                                 "--encoding TEXT=gray",
                                 "--tile",
                                 "--max-memory"})
        EXPECT_NE(help.find(expected), std::string::npos) << expected << "\n" << help;
    // Grouped by what they are about, in the order a run uses them.
    std::size_t last = 0;
    for (const char* group : {"\nInput:\n", "\nHeights:\n", "\nMesh:\n", "\nOutput:\n", "\nPictures:\n", "\nRun:\n"}) {
        const std::size_t at = help.find(group);
        EXPECT_NE(at, std::string::npos) << group;
        EXPECT_GT(at, last) << group;
        last = at == std::string::npos ? last : at;
    }
    std::string version;
    EXPECT_FALSE(Parse({"--version"}, &version));
    EXPECT_EQ(version.rfind("heightmesh ", 0), 0u);
}

TEST(ToolFailureReport, EachFailureKindGetsOneLineAndItsStatus)
{
    const struct {
        std::exception_ptr failure;
        std::string line;
        int status;
    } cases[] = {
        {std::make_exception_ptr(UsageError("--ascii applies only to .stl output")),
         "--ascii applies only to .stl output", 2},
        {std::make_exception_ptr(ToolError("'a.png' is truncated")), "'a.png' is truncated", 1},
        {std::make_exception_ptr(
             jobhost::JobError("System.IndexOutOfRangeException", "Index 4 is out of range of '4' Length.")),
         "the job failed with System.IndexOutOfRangeException: Index 4 is out of range of '4' Length.", 1},
        {std::make_exception_ptr(jobhost::LoadError("/x.so: cannot open shared object file\n")),
         "cannot load the job library: /x.so: cannot open shared object file", 1},
        {std::make_exception_ptr(std::bad_alloc()), "out of memory", 1},
        {std::make_exception_ptr(std::invalid_argument("two\nlines")), "two lines", 1},
        {std::make_exception_ptr(42), "unknown failure", 1},
    };
    for (const auto& c : cases) {
        const FailureReport report = DescribeFailure(c.failure);
        EXPECT_EQ(report.line, c.line);
        EXPECT_EQ(report.exitStatus, c.status) << c.line;
    }
}

TEST(ToolProgressLine, AppearsOnlyForLongStepsAndIsClearedAfter)
{
    std::ostringstream out;
    {
        ProgressLine line(out, true);
        line.Begin("quick");
        line.Update(0.5);
        line.End();
        EXPECT_EQ(out.str(), "");

        line.Begin("slow step");
        line.Update(0.25);
        std::this_thread::sleep_for(std::chrono::milliseconds(1250));
        line.End();
    }
    const std::string shown = out.str();
    EXPECT_NE(shown.find("\rheightmesh: slow step  25%"), std::string::npos) << shown;
    EXPECT_EQ(shown.substr(shown.size() - 4), "\r\033[K");
}

}  // namespace
}  // namespace heightmesh::tool
