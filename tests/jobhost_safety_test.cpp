// Host buffers, their safety version words and the host checks.
#include <gtest/gtest.h>

#include <algorithm>

#include <memory>
#include <vector>

#include "fake_job/fake_run.h"
#include "jobhost/jobhost.h"

namespace jobhost {
namespace {

using testing::ExpectJobError;
using testing::FakeRun;

// The library lets an access through without asking when
// handle.version == (word & mask).
bool LibraryPasses(const HeightmeshAtomicSafetyHandle& handle, uint32_t mask)
{
    return handle.version == (*handle.versionCell & mask);
}

std::string Describe(const SafetyState& state)
{
    return "The buffer '" + state.name() + "' (safety id " + std::to_string(state.safetyId()) + ")";
}

// Every combination of the host's states against the library's masks: the
// library asks the host exactly when the access is refused, and the host's
// check then raises the right error; when it is allowed, no check is made.
TEST(JobhostSafety, WordConventionMatchesTheLibraryMasks)
{
    for (int disposed = 0; disposed < 2; ++disposed) {
        for (int readable = 0; readable < 2; ++readable) {
            for (int writable = 0; writable < 2; ++writable) {
                SafetyState state("b");
                HeightmeshAtomicSafetyHandle handle = state.Handle();
                EXPECT_EQ(handle.version & 7u, 0u);
                state.SetReadable(readable != 0);
                state.SetWritable(writable != 0);
                if (disposed != 0)
                    state.Dispose();
                SCOPED_TRACE(::testing::Message()
                             << "disposed " << disposed << " readable " << readable << " writable " << writable);
                EXPECT_EQ(state.readable(), readable != 0);
                EXPECT_EQ(state.writable(), writable != 0);
                EXPECT_EQ(state.word() - handle.version,
                          (disposed != 0 ? 8u : 0u) + (readable != 0 ? 0u : 1u) + (writable != 0 ? 0u : 2u));

                const bool readOk = disposed == 0 && readable != 0;
                const bool writeOk = disposed == 0 && writable != 0;
                EXPECT_EQ(LibraryPasses(handle, HEIGHTMESH_READ_VERSION_MASK), readOk);
                EXPECT_EQ(LibraryPasses(handle, HEIGHTMESH_WRITE_VERSION_MASK), writeOk);

                if (disposed != 0) {
                    const std::string message =
                        Describe(state) + " has been disposed; a view issued before may no longer be used.";
                    ExpectJobError([&] { host::CheckRead(&handle); }, "System.ObjectDisposedException", message);
                    ExpectJobError([&] { host::CheckWrite(&handle); }, "System.ObjectDisposedException", message);
                    continue;
                }
                if (readOk)
                    EXPECT_NO_THROW(host::CheckRead(&handle));
                else
                    ExpectJobError([&] { host::CheckRead(&handle); }, "System.InvalidOperationException",
                                   Describe(state) + " may not be read.");
                if (writeOk)
                    EXPECT_NO_THROW(host::CheckWrite(&handle));
                else
                    ExpectJobError([&] { host::CheckWrite(&handle); }, "System.InvalidOperationException",
                                   Describe(state) + " may not be written.");
            }
        }
    }
}

TEST(JobhostSafety, ChecksOfOddHandles)
{
    // A handle issued with flag bits set fails the library's comparison; the
    // host finds the access allowed after all and returns.
    SafetyState state("b");
    HeightmeshAtomicSafetyHandle handle = state.Handle();
    handle.version |= 2u;
    EXPECT_FALSE(LibraryPasses(handle, HEIGHTMESH_READ_VERSION_MASK));
    EXPECT_NO_THROW(host::CheckRead(&handle));
    EXPECT_NO_THROW(host::CheckWrite(&handle));

    ExpectJobError([] { host::CheckRead(nullptr); }, "System.ArgumentNullException", "handle");
    HeightmeshAtomicSafetyHandle empty{};
    empty.safetyId = 5;
    ExpectJobError([&] { host::CheckWrite(&empty); }, "System.InvalidOperationException",
                   "The safety handle with safety id 5 has no version word; the view was not issued by this host.");

    SafetyState unnamed;
    HeightmeshAtomicSafetyHandle unnamedHandle = unnamed.Handle();
    unnamed.SetReadable(false);
    ExpectJobError([&] { host::CheckRead(&unnamedHandle); }, "System.InvalidOperationException",
                   "The buffer with safety id " + std::to_string(unnamed.safetyId()) + " may not be read.");
}

// A view that outlives its buffer still points at a live version word,
// whose version has moved on, also once the word serves another buffer.
TEST(JobhostSafety, ViewsOfADestroyedBufferMeetADisposedWord)
{
    auto buffer = std::make_unique<Buffer<int32_t>>(4, "gone");
    const HeightmeshBufferView view = buffer->View();
    const uint32_t id = buffer->safety().safetyId();
    buffer.reset();
    std::vector<std::unique_ptr<SafetyState>> others;
    for (int i = 0; i < 600; ++i)
        others.push_back(std::make_unique<SafetyState>());
    EXPECT_FALSE(LibraryPasses(view.safety, HEIGHTMESH_READ_VERSION_MASK));
    HeightmeshAtomicSafetyHandle copy = view.safety;
    ExpectJobError([&] { host::CheckRead(&copy); }, "System.ObjectDisposedException",
                   "The buffer with safety id " + std::to_string(id) +
                       " has been disposed; a view issued before may no longer be used.");
    for (const auto& other : others)
        EXPECT_NE(other->safetyId(), id);
}

TEST(JobhostSafety, BufferViews)
{
    const int32_t values[] = {3, 1, 4, 1, 5};
    Buffer<int32_t> buffer(std::span<const int32_t>(values), "pi");
    HeightmeshBufferView view = buffer.View();
    EXPECT_EQ(view.data, buffer.span().data());
    EXPECT_EQ(view.length, 5);
    EXPECT_EQ(view.minIndex, 0);
    EXPECT_EQ(view.maxIndex, 4);
    EXPECT_EQ(view.safety.versionCell, buffer.safety().Handle().versionCell);
    EXPECT_EQ(view.safety.safetyId, buffer.safety().safetyId());
    EXPECT_EQ(std::vector<int32_t>(buffer.span().begin(), buffer.span().end()),
              std::vector<int32_t>(std::begin(values), std::end(values)));

    Buffer<int32_t> empty(0);
    EXPECT_EQ(empty.View().maxIndex, -1);

    const auto released = buffer.Release();
    EXPECT_EQ(released.size(), 5u);
    EXPECT_TRUE(buffer.safety().disposed());
    EXPECT_THROW(buffer.View(), std::logic_error);
    EXPECT_FALSE(LibraryPasses(view.safety, HEIGHTMESH_WRITE_VERSION_MASK));

    EXPECT_THROW(Buffer<uint8_t>(std::size_t{INT32_MAX} + 1), std::invalid_argument);
}

// Refused accesses inside a run end it with the host's error. They leave
// the library by raising straight through its frames; the worker puts its
// frame list back, so the next run on the same worker starts clean.
TEST(JobhostSafety, RefusedAccessesFailTheRun)
{
    auto library = JobLibrary::Open(FAKE_JOB_PATH);
    JobSystem jobs(1);
    struct Case {
        const char* type;
        std::function<std::string(FakeRun&)> refuse;  // returns the message
    };
    const Case cases[] = {
        {"System.InvalidOperationException",
         [](FakeRun& run) {
             run.input.safety().SetReadable(false);
             return Describe(run.input.safety()) + " may not be read.";
         }},
        {"System.InvalidOperationException",
         [](FakeRun& run) {
             run.output.safety().SetWritable(false);
             return Describe(run.output.safety()) + " may not be written.";
         }},
        {"System.ObjectDisposedException",
         [](FakeRun& run) {
             const std::string described = Describe(run.input.safety());
             run.input.Dispose();
             return described + " has been disposed; a view issued before may no longer be used.";
         }},
    };
    for (const Case& c : cases) {
        FakeRun run(100);
        const std::string message = c.refuse(run);
        ExpectJobError([&] { run.Run(jobs, *library, 100); }, c.type, message);

        FakeRun next(100);
        next.Run(jobs, *library, 100);
        EXPECT_EQ(next.output.span()[99], 198);
    }

    // Reading a buffer that may not be written needs no check at all.
    FakeRun readOnlyInput(100);
    readOnlyInput.input.safety().SetWritable(false);
    readOnlyInput.Run(jobs, *library, 100);
    EXPECT_EQ(readOnlyInput.output.span()[42], 84);
}

TEST(JobhostSafety, CheckThatAllowsTheAccessLetsTheJobGoOn)
{
    auto library = JobLibrary::Open(FAKE_JOB_PATH);
    JobSystem jobs(2);
    FakeRun run(100);
    run.record.output.safety.version |= 2u;  // every write asks the host, which allows it
    run.Run(jobs, *library, 100);
    for (int32_t i = 0; i < 100; ++i)
        ASSERT_EQ(run.output.span()[i], 2 * i);
}

// Host storage starts zeroed at every size (kernel-zeroed mappings for large
// blocks, calloc for small ones), and a borrowed buffer is the caller's
// memory, read-only to the job.
TEST(JobhostSafety, HostStorageIsZeroedAndBorrowedBuffersAreTheCallersMemory)
{
    for (std::size_t length : {std::size_t{1}, std::size_t{1000}, std::size_t{3} << 20}) {
        Buffer<int32_t> buffer(length, "zeroed");
        const std::span<const int32_t> all = buffer.span();
        EXPECT_EQ(std::count(all.begin(), all.end(), 0), static_cast<std::ptrdiff_t>(length));
        buffer.span()[length - 1] = 7;
        const auto released = buffer.Release();
        EXPECT_EQ(released.back(), 7);
    }
    const std::vector<float> values = {1.5f, 2.5f, 3.5f};
    Buffer<float> borrowed = Buffer<float>::Borrow(values, "heights");
    EXPECT_EQ(borrowed.span().data(), values.data());
    EXPECT_EQ(borrowed.View().length, 3);
    EXPECT_FALSE(borrowed.safety().writable());
    EXPECT_TRUE(borrowed.safety().readable());
    const auto copy = borrowed.Release();
    EXPECT_EQ(std::vector<float>(copy.begin(), copy.end()), values);
    EXPECT_EQ(values[1], 2.5f);
}

}  // namespace
}  // namespace jobhost
