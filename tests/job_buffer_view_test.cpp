// Checked reads and writes through buffer views: range failures with their
// exact messages, and the safety version checks.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include "job/buffer_view.h"
#include "support/static_host.h"
#include "support/test_grid.h"

namespace heightmesh::testing {
namespace {

class BufferViews : public ::testing::Test {
protected:
    void SetUp() override { UseTestHost(); }

    int32_t elements[10] = {0, 10, 20, 30, 40, 50, 60, 70, 80, 90};
    uint32_t versionWord = 8;

    BufferView View(int32_t length, int32_t minIndex, int32_t maxIndex)
    {
        BufferView view = FullView(elements, length, &versionWord, 42);
        view.minIndex = minIndex;
        view.maxIndex = maxIndex;
        return view;
    }
};

TEST_F(BufferViews, OutOfRangeAccessReportsTheIndexAndNeverTouchesMemory)
{
    struct Case {
        int32_t length, minIndex, maxIndex, index;
        std::string message;
    };
    const Case cases[] = {
        {10, 0, 9, 10, PlainMessage(10, 10)},
        {10, 0, 9, -1, "Index -1 is out of range of '10' Length."},
        {0, 0, -1, 0, "Index 0 is out of range of '0' Length."},
        {10, 4, 4, 5, RestrictedMessage(5, 4, 4)},
        {10, 4, 4, 3, RestrictedMessage(3, 4, 4)},
        {10, 4, 4, 12, PlainMessage(12, 10)},
        {10, 4, 4, INT32_MIN, RestrictedMessage(INT32_MIN, 4, 4)},
        {INT32_MIN, 0, -1, INT32_MIN, "Index -2147483648 is out of range of '-2147483648' Length."},
        {INT32_MIN, INT32_MIN, INT32_MIN, INT32_MAX, "Index 2147483647 is out of range of '-2147483648' Length."},
        {10, 0, 8, 9, RestrictedMessage(9, 0, 8)},
        {10, 1, 9, 0, RestrictedMessage(0, 1, 9)},
        {INT32_MAX, INT32_MIN, INT32_MAX - 1, INT32_MAX, "Index 2147483647 is out of range of '2147483647' Length."},
        {5, -2147483647 - 1, 2147483646, INT32_MAX, PlainMessage(INT32_MAX, 5)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        const BufferView view = View(c.length, c.minIndex, c.maxIndex);
        int32_t before[10];
        std::memcpy(before, elements, sizeof before);

        const AbortRecord read = ExpectAbort([&] { (void)ReadChecked<int32_t>(view, c.index); });
        EXPECT_EQ(read, (AbortRecord{"System.IndexOutOfRangeException", c.message}));
        const AbortRecord write = ExpectAbort([&] { WriteChecked<int32_t>(view, c.index, -1); });
        EXPECT_EQ(write, read);

        EXPECT_EQ(std::memcmp(before, elements, sizeof before), 0);
        EXPECT_EQ(TestHost::readChecks + TestHost::writeChecks, 0);
    }
}

// Every number the messages carry at every digit count, both signs: each
// message arrives whole, and the longest is the ABI's stated limit.
TEST_F(BufferViews, RangeMessagesAreWholeAtEveryNumberLength)
{
    std::vector<int32_t> numbers = {INT32_MIN, INT32_MAX};
    for (int64_t power = 1; power <= 1000000000; power *= 10)
        for (int64_t n : {power - 1, power})
            numbers.insert(numbers.end(), {int32_t(n), int32_t(-n)});

    std::size_t longest = 0;
    auto expect = [&](const BufferView& view, int32_t index, const std::string& message) {
        const AbortRecord failure = ExpectAbort([&] { (void)ReadChecked<int32_t>(view, index); });
        EXPECT_EQ(failure, (AbortRecord{"System.IndexOutOfRangeException", message}));
        longest = std::max(longest, failure.message.size());
    };
    for (int32_t index : numbers) {
        for (int32_t other : numbers) {
            // The plain message: a whole view [0, length - 1] of length other.
            const BufferView whole = View(other, 0, int32_t(uint32_t(other) - 1u));
            if (!InAllowedRange(whole, index))
                expect(whole, index, PlainMessage(index, other));
            // The restricted one: a view narrowed to [other, other] below a
            // length the index lies under.
            const BufferView narrowed = View(INT32_MAX, other, other);
            if (index != other && index < INT32_MAX)
                expect(narrowed, index, RestrictedMessage(index, other, other));
        }
    }
    EXPECT_EQ(longest, std::size_t(HEIGHTMESH_MAX_MESSAGE_LENGTH));
    EXPECT_EQ(TestHost::readChecks, 0);
}

TEST_F(BufferViews, InRangeAccessReachesTheElement)
{
    const BufferView view = View(10, 4, 4);
    EXPECT_EQ(ReadChecked<int32_t>(view, 4), 40);
    WriteChecked<int32_t>(view, 4, -4);
    EXPECT_EQ(elements[4], -4);
    EXPECT_EQ(elements[3], 30);
    EXPECT_EQ(elements[5], 50);
}

// The view was issued with version 8. Bit 0 of the word forbids reading,
// bit 1 writing, and a disposal moves the word on by 8.
TEST_F(BufferViews, VersionWordDecidesWhetherTheHostIsAsked)
{
    struct Case {
        uint32_t word;
        bool readAsks, writeAsks;
    };
    const Case cases[] = {
        {8, false, false},  {9, true, false},  {10, false, true},         {11, true, true},
        {12, false, false}, {13, true, false}, {14, false, true},         {15, true, true},
        {16, true, true},   {0, true, true},   {0x80000008u, true, true},
    };
    const BufferView view = View(10, 0, 9);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.word);
        UseTestHost();
        versionWord = c.word;
        EXPECT_EQ(ReadChecked<int32_t>(view, 2), 20);  // the host check returns, so the read goes ahead
        EXPECT_EQ(TestHost::readChecks, c.readAsks ? 1 : 0);
        WriteChecked<int32_t>(view, 2, 21);
        EXPECT_EQ(elements[2], 21);
        EXPECT_EQ(TestHost::writeChecks, c.writeAsks ? 1 : 0);
        elements[2] = 20;
    }
}

TEST_F(BufferViews, HostCheckGetsACopyOfTheWholeSafetyRecord)
{
    BufferView view = View(10, 0, 9);
    versionWord = 9;
    (void)ReadChecked<int32_t>(view, 0);
    ASSERT_EQ(TestHost::readChecks, 1);
    EXPECT_EQ(TestHost::lastCheckedHandle.versionCell, &versionWord);
    EXPECT_EQ(TestHost::lastCheckedHandle.version, 8u);
    EXPECT_EQ(TestHost::lastCheckedHandle.safetyId, 42u);
}

TEST_F(BufferViews, VersionIsLoadedAfreshAtEveryAccess)
{
    const BufferView view = View(10, 0, 9);
    versionWord = 8;
    (void)ReadChecked<int32_t>(view, 0);
    versionWord = 9;
    (void)ReadChecked<int32_t>(view, 0);
    versionWord = 8;
    (void)ReadChecked<int32_t>(view, 0);
    versionWord = 9;
    (void)ReadChecked<int32_t>(view, 0);
    EXPECT_EQ(TestHost::readChecks, 2);
}

TEST_F(BufferViews, RangeIsCheckedBeforeTheVersion)
{
    const BufferView view = View(10, 0, 9);
    versionWord = 16;
    ExpectAbort([&] { (void)ReadChecked<int32_t>(view, 10); });
    ExpectAbort([&] { WriteChecked<int32_t>(view, -1, 0); });
    EXPECT_EQ(TestHost::readChecks + TestHost::writeChecks, 0);
}

}  // namespace
}  // namespace heightmesh::testing
