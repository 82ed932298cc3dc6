// The DLL through its exports beyond the shared binding tests: nested frames
// on one thread, the batch driver's calling order, and jobhost running the
// job on several std::thread workers, with failures arriving as C++
// exceptions thrown through the library's frames.
#include <gtest/gtest.h>

#include <bit>
#include <cstddef>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "jobhost/jobhost.h"
#include "support/loaded_library.h"
#include "support/mesh_model.h"
#include "support/random_grid.h"
#include "support/test_grid.h"
#include "support/test_host.h"

namespace heightmesh::testing {
namespace {

// ---- Nested frames ---------------------------------------------------------

// A job entry run from inside a host function of another entry on the same
// thread: the inner entry pushes its frame on top of the outer one.
struct NestedRun {
    static inline LoadedLibrary* library = nullptr;
    static inline bool innerFails = false;
    static inline bool ran = false;
    static inline HeightmeshAbortFrame* headBeforeInner = nullptr;
    static inline HeightmeshAbortFrame* headAfterInner = nullptr;
    static inline AbortRecord innerFailure;

    static void Patch(void*, void*, int32_t, int32_t)
    {
        if (ran)
            return;
        ran = true;
        TestGrid grid(3, 3);
        HeightmeshHeightfieldMeshJob job = grid.Job();
        if (innerFails) {
            job.vertices.length = 8;
            job.vertices.maxIndex = 7;
        }
        ScriptedRanges ranges{{{0, 9}}};
        headBeforeInner = TestHost::frameHead;
        try {
            library->jobEntry(&job, nullptr, nullptr, ranges.Address(), 0);
        } catch (const TestAbort& failure) {
            innerFailure = failure.record;
        }
        headAfterInner = TestHost::frameHead;
    }

    static void* Resolve(const char* name)
    {
        if (std::string(name) == HEIGHTMESH_HOST_PATCH_BUFFER_MIN_MAX_RANGES)
            return reinterpret_cast<void*>(&Patch);
        return TestHost::Resolve(name);
    }
};

TEST(DllFrames, NestedEntryOnOneThreadLeavesTheOuterFrameOnTop)
{
    LoadedLibrary library;
    for (bool innerFails : {false, true}) {
        SCOPED_TRACE(innerFails ? "inner entry fails" : "inner entry finishes");
        TestHost::Reset();
        NestedRun::library = &library;
        NestedRun::innerFails = innerFails;
        NestedRun::ran = false;
        NestedRun::innerFailure = {};
        library.initialize(&NestedRun::Resolve);
        library.setupExtra(&TestHost::FrameList);

        std::mt19937 random(11);
        TestGrid grid(17, 9);
        for (float& h : grid.heights)
            h = std::uniform_real_distribution<float>(-50.0f, 50.0f)(random);
        HeightmeshHeightfieldMeshJob job = grid.Job();
        ScriptedRanges ranges{{{0, 60}, {60, 153}}};
        library.jobEntry(&job, nullptr, nullptr, ranges.Address(), 0);

        ASSERT_TRUE(NestedRun::ran);
        EXPECT_NE(NestedRun::headBeforeInner, nullptr);  // the outer entry's frame
        EXPECT_EQ(NestedRun::headAfterInner, NestedRun::headBeforeInner);
        const AbortRecord expected =
            innerFails ? AbortRecord{"System.IndexOutOfRangeException", "Index 8 is out of range of '8' Length."}
                       : AbortRecord{};
        EXPECT_EQ(NestedRun::innerFailure, expected);
        EXPECT_EQ(TestHost::frameHead, nullptr);
        // The outer job went on unharmed after the inner one.
        const ModelMesh model = BuildModelMesh(grid.heights, grid.mask, grid.width, grid.height, grid.scale);
        EXPECT_TRUE(SameBytes(grid.vertices, model.vertices));
        EXPECT_TRUE(SameBytes(grid.normals, model.normals));
        EXPECT_TRUE(SameBytes(grid.triangles, model.triangles));
    }
    TestHost::Reset();
}

// ---- Batch driver ----------------------------------------------------------

class DllBatchDriver : public ::testing::Test {
protected:
    void SetUp() override
    {
        TestHost::Reset();
        library.initialize(&TestHost::Resolve);
        library.setupExtra(&TestHost::FrameList);
    }
    void TearDown() override { TestHost::Reset(); }

    static bool Written(const HeightmeshFloat2& uv) { return std::bit_cast<uint32_t>(uv.x) != kSentinelBits; }

    LoadedLibrary library;
    TestGrid grid{3, 3};
};

TEST_F(DllBatchDriver, EveryRangeIsPatchedAndOnlyItsIndicesRun)
{
    HeightmeshHeightfieldMeshJob job = grid.Job();
    ScriptedRanges ranges{{{0, 0}, {5, 9}, {2, 5}}};
    library.jobEntry(&job, nullptr, reinterpret_cast<void*>(0x5A7C4), ranges.Address(), 3);
    EXPECT_EQ(TestHost::patches, (std::vector<std::pair<int32_t, int32_t>>{{0, 0}, {5, 4}, {2, 3}}));
    for (int i = 0; i < 9; ++i)
        EXPECT_EQ(Written(grid.uvs[i]), i >= 2) << "index " << i;
}

TEST_F(DllBatchDriver, FailureEndsTheRangeAndAsksForNoMore)
{
    HeightmeshHeightfieldMeshJob job = grid.Job();
    job.vertices.maxIndex = 5;  // index 6 may not be written
    ScriptedRanges ranges{{{5, 9}, {0, 5}}};
    try {
        library.jobEntry(&job, nullptr, nullptr, ranges.Address(), 0);
        FAIL() << "the job did not fail";
    } catch (const TestAbort& failure) {
        EXPECT_EQ(failure.record.typeName, "System.IndexOutOfRangeException");
        EXPECT_EQ(failure.record.message.rfind("Index 6 ", 0), 0u) << failure.record.message;
    }
    EXPECT_EQ(ranges.next, 1u);
    EXPECT_EQ(TestHost::patches, (std::vector<std::pair<int32_t, int32_t>>{{5, 4}}));
    for (int i = 0; i < 9; ++i)
        EXPECT_EQ(Written(grid.uvs[i]), i == 5) << "index " << i;
    EXPECT_EQ(TestHost::frameHead, nullptr);
}

// A host abort that returns despite its contract: the library stops at its
// trap (an illegal-instruction exception on Windows) instead of going on to
// the write it refused.
using DllAbortDeathTest = DllBatchDriver;

TEST_F(DllAbortDeathTest, ReturningHostAbortStopsTheJob)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
            TestHost::abortMode = AbortMode::kReturn;
            HeightmeshHeightfieldMeshJob job = grid.Job();
            job.vertices.length = 8;  // the vertex buffer does have a ninth element
            job.vertices.maxIndex = 7;
            ScriptedRanges ranges;
            ranges.ranges.emplace_back(0, 9);
            library.jobEntry(&job, nullptr, nullptr, ranges.Address(), 0);
            std::exit(0);
        },
        ::testing::ExitedWithCode(static_cast<int>(EXCEPTION_ILLEGAL_INSTRUCTION)), "");
}

// ---- jobhost on Windows ----------------------------------------------------

jobhost::RunOptions Batches(int32_t size)
{
    jobhost::RunOptions options;
    options.batchSize = size;
    return options;
}

std::shared_ptr<jobhost::JobLibrary> OpenBesideTheTests()
{
    return jobhost::JobLibrary::Open(jobhost::DefaultLibraryPath());
}

TEST(DllJobhost, SeveralWorkersMatchTheModelBitForBit)
{
    const auto library = OpenBesideTheTests();
    EXPECT_EQ(library->path().filename(), "heightfield_mesh.dll");
    jobhost::JobSystem jobs(4);
    std::mt19937 random(5);
    for (int round = 0; round < 8; ++round) {
        const int32_t width = 1 + int32_t(random() % 150), height = 1 + int32_t(random() % 150);
        SCOPED_TRACE(::testing::Message() << width << " x " << height);
        std::vector<float> heights(std::size_t(width) * std::size_t(height));
        std::vector<uint8_t> mask(std::size_t(width - 1) * std::size_t(height - 1));
        for (float& h : heights)
            h = std::uniform_real_distribution<float>(-3000.0f, 9000.0f)(random);
        for (uint8_t& m : mask)
            m = uint8_t(random());
        const HeightmeshFloat3 scale{30.0f, 1.5f, 30.0f};
        const jobhost::HeightfieldMesh mesh = jobhost::RunHeightfieldMesh(
            jobs, *library, {heights, mask, width, height, scale}, Batches(int32_t(1 + random() % 64)));
        const ModelMesh model = BuildModelMesh(heights, mask, width, height, scale);
        ASSERT_TRUE(SameBytes(mesh.vertices, model.vertices));
        ASSERT_TRUE(SameBytes(mesh.uvs, model.uvs));
        ASSERT_TRUE(SameBytes(mesh.normals, model.normals));
        ASSERT_TRUE(SameBytes(mesh.triangles, model.triangles));
    }
}

TEST(DllJobhost, FailureOnAWorkerArrivesAsJobErrorAndTheWorkersGoOn)
{
    const auto library = OpenBesideTheTests();
    jobhost::JobSystem jobs(2);
    const std::size_t restricted[] = {offsetof(HeightmeshHeightfieldMeshJob, vertices),
                                      offsetof(HeightmeshHeightfieldMeshJob, uvs),
                                      offsetof(HeightmeshHeightfieldMeshJob, normals)};
    const std::size_t other[] = {offsetof(HeightmeshHeightfieldMeshJob, heights),
                                 offsetof(HeightmeshHeightfieldMeshJob, cellMask),
                                 offsetof(HeightmeshHeightfieldMeshJob, triangles)};
    for (int run = 0; run < 3; ++run) {
        TestGrid grid(64, 64);
        HeightmeshHeightfieldMeshJob job = grid.Job();
        job.triangles.length = 6 * 63 * 40 + 2;  // the job fails in row 40
        try {
            jobs.Run(library->entry(), &job, sizeof job, restricted, other, 64 * 64, Batches(16));
            FAIL() << "the job did not fail";
        } catch (const jobhost::JobError& error) {
            EXPECT_EQ(error.typeName(), "System.IndexOutOfRangeException");
            // Whichever worker failed first: a triangle entry at or beyond the length.
            const std::string tail = " is out of range of '" + std::to_string(job.triangles.length) + "' Length.";
            EXPECT_EQ(error.message().rfind("Index ", 0), 0u) << error.message();
            ASSERT_GT(error.message().size(), tail.size());
            EXPECT_EQ(error.message().substr(error.message().size() - tail.size()), tail);
        }
    }
    // The same workers, with their frame lists, run a whole job afterwards.
    TestGrid grid(64, 64);
    HeightmeshHeightfieldMeshJob job = grid.Job();
    jobs.Run(library->entry(), &job, sizeof job, restricted, other, 64 * 64, Batches(16));
    const ModelMesh model = BuildModelMesh(grid.heights, grid.mask, 64, 64, grid.scale);
    EXPECT_TRUE(SameBytes(grid.triangles, model.triangles));
    EXPECT_TRUE(SameBytes(grid.normals, model.normals));
}

}  // namespace
}  // namespace heightmesh::testing
