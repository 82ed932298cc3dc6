// Tilesets made in shards: whatever the number of shards and the order they
// run in, plan + shards + merge leave the folder byte for byte as one whole
// run does; a merge refuses while a shard is unfinished or its work was
// damaged, and rerunning the shard mends it without losing finished parts.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <random>
#include <sstream>
#include <vector>

#include "common/tool_error.h"
#include "run/tiles_command.h"
#include "tiles/pyramid.h"
#include "tiles/shards.h"
#include "tool_test_support.h"

namespace heightmesh::tool {
namespace {

namespace fs = std::filesystem;
using namespace tooltest;

// Every file of a folder, hidden ones included, by relative path.
std::map<std::string, std::vector<uint8_t>> Tree(const fs::path& root)
{
    std::map<std::string, std::vector<uint8_t>> files;
    for (const auto& entry : fs::recursive_directory_iterator(root))
        if (entry.is_regular_file())
            files[fs::relative(entry.path(), root).string()] = ReadBytes(entry.path());
    return files;
}

class ToolShards : public ::testing::Test {
protected:
    void SetUp() override
    {
        dir_ = fs::temp_directory_path() / ("heightmesh_shards_" + std::to_string(::getpid()) + "_" +
                                            ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }

    // A rough surface over 1.2 x 0.6 degrees with round holes of no data,
    // wide enough for parts two levels above the finest.
    fs::path WriteRaster(const std::string& crs)
    {
        TiffSpec spec;
        spec.width = 300, spec.height = 150;
        spec.crs = crs;
        spec.noData = -9999.0;
        if (crs == "EPSG:4326")
            spec.transform = {10.03, 0.004, 0, 46.57, 0, -0.004};
        else  // UTM zone 32 around the same place
            spec.transform = {500000.0, 310.0, 0, 5160000.0, 0, -310.0};
        std::mt19937 random(11);
        std::uniform_real_distribution<double> unit(0.0, 1.0);
        for (int r = 0; r < spec.height; ++r)
            for (int c = 0; c < spec.width; ++c) {
                double h = 1200.0 + 600.0 * std::sin(c * 0.05) * std::cos(r * 0.07) + 40.0 * unit(random);
                const auto hole = [&](double cx, double cy, double radius) {
                    return (c - cx) * (c - cx) + (r - cy) * (r - cy) < radius * radius;
                };
                if (hole(75, 40, 9) || hole(0, 120, 20) || hole(212, 75, 12))
                    h = -9999.0;
                spec.samples.push_back(h);
            }
        const fs::path path = dir_ / ("dem-" + crs.substr(5) + ".tif");
        WriteGeoTiff(path, spec);
        return path;
    }

    PyramidOptions Options(const fs::path& input, const std::string& output)
    {
        PyramidOptions options;
        options.source.input = input;
        options.output = dir_ / output;
        options.minZoom = 6;
        options.maxZoom = 11;
        options.source.heightOffset = 47.5f;
        options.threads = 2;
        return options;
    }

    using Make = void (*)(const PyramidOptions&, std::ostream&, ProgressLine&);
    std::string Run(Make make, const PyramidOptions& options)
    {
        std::ostringstream out, err;
        ProgressLine progress(err, false);
        make(options, out, progress);
        return out.str();
    }
    std::string Whole(const PyramidOptions& options)
    {
        return Run([](const PyramidOptions& o, std::ostream& out, ProgressLine& p) { MakePyramid(o, out, p); },
                   options);
    }
    std::string Shard(PyramidOptions options, int32_t index, int32_t count)
    {
        options.shardIndex = index, options.shardCount = count;
        return Run(MakeShard, options);
    }

    fs::path dir_;
};

TEST_F(ToolShards, AnyNumberOfShardsInAnyOrderWritesTheWholeRunsBytes)
{
    for (const std::string crs : {"EPSG:4326", "EPSG:32632"}) {
        const fs::path input = WriteRaster(crs);
        const PyramidOptions whole = Options(input, "whole-" + crs.substr(5));
        Whole(whole);
        const auto expected = Tree(whole.output);
        // One shard: parts two levels above the finest; three: one level; five: the finest tiles.
        for (const int32_t count : {1, 3, 5}) {
            SCOPED_TRACE(crs + ", " + std::to_string(count) + " shards");
            const PyramidOptions options = Options(input, "shards-" + crs.substr(5) + "-" + std::to_string(count));
            for (int32_t shard = count - 1; shard >= 0; --shard)
                Shard(options, shard, count);
            EXPECT_FALSE(fs::exists(options.output / "layer.json"));
            Run(MergeShards, options);
            const auto made = Tree(options.output);
            EXPECT_EQ(made.size(), expected.size());
            for (const auto& [name, bytes] : expected) {
                const auto found = made.find(name);
                ASSERT_NE(found, made.end()) << name;
                EXPECT_TRUE(found->second == bytes) << name;
            }
        }
    }
}

TEST_F(ToolShards, AMergeWaitsForEveryShardAndRerunsMendWhatWasDamaged)
{
    const fs::path input = WriteRaster("EPSG:4326");
    const PyramidOptions whole = Options(input, "whole");
    Whole(whole);
    const auto expected = Tree(whole.output);
    const PyramidOptions options = Options(input, "shards");

    const auto merge = [&] { return ErrorOf([&] { Run(MergeShards, options); }); };
    EXPECT_NE(merge().find("holds no shards of this tileset"), std::string::npos) << merge();
    Shard(options, 0, 3);
    Shard(options, 2, 3);
    std::string message = merge();
    EXPECT_NE(message.find("1 of 3 shards are not finished (shard 1:"), std::string::npos) << message;

    // A part's record cut short, and a tile replaced by another whole tile.
    std::vector<fs::path> records;
    for (const auto& entry : fs::directory_iterator(options.output / ".heightmesh-parts"))
        if (entry.path().extension() == ".part")
            records.push_back(entry.path());
    std::sort(records.begin(), records.end());
    ASSERT_GE(records.size(), 2u);
    fs::resize_file(records.front(), fs::file_size(records.front()) / 2);
    const fs::path finest = options.output / "11";
    std::vector<fs::path> tiles;
    for (const auto& entry : fs::recursive_directory_iterator(finest))
        if (entry.is_regular_file())
            tiles.push_back(entry.path());
    std::sort(tiles.begin(), tiles.end());
    ASSERT_GE(tiles.size(), 2u);
    fs::copy_file(tiles.front(), tiles.back(), fs::copy_options::overwrite_existing);
    message = merge();
    EXPECT_NE(message.find("shards are not finished"), std::string::npos) << message;
    EXPECT_FALSE(fs::exists(options.output / "layer.json"));

    // Reruns mend the damage, the missing shard runs, and the merge then succeeds.
    const std::string again = Shard(options, 0, 3) + Shard(options, 2, 3);
    EXPECT_NE(again.find("is damaged; making the part again"), std::string::npos) << again;
    EXPECT_NE(again.find("changed since part"), std::string::npos) << again;
    Shard(options, 1, 3);
    // A shard run again after it finished makes nothing.
    const std::string idle = Shard(options, 1, 3);
    EXPECT_NE(idle.find("wrote 0 tiles"), std::string::npos) << idle;
    Run(MergeShards, options);
    EXPECT_TRUE(Tree(options.output) == expected);
    // Once whole, a merge or a shard run again has nothing to do.
    EXPECT_NE(Run(MergeShards, options).find("already whole"), std::string::npos);
    EXPECT_NE(Shard(options, 2, 3).find("already whole"), std::string::npos);
    EXPECT_TRUE(Tree(options.output) == expected);
}

TEST_F(ToolShards, OtherRequestsAndOtherPlansAreRefused)
{
    const fs::path input = WriteRaster("EPSG:4326");
    const PyramidOptions options = Options(input, "shards");
    Shard(options, 0, 3);
    const auto before = Tree(options.output);
    PyramidOptions other = options;
    other.errorScale = 2.0;
    EXPECT_THROW(Shard(other, 1, 3), UsageError);
    EXPECT_THROW(Run(MergeShards, other), UsageError);
    const std::string message = ErrorOf([&] { Shard(options, 1, 4); });
    EXPECT_NE(message.find("follow a plan of 3 shards: give --shard I/3"), std::string::npos) << message;
    EXPECT_TRUE(Tree(options.output) == before);
}

// The plan is pure arithmetic on the level ranges: properties over many.
TEST(ToolShardPlan, PartsAreDealtOutOnceInEvenRuns)
{
    std::mt19937 random(5);
    for (int trial = 0; trial < 300; ++trial) {
        const int32_t maxZoom = 2 + static_cast<int32_t>(random() % 12);
        const int32_t minZoom = static_cast<int32_t>(random() % 3);
        GeoRect area;
        area.west = -180.0 + 300.0 * (random() % 1000) / 1000.0;
        area.east = area.west + 0.01 + (180.0 - area.west) * (random() % 1000) / 1000.0 * 0.5;
        area.south = -90.0 + 150.0 * (random() % 1000) / 1000.0;
        area.north = std::min(90.0, area.south + 0.01 + 30.0 * (random() % 1000) / 1000.0);
        std::vector<TileRange> ranges;
        for (int32_t level = 0; level <= maxZoom; ++level)
            ranges.push_back(level == 0 ? TileRange{0, 0, 1, 0} : TilesOver(area, level));
        const int32_t shards = 1 + static_cast<int32_t>(random() % 40);
        const ShardPlan plan = PlanShards(ranges, minZoom, maxZoom, shards);
        SCOPED_TRACE(::testing::Message() << "trial " << trial << ", " << shards << " shards, parts at level "
                                          << plan.level << " of " << minZoom << ".." << maxZoom);
        ASSERT_GE(plan.level, minZoom);
        ASSERT_LE(plan.level, maxZoom);
        // Every tile of the parts' level is a part, each in one shard's run.
        EXPECT_EQ(static_cast<int64_t>(plan.parts.size()), ranges[static_cast<std::size_t>(plan.level)].count());
        ASSERT_EQ(plan.first.size(), static_cast<std::size_t>(shards) + 1);
        EXPECT_EQ(plan.first.front(), 0u);
        EXPECT_EQ(plan.first.back(), plan.parts.size());
        EXPECT_TRUE(std::is_sorted(plan.first.begin(), plan.first.end()));
        // The parts' subtrees and the merge's levels hold every tile once.
        int64_t tiles = plan.coarseTiles, largest = 0;
        for (const ShardPart& part : plan.parts)
            tiles += part.tiles, largest = std::max(largest, part.tiles);
        int64_t all = 0;
        for (int32_t level = minZoom; level <= maxZoom; ++level)
            all += ranges[static_cast<std::size_t>(level)].count();
        EXPECT_EQ(tiles, all);
        // No shard is more than one part's worth away from an even share.
        const double share = static_cast<double>(tiles - plan.coarseTiles) / shards;
        for (int32_t shard = 0; shard < shards; ++shard) {
            int64_t mine = 0;
            for (std::size_t k = plan.first[static_cast<std::size_t>(shard)];
                 k < plan.first[static_cast<std::size_t>(shard) + 1]; ++k)
                mine += plan.parts[k].tiles;
            EXPECT_LE(std::abs(static_cast<double>(mine) - share), static_cast<double>(largest)) << "shard " << shard;
        }
        // Parts coarser than the finest level only with eight of them a shard.
        if (plan.level < maxZoom) {
            EXPECT_GE(static_cast<int64_t>(plan.parts.size()), int64_t{8} * shards);
        }
    }
}

TEST(ToolShardCommand, ShardsAreNamedOrTakenFromTheSlurmArray)
{
    const auto parse = [](std::vector<const char*> words, const char* (*environment)(const char*) = nullptr) {
        std::vector<const char*> argv{"heightmesh tiles", "in.tif", "-o", "d"};
        argv.insert(argv.end(), words.begin(), words.end());
        std::ostringstream out;
        return ParseTilesCommand(static_cast<int>(argv.size()), argv.data(), out, environment).value();
    };
    const std::vector<std::pair<std::vector<const char*>, std::string>> refused = {
        {{"--shard", "4/4"}, "shard 4 of 4 does not exist (they count from 0 to 3)"},
        {{"--shard", "0/0"}, "0 shards"},
        {{"--shard", "3"}, "is not I/N"},
        {{"--shard", "-1/3"}, "is not a whole number"},
        {{"--shard", "1/x"}, "is not a whole number"},
        {{"--plan", "0"}, "0 shards"},
        {{"--shard", "0/2", "--merge"}, "excludes"},
        {{"--shard", "0/2", "--overwrite"}, "--overwrite cannot be given to a shard"},
        {{"--merge", "--overwrite"}, "--overwrite cannot be given to --merge"},
        {{"--shard", "slurm"}, "SLURM_ARRAY_TASK_ID is not set"},
    };
    for (const auto& entry : refused) {
        const std::vector<const char*>& words = entry.first;
        const std::string message = ErrorOf([&] { parse(words, [](const char*) -> const char* { return nullptr; }); });
        EXPECT_NE(message.find(entry.second), std::string::npos) << message;
    }
    const TilesRequest named = parse({"--shard", "2/5"});
    EXPECT_EQ(named.make, &MakeShard);
    EXPECT_EQ(named.options.shardIndex, 2);
    EXPECT_EQ(named.options.shardCount, 5);
    // An array --array=3-6: task 5 is shard 2 of 4.
    const TilesRequest slurm = parse({"--shard", "slurm"}, [](const char* name) -> const char* {
        const std::string n = name;
        return n == "SLURM_ARRAY_TASK_ID"      ? "5"
               : n == "SLURM_ARRAY_TASK_MIN"   ? "3"
               : n == "SLURM_ARRAY_TASK_COUNT" ? "4"
                                               : nullptr;
    });
    EXPECT_EQ(slurm.options.shardIndex, 2);
    EXPECT_EQ(slurm.options.shardCount, 4);
    EXPECT_EQ(parse({"--merge"}).make, &MergeShards);
    EXPECT_EQ(parse({"--plan", "7"}).make, &PrintShardPlan);
    EXPECT_EQ(parse({"--plan", "7"}).options.shardCount, 7);
}

}  // namespace
}  // namespace heightmesh::tool
