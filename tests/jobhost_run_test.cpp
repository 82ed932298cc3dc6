// The worker pool: work stealing, per-batch patching, failures and progress.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <thread>

#include "fake_job/fake_run.h"
#include "jobhost/jobhost.h"

namespace jobhost {
namespace {

using testing::ExpectJobError;
using testing::FakeCounter;
using testing::FakeRun;

std::shared_ptr<JobLibrary> Fake() { return JobLibrary::Open(FAKE_JOB_PATH); }

int64_t TotalHits(FakeRun& run)
{
    int64_t total = 0;
    for (int32_t hit : run.hits.span())
        total += hit;
    return total;
}

// Under real threads, for random index counts, worker counts and batch sizes
// (including the system's own choice and batches larger than the run),
// every index runs exactly once.
TEST(JobhostRun, EveryIndexRunsExactlyOnce)
{
    auto library = Fake();
    std::mt19937 random(20240611);
    for (unsigned workers : {1u, 2u, 3u, 5u, 8u}) {
        JobSystem jobs(workers);
        ASSERT_EQ(jobs.workerCount(), workers);
        for (int repeat = 0; repeat < 40; ++repeat) {
            const int32_t count = std::uniform_int_distribution<int32_t>(0, 3000)(random);
            const int32_t batch = repeat % 4 == 0 ? 0 : std::uniform_int_distribution<int32_t>(1, count + 5)(random);
            FakeRun run(static_cast<std::size_t>(count));
            RunOptions options;
            options.batchSize = repeat % 5 == 0 ? std::min(batch, 3) : batch;
            run.Run(jobs, *library, count, options);
            for (int32_t i = 0; i < count; ++i) {
                ASSERT_EQ(run.hits.span()[i], 1)
                    << "index " << i << " of " << count << ", " << workers << " workers, batch " << options.batchSize;
                ASSERT_EQ(run.output.span()[i], 2 * i);
            }
        }
    }
}

// The restricted view of every index is a batch that holds it, no larger
// than the batch size, and seen alike by every index in it; the
// unrestricted view is whole. A single worker takes its share from the
// front, batch after batch.
TEST(JobhostRun, RestrictedViewsAreNarrowedToTheBatch)
{
    auto library = Fake();
    std::mt19937 random(7);
    JobSystem one(1);
    JobSystem several(4);
    for (int repeat = 0; repeat < 20; ++repeat) {
        const bool single = repeat % 4 == 0;
        const int32_t count = std::uniform_int_distribution<int32_t>(1, 2000)(random);
        RunOptions options;
        options.batchSize = std::uniform_int_distribution<int32_t>(1, 64)(random);
        FakeRun run(static_cast<std::size_t>(count), true);
        run.Run(single ? one : several, *library, count, options);
        const auto seen = run.seen.span();
        for (int32_t i = 0; i < count; ++i) {
            const int32_t first = seen[4 * i];
            const int32_t last = seen[4 * i + 1];
            if (single) {
                ASSERT_EQ(first, i / options.batchSize * options.batchSize);
                ASSERT_EQ(last, std::min(first + options.batchSize - 1, count - 1));
            }
            ASSERT_LE(first, i);
            ASSERT_GE(last, i);
            ASSERT_LE(last - first + 1, options.batchSize);
            ASSERT_EQ(seen[4 * i + 2], 0);
            ASSERT_EQ(seen[4 * i + 3], count - 1);
            for (int32_t j = first; j <= last; ++j) {
                ASSERT_EQ(seen[4 * j], first) << "index " << j << " ran in another batch than " << i;
                ASSERT_EQ(seen[4 * j + 1], last);
            }
        }
    }
}

// A narrowed view never reaches past its own length: a restricted buffer
// shorter than the run refuses the indices it lacks.
TEST(JobhostRun, RestrictedViewShorterThanTheRunRefusesMissingIndices)
{
    auto library = Fake();
    JobSystem jobs(1);
    FakeRun run(20);
    Buffer<int32_t> shortOutput(15, "output");
    run.record.output = shortOutput.View();
    RunOptions options;
    options.batchSize = 8;
    ExpectJobError([&] { run.Run(jobs, *library, 20, options); }, "System.IndexOutOfRangeException",
                   "Index 15 is out of range [8...14] of length 15.");
    for (int32_t i = 0; i < 15; ++i)
        EXPECT_EQ(shortOutput.span()[i], 2 * i);
}

TEST(JobhostRun, AccessOutsideTheBatchIsRefused)
{
    auto library = Fake();
    JobSystem jobs(1);
    FakeRun run(20);
    run.record.writeAhead = 1;
    RunOptions options;
    options.batchSize = 5;
    ExpectJobError([&] { run.Run(jobs, *library, 20, options); }, "System.IndexOutOfRangeException",
                   "Index 5 is out of range [0...4] of length 20.");
}

// The job's abort reaches the caller with its type and message intact, and
// the pool runs the next job normally (its frame lists are clean, which the
// fake job checks at every entry).
TEST(JobhostRun, AbortBecomesJobErrorAndThePoolGoesOn)
{
    auto library = Fake();
    for (unsigned workers : {1u, 3u}) {
        JobSystem jobs(workers);
        for (int32_t failAt : {0, 17, 499}) {
            FakeRun failing(500);
            failing.record.failAt = failAt;
            ExpectJobError([&] { failing.Run(jobs, *library, 500); }, "Fake.JobFailureException",
                           "The job failed at index " + std::to_string(failAt) + ".");
            EXPECT_EQ(failing.hits.span()[failAt], 0) << "the failing index goes no further";
            if (workers == 1) {
                for (int32_t i = failAt; i < 500; ++i)
                    ASSERT_EQ(failing.hits.span()[i], 0) << "a failed worker stops, at " << i;
            }

            FakeRun next(500);
            next.Run(jobs, *library, 500);
            EXPECT_EQ(TotalHits(next), 500);
        }
    }
}

// Worker 0 fails at its third index while the others are in slow batches:
// Run reports that failure, and only after every entry call has returned.
TEST(JobhostRun, FirstFailureIsReportedAfterAllWorkersReturn)
{
    auto library = Fake();
    JobSystem jobs(3);
    const int32_t before = FakeCounter(FAKE_JOB_PATH, FAKE_JOB_ACTIVE_ENTRIES);
    FakeRun run(600);
    run.record.failAt = 2;
    run.record.sleepMicros = 5000;
    RunOptions options;
    options.batchSize = 5;
    ExpectJobError([&] { run.Run(jobs, *library, 600, options); }, "Fake.JobFailureException",
                   "The job failed at index 2.");
    EXPECT_EQ(FakeCounter(FAKE_JOB_PATH, FAKE_JOB_ACTIVE_ENTRIES), before);
    // No batch is handed out after the failure: the others finish the one
    // they hold instead of all 598 other indices. (The bound leaves room for
    // worker 0 starting late on a loaded machine.)
    EXPECT_LT(TotalHits(run), 300);

    // Every worker failing: one of their failures, each at the start of a share.
    FakeRun all(300);
    all.record.failAt = FAKE_JOB_FAIL_EVERY_INDEX;
    try {
        all.Run(jobs, *library, 300);
        ADD_FAILURE() << "no failure";
    } catch (const JobError& error) {
        const std::string message = error.message();
        EXPECT_TRUE(message == "The job failed at index 0." || message == "The job failed at index 100." ||
                    message == "The job failed at index 200.")
            << message;
    }
    EXPECT_EQ(FakeCounter(FAKE_JOB_PATH, FAKE_JOB_ACTIVE_ENTRIES), before);
    EXPECT_EQ(TotalHits(all), 0);
}

TEST(JobhostRun, ProgressRisesToOne)
{
    auto library = Fake();
    JobSystem jobs(2);
    FakeRun run(300);
    run.record.sleepMicros = 1000;
    std::vector<double> reported;
    RunOptions options;
    options.batchSize = 4;
    options.progress = [&](double fraction) { reported.push_back(fraction); };
    run.Run(jobs, *library, 300, options);
    ASSERT_FALSE(reported.empty());
    EXPECT_EQ(reported.back(), 1.0);
    EXPECT_TRUE(std::is_sorted(reported.begin(), reported.end()));
    EXPECT_GE(reported.front(), 0.0);
}

TEST(JobhostRun, ProgressThatThrowsStopsTheRun)
{
    auto library = Fake();
    JobSystem jobs(2);
    const int32_t before = FakeCounter(FAKE_JOB_PATH, FAKE_JOB_ACTIVE_ENTRIES);
    FakeRun run(2000);
    run.record.sleepMicros = 500;
    RunOptions options;
    options.batchSize = 4;
    options.progress = [](double) { throw std::runtime_error("cancelled"); };
    EXPECT_THROW(
        {
            try {
                run.Run(jobs, *library, 2000, options);
            } catch (const std::runtime_error& error) {
                EXPECT_STREQ(error.what(), "cancelled");
                throw;
            }
        },
        std::runtime_error);
    EXPECT_EQ(FakeCounter(FAKE_JOB_PATH, FAKE_JOB_ACTIVE_ENTRIES), before);
    EXPECT_LT(TotalHits(run), 2000);
}

TEST(JobhostRun, BadArgumentsAreRefusedBeforeAnythingRuns)
{
    auto library = Fake();
    JobSystem jobs(2);
    FakeRun run(10);
    const std::size_t tooFar[] = {sizeof(FakeJob) - sizeof(HeightmeshBufferView) + 8};
    const std::size_t misaligned[] = {4};
    const std::size_t overlapping[] = {0, 24};
    const std::size_t none[] = {0};
    RunOptions negativeBatch;
    negativeBatch.batchSize = -1;
    struct Case {
        const char* what;
        std::function<void()> call;
    };
    const Case cases[] = {
        {"negative count", [&] { run.Run(jobs, *library, -1); }},
        {"negative batch", [&] { run.Run(jobs, *library, 10, negativeBatch); }},
        {"no entry", [&] { jobs.Run(nullptr, &run.record, sizeof run.record, {}, {}, 10); }},
        {"no record", [&] { jobs.Run(library->entry(), nullptr, 0, {}, {}, 10); }},
        {"view past the record", [&] { jobs.Run(library->entry(), &run.record, sizeof run.record, tooFar, {}, 10); }},
        {"misaligned view", [&] { jobs.Run(library->entry(), &run.record, sizeof run.record, {}, misaligned, 10); }},
        {"overlapping views", [&] { jobs.Run(library->entry(), &run.record, sizeof run.record, overlapping, {}, 10); }},
        {"view listed twice", [&] { jobs.Run(library->entry(), &run.record, sizeof run.record, none, none, 10); }},
        {"negative first", [&] { jobs.Run(library->entry(), &run.record, sizeof run.record, {}, {}, -1, 10); }},
        {"indices past 32 bits",
         [&] { jobs.Run(library->entry(), &run.record, sizeof run.record, {}, {}, INT32_MAX - 5, 10); }},
    };
    for (const Case& c : cases)
        EXPECT_THROW(c.call(), std::invalid_argument) << c.what;
    EXPECT_EQ(TotalHits(run), 0);
    EXPECT_THROW(JobSystem(JobSystem::kMaxWorkers + 1), std::invalid_argument);
    EXPECT_EQ(JobSystem(0).workerCount(), std::max(1u, std::thread::hardware_concurrency()));
}

// Runs started from two threads at once take turns and both complete.
TEST(JobhostRun, ConcurrentRunsTakeTurns)
{
    auto library = Fake();
    JobSystem jobs(3);
    FakeRun first(5000);
    FakeRun second(7000);
    std::thread other([&] { first.Run(jobs, *library, 5000); });
    second.Run(jobs, *library, 7000);
    other.join();
    EXPECT_EQ(TotalHits(first), 5000);
    EXPECT_EQ(TotalHits(second), 7000);
}

}  // namespace
}  // namespace jobhost
