// The typed heightfield mesh run: input checks, how the record is filled,
// and the real library through it.
#include <gtest/gtest.h>

#include <bit>
#include <cstring>
#include <random>

#include "fake_job/fake_run.h"
#include "jobhost/jobhost.h"

namespace jobhost {
namespace {

using testing::ExpectJobError;

uint32_t Bits(float value) { return std::bit_cast<uint32_t>(value); }

struct Grid {
    int32_t width;
    int32_t height;
    std::vector<float> heights;
    std::vector<uint8_t> mask;

    HeightfieldMeshInput Input(HeightmeshFloat3 scale = {1.0f, 1.0f, 1.0f}) const
    {
        return {heights, mask, width, height, scale};
    }
};

Grid RandomGrid(std::mt19937& random, int32_t width, int32_t height)
{
    Grid grid{width, height, {}, {}};
    std::uniform_real_distribution<float> value(-100.0f, 100.0f);
    for (int32_t i = 0; i < width * height; ++i)
        grid.heights.push_back(value(random));
    for (int32_t c = 0; c < (width - 1) * (height - 1); ++c)
        grid.mask.push_back(static_cast<uint8_t>(random()));
    return grid;
}

// The fake mesh job writes back what it found in the record (see
// fake_job.h): the grid, the scale, the input elements, and the ranges of
// the views it was given.
TEST(JobhostMesh, RecordIsFilledFromTheInput)
{
    auto library = JobLibrary::Open(FAKE_MESH_JOB_PATH);
    JobSystem jobs(3);
    std::mt19937 random(3);
    const Grid grid = RandomGrid(random, 5, 4);
    RunOptions options;
    options.batchSize = 3;
    const HeightfieldMesh mesh = RunHeightfieldMesh(jobs, *library, grid.Input({2.0f, 3.0f, 4.0f}), options);

    const int32_t points = 20;
    const int32_t cells = 12;
    ASSERT_EQ(mesh.vertices.size(), 20u);
    ASSERT_EQ(mesh.uvs.size(), 20u);
    ASSERT_EQ(mesh.normals.size(), 20u);
    ASSERT_EQ(mesh.triangles.size(), 72u);
    for (int32_t i = 0; i < points; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(Bits(mesh.vertices[i].x), Bits(grid.heights[i]));
        EXPECT_EQ(Bits(mesh.vertices[i].y), Bits(grid.heights[(i + 1) % points]));  // heights whole
        EXPECT_EQ(mesh.vertices[i].z, 2.0f);
        EXPECT_EQ(mesh.uvs[i].x, 3.0f);
        EXPECT_EQ(mesh.uvs[i].y, 4.0f);
        // vertices narrowed to a batch of at most 3 holding i
        EXPECT_LE(mesh.normals[i].x, static_cast<float>(i));
        EXPECT_GE(mesh.normals[i].y, static_cast<float>(i));
        EXPECT_LE(mesh.normals[i].y - mesh.normals[i].x, 2.0f);
        EXPECT_EQ(mesh.normals[i].z, static_cast<float>(points - 1));
    }
    for (int32_t c = 0; c < cells; ++c) {
        const int32_t corner = c % 4 + c / 4 * 5;
        const std::vector<int32_t> expected = {corner, 5, 4, grid.mask[c], 6 * cells - 1, cells - 1};
        EXPECT_EQ(std::vector<int32_t>(mesh.triangles.begin() + 6 * c, mesh.triangles.begin() + 6 * c + 6), expected)
            << "cell " << c;
    }
}

TEST(JobhostMesh, BadInputIsRefused)
{
    auto library = JobLibrary::Open(FAKE_MESH_JOB_PATH);
    JobSystem jobs(1);
    const std::vector<float> heights(12);
    const std::vector<uint8_t> mask(6);
    struct Case {
        HeightfieldMeshInput input;
        const char* message;
    };
    const Case cases[] = {
        {{heights, mask, 0, 3}, "a heightfield grid needs at least 1 x 1 points, not 0 x 3"},
        {{heights, mask, 4, -1}, "a heightfield grid needs at least 1 x 1 points, not 4 x -1"},
        {{std::span(heights).first(11), mask, 4, 3}, "heights holds 11 values; a 4 x 3 grid needs 12"},
        {{heights, std::span(mask).first(5), 4, 3}, "the cell mask holds 5 bytes; a 4 x 3 grid has 6 cells"},
        {{std::span(heights).first(2), mask, 2, 1}, "the cell mask holds 6 bytes; a 2 x 1 grid has 0 cells"},
        {{heights, mask, 65536, 32768},
         "a 65536 x 32768 grid has 2147483648 points; vertex indices must fit 32 bits (at most 2147483647)"},
        {{heights, mask, 20000, 20000},
         "a 20000 x 20000 grid has 399960001 cells, 2399760006 triangle indices; their count must fit 32 bits "
         "(at most 2147483647)"},
    };
    for (const Case& c : cases) {
        try {
            RunHeightfieldMesh(jobs, *library, c.input);
            ADD_FAILURE() << "accepted: " << c.message;
        } catch (const std::invalid_argument& error) {
            EXPECT_STREQ(error.what(), c.message);
        }
    }
}

// The real job through the runtime: values of a small grid, and several
// workers with random batch sizes give exactly the single-worker bits.
TEST(JobhostMesh, RealLibraryRunsThroughTheRuntime)
{
    auto library = JobLibrary::Open(HEIGHTMESH_LIBRARY_PATH);
    JobSystem one(1);
    JobSystem several(4);

    const Grid flat{3, 3, std::vector<float>(9, 0.0f), std::vector<uint8_t>(4, 1)};
    RunOptions single;
    single.batchSize = 1;
    const HeightfieldMesh mesh = RunHeightfieldMesh(several, *library, flat.Input(), single);
    EXPECT_EQ(mesh.vertices[4].x, 1.0f);
    EXPECT_EQ(mesh.vertices[4].y, 0.0f);
    EXPECT_EQ(mesh.vertices[4].z, 1.0f);
    EXPECT_EQ(Bits(mesh.uvs[4].x), Bits(1.0f / 3.0f));
    EXPECT_EQ(Bits(mesh.normals[4].x), Bits(-0.0f));
    EXPECT_EQ(Bits(mesh.normals[4].y), Bits(1.0f));
    EXPECT_EQ(std::vector<int32_t>(mesh.triangles.begin() + 18, mesh.triangles.end()),
              (std::vector<int32_t>{4, 8, 5, 4, 7, 8}));

    std::mt19937 random(11);
    for (int repeat = 0; repeat < 8; ++repeat) {
        const int32_t width = std::uniform_int_distribution<int32_t>(1, 40)(random);
        const int32_t height = std::uniform_int_distribution<int32_t>(1, 40)(random);
        const Grid grid = RandomGrid(random, width, height);
        const HeightmeshFloat3 scale{0.5f, 3.0f, 1.25f};
        const HeightfieldMesh expected = RunHeightfieldMesh(one, *library, grid.Input(scale));
        RunOptions options;
        options.batchSize = std::uniform_int_distribution<int32_t>(0, 50)(random);
        const HeightfieldMesh actual = RunHeightfieldMesh(several, *library, grid.Input(scale), options);
        ASSERT_EQ(actual.vertices.size(), expected.vertices.size());
        for (std::size_t i = 0; i < expected.vertices.size(); ++i) {
            ASSERT_EQ(Bits(actual.vertices[i].y), Bits(expected.vertices[i].y)) << i;
            ASSERT_EQ(Bits(actual.normals[i].x), Bits(expected.normals[i].x)) << i;
            ASSERT_EQ(Bits(actual.normals[i].y), Bits(expected.normals[i].y)) << i;
            ASSERT_EQ(Bits(actual.normals[i].z), Bits(expected.normals[i].z)) << i;
            ASSERT_EQ(Bits(actual.uvs[i].x), Bits(expected.uvs[i].x)) << i;
        }
        ASSERT_EQ(actual.triangles, expected.triangles);
    }
}

// A restricted view shorter than the grid: the runtime never narrows it past
// its length, so the real job reports the plain out-of-range failure at the
// first missing vertex and keeps what it wrote before.
TEST(JobhostMesh, RealLibraryReportsAShortRestrictedView)
{
    auto library = JobLibrary::Open(HEIGHTMESH_LIBRARY_PATH);
    JobSystem jobs(1);
    Buffer<float> heights(9, "heights");
    Buffer<uint8_t> mask(4, "cellMask");
    Buffer<HeightmeshFloat3> vertices(4, "vertices");
    Buffer<HeightmeshFloat2> uvs(9, "uvs");
    Buffer<HeightmeshFloat3> normals(9, "normals");
    Buffer<int32_t> triangles(24, "triangles");
    HeightmeshHeightfieldMeshJob job{};
    job.heights = heights.View();
    job.cellMask = mask.View();
    job.width = 3;
    job.height = 3;
    job.scale = {1.0f, 1.0f, 1.0f};
    job.vertices = vertices.View();
    job.uvs = uvs.View();
    job.normals = normals.View();
    job.triangles = triangles.View();
    const std::size_t restricted[] = {offsetof(HeightmeshHeightfieldMeshJob, vertices),
                                      offsetof(HeightmeshHeightfieldMeshJob, uvs),
                                      offsetof(HeightmeshHeightfieldMeshJob, normals)};
    const std::size_t other[] = {offsetof(HeightmeshHeightfieldMeshJob, heights),
                                 offsetof(HeightmeshHeightfieldMeshJob, cellMask),
                                 offsetof(HeightmeshHeightfieldMeshJob, triangles)};
    RunOptions options;
    options.batchSize = 3;
    ExpectJobError([&] { jobs.Run(library->entry(), &job, sizeof job, restricted, other, 9, options); },
                   "System.IndexOutOfRangeException", "Index 4 is out of range of '4' Length.");
    EXPECT_EQ(vertices.span()[3].x, 0.0f);
    EXPECT_EQ(vertices.span()[3].z, 1.0f);
    EXPECT_EQ(uvs.span()[4].x, 0.0f) << "nothing written for index 4";
}

// Band buffers with guard elements on both sides, filled with a pattern no
// job output has, so that a write outside the band shows.
template <class T>
struct Guarded {
    static constexpr std::size_t kGuard = 8;
    explicit Guarded(std::size_t size) : storage(size + 2 * kGuard)
    {
        std::memset(storage.data(), 0xA5, storage.size() * sizeof(T));
        n = size;
    }
    std::span<T> band() { return std::span<T>(storage).subspan(kGuard, n); }
    bool GuardsIntact() const
    {
        const auto* bytes = reinterpret_cast<const unsigned char*>(storage.data());
        const std::size_t guardBytes = kGuard * sizeof(T), end = storage.size() * sizeof(T);
        for (std::size_t b = 0; b < end; ++b)
            if ((b < guardBytes || b >= end - guardBytes) && bytes[b] != 0xA5)
                return false;
        return true;
    }
    std::vector<T> storage;
    std::size_t n = 0;
};

template <class T, class Full>
bool SameSlice(std::span<const T> band, const Full& full, std::size_t offset)
{
    return band.empty() || std::memcmp(band.data(), full.data() + offset, band.size() * sizeof(T)) == 0;
}

// Band by band, the real job writes exactly the full run's values into the
// band buffers and nothing around them, for several ways of cutting the rows
// (one-row bands, the last row alone, random cuts), masked cells, grids of
// one column or one row, and bands that bring their cells' mask.
TEST(JobhostMesh, BandsHoldTheFullRunsValues)
{
    auto library = JobLibrary::Open(HEIGHTMESH_LIBRARY_PATH);
    JobSystem jobs(3);
    std::mt19937 random(29);
    const std::pair<int32_t, int32_t> sizes[] = {{9, 7}, {1, 6}, {6, 1}, {2, 2}, {33, 17}};
    for (const auto& [width, height] : sizes) {
        const Grid grid = RandomGrid(random, width, height);
        const HeightmeshFloat3 scale{0.75f, 2.5f, -1.5f};
        const HeightfieldMesh full = RunHeightfieldMesh(jobs, *library, grid.Input(scale));
        std::vector<std::vector<int32_t>> cuts;
        std::vector<int32_t> ones, lastAlone = {0, height - 1, height}, whole = {0, height}, randomCuts = {0};
        for (int32_t r = 0; r <= height; ++r)
            ones.push_back(r);
        while (randomCuts.back() < height)
            randomCuts.push_back(
                std::min(height, randomCuts.back() + std::uniform_int_distribution<int32_t>(1, 5)(random)));
        for (const auto& c : {ones, lastAlone, whole, randomCuts})
            cuts.push_back(c);
        for (const std::vector<int32_t>& cut : cuts) {
            for (std::size_t b = 0; b + 1 < cut.size(); ++b) {
                const int32_t r0 = cut[b], r1 = cut[b + 1];
                SCOPED_TRACE(::testing::Message() << width << "x" << height << " rows " << r0 << ".." << r1);
                const std::size_t points = static_cast<std::size_t>(r1 - r0) * width;
                const std::size_t cellRows = static_cast<std::size_t>(std::max(0, std::min(r1, height - 1) - r0));
                const std::size_t entries = 6 * cellRows * static_cast<std::size_t>(width - 1);
                Guarded<HeightmeshFloat3> vertices(points), normals(points);
                Guarded<HeightmeshFloat2> uvs(points);
                Guarded<int32_t> triangles(entries);
                RunOptions options;
                options.batchSize = std::uniform_int_distribution<int32_t>(0, 7)(random);
                const std::size_t first = static_cast<std::size_t>(r0) * width;
                const std::size_t firstEntry =
                    6 * static_cast<std::size_t>(std::min(r0, std::max(height - 1, 0))) * (width - 1);
                // With the whole grid's mask, and with the band's cells' own
                // (a copy between guards) and no whole mask.
                Guarded<uint8_t> bandMask(entries / 6);
                std::copy_n(grid.mask.begin() + static_cast<std::ptrdiff_t>(firstEntry / 6), entries / 6,
                            bandMask.band().begin());
                for (const bool ownMask : {false, true}) {
                    SCOPED_TRACE(ownMask ? "band mask" : "whole mask");
                    HeightfieldMeshInput input = grid.Input(scale);
                    if (ownMask)
                        input.cellMask = {};
                    RunHeightfieldMeshRows(jobs, *library, input, r0, r1,
                                           {vertices.band(), uvs.band(), normals.band(), triangles.band(),
                                            ownMask ? bandMask.band() : std::span<uint8_t>()},
                                           options);
                    EXPECT_TRUE(SameSlice<HeightmeshFloat3>(vertices.band(), full.vertices, first));
                    EXPECT_TRUE(SameSlice<HeightmeshFloat2>(uvs.band(), full.uvs, first));
                    EXPECT_TRUE(SameSlice<HeightmeshFloat3>(normals.band(), full.normals, first));
                    EXPECT_TRUE(SameSlice<int32_t>(triangles.band(), full.triangles, firstEntry));
                    EXPECT_TRUE(vertices.GuardsIntact() && uvs.GuardsIntact() && normals.GuardsIntact() &&
                                triangles.GuardsIntact() && bandMask.GuardsIntact());
                }
            }
        }
    }
    // Rows outside the grid and band buffers of the wrong size are refused.
    const Grid grid = RandomGrid(random, 4, 3);
    std::vector<HeightmeshFloat3> v(8), n(8);
    std::vector<HeightmeshFloat2> uv(8);
    std::vector<int32_t> t(36);
    const HeightfieldMeshBand band{v, uv, n, t};
    const auto refused = [&](int32_t r0, int32_t r1, const HeightfieldMeshBand& b) {
        EXPECT_THROW(RunHeightfieldMeshRows(jobs, *library, grid.Input(), r0, r1, b), std::invalid_argument)
            << r0 << ".." << r1;
    };
    refused(-1, 1, band);
    refused(2, 1, band);
    refused(2, 4, band);
    refused(0, 2, {v, uv, n, std::span(t).first(35)});
    refused(0, 2, {std::span(v).first(7), uv, n, t});
    const std::vector<uint8_t> cells(6, 1);
    refused(0, 2, {v, uv, n, t, std::span(cells).first(5)});
    EXPECT_NO_THROW(RunHeightfieldMeshRows(jobs, *library, grid.Input(), 0, 2, {v, uv, n, t, cells}));
    EXPECT_NO_THROW(RunHeightfieldMeshRows(jobs, *library, grid.Input(), 0, 2, band));
}

// A window view, as the band run makes them, whose window leaves out the
// band's last cell row: the library refuses the first entry outside it with
// the restricted-range failure, having written the band up to there, and
// touches no memory beyond the band's buffer.
TEST(JobhostMesh, AWindowViewRefusesIndicesOutsideIt)
{
    auto library = JobLibrary::Open(HEIGHTMESH_LIBRARY_PATH);
    JobSystem jobs(1);
    const int32_t width = 4, height = 4;  // 3 x 3 cells
    const std::vector<float> heightValues(16, 1.0f);
    const std::vector<uint8_t> maskValues(9, 1);
    Buffer<float> heights = Buffer<float>::Borrow(heightValues, "heights");
    Buffer<uint8_t> mask = Buffer<uint8_t>::Borrow(maskValues, "cellMask");
    // Rows 1 and 2: points 4 ... 11, cells 3 ... 8, entries 18 ... 53; the
    // window holds entries 18 ... 47 only, the buffer exactly those.
    Guarded<HeightmeshFloat3> vertices(8), normals(8);
    Guarded<HeightmeshFloat2> uvs(8);
    Guarded<int32_t> triangles(30);
    const SafetyState safety("band");
    const auto window = [&](auto band, int64_t first, int32_t length, int32_t minIndex, int32_t maxIndex) {
        HeightmeshBufferView view{};
        view.data = reinterpret_cast<void*>(reinterpret_cast<uintptr_t>(band.data()) -
                                            static_cast<uintptr_t>(first) * sizeof(band[0]));
        view.length = length;
        view.minIndex = minIndex;
        view.maxIndex = maxIndex;
        view.safety = safety.Handle();
        return view;
    };
    HeightmeshHeightfieldMeshJob job{};
    job.heights = heights.View();
    job.cellMask = mask.View();
    job.width = width;
    job.height = height;
    job.scale = {1.0f, 1.0f, 1.0f};
    job.vertices = window(vertices.band(), 4, 16, 4, 11);
    job.uvs = window(uvs.band(), 4, 16, 4, 11);
    job.normals = window(normals.band(), 4, 16, 4, 11);
    job.triangles = window(triangles.band(), 18, 54, 18, 47);
    const std::size_t restricted[] = {offsetof(HeightmeshHeightfieldMeshJob, vertices),
                                      offsetof(HeightmeshHeightfieldMeshJob, uvs),
                                      offsetof(HeightmeshHeightfieldMeshJob, normals)};
    const std::size_t other[] = {offsetof(HeightmeshHeightfieldMeshJob, heights),
                                 offsetof(HeightmeshHeightfieldMeshJob, cellMask)};
    RunOptions options;
    options.batchSize = 1;
    ExpectJobError([&] { jobs.Run(library->entry(), &job, sizeof job, restricted, other, 4, 8, options); },
                   "System.IndexOutOfRangeException",
                   "Index 48 is out of restricted IJobParallelFor range [18...47] in ReadWriteBuffer.\n"
                   "ReadWriteBuffers are restricted to only read & write the element at the job index. You can use "
                   "double buffering strategies to avoid race conditions due to reading & writing in parallel to the "
                   "same elements from a job.");
    EXPECT_EQ(triangles.band()[29], 9 + width + 1) << "cell 7 written: (9, 14, 10, 9, 13, 14)";
    EXPECT_EQ(vertices.band()[6].x, 2.0f) << "point 10 written before its cell";
    EXPECT_TRUE(vertices.GuardsIntact() && uvs.GuardsIntact() && normals.GuardsIntact() && triangles.GuardsIntact());
}

}  // namespace
}  // namespace jobhost
