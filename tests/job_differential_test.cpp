// Random grids run through the built shared library, single worker, against
// the model, bit for bit.
#include <gtest/gtest.h>

#include <bit>
#include <cstring>
#include <random>

#include "support/loaded_library.h"
#include "support/mesh_model.h"
#include "support/test_grid.h"
#include "support/test_host.h"

namespace heightmesh::testing {
namespace {

template <typename T>
bool SameBytes(const std::vector<T>& a, const std::vector<T>& b)
{
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(T)) == 0;
}

float RandomHeight(std::mt19937& random)
{
    switch (random() % 5) {
    case 0: return float(int(random() % 200) - 100);                                      // integers
    case 1: return std::uniform_real_distribution<float>(-1.0f, 1.0f)(random);           // small fractions
    case 2: return std::uniform_real_distribution<float>(-5000.0f, 9000.0f)(random);     // terrain heights
    case 3: return 1.1f;                                                                  // a value that does not cancel
    default: return std::ldexp(float(random() % 1000), int(random() % 40) - 20);          // wide exponents
    }
}

float RandomScale(std::mt19937& random)
{
    static const float kPicks[] = {1.0f, 0.5f, 2.0f, 1.1f, 0.1f, 30.0f, -1.0f, 0.0039215689f};
    if (random() % 2)
        return kPicks[random() % std::size(kPicks)];
    return std::uniform_real_distribution<float>(0.01f, 100.0f)(random);
}

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
        TestGrid grid(width, height);
        for (float& h : grid.heights)
            h = RandomHeight(random);
        for (uint8_t& m : grid.mask)
            m = uint8_t(random());
        grid.scale = {RandomScale(random), RandomScale(random), RandomScale(random)};
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

}  // namespace
}  // namespace heightmesh::testing
