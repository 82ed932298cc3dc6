// The typed heightfield mesh run: input checks, how the record is filled,
// and the real library through it.
#include <gtest/gtest.h>

#include <bit>
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

}  // namespace
}  // namespace jobhost
