// The Sobel normal filter: exact values, clamping, the order of its reads.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "job/normal_filter.h"
#include "support/static_host.h"
#include "support/test_grid.h"

namespace heightmesh::testing {
namespace {

class NormalFilter : public ::testing::Test {
protected:
    void SetUp() override { UseTestHost(); }
};

struct NormalCase {
    const char* name;
    int32_t width, height;
    std::vector<float> heights;
    Float3 scale;
    int32_t x, z;
    Float3 expected;
};

TEST_F(NormalFilter, ExactValues)
{
    const std::vector<float> columns3x3 = {0, 1, 2, 0, 1, 2, 0, 1, 2};
    std::vector<float> grid4x3;
    for (int row = 0; row < 3; ++row)
        for (int column = 0; column < 4; ++column)
            grid4x3.push_back(float(10 * row + column));
    const std::vector<float> level11(9, 1.1f);
    const Float3 unit{1, 1, 1};

    const NormalCase cases[] = {
        {"slope, interior", 3, 3, columns3x3, unit, 1, 1, {-0.70710677f, 0.70710677f, -0.0f}},
        {"slope, first column", 3, 3, columns3x3, unit, 0, 0, {-0.4472136f, 0.8944272f, -0.0f}},
        {"slope, first column middle row", 3, 3, columns3x3, unit, 0, 1, {-0.4472136f, 0.8944272f, -0.0f}},
        {"slope, last column", 3, 3, columns3x3, unit, 2, 2, {-0.4472136f, 0.8944272f, -0.0f}},
        {"slope, first row clamps onto itself", 3, 3, columns3x3, unit, 1, 0, {-0.70710677f, 0.70710677f, -0.0f}},
        {"level zero: negative zeros", 3, 3, std::vector<float>(9, 0.0f), unit, 1, 1, {-0.0f, 1.0f, -0.0f}},
        {"level five", 3, 3, std::vector<float>(9, 5.0f), unit, 0, 2, {-0.0f, 1.0f, -0.0f}},
        {"level 1.1: running sums do not cancel", 3, 3, level11, unit, 1, 1, {1.4901161e-8f, 1.0f, 1.4901161e-8f}},
        {"4 x 3, unit scale", 4, 3, grid4x3, unit, 1, 1, {-0.09901476f, 0.09901476f, -0.9901476f}},
        {"4 x 3, scale (2, 0.5, 4)", 4, 3, grid4x3, {2, 0.5f, 4}, 1, 1, {-0.15430336f, 0.6172134f, -0.7715168f}},
        {"samples scaled one by one",
         3,
         3,
         {0, 0, 0, 3, 0, 1, 0, 0, 0},
         {1, 1.1f, 1},
         1,
         1,
         {0.48191878f, 0.8762159f, -0.0f}},
        {"outside the grid clamps to a corner",
         4,
         3,
         {0, 0, 0, 3, 0, 0, 0, 0, 0, 0, 0, 0},
         unit,
         7,
         -3,
         {-0.0f, 1.0f, -0.0f}},
        {"width 1", 1, 3, {1, 2, 4}, unit, 0, 1, {-0.0f, 0.5547002f, -0.8320503f}},
    };
    for (const NormalCase& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<float> heights = c.heights;
        uint32_t version = 0;
        const BufferView view = FullView(heights.data(), int32_t(heights.size()), &version, 1);
        EXPECT_SAME_BITS(ComputeNormal(view, c.x, c.z, c.width, c.height, c.scale), c.expected);
        EXPECT_EQ(TestHost::readChecks, 0);
    }
}

TEST_F(NormalFilter, ZeroSpacingFollowsFloatArithmetic)
{
    std::vector<float> heights = {0, 1, 2, 0, 1, 2, 0, 1, 2};
    uint32_t version = 0;
    const BufferView view = FullView(heights.data(), 9, &version, 1);

    const Float3 infiniteX = ComputeNormal(view, 1, 1, 3, 3, {0.0f, 1.0f, 1.0f});
    EXPECT_TRUE(std::isnan(infiniteX.x));
    EXPECT_EQ(Bits(infiniteX.y), Bits(0.0f));
    EXPECT_EQ(Bits(infiniteX.z), Bits(-0.0f));

    std::vector<float> level(9, 2.0f);
    const BufferView levelView = FullView(level.data(), 9, &version, 1);
    const Float3 nan = ComputeNormal(levelView, 1, 1, 3, 3, {0.0f, 1.0f, 0.0f});
    EXPECT_TRUE(std::isnan(nan.x) && std::isnan(nan.y) && std::isnan(nan.z));
}

// On a 3 x 3 grid the reads for (1, 1) go to 0, 3, 6, 2, 5, 8, 0, 1, 2, 6, 7, 8.
TEST_F(NormalFilter, FirstReadOutsideTheAllowedRangeFails)
{
    struct Case {
        int32_t minIndex, maxIndex, failingIndex;
    };
    const Case cases[] = {{0, 5, 6}, {0, 7, 8}, {1, 8, 0}, {3, 8, 0}, {0, 0, 3}, {0, 6, 8}, {0, 2, 3}};
    std::vector<float> heights(9, 1.0f);
    uint32_t version = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.minIndex) + "..." + std::to_string(c.maxIndex));
        BufferView view = FullView(heights.data(), 9, &version, 1);
        view.minIndex = c.minIndex;
        view.maxIndex = c.maxIndex;
        const AbortRecord failure = ExpectAbort([&] { ComputeNormal(view, 1, 1, 3, 3, {1, 1, 1}); });
        EXPECT_EQ(failure.typeName, "System.IndexOutOfRangeException");
        EXPECT_EQ(failure.message, RestrictedMessage(c.failingIndex, c.minIndex, c.maxIndex));
    }
}

TEST_F(NormalFilter, StaleVersionAsksTheHostBeforeEachOfTheTwelveReads)
{
    std::vector<float> heights = {0, 1, 2, 0, 1, 2, 0, 1, 2};
    uint32_t version = 0;
    const BufferView view = FullView(heights.data(), 9, &version, 1);
    const Float3 fresh = ComputeNormal(view, 1, 1, 3, 3, {1, 1, 1});
    version = 8;  // disposed and issued again: every read asks the host
    const Float3 stale = ComputeNormal(view, 1, 1, 3, 3, {1, 1, 1});
    EXPECT_EQ(TestHost::readChecks, 12);
    EXPECT_EQ(TestHost::writeChecks, 0);
    EXPECT_SAME_BITS(stale, fresh);
}

TEST_F(NormalFilter, ShortViewFailsOnTheFirstMissingNeighbour)
{
    std::vector<float> heights(6, 0.0f);  // a 3 x 3 grid with only two rows of heights
    uint32_t version = 0;
    const BufferView view = FullView(heights.data(), 6, &version, 1);
    const AbortRecord failure = ExpectAbort([&] { ComputeNormal(view, 1, 1, 3, 3, {1, 1, 1}); });
    EXPECT_EQ(failure.message, PlainMessage(6, 6));
}

}  // namespace
}  // namespace heightmesh::testing
