// Points the static build's host function table at the test host, so unit
// tests can call library internals directly. Failures throw TestAbort.
#pragma once

#include <bit>
#include <cstdint>
#include <string>

#include <gtest/gtest.h>

#include "host/host_binding.h"
#include "support/test_host.h"

namespace heightmesh::testing {

inline void UseTestHost()
{
    TestHost::Reset();
    HostFunctionTable& table = HostFunctions();
    table = HostFunctionTable{};
    table.abort = &TestHost::Abort;
    table.getWorkStealingRange = &TestHost::GetWorkStealingRange;
    table.patchBufferMinMaxRanges = &TestHost::PatchBufferMinMaxRanges;
    table.checkReadAndThrowNoEarlyOut = &TestHost::CheckRead;
    table.checkWriteAndThrowNoEarlyOut = &TestHost::CheckWrite;
}

inline uint32_t Bits(float value) { return std::bit_cast<uint32_t>(value); }

// Float triples compared bit for bit, printed with their bit patterns.
inline ::testing::AssertionResult SameBits(const char* actualText, const char* expectedText,
                                           const HeightmeshFloat3& actual, const HeightmeshFloat3& expected)
{
    if (Bits(actual.x) == Bits(expected.x) && Bits(actual.y) == Bits(expected.y) && Bits(actual.z) == Bits(expected.z))
        return ::testing::AssertionSuccess();
    auto show = [](const HeightmeshFloat3& v) {
        char text[160];
        std::snprintf(text, sizeof text, "(%.9g, %.9g, %.9g) [%08x %08x %08x]", v.x, v.y, v.z, Bits(v.x), Bits(v.y),
                      Bits(v.z));
        return std::string(text);
    };
    return ::testing::AssertionFailure() << actualText << " is " << show(actual) << "\n"
                                         << expectedText << " is " << show(expected);
}

inline ::testing::AssertionResult SameBits(const char* actualText, const char* expectedText,
                                           const HeightmeshFloat2& actual, const HeightmeshFloat2& expected)
{
    return SameBits(actualText, expectedText, HeightmeshFloat3{actual.x, actual.y, 0.0f},
                    HeightmeshFloat3{expected.x, expected.y, 0.0f});
}

#define EXPECT_SAME_BITS(actual, expected) EXPECT_PRED_FORMAT2(::heightmesh::testing::SameBits, actual, expected)

// Runs body, which must fail through the abort slot, and returns what it raised.
template <typename Body>
AbortRecord ExpectAbort(Body&& body)
{
    try {
        body();
    } catch (const TestAbort& failure) {
        return failure.record;
    }
    ADD_FAILURE() << "expected a failure through the abort slot";
    return {};
}

inline std::string RestrictedMessage(int32_t index, int32_t minIndex, int32_t maxIndex)
{
    return "Index " + std::to_string(index) + " is out of restricted IJobParallelFor range [" +
           std::to_string(minIndex) + "..." + std::to_string(maxIndex) +
           "] in ReadWriteBuffer.\n"
           "ReadWriteBuffers are restricted to only read & write the element at the job index. You can use double "
           "buffering strategies to avoid race conditions due to reading & writing in parallel to the same elements "
           "from a job.";
}

inline std::string PlainMessage(int32_t index, int32_t length)
{
    return "Index " + std::to_string(index) + " is out of range of '" + std::to_string(length) + "' Length.";
}

}  // namespace heightmesh::testing
