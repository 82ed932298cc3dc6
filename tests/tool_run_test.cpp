// The tool's run in process, with the real job behind fake meshers: which
// road each request takes, that every road writes the full road's file, and
// that job output no correct library writes makes a band road give way to
// the full road (or be refused as the full road refuses it).
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <fmt/format.h>
#include <fmt/ranges.h>
#include <jobhost/jobhost.h>

#include "common/progress.h"
#include "common/tool_error.h"
#include "run/job_mesher.h"
#include "run/options.h"
#include "run/pipeline.h"
#include "tool_test_support.h"

namespace heightmesh::tool {
namespace {

using tooltest::ScratchDir;

// The real job on two workers.
struct RealJob {
    std::shared_ptr<jobhost::JobLibrary> library = jobhost::JobLibrary::Open(HEIGHTMESH_LIBRARY_PATH);
    jobhost::JobSystem jobs{2};
    Meshers meshers() { return {MakeJobMesher(jobs, *library), MakeJobBandMesher(jobs, *library)}; }
};

Options ParseArgs(std::vector<std::string> args)
{
    args.insert(args.begin(), "heightmesh");
    std::vector<const char*> argv;
    for (const std::string& a : args)
        argv.push_back(a.c_str());
    std::ostringstream out;
    return ParseCommandLine(static_cast<int>(argv.size()), argv.data(), out).value();
}

struct RunResult {
    RunReport report;
    std::string out;
    std::vector<uint8_t> file;
};

RunResult RunWith(const std::vector<std::string>& args, const std::filesystem::path& output, const Meshers& meshers)
{
    std::vector<std::string> all = args;
    all.insert(all.end(), {"-o", output.string(), "--stats"});
    std::ostringstream out;
    ProgressLine progress(out, false);
    RunResult run;
    run.report = RunTool(ParseArgs(all), meshers, out, progress, 2);
    run.out = out.str();
    run.file = tooltest::ReadBytes(output);
    return run;
}

// A band mesher that runs the real job, then lets `edit` change the band's
// outputs (rows [rowBegin, rowEnd) of the grid).
BandMesher Edited(
    BandMesher real,
    std::function<void(const MeshRequest&, int32_t rowBegin, int32_t rowEnd, const jobhost::HeightfieldMeshBand&)> edit)
{
    return [real = std::move(real), edit = std::move(edit)](const MeshRequest& request, int32_t rowBegin,
                                                            int32_t rowEnd, const jobhost::HeightfieldMeshBand& band,
                                                            const std::function<void(double)>& progress) {
        real(request, rowBegin, rowEnd, band, progress);
        edit(request, rowBegin, rowEnd, band);
    };
}

// Grid point `point`'s place in a band of rows starting at rowBegin, or -1
// when the band does not hold it.
int64_t InBand(const MeshRequest& request, int32_t rowBegin, int32_t rowEnd, int64_t point)
{
    const int64_t first = int64_t{rowBegin} * request.width, end = int64_t{rowEnd} * request.width;
    return point >= first && point < end ? point - first : -1;
}

TEST(ToolRun, EveryRoadWritesTheFullRoadsFile)
{
    ScratchDir dir;
    RealJob job;
    struct Case {
        std::string name;
        std::vector<std::string> args;
        MeshRoad road;
    };
    const std::vector<Case> cases = {
        {"m.glb", {}, MeshRoad::kStreamed},
        {"m.ply", {"--cut-below", "30"}, MeshRoad::kStreamed},
        {"m.stl", {"--scale", "0.5,-2,1.5"}, MeshRoad::kStreamed},
        {"m.obj", {}, MeshRoad::kFull},
        {"m.stl", {"--ascii", "--cut-below", "30"}, MeshRoad::kFull},
        {"m.glb", {"--max-error", "1%"}, MeshRoad::kBanded},
        {"m.stl", {"--max-error", "0.05", "--base", "2", "--cut-below", "30"}, MeshRoad::kBanded},
        {"m.obj", {"--max-triangles", "400", "--gpu-order", "--up", "z"}, MeshRoad::kBanded},
        {"m.ply", {"--base", "1.5", "--z-scale", "-2"}, MeshRoad::kBanded},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(fmt::format("{} {}", c.name, fmt::join(c.args, " ")));
        std::vector<std::string> args = {"--size", "523x611", "--seed", "5"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const RunResult planned = RunWith(args, dir / ("planned-" + c.name), job.meshers());
        EXPECT_EQ(planned.report.plan.road, c.road);
        EXPECT_EQ(planned.report.road, c.road);
        EXPECT_EQ(planned.report.declined, "");
        EXPECT_NE(planned.out.find(fmt::format("road:       {} (", RoadName(c.road))), std::string::npos)
            << planned.out;
        // --stats speaks of the file: the vertices and triangles it holds.
        const std::size_t wrote = planned.out.find(": ") + 2;
        const std::string vertices = planned.out.substr(wrote, planned.out.find(' ', wrote) - wrote);
        const std::size_t comma = planned.out.find(", ", wrote) + 2;
        const std::string triangles = planned.out.substr(comma, planned.out.find(' ', comma) - comma);
        EXPECT_NE(planned.out.find("computed, " + vertices + " written"), std::string::npos) << planned.out;
        EXPECT_NE(planned.out.find("triangles:  " + triangles + " "), std::string::npos) << planned.out;
        // Without band meshing every run takes the full road.
        const RunResult full = RunWith(args, dir / ("full-" + c.name), {job.meshers().full, {}});
        EXPECT_EQ(full.report.road, MeshRoad::kFull);
        EXPECT_GT(planned.file.size(), 0u);
        EXPECT_TRUE(planned.file == full.file);
        EXPECT_EQ(planned.report.verticesWritten, full.report.verticesWritten);
        EXPECT_EQ(planned.report.trianglesKept, full.report.trianglesKept);
    }
}

// Output no correct job writes: the streamed road checks every band before
// writing it, declines and leaves the file to the full road, whose job here
// is the real one; the file is the full road's.
// A run without a mesh file meshes band by band as a binary file's run does,
// never holding the whole grid's outputs, and reports what the full road would.
TEST(ToolRun, ARunWithoutAFileTakesTheStreamedRoad)
{
    RealJob job;
    for (const std::vector<std::string>& extra : std::vector<std::vector<std::string>>{{}, {"--cut-below", "30"}}) {
        SCOPED_TRACE(fmt::format("{}", fmt::join(extra, " ")));
        std::vector<std::string> args = {"--size", "523x611", "--seed", "5", "--stats"};
        args.insert(args.end(), extra.begin(), extra.end());
        const auto run = [&](const Meshers& meshers) {
            std::ostringstream out;
            ProgressLine progress(out, false);
            const RunReport report = RunTool(ParseArgs(args), meshers, out, progress, 2);
            return std::pair{report, out.str()};
        };
        const auto [streamed, streamedOut] = run(job.meshers());
        EXPECT_EQ(streamed.plan.road, MeshRoad::kStreamed);
        EXPECT_EQ(streamed.road, MeshRoad::kStreamed);
        EXPECT_NE(streamedOut.find("road:       streamed (no mesh file"), std::string::npos) << streamedOut;
        const auto [full, fullOut] = run({job.meshers().full, {}});
        EXPECT_EQ(full.road, MeshRoad::kFull);
        const auto kept = [](const std::string& out) { return out.substr(0, out.find('\n')); };
        EXPECT_EQ(kept(streamedOut), kept(fullOut));
        EXPECT_NE(kept(streamedOut).find(" cells kept"), std::string::npos) << streamedOut;
    }
}

TEST(ToolRun, ForeignBandOutputMakesTheStreamedRoadGiveWay)
{
    ScratchDir dir;
    RealJob job;
    const float nan = std::numeric_limits<float>::quiet_NaN();
    struct Case {
        std::string what;
        std::vector<std::string> args;
        std::function<void(const MeshRequest&, int32_t, int32_t, const jobhost::HeightfieldMeshBand&)> edit;
        std::string declined;
    };
    const std::vector<Case> cases = {
        {"a kept cell's triangle turned",
         {},
         [](const MeshRequest&, int32_t rowBegin, int32_t, const jobhost::HeightfieldMeshBand& band) {
             if (rowBegin == 0)
                 std::swap(band.triangles[7], band.triangles[8]);
         },
         "a kept cell holds triangles other than its own two"},
        {"a kept cell's entry out of the grid",
         {},
         [](const MeshRequest& request, int32_t rowBegin, int32_t, const jobhost::HeightfieldMeshBand& band) {
             if (rowBegin == 0)
                 band.triangles[6 * 40 + 1] = request.width * request.height;
         },
         "a kept cell holds triangles other than its own two"},
        {"a masked cell with a triangle",
         {"--cut-below", "30"},
         [](const MeshRequest& request, int32_t rowBegin, int32_t rowEnd, const jobhost::HeightfieldMeshBand& band) {
             const int64_t cellRows = std::min(rowEnd, request.height - 1) - rowBegin;
             for (int64_t c = 0; c < cellRows * (request.width - 1); ++c) {
                 if (request.cellMask.Kept(static_cast<std::size_t>(int64_t{rowBegin} * (request.width - 1) + c)))
                     continue;
                 band.triangles[static_cast<std::size_t>(6 * c + 1)] = 1;
                 band.triangles[static_cast<std::size_t>(6 * c + 2)] = 2;
                 return;
             }
         },
         "a masked cell holds a triangle"},
        {"a NaN normal",
         {},
         [nan](const MeshRequest& request, int32_t rowBegin, int32_t rowEnd, const jobhost::HeightfieldMeshBand& band) {
             const int64_t at = InBand(request, rowBegin, rowEnd, 1000);
             if (at >= 0)
                 band.normals[static_cast<std::size_t>(at)].y = nan;
         },
         "a written value is not finite"},
        {"an infinite UV",
         {"--cut-below", "30"},
         [](const MeshRequest& request, int32_t rowBegin, int32_t rowEnd, const jobhost::HeightfieldMeshBand& band) {
             const int64_t last = int64_t{request.width} * request.height - 1;
             const int64_t at = InBand(request, rowBegin, rowEnd, last);
             if (at >= 0)
                 band.uvs[static_cast<std::size_t>(at)].x = std::numeric_limits<float>::infinity();
         },
         "a written value is not finite"},
        {"a failed band",
         {},
         [](const MeshRequest&, int32_t rowBegin, int32_t, const jobhost::HeightfieldMeshBand&) {
             if (rowBegin > 0)
                 throw jobhost::JobError("Test.BandException", "The band failed.");
         },
         "the job failed"},
    };
    std::map<std::string, std::vector<uint8_t>> fullFiles;
    for (const char* name : {"m.glb", "m.ply", "m.stl"}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(fmt::format("{}: {}", name, c.what));
            std::vector<std::string> args = {"--size", "700x400", "--seed", "2"};  // two bands
            args.insert(args.end(), c.args.begin(), c.args.end());
            const Meshers meshers = job.meshers();
            const RunResult edited = RunWith(args, dir / name, {meshers.full, Edited(meshers.bands, c.edit)});
            EXPECT_EQ(edited.report.plan.road, MeshRoad::kStreamed);
            EXPECT_EQ(edited.report.road, MeshRoad::kFull);
            EXPECT_EQ(edited.report.declined, c.declined);
            EXPECT_NE(edited.out.find("road:       full (the streamed road declined: " + c.declined + ")"),
                      std::string::npos)
                << edited.out;
            const std::string key = fmt::format("{} {}", name, fmt::join(args, " "));
            if (!fullFiles.count(key))
                fullFiles[key] = RunWith(args, dir / (std::string("full-") + name), {meshers.full, {}}).file;
            EXPECT_TRUE(edited.file == fullFiles[key]);
        }
    }
}

// The banded road gathers only the vertices its mesh uses: a value that is
// not finite there is refused with the full road's words for the same
// vertex, and a failed band fails the run with the job's failure.
TEST(ToolRun, ForeignBandOutputOnTheBandedRoadIsRefusedAsTheFullRoadRefusesIt)
{
    ScratchDir dir;
    RealJob job;
    const Meshers meshers = job.meshers();
    const int64_t point = 7 * 523 + 11;
    const auto poison = [](float* value) { *value = std::numeric_limits<float>::infinity(); };
    const auto bandEdit = [&](const MeshRequest& request, int32_t rowBegin, int32_t rowEnd,
                              const jobhost::HeightfieldMeshBand& band) {
        const int64_t at = InBand(request, rowBegin, rowEnd, point);
        if (at >= 0)
            poison(&band.normals[static_cast<std::size_t>(at)].x);
    };
    const Mesher fullEdited = [&](const MeshRequest& request, const std::function<void(double)>& progress) {
        MeshData data = meshers.full(request, progress);
        poison(&data.normals[static_cast<std::size_t>(point)].x);
        return data;
    };
    for (const std::vector<std::string>& shaping :
         {std::vector<std::string>{"--base", "2"}, std::vector<std::string>{"--gpu-order"}}) {
        SCOPED_TRACE(fmt::format("{}", fmt::join(shaping, " ")));
        std::vector<std::string> args = {"--size", "523x311"};
        args.insert(args.end(), shaping.begin(), shaping.end());
        std::string banded, full;
        try {
            RunWith(args, dir / "m.ply", {meshers.full, Edited(meshers.bands, bandEdit)});
        } catch (const ToolError& error) {
            banded = error.what();
        }
        try {
            RunWith(args, dir / "m.ply", {fullEdited, {}});
        } catch (const ToolError& error) {
            full = error.what();
        }
        EXPECT_NE(banded.find(fmt::format("vertex {} is not finite", point)), std::string::npos) << banded;
        EXPECT_EQ(banded, full);
        EXPECT_FALSE(std::filesystem::exists(dir / "m.ply"));
    }
    const auto failing =
        Edited(meshers.bands, [](const MeshRequest&, int32_t, int32_t, const jobhost::HeightfieldMeshBand&) {
            throw jobhost::JobError("Test.BandException", "The band failed.");
        });
    EXPECT_THROW(RunWith({"--size", "64x64", "--max-error", "1%"}, dir / "m.glb", {meshers.full, failing}),
                 jobhost::JobError);
    EXPECT_FALSE(std::filesystem::exists(dir / "m.glb"));
}

// Declines a correct library can reach: nothing to mesh on a band road
// hands the run to the full road, which reports it as it always has.
TEST(ToolRun, NothingKeptGoesToTheFullRoadsReport)
{
    ScratchDir dir;
    RealJob job;
    for (const std::vector<std::string>& road :
         {std::vector<std::string>{"-o", (dir / "m.glb").string()},
          std::vector<std::string>{"--max-error", "1%", "-o", (dir / "m.glb").string()}}) {
        std::vector<std::string> args = {"--size", "64x64", "--cut-below", "1e30"};
        args.insert(args.end(), road.begin(), road.end());
        std::ostringstream out;
        ProgressLine progress(out, false);
        try {
            RunTool(ParseArgs(args), job.meshers(), out, progress, 2);
            ADD_FAILURE() << "no failure";
        } catch (const ToolError& error) {
            EXPECT_NE(std::string(error.what()).find("every cell of the built-in terrain is masked"), std::string::npos)
                << error.what();
        }
        EXPECT_FALSE(std::filesystem::exists(dir / "m.glb"));
    }
}

}  // namespace
}  // namespace heightmesh::tool
