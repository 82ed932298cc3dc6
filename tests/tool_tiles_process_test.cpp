// The tiles command as a process: a run killed (SIGKILL) at any moment
// leaves complete tiles only, and the same command again writes the bytes of
// a run never interrupted.
#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <random>
#include <string>

#include "support/quantized_mesh_reader.h"
#include "tool_test_support.h"

namespace {

namespace fs = std::filesystem;
using tooltest::ScratchDir;

std::map<std::string, std::vector<uint8_t>> Tree(const fs::path& root)
{
    std::map<std::string, std::vector<uint8_t>> files;
    for (const auto& entry : fs::recursive_directory_iterator(root))
        if (entry.is_regular_file())
            files[fs::relative(entry.path(), root).string()] = tooltest::ReadBytes(entry.path());
    return files;
}

TEST(ToolTilesProcess, KilledRunsFinishToTheBytesOfAnUninterruptedOne)
{
    ScratchDir dir;
    tooltest::TiffSpec spec;
    spec.width = spec.height = 1201;
    spec.crs = "EPSG:4326";
    spec.transform = {7.0 - 0.5 / 1200, 1.0 / 1200, 0, 46.0 + 0.5 / 1200, 0, -1.0 / 1200};
    std::mt19937 random(3);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    for (int r = 0; r < spec.height; ++r)
        for (int c = 0; c < spec.width; ++c)
            spec.samples.push_back(1200.0 + 500.0 * std::sin(c * 0.013) * std::cos(r * 0.021) + 20.0 * unit(random));
    tooltest::WriteGeoTiff(dir.path() / "dem.tif", spec);
    // The command, after `before` (a program that runs it).
    const auto tiles = [&](const std::string& folder, std::vector<std::string> args = {}) {
        for (const std::string& word :
             {std::string(HEIGHTMESH_TOOL_PATH), std::string("tiles"), (dir.path() / "dem.tif").string(),
              std::string("-o"), (dir.path() / folder).string(), std::string("--threads"), std::string("2")})
            args.push_back(word);
        return tooltest::RunProcess(args, dir.path());
    };
    const tooltest::ProcessResult whole = tiles("whole");
    ASSERT_EQ(whole.exitCode, 0) << whole.err;
    const auto expected = Tree(dir.path() / "whole");

    int interrupted = 0;
    for (const std::string delay : {"0.15", "0.4", "0.8"}) {
        SCOPED_TRACE("killed after " + delay + " s");
        const std::string folder = "killed-" + delay;
        const tooltest::ProcessResult killed = tiles(folder, {"/usr/bin/timeout", "-s", "KILL", delay});
        if (killed.exitCode == 0)
            continue;  // finished before the signal
        ++interrupted;
        // Only whole tiles under their names, no layer.json, no temporary.
        if (fs::exists(dir.path() / folder))
            for (const auto& [name, bytes] : Tree(dir.path() / folder)) {
                EXPECT_NE(name, "layer.json");
                if (name != ".heightmesh-tileset") {
                    EXPECT_EQ(fs::path(name).extension(), ".terrain") << name;
                    EXPECT_TRUE(tiletest::Gunzip(bytes)) << name;
                }
            }
        const tooltest::ProcessResult rerun = tiles(folder);
        ASSERT_EQ(rerun.exitCode, 0) << rerun.err;
        EXPECT_EQ(Tree(dir.path() / folder), expected);
    }
    EXPECT_GT(interrupted, 0) << "every run finished before its signal";
}

}  // namespace
