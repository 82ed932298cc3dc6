// The vertex kernel: outputs per index, the order of its failures and what is
// written before them, and the arithmetic failures of degenerate records.
#include <gtest/gtest.h>

#include <sys/mman.h>

#include <climits>
#include <cstdint>
#include <vector>

#include "job/vertex_kernel.h"
#include "support/static_host.h"
#include "support/test_grid.h"

namespace heightmesh::testing {
namespace {

class VertexKernel : public ::testing::Test {
protected:
    void SetUp() override { UseTestHost(); }
};

std::vector<int32_t> Entries(const TestGrid& grid, int first, int count)
{
    return std::vector<int32_t>(grid.triangles.begin() + first, grid.triangles.begin() + first + count);
}

const std::vector<int32_t> kUnwritten(6, kSentinelIndex);
const std::vector<int32_t> kMasked(6, 0);

TEST_F(VertexKernel, WritesPositionUvNormalAndTheCellsTriangles)
{
    TestGrid grid(3, 3);
    HeightfieldMeshJob job = grid.Job();
    for (int32_t i : {4, 2, 6, 8})
        ExecuteVertex(&job, i);

    EXPECT_SAME_BITS(grid.vertices[4], (Float3{1, 0, 1}));
    EXPECT_SAME_BITS(grid.uvs[4], (Float2{1.0f / 3.0f, 1.0f / 3.0f}));
    EXPECT_SAME_BITS(grid.normals[4], (Float3{-0.0f, 1.0f, -0.0f}));
    EXPECT_EQ(Entries(grid, 18, 6), (std::vector<int32_t>{4, 8, 5, 4, 7, 8}));
    EXPECT_SAME_BITS(grid.vertices[8], (Float3{2, 0, 2}));
    EXPECT_SAME_BITS(grid.uvs[8], (Float2{2.0f / 3.0f, 2.0f / 3.0f}));
    // Index 2 is on the last column, 6 on the last row, 8 on both: no cells.
    for (int cell : {0, 1, 2})
        EXPECT_EQ(Entries(grid, 6 * cell, 6), kUnwritten) << cell;
}

TEST_F(VertexKernel, MaskBitZeroDecides)
{
    for (uint8_t mask : {0, 2, 254, 1, 3, 255}) {
        TestGrid grid(3, 3);
        grid.mask[3] = mask;
        HeightfieldMeshJob job = grid.Job();
        ExecuteVertex(&job, 4);
        const std::vector<int32_t> expected = (mask & 1) ? std::vector<int32_t>{4, 8, 5, 4, 7, 8} : kMasked;
        EXPECT_EQ(Entries(grid, 18, 6), expected) << int(mask);
    }
}

TEST_F(VertexKernel, WideGridAndScale)
{
    TestGrid wide(4, 2, {0, 0, 0, 0, 0, 7, 0, 0});
    HeightfieldMeshJob job = wide.Job();
    ExecuteVertex(&job, 5);
    ExecuteVertex(&job, 2);
    EXPECT_SAME_BITS(wide.vertices[5], (Float3{1, 7, 1}));
    EXPECT_SAME_BITS(wide.uvs[5], (Float2{0.25f, 0.5f}));
    EXPECT_EQ(Entries(wide, 12, 6), (std::vector<int32_t>{2, 7, 3, 2, 6, 7}));

    TestGrid scaled(3, 3, {0, 0, 0, 0, 4, 0, 0, 0, 0});
    scaled.scale = {2, 0.5f, 3};
    job = scaled.Job();
    ExecuteVertex(&job, 4);
    EXPECT_SAME_BITS(scaled.vertices[4], (Float3{2, 2, 3}));
}

// Index 4 of a 3 x 3 grid is cell 3, entries 18 to 23. Each case narrows one
// view so that exactly one access of the kernel fails, and checks the message
// and which outputs of index 4 were already written.
TEST_F(VertexKernel, FailuresComeInAccessOrderAndKeepWhatWasWritten)
{
    enum Stage { kHeight, kVertex, kUv, kFilter, kNormal, kMask, kTriangles };
    struct Case {
        const char* name;
        Stage stage;
        int trianglesWritten;
        std::string message;
        void (*narrow)(HeightfieldMeshJob&);
    };
    const Case cases[] = {
        {"height", kHeight, 0, PlainMessage(4, 4),
         [](HeightfieldMeshJob& j) { j.heights.length = 4, j.heights.maxIndex = 3; }},
        {"vertex", kVertex, 0, PlainMessage(4, 4),
         [](HeightfieldMeshJob& j) { j.vertices.length = 4, j.vertices.maxIndex = 3; }},
        {"uv", kUv, 0, RestrictedMessage(4, 5, 8), [](HeightfieldMeshJob& j) { j.uvs.minIndex = 5; }},
        {"filter", kFilter, 0, RestrictedMessage(0, 4, 4),
         [](HeightfieldMeshJob& j) { j.heights.minIndex = j.heights.maxIndex = 4; }},
        {"normal", kNormal, 0, RestrictedMessage(4, 0, 3), [](HeightfieldMeshJob& j) { j.normals.maxIndex = 3; }},
        {"mask", kMask, 0, PlainMessage(3, 3),
         [](HeightfieldMeshJob& j) { j.cellMask.length = 3, j.cellMask.maxIndex = 2; }},
        {"first triangle entry", kTriangles, 0, RestrictedMessage(18, 19, 23),
         [](HeightfieldMeshJob& j) { j.triangles.minIndex = 19; }},
        {"fourth triangle entry", kTriangles, 3, PlainMessage(21, 21),
         [](HeightfieldMeshJob& j) { j.triangles.length = 21, j.triangles.maxIndex = 20; }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        UseTestHost();
        TestGrid grid(3, 3);
        HeightfieldMeshJob job = grid.Job();
        c.narrow(job);
        const AbortRecord failure = ExpectAbort([&] { ExecuteVertex(&job, 4); });
        EXPECT_EQ(failure, (AbortRecord{"System.IndexOutOfRangeException", c.message}));

        const float s = SentinelFloat();
        const Float3 vertex = c.stage > kVertex ? Float3{1, 0, 1} : Float3{s, s, s};
        const Float2 uv = c.stage > kUv ? Float2{1.0f / 3.0f, 1.0f / 3.0f} : Float2{s, s};
        const Float3 normal = c.stage > kNormal ? Float3{-0.0f, 1.0f, -0.0f} : Float3{s, s, s};
        EXPECT_SAME_BITS(grid.vertices[4], vertex);
        EXPECT_SAME_BITS(grid.uvs[4], uv);
        EXPECT_SAME_BITS(grid.normals[4], normal);
        const std::vector<int32_t> all = {4, 8, 5, 4, 7, 8};
        for (int k = 0; k < 6; ++k)
            EXPECT_EQ(grid.triangles[18 + k], k < c.trianglesWritten ? all[k] : kSentinelIndex) << k;
    }
}

TEST_F(VertexKernel, StaleHeightsVersionAsksTheHostThirteenTimesAndGoesAhead)
{
    TestGrid fresh(3, 3, {0, 1, 2, 0, 1, 2, 0, 1, 2});
    HeightfieldMeshJob freshJob = fresh.Job();
    ExecuteVertex(&freshJob, 4);

    TestGrid stale(3, 3, {0, 1, 2, 0, 1, 2, 0, 1, 2});
    HeightfieldMeshJob staleJob = stale.Job();
    stale.versions[0] = 8;
    ExecuteVertex(&staleJob, 4);
    EXPECT_EQ(TestHost::readChecks, 13);
    EXPECT_EQ(TestHost::writeChecks, 0);
    EXPECT_SAME_BITS(stale.vertices[4], fresh.vertices[4]);
    EXPECT_SAME_BITS(stale.normals[4], fresh.normals[4]);
    EXPECT_EQ(Entries(stale, 18, 6), Entries(fresh, 18, 6));

    UseTestHost();
    stale.versions[5] = 8;  // the triangles buffer: one write check per entry
    ExecuteVertex(&staleJob, 4);
    EXPECT_EQ(TestHost::writeChecks, 6);
}

TEST_F(VertexKernel, ZeroWidthFailsBeforeAnyAccess)
{
    TestGrid grid(3, 3);
    HeightfieldMeshJob job = grid.Job();
    job.width = 0;
    grid.versions[0] = 8;  // any access would ask the host first
    const AbortRecord failure = ExpectAbort([&] { ExecuteVertex(&job, 4); });
    EXPECT_EQ(failure, (AbortRecord{"System.DivideByZeroException", "Attempted to divide by zero."}));
    EXPECT_EQ(TestHost::readChecks, 0);
    const float s = SentinelFloat();
    EXPECT_SAME_BITS(grid.vertices[4], (Float3{s, s, s}));
}

TEST_F(VertexKernel, MostNegativeIndexOverMinusOneWidthIsAnOverflow)
{
    TestGrid grid(3, 3);
    HeightfieldMeshJob job = grid.Job();
    job.width = -1;
    const AbortRecord failure = ExpectAbort([&] { ExecuteVertex(&job, INT32_MIN); });
    EXPECT_EQ(failure, (AbortRecord{"System.OverflowException", "Arithmetic operation resulted in an overflow."}));
}

// A view whose allowed range [first, first + count) is backed by `elements`,
// however large the indices: the element address is data + index * size.
template <typename T>
BufferView WindowView(T* elements, int32_t first, int32_t count, uint32_t* version)
{
    BufferView view = FullView(elements, INT32_MAX, version, 9);
    view.data = reinterpret_cast<void*>(reinterpret_cast<uintptr_t>(elements) -
                                        static_cast<uintptr_t>(int64_t(first) * int64_t(sizeof(T))));
    view.minIndex = first;
    view.maxIndex = first + count - 1;
    return view;
}

// Heights addressed anywhere in the 32-bit index range: a reservation of
// 2^32 floats around index 0 that only commits the pages touched.
struct HeightsEverywhere {
    void* base = nullptr;
    static constexpr std::size_t kBytes = std::size_t(1) << 34;
    HeightsEverywhere()
    {
        base = mmap(nullptr, kBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    }
    ~HeightsEverywhere()
    {
        if (base != MAP_FAILED)
            munmap(base, kBytes);
    }
    BufferView View(uint32_t* version) const
    {
        BufferView view = FullView(nullptr, INT32_MAX, version, 1);
        view.data = static_cast<uint8_t*>(base) + kBytes / 2;
        view.minIndex = INT32_MIN;
        view.maxIndex = INT32_MAX;
        return view;
    }
};

// Vertex 1431655766 of a 2-column grid is the corner of cell 715827883,
// whose entries 6c ... 6c + 5 lie beyond 32 bits and wrap onto 2 ... 7. The
// triangles view allows exactly those wrapped entries, and still nothing may
// be written there.
TEST_F(VertexKernel, TriangleEntriesBeyondThirtyTwoBitsAreRefused)
{
    HeightsEverywhere heights;
    ASSERT_NE(heights.base, MAP_FAILED);
    uint32_t version = 0;
    const int32_t i = 1431655766;
    Float3 vertex{}, normal{};
    Float2 uv{};
    uint8_t mask = 1;
    int32_t entries[6] = {-1, -1, -1, -1, -1, -1};

    HeightfieldMeshJob job{};
    job.width = 2;
    job.height = INT32_MAX;
    job.scale = {1, 1, 1};
    job.heights = heights.View(&version);
    job.vertices = WindowView(&vertex, i, 1, &version);
    job.uvs = WindowView(&uv, i, 1, &version);
    job.normals = WindowView(&normal, i, 1, &version);
    job.cellMask = WindowView(&mask, 715827883, 1, &version);
    job.triangles = WindowView(entries, 2, 6, &version);

    const AbortRecord failure = ExpectAbort([&] { ExecuteVertex(&job, i); });
    EXPECT_EQ(failure.typeName, "System.IndexOutOfRangeException");
    EXPECT_EQ(failure.message, RestrictedMessage(2, 2, 7));
    for (int32_t entry : entries)
        EXPECT_EQ(entry, -1);
    EXPECT_SAME_BITS(vertex, (Float3{0.0f, 0.0f, 715827883.0f}));
}

// With a width near the top of the index range the corner values wrap as the
// host's 32-bit arithmetic does; the entries themselves are small.
TEST_F(VertexKernel, TriangleValuesWrapLikeTheHost)
{
    HeightsEverywhere heights;
    ASSERT_NE(heights.base, MAP_FAILED);
    uint32_t version = 0;
    const int32_t width = INT32_MAX - 9;
    const int32_t i = 100;
    Float3 vertex{}, normal{};
    Float2 uv{};
    uint8_t mask = 1;
    int32_t entries[6] = {};

    HeightfieldMeshJob job{};
    job.width = width;
    job.height = 2;
    job.scale = {1, 1, 1};
    job.heights = heights.View(&version);
    job.vertices = WindowView(&vertex, i, 1, &version);
    job.uvs = WindowView(&uv, i, 1, &version);
    job.normals = WindowView(&normal, i, 1, &version);
    job.cellMask = WindowView(&mask, i, 1, &version);
    job.triangles = WindowView(entries, 6 * i, 6, &version);

    ExecuteVertex(&job, i);
    const int32_t up = static_cast<int32_t>(uint32_t(i) + uint32_t(width));
    EXPECT_LT(up, 0);
    EXPECT_EQ(std::vector<int32_t>(entries, entries + 6), (std::vector<int32_t>{i, up + 1, i + 1, i, up, up + 1}));
}

}  // namespace
}  // namespace heightmesh::testing
