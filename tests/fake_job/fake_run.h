// Test helpers around the fake job library: its record filled from host
// buffers, and a run of it through a JobSystem.
#pragma once

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstddef>
#include <numeric>
#include <stdexcept>
#include <string>

#include "fake_job/fake_job.h"
#include "jobhost/jobhost.h"

namespace jobhost::testing {

// Output, hits: narrowed to each batch. Input, seen: whole length.
inline constexpr std::size_t kFakeRestricted[] = {offsetof(FakeJob, output), offsetof(FakeJob, hits)};
inline constexpr std::size_t kFakeOther[] = {offsetof(FakeJob, input), offsetof(FakeJob, seen)};

struct FakeRun {
    Buffer<int32_t> input;
    Buffer<int32_t> output;
    Buffer<int32_t> hits;
    Buffer<int32_t> seen;
    FakeJob record{};

    // count indices; input[i] = i. With recordSeen, seen holds four values
    // per index.
    explicit FakeRun(std::size_t count, bool recordSeen = false)
        : input(count, "input"), output(count, "output"), hits(count, "hits"), seen(recordSeen ? 4 * count : 0, "seen")
    {
        std::iota(input.span().begin(), input.span().end(), 0);
        record.failAt = FAKE_JOB_NOWHERE;
        record.unknownAt = FAKE_JOB_NOWHERE;
        TakeViews();
    }

    void TakeViews()
    {
        record.input = input.View();
        record.output = output.View();
        record.hits = hits.View();
        record.seen = seen.View();
    }

    void Run(JobSystem& jobs, const JobLibrary& library, int32_t count, const RunOptions& options = {})
    {
        jobs.Run(library.entry(), &record, sizeof record, kFakeRestricted, kFakeOther, count, options);
    }
};

// A test-only export of a fake library.
inline int32_t FakeCounter(const char* path, const char* name)
{
    void* handle = dlopen(path, RTLD_NOW | RTLD_NOLOAD);
    if (handle == nullptr)
        throw std::runtime_error(std::string(path) + " is not loaded");
    auto counter = reinterpret_cast<FakeCounterFn>(dlsym(handle, name));
    const int32_t value = counter != nullptr ? counter() : -1;
    dlclose(handle);
    return value;
}

// Expects call to raise a JobError with exactly this type name and message.
template <class F>
void ExpectJobError(F&& call, const std::string& typeName, const std::string& message)
{
    try {
        call();
        ADD_FAILURE() << "no JobError was raised";
    } catch (const JobError& error) {
        EXPECT_EQ(error.typeName(), typeName);
        EXPECT_EQ(error.message(), message);
        EXPECT_EQ(std::string(error.what()), typeName + ": " + message);
    }
}

}  // namespace jobhost::testing
