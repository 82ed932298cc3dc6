// The ABI header's inline helpers: the count helpers against an independent
// 64-bit model, the same answers from C and from C++, the 32-bit limit at its
// edges, and the triangle layout of a cell.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <limits>
#include <vector>

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
        {1, kMax, true},                                // one column: no cells, every point
        {kMax, 1, true},       {1, kMax + 1, false},    // a height beyond 32 bits
        {kMax + 1, 1, false},  {2, 1073741823, false},  // 1 073 741 822 cells: 6 442 450 932 entries
        {2, 357913942, true},                           // 357 913 941 cells, 2 147 483 646 entries
        {2, 357913943, false},                          // one cell more: 2 147 483 652 entries
        {46341, 46341, false},                          // points beyond 32 bits
        {18919, 18919, true},                           // 357 890 724 cells: 2 147 344 344 entries
        {18920, 18920, false},                          // 357 928 561 cells: 2 147 571 366 entries
        {0, 5, false},         {5, -1, false},         {INT64_MAX, INT64_MAX, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.width << " x " << c.height);
        EXPECT_EQ(HeightmeshGridFits(c.width, c.height) != 0, c.fits);
        EXPECT_EQ(AbiCGridFits(c.width, c.height) != 0, c.fits);
    }
}

// The y component of the normal (b - a) x (c - a) of a triangle whose
// corners lie at (x, 0, z): positive when it faces up, i.e. turns
// counter-clockwise seen from +y.
int64_t UpwardTurn(int64_t ax, int64_t az, int64_t bx, int64_t bz, int64_t cx, int64_t cz)
{
    return (bz - az) * (cx - ax) - (bx - ax) * (cz - az);
}

// Every cell of small grids: the two triangles use the cell's four corners
// and nothing else, share the diagonal from the lower-left corner, and both
// face up; C and C++ agree.
TEST(AbiTriangles, CellTrianglesCoverTheCellFacingUp)
{
    for (int32_t width = 2; width <= 5; ++width) {
        for (int32_t z = 0; z < 3; ++z) {
            for (int32_t x = 0; x + 1 < width; ++x) {
                SCOPED_TRACE(::testing::Message() << "width " << width << ", cell at " << x << ", " << z);
                const int32_t i = x + z * width;
                int32_t entries[6], fromC[6];
                HeightmeshCellTriangles(i, width, entries);
                AbiCCellTriangles(i, width, fromC);
                EXPECT_TRUE(std::equal(entries, entries + 6, fromC));

                std::vector<int32_t> used(entries, entries + 6);
                std::sort(used.begin(), used.end());
                used.erase(std::unique(used.begin(), used.end()), used.end());
                EXPECT_EQ(used, (std::vector<int32_t>{i, i + 1, i + width, i + width + 1}));
                EXPECT_EQ(entries[0], i);
                EXPECT_EQ(entries[3], i);
                EXPECT_EQ(entries[1], entries[5]) << "the diagonal";
                for (int t = 0; t < 2; ++t) {
                    const int32_t* c = entries + 3 * t;
                    EXPECT_GT(
                        UpwardTurn(c[0] % width, c[0] / width, c[1] % width, c[1] / width, c[2] % width, c[2] / width),
                        0)
                        << "triangle " << t;
                }
            }
        }
    }
}

// Past the 32-bit range the entries wrap as two's-complement sums do, in C
// and in C++ alike.
TEST(AbiTriangles, CellTrianglesWrapInThirtyTwoBits)
{
    const int32_t values[] = {INT32_MIN, INT32_MIN + 1, -2, -1, 0, 1, INT32_MAX - 1, INT32_MAX};
    for (int32_t i : values) {
        for (int32_t width : values) {
            SCOPED_TRACE(::testing::Message() << "i " << i << ", width " << width);
            const uint32_t p = std::bit_cast<uint32_t>(i), w = std::bit_cast<uint32_t>(width);
            const int32_t expected[6] = {
                std::bit_cast<int32_t>(p), std::bit_cast<int32_t>(p + w + 1), std::bit_cast<int32_t>(p + 1),
                std::bit_cast<int32_t>(p), std::bit_cast<int32_t>(p + w),     std::bit_cast<int32_t>(p + w + 1),
            };
            int32_t entries[6], fromC[6];
            HeightmeshCellTriangles(i, width, entries);
            AbiCCellTriangles(i, width, fromC);
            EXPECT_TRUE(std::equal(entries, entries + 6, expected));
            EXPECT_TRUE(std::equal(fromC, fromC + 6, expected));
        }
    }
}

}  // namespace
