// Random grids run through the built shared library, single worker, against
// the model, bit for bit.
#include <gtest/gtest.h>

#include <bit>
#include <cstring>
#include <random>

#include "job/vertex_kernel.h"
#include "support/loaded_library.h"
#include "support/mesh_model.h"
#include "support/random_grid.h"
#include "support/static_host.h"
#include "support/test_grid.h"
#include "support/test_host.h"

namespace heightmesh::testing {
namespace {

TEST(JobDifferential, RandomGridsMatchTheModelBitForBit)
{
    LoadedLibrary library;
    TestHost::Reset();
    library.initialize(&TestHost::Resolve);
    library.setupExtra(&TestHost::FrameList);

    std::mt19937 random(20261208);
    for (int round = 0; round < 300; ++round) {
        const int width = 1 + int(random() % 64);
        const int height = 1 + int(random() % 64);
        TestGrid grid = RandomGrid(random, width, height);
        SCOPED_TRACE(::testing::Message() << "round " << round << ": " << width << " x " << height);

        // One worker, handed the whole index space in random batches.
        ScriptedRanges ranges;
        const int32_t count = width * height;
        for (int32_t begin = 0; begin < count;) {
            const int32_t end = std::min<int32_t>(count, begin + 1 + int32_t(random() % 97));
            ranges.ranges.emplace_back(begin, end);
            begin = end;
        }
        HeightmeshHeightfieldMeshJob job = grid.Job();
        library.jobEntry(&job, nullptr, nullptr, ranges.Address(), 0);

        const ModelMesh model = BuildModelMesh(grid.heights, grid.mask, width, height, grid.scale);
        ASSERT_TRUE(SameBytes(grid.vertices, model.vertices));
        ASSERT_TRUE(SameBytes(grid.uvs, model.uvs));
        ASSERT_TRUE(SameBytes(grid.normals, model.normals));
        ASSERT_TRUE(SameBytes(grid.triangles, model.triangles));
    }
    EXPECT_TRUE(TestHost::aborts.empty());
    EXPECT_EQ(TestHost::frameHead, nullptr);
}

// The shared library takes a batch row by row and skips range comparisons for
// stretches it has found allowed as a whole. Whatever the views allow, that
// must be indistinguishable from checking every access of every index in
// order: the same first failure, the same outputs written before it, the same
// host check calls.
TEST(JobDifferential, BatchesBehaveLikeIndexByIndexUnderNarrowedViews)
{
    LoadedLibrary library;
    std::mt19937 random(777);
    int failures = 0;
    for (int round = 0; round < 2000; ++round) {
        const int width = 1 + int(random() % 12);
        const int height = 1 + int(random() % 12);
        TestGrid reference = RandomGrid(random, width, height);
        TestGrid batched = reference;
        HeightmeshHeightfieldMeshJob job = reference.Job();

        // Narrow one or two views at random: a shorter buffer, or an allowed
        // range inside it (possibly empty); sometimes a stale version.
        for (int narrowed = 0; narrowed < 1 + int(random() % 2); ++narrowed)
            NarrowRandomView(job, random, 8u);
        // Sometimes a record whose grid does not match its buffers.
        if (random() % 4 == 0) {
            job.width = int32_t(random() % (width + 3)) - 1;
            job.height = int32_t(random() % (height + 3)) - 1;
        }
        HeightmeshHeightfieldMeshJob batchedJob = job;
        auto rebase = [&](HeightmeshBufferView& view, void* data, uint32_t* version) {
            view.data = data;
            view.safety.versionCell = version;
        };
        std::copy(std::begin(reference.versions), std::end(reference.versions), std::begin(batched.versions));
        rebase(batchedJob.heights, batched.heights.data(), &batched.versions[0]);
        rebase(batchedJob.cellMask, batched.mask.data(), &batched.versions[1]);
        rebase(batchedJob.vertices, batched.vertices.data(), &batched.versions[2]);
        rebase(batchedJob.uvs, batched.uvs.data(), &batched.versions[3]);
        rebase(batchedJob.normals, batched.normals.data(), &batched.versions[4]);
        rebase(batchedJob.triangles, batched.triangles.data(), &batched.versions[5]);
        SCOPED_TRACE(::testing::Message() << "round " << round << ": " << width << " x " << height);

        // Index by index, through the library's per-index kernel.
        UseTestHost();
        AbortRecord expected;
        try {
            for (int32_t i = 0; i < width * height; ++i)
                ExecuteVertex(&job, i);
        } catch (const TestAbort& failure) {
            expected = failure.record;
            ++failures;
        }
        const int expectedReads = TestHost::readChecks, expectedWrites = TestHost::writeChecks;

        // In random batches, through the shared library's job entry.
        TestHost::Reset();
        library.initialize(&TestHost::Resolve);
        library.setupExtra(&TestHost::FrameList);
        ScriptedRanges ranges;
        for (int32_t begin = 0; begin < width * height;) {
            const int32_t end = std::min<int32_t>(width * height, begin + 1 + int32_t(random() % 30));
            ranges.ranges.emplace_back(begin, end);
            begin = end;
        }
        AbortRecord actual;
        try {
            library.jobEntry(&batchedJob, nullptr, nullptr, ranges.Address(), 0);
        } catch (const TestAbort& failure) {
            actual = failure.record;
        }
        EXPECT_EQ(actual, expected);
        EXPECT_EQ(TestHost::readChecks, expectedReads);
        EXPECT_EQ(TestHost::writeChecks, expectedWrites);
        ASSERT_TRUE(SameBytes(batched.vertices, reference.vertices));
        ASSERT_TRUE(SameBytes(batched.uvs, reference.uvs));
        ASSERT_TRUE(SameBytes(batched.normals, reference.normals));
        ASSERT_TRUE(SameBytes(batched.triangles, reference.triangles));
        EXPECT_EQ(TestHost::frameHead, nullptr);
    }
    EXPECT_GT(failures, 500);  // most rounds do reach a narrowed access
}

}  // namespace
}  // namespace heightmesh::testing
