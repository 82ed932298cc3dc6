// The ABI header's view lengths: the count helpers against an independent
// 64-bit model, the same answers from C and from C++, and the 32-bit limit at
// its edges.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

#include "abi_c_check.h"
#include "heightmesh/job_abi.h"

namespace {

constexpr int64_t kMax = std::numeric_limits<int32_t>::max();

TEST(AbiCounts, HelpersMatchTheGridInBothLanguages)
{
    const int32_t sizes[] = {INT32_MIN, -1, 0, 1, 2, 3, 7, 46341, 65536, 1 << 20, INT32_MAX - 1, INT32_MAX};
    for (int32_t width : sizes) {
        for (int32_t height : sizes) {
            SCOPED_TRACE(::testing::Message() << width << " x " << height);
            const int64_t points = width >= 1 && height >= 1 ? int64_t(width) * height : 0;
            const int64_t cells = width >= 2 && height >= 2 ? int64_t(width - 1) * (height - 1) : 0;
            EXPECT_EQ(HeightmeshPointCount(width, height), points);
            EXPECT_EQ(HeightmeshCellCount(width, height), cells);
            // Six entries per cell wherever that is a 64-bit number.
            if (cells <= INT64_MAX / 6)
                EXPECT_EQ(HeightmeshTriangleEntryCount(width, height), 6 * cells);
            else
                EXPECT_EQ(HeightmeshTriangleEntryCount(width, height), INT64_MAX);
            EXPECT_EQ(AbiCPointCount(width, height), HeightmeshPointCount(width, height));
            EXPECT_EQ(AbiCCellCount(width, height), HeightmeshCellCount(width, height));
            EXPECT_EQ(AbiCTriangleEntryCount(width, height), HeightmeshTriangleEntryCount(width, height));

            const bool fits = points >= 1 && points <= kMax && 6 * cells <= kMax;
            EXPECT_EQ(HeightmeshGridFits(width, height) != 0, fits);
            EXPECT_EQ(AbiCGridFits(width, height), HeightmeshGridFits(width, height));
        }
    }
    EXPECT_EQ(AbiCRecordSize(), sizeof(HeightmeshHeightfieldMeshJob));
    EXPECT_EQ(AbiCVersion(), HEIGHTMESH_ABI_VERSION);
}

// The limit at its edges: the most points one view holds, the most triangle
// entries, and one more of each; sizes beyond 32 bits before narrowing.
TEST(AbiCounts, GridFitsAtTheThirtyTwoBitEdges)
{
    struct Case {
        int64_t width, height;
        bool fits;
    };
    const Case cases[] = {
        {1, kMax, true},           // one column: no cells, every point
        {kMax, 1, true},
        {1, kMax + 1, false},      // a height beyond 32 bits
        {kMax + 1, 1, false},
        {2, 1073741823, false},    // 2 147 483 646 points, 1 073 741 822 cells: 6 442 450 932 entries
        {2, 357913942, true},      // 357 913 941 cells, 2 147 483 646 entries
        {2, 357913943, false},     // one cell more: 2 147 483 652 entries
        {46341, 46341, false},     // points beyond 32 bits
        {18919, 18919, true},      // 357 890 724 cells: 2 147 344 344 entries
        {18920, 18920, false},     // 357 928 561 cells: 2 147 571 366 entries
        {0, 5, false},
        {5, -1, false},
        {INT64_MAX, INT64_MAX, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.width << " x " << c.height);
        EXPECT_EQ(HeightmeshGridFits(c.width, c.height) != 0, c.fits);
        EXPECT_EQ(AbiCGridFits(c.width, c.height) != 0, c.fits);
    }
}

}  // namespace
