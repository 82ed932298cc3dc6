// The packed road of the vertex kernel, through the static library (so it
// runs under the sanitizers): a group's bits equal the scalar kernel's, a
// group in doubt stores nothing, and every road taken batch by batch is
// indistinguishable from index-by-index execution: the same outputs, the
// same host check calls in the same order, the same first failure.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <random>
#include <thread>
#include <tuple>

#include "job/vertex_kernel.h"
#include "support/mesh_model.h"
#include "support/random_grid.h"
#include "support/static_host.h"
#include "support/test_grid.h"

namespace heightmesh::testing {
namespace {

// Runs one group of kLanes vertices of the packed road at vertex i (column
// x, row z); the eight-lane group on the AVX2 road's own instruction set.
template <int kLanes>
bool RunGroup(const HeightfieldMeshJob& job, int32_t i, int32_t x, int32_t z);

template <>
bool RunGroup<4>(const HeightfieldMeshJob& job, int32_t i, int32_t x, int32_t z)
{
    LaneStretch<4> lanes;
    PrepareLaneStretch(lanes, job, z);
    return z < job.height - 1 ? ExecuteVertexLanes<4, true>(job, lanes, i, x)
                              : ExecuteVertexLanes<4, false>(job, lanes, i, x);
}

template <>
[[gnu::noinline, gnu::target("avx2")]] bool RunGroup<8>(const HeightfieldMeshJob& job, int32_t i, int32_t x, int32_t z)
{
    LaneStretch<8> lanes;
    PrepareLaneStretch(lanes, job, z);
    return z < job.height - 1 ? ExecuteVertexLanes<8, true>(job, lanes, i, x)
                              : ExecuteVertexLanes<8, false>(job, lanes, i, x);
}

// The roads this processor can take; AVX2 only where it is supported.
bool RoadAvailable(Road road) { return road != Road::kAvx2 || ProcessorHasAvx2(); }

template <int kLanes>
void EveryGroupMatchesTheModel(uint32_t seed)
{
    UseTestHost();
    std::mt19937 random(seed);
    for (int round = 0; round < 200; ++round) {
        const int width = kLanes + 2 + int(random() % 20);
        const int height = 1 + int(random() % 6);
        TestGrid grid = RandomGrid(random, width, height);
        SCOPED_TRACE(::testing::Message() << "round " << round << ": " << width << " x " << height);
        const ModelMesh model = BuildModelMesh(grid.heights, grid.mask, width, height, grid.scale);
        for (int32_t z = 0; z < height; ++z) {
            TestGrid fresh = grid;  // every group on fresh sentinels
            HeightfieldMeshJob freshJob = fresh.Job();
            const int32_t x =
                1 + int32_t(random() % uint32_t(width - kLanes - 1));  // columns x ... x + kLanes - 1 are interior
            const int32_t i = x + z * width;
            ASSERT_TRUE(RunGroup<kLanes>(freshJob, i, x, z));
            for (int32_t k = i; k < i + kLanes; ++k) {
                EXPECT_SAME_BITS(fresh.vertices[k], model.vertices[k]);
                EXPECT_SAME_BITS(fresh.uvs[k], model.uvs[k]);
                EXPECT_SAME_BITS(fresh.normals[k], model.normals[k]);
            }
            // Exactly the group's own elements are written.
            for (std::size_t k = 0; k < fresh.normals.size(); ++k) {
                if (int32_t(k) < i || int32_t(k) >= i + kLanes) {
                    EXPECT_EQ(Bits(fresh.normals[k].x), kSentinelBits) << k;
                }
            }
            const int32_t firstEntry = 6 * (x + z * (width - 1));
            for (int32_t e = 0; e < int32_t(fresh.triangles.size()); ++e) {
                const bool own = z < height - 1 && e >= firstEntry && e < firstEntry + 6 * kLanes;
                EXPECT_EQ(fresh.triangles[e], own ? model.triangles[e] : kSentinelIndex) << e;
            }
        }
    }
    EXPECT_EQ(TestHost::readChecks + TestHost::writeChecks, 0);
}

TEST(JobLanes, EveryFourLaneGroupMatchesTheModelBitForBit) { EveryGroupMatchesTheModel<4>(4242); }

TEST(JobLanes, EveryEightLaneGroupMatchesTheModelBitForBit)
{
    if (!ProcessorHasAvx2())
        GTEST_SKIP() << "no AVX2 on this processor";
    EveryGroupMatchesTheModel<8>(4343);
}

// A view whose version word does not match makes the group store nothing and
// ask the host nothing: the exact road is left to do both. A word that
// differs only in the bits its mask ignores passes.
TEST(JobLanes, AGroupInDoubtStoresNothing)
{
    struct Case {
        int view;       // index into TestGrid::versions
        uint32_t word;  // the version word the view meets
        bool passes;
    };
    const Case cases[] = {
        {0, 8, false}, {1, 8, false}, {2, 8, false}, {3, 8, false}, {4, 8, false}, {5, 8, false}, {0, 2, true},
        {0, 4, true},  {0, 1, false}, {1, 6, true},  {2, 1, true},  {5, 4, true},  {2, 2, false}, {5, 2, false},
    };
    for (const Case& c : cases) {
        for (int lanes : {4, 8}) {
            if (lanes == 8 && !ProcessorHasAvx2())
                continue;
            SCOPED_TRACE(::testing::Message() << lanes << " lanes, view " << c.view << ", word " << c.word);
            UseTestHost();
            TestGrid grid(12, 3);
            HeightfieldMeshJob job = grid.Job();
            grid.versions[c.view] = c.word;
            const int32_t i = 12 + 2;  // column 2 of row 1: cell 13
            EXPECT_EQ(lanes == 4 ? RunGroup<4>(job, i, 2, 1) : RunGroup<8>(job, i, 2, 1), c.passes);
            EXPECT_EQ(TestHost::readChecks + TestHost::writeChecks, 0);
            for (int k = 0; k < lanes; ++k) {
                EXPECT_EQ(Bits(grid.vertices[i + k].x) != kSentinelBits, c.passes) << k;
                EXPECT_EQ(Bits(grid.uvs[i + k].x) != kSentinelBits, c.passes) << k;
                EXPECT_EQ(Bits(grid.normals[i + k].x) != kSentinelBits, c.passes) << k;
                EXPECT_EQ(grid.triangles[6 * (13 + k)] != kSentinelIndex, c.passes) << k;
            }
            EXPECT_EQ(Bits(grid.vertices[i + lanes].x), kSentinelBits);
            EXPECT_EQ(grid.triangles[6 * (13 + lanes)], kSentinelIndex);
        }
    }
}

// What the host sees of a run: every safety check call in order (which
// check, which view), and the failure that ended it.
struct HostLog {
    static inline std::vector<std::pair<char, uint32_t>> calls;
    static inline int raiseAt = -1;                // the call that raises, -1 for none
    static inline int healAt = -1;                 // the call after which its view's word is made fresh again
    static inline uint32_t* words = nullptr;       // the grid's version words, by safety id - 1
    static inline uint32_t* staleLater = nullptr;  // a word made stale at call staleAt
    static inline int staleAt = -1;

    static void Record(char kind, HeightmeshAtomicSafetyHandle* handle)
    {
        calls.emplace_back(kind, handle->safetyId);
        const int n = int(calls.size()) - 1;
        if (n == healAt)
            words[handle->safetyId - 1] = handle->version;
        if (n == staleAt && staleLater != nullptr)
            *staleLater = 8;
        if (n == raiseAt)
            throw TestAbort{{"Host.SafetyError", "call " + std::to_string(n)}};
    }
    static void CheckRead(HeightmeshAtomicSafetyHandle* handle) { Record('r', handle); }
    static void CheckWrite(HeightmeshAtomicSafetyHandle* handle) { Record('w', handle); }
};

struct Observed {
    AbortRecord failure;
    std::vector<std::pair<char, uint32_t>> calls;
};

template <typename Run>
Observed Observe(TestGrid& grid, int raiseAt, int healAt, int staleView, int staleAt, Run run)
{
    UseTestHost();
    HostFunctions().checkReadAndThrowNoEarlyOut = &HostLog::CheckRead;
    HostFunctions().checkWriteAndThrowNoEarlyOut = &HostLog::CheckWrite;
    HostLog::calls.clear();
    HostLog::raiseAt = raiseAt;
    HostLog::healAt = healAt;
    HostLog::words = grid.versions;
    HostLog::staleLater = staleView >= 0 ? &grid.versions[staleView] : nullptr;
    HostLog::staleAt = staleAt;
    Observed observed;
    try {
        run();
    } catch (const TestAbort& failure) {
        observed.failure = failure.record;
    }
    observed.calls = HostLog::calls;
    return observed;
}

template <Road kRoad>
void BatchesBehaveLikeIndexByIndex(uint32_t seed)
{
    std::mt19937 random(seed);
    int failures = 0, checked = 0;
    for (int round = 0; round < 1500; ++round) {
        const int width = 1 + int(random() % 28);
        const int height = 1 + int(random() % 8);
        TestGrid reference = RandomGrid(random, width, height);
        HeightmeshHeightfieldMeshJob job = reference.Job();

        // Narrow up to two views (a shorter buffer, or an allowed range
        // inside it that may end inside a group), or make one stale.
        const int narrowings = int(random() % 3);
        for (int n = 0; n < narrowings; ++n) {
            NarrowRandomView(job, random, 8u << (random() % 2));
        }
        // Host checks that raise at some call, that make a word fresh again,
        // or that make another view stale from some call on.
        const int raiseAt = random() % 3 == 0 ? int(random() % 40) : -1;
        const int healAt = random() % 2 == 0 ? int(random() % 30) : -1;
        const int staleView = random() % 3 == 0 ? int(random() % 6) : -1;
        const int staleAt = int(random() % 20);
        if (staleView >= 0 && random() % 2 == 0)
            reference.versions[random() % 6] = 8;  // so that some call is made at all

        TestGrid batched = reference;
        HeightmeshHeightfieldMeshJob batchedJob = job;
        auto rebase = [](HeightmeshBufferView& view, void* data, uint32_t* version) {
            view.data = data;
            view.safety.versionCell = version;
        };
        rebase(batchedJob.heights, batched.heights.data(), &batched.versions[0]);
        rebase(batchedJob.cellMask, batched.mask.data(), &batched.versions[1]);
        rebase(batchedJob.vertices, batched.vertices.data(), &batched.versions[2]);
        rebase(batchedJob.uvs, batched.uvs.data(), &batched.versions[3]);
        rebase(batchedJob.normals, batched.normals.data(), &batched.versions[4]);
        rebase(batchedJob.triangles, batched.triangles.data(), &batched.versions[5]);
        SCOPED_TRACE(::testing::Message() << "round " << round << ": " << width << " x " << height);

        const int32_t count = width * height;
        const Observed expected = Observe(reference, raiseAt, healAt, staleView, staleAt, [&] {
            for (int32_t i = 0; i < count; ++i)
                ExecuteVertex(&job, i);
        });
        std::vector<std::pair<int32_t, int32_t>> ranges;
        for (int32_t begin = 0; begin < count;) {
            const int32_t end = std::min<int32_t>(count, begin + 1 + int32_t(random() % 50));
            ranges.emplace_back(begin, end);
            begin = end;
        }
        const Observed actual = Observe(batched, raiseAt, healAt, staleView, staleAt, [&] {
            for (auto [begin, end] : ranges)
                ExecuteVertexBatchOn<kRoad>(&batchedJob, begin, end);
        });
        failures += !expected.failure.typeName.empty();
        checked += !expected.calls.empty();
        ASSERT_EQ(actual.failure, expected.failure);
        ASSERT_EQ(actual.calls, expected.calls);
        ASSERT_TRUE(SameBytes(batched.vertices, reference.vertices));
        ASSERT_TRUE(SameBytes(batched.uvs, reference.uvs));
        ASSERT_TRUE(SameBytes(batched.normals, reference.normals));
        ASSERT_TRUE(SameBytes(batched.triangles, reference.triangles));
    }
    EXPECT_GT(failures, 300);
    EXPECT_GT(checked, 300);
}

TEST(JobLanes, ScalarRoadBatchesBehaveLikeIndexByIndex) { BatchesBehaveLikeIndexByIndex<Road::kScalar>(11); }
TEST(JobLanes, Sse2RoadBatchesBehaveLikeIndexByIndex) { BatchesBehaveLikeIndexByIndex<Road::kSse2>(12); }
TEST(JobLanes, Avx2RoadBatchesBehaveLikeIndexByIndex)
{
    if (!RoadAvailable(Road::kAvx2))
        GTEST_SKIP() << "no AVX2 on this processor";
    BatchesBehaveLikeIndexByIndex<Road::kAvx2>(13);
}

// A version word changing under the run in bits the reads ignore: the packed
// road meets words it did not expect and leaves those groups to the exact
// road, which finds nothing wrong. No host call, and the model's bits.
TEST(JobLanes, AWordChangingInIgnoredBitsIsDoubtNotFailure)
{
    UseTestHost();
    std::mt19937 random(99);
    TestGrid grid = RandomGrid(random, 64, 64);
    HeightfieldMeshJob job = grid.Job();
    std::atomic<bool> stop{false};
    std::atomic_ref<uint32_t> word(grid.versions[0]);
    std::thread toggler([&] {
        while (!stop.load(std::memory_order_relaxed))
            word.fetch_xor(2, std::memory_order_relaxed);
    });
    for (int repeat = 0; repeat < 20; ++repeat) {
        ExecuteVertexBatchOn<Road::kSse2>(&job, 0, 64 * 64);
        if (RoadAvailable(Road::kAvx2))
            ExecuteVertexBatchOn<Road::kAvx2>(&job, 0, 64 * 64);
    }
    stop = true;
    toggler.join();
    EXPECT_EQ(TestHost::readChecks + TestHost::writeChecks, 0);
    const ModelMesh model = BuildModelMesh(grid.heights, grid.mask, 64, 64, grid.scale);
    EXPECT_TRUE(SameBytes(grid.vertices, model.vertices));
    EXPECT_TRUE(SameBytes(grid.normals, model.normals));
    EXPECT_TRUE(SameBytes(grid.triangles, model.triangles));
}

}  // namespace
}  // namespace heightmesh::testing
