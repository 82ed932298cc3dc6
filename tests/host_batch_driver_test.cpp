// The batch driver against a scripted host, with a recording operation.
#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

#include "host/batch_driver.h"
#include "support/test_host.h"

namespace heightmesh {
namespace {

using testing::ScriptedRanges;

// One log for host calls and per-index calls, so their interleaving shows.
std::vector<std::string> gLog;
int32_t gRequestBegin = 0;
int32_t gRequestEnd = 0;

uint8_t LoggingGetRange(HeightmeshWorkRanges* ranges, int32_t jobIndex, int32_t* begin, int32_t* end)
{
    gLog.push_back("request " + std::to_string(jobIndex) + " " + std::to_string(*begin) + " " + std::to_string(*end));
    gRequestBegin = *begin;
    gRequestEnd = *end;
    return testing::TestHost::GetWorkStealingRange(ranges, jobIndex, begin, end);
}

void LoggingPatch(void* patchData, void* job, int32_t begin, int32_t count)
{
    EXPECT_EQ(patchData, reinterpret_cast<void*>(0x5A7C4));
    EXPECT_EQ(job, reinterpret_cast<void*>(0x10B));
    gLog.push_back("patch " + std::to_string(begin) + " " + std::to_string(count));
}

struct StopAt {
    int32_t index;
};

std::vector<std::string> RunScript(std::vector<std::pair<int32_t, int32_t>> script, int32_t stopAt = INT32_MIN)
{
    gLog.clear();
    HostFunctions().getWorkStealingRange = &LoggingGetRange;
    HostFunctions().patchBufferMinMaxRanges = &LoggingPatch;
    ScriptedRanges ranges{std::move(script)};
    auto perIndex = [stopAt](void* job, int32_t index) {
        EXPECT_EQ(job, reinterpret_cast<void*>(0x10B));
        gLog.push_back(std::to_string(index));
        if (index == stopAt)
            throw StopAt{index};
    };
    try {
        ExecuteBatches(reinterpret_cast<void*>(0x10B), reinterpret_cast<void*>(0x5A7C4), ranges.Address(), 3, perIndex);
    } catch (const StopAt&) {
        gLog.push_back("stopped");
    }
    return gLog;
}

using Log = std::vector<std::string>;

TEST(BatchDriver, RunsEveryRangeInOrderAfterItsPatch)
{
    struct Case {
        const char* name;
        std::vector<std::pair<int32_t, int32_t>> script;
        int32_t stopAt;
        Log expected;
    };
    const Case cases[] = {
        {"no range at all", {}, INT32_MIN, {"request 3 0 0"}},
        {"empty range: patched, nothing run", {{7, 7}}, INT32_MIN, {"request 3 0 0", "patch 7 0", "request 3 7 7"}},
        {"one range", {{5, 9}}, INT32_MIN, {"request 3 0 0", "patch 5 4", "5", "6", "7", "8", "request 3 5 9"}},
        {"failure inside a range ends the call",
         {{5, 9}, {9, 12}},
         6,
         {"request 3 0 0", "patch 5 4", "5", "6", "stopped"}},
        {"reversed range: patched with its negative count, nothing run",
         {{9, 5}, {0, 1}},
         INT32_MIN,
         {"request 3 0 0", "patch 9 -4", "request 3 9 5", "patch 0 1", "0", "request 3 0 1"}},
        {"count wraps like the host's 32-bit subtraction",
         {{-2, INT32_MAX}},
         -2,
         {"request 3 0 0", "patch -2 -2147483647", "-2", "stopped"}},
        {"last index of the index space",
         {{INT32_MAX - 2, INT32_MAX}},
         INT32_MIN,
         {"request 3 0 0", "patch 2147483645 2", "2147483645", "2147483646", "request 3 2147483645 2147483647"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(RunScript(c.script, c.stopAt), c.expected);
    }
}

}  // namespace
}  // namespace heightmesh
