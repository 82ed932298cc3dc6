// The library's initialisation and abort frames, through the built shared
// library and a minimal host of the test's own.
#include <gtest/gtest.h>

#include <csetjmp>
#include <csignal>
#include <string>
#include <vector>

#include "support/loaded_library.h"
#include "support/test_grid.h"
#include "support/test_host.h"

namespace heightmesh::testing {
namespace {

class HostBinding : public ::testing::Test {
protected:
    void SetUp() override
    {
        TestHost::Reset();
        library.initialize(&TestHost::Resolve);
        library.setupExtra(&TestHost::FrameList);
    }

    void TearDown() override { TestHost::Reset(); }

    LoadedLibrary library;
    // Stands in for a frame an outer job entry would have on the list.
    alignas(16) unsigned char outerFrame[256] = {};
    HeightmeshAbortFrame* OuterFrame() { return reinterpret_cast<HeightmeshAbortFrame*>(outerFrame); }
};

TEST_F(HostBinding, InitializeAsksForTheFiveHostFunctionsInOrderOnce)
{
    TestHost::resolvedNames.clear();
    library.initialize(&TestHost::Resolve);
    EXPECT_EQ(TestHost::resolvedNames, kHostFunctionNames);

    TestHost::resolvedNames.clear();
    library.initializeExternals(&TestHost::Resolve);
    library.initializeStatics();
    EXPECT_EQ(TestHost::resolvedNames, kHostFunctionNames);
}

// A 3 x 3 grid whose vertex view is one element short: index 8 fails.
struct ShortVertexView {
    TestGrid grid{3, 3};
    HeightmeshHeightfieldMeshJob job;
    ScriptedRanges ranges{{{0, 9}}};

    ShortVertexView()
    {
        job = grid.Job();
        job.vertices.length = 8;
        job.vertices.maxIndex = 7;
    }
};

const AbortRecord kShortVertexFailure{"System.IndexOutOfRangeException", "Index 8 is out of range of '8' Length."};

TEST_F(HostBinding, FinishedEntryLeavesTheFrameListAsItFoundIt)
{
    for (HeightmeshAbortFrame* before : {static_cast<HeightmeshAbortFrame*>(nullptr), OuterFrame()}) {
        TestGrid grid(3, 3);
        HeightmeshHeightfieldMeshJob job = grid.Job();
        ScriptedRanges ranges{{{0, 4}, {4, 9}}};
        TestHost::frameHead = before;
        library.jobEntry(&job, reinterpret_cast<void*>(0xBAD), nullptr, ranges.Address(), 0);
        EXPECT_EQ(TestHost::frameHead, before);
        EXPECT_TRUE(TestHost::aborts.empty());
    }
}

TEST_F(HostBinding, FailureLeavingByExceptionPopsOnlyItsFrame)
{
    ShortVertexView run;
    TestHost::frameHead = OuterFrame();
    try {
        library.jobEntry(&run.job, nullptr, nullptr, run.ranges.Address(), 0);
        FAIL() << "the job did not fail";
    } catch (const TestAbort& failure) {
        EXPECT_EQ(failure.record, kShortVertexFailure);
    }
    EXPECT_EQ(TestHost::frameHead, OuterFrame());
    ASSERT_EQ(TestHost::aborts.size(), 1u);
}

TEST_F(HostBinding, FailureLeavingByLongJumpPopsOnlyItsFrame)
{
    ShortVertexView run;
    std::jmp_buf target;
    TestHost::abortMode = AbortMode::kLongJump;
    TestHost::jumpTarget = &target;
    TestHost::frameHead = OuterFrame();
    if (setjmp(target) == 0) {
        library.jobEntry(&run.job, nullptr, nullptr, run.ranges.Address(), 0);
        ADD_FAILURE() << "the job did not fail";
    }
    EXPECT_EQ(TestHost::frameHead, OuterFrame());
    ASSERT_EQ(TestHost::aborts.size(), 1u);
    EXPECT_EQ(TestHost::aborts[0], kShortVertexFailure);
}

TEST_F(HostBinding, SecondSetupKeepsTheHostAbort)
{
    library.setupExtra(&TestHost::FrameList);
    library.setupExtra(&TestHost::FrameList);
    ShortVertexView run;
    EXPECT_THROW(library.jobEntry(&run.job, nullptr, nullptr, run.ranges.Address(), 0), TestAbort);
    ASSERT_EQ(TestHost::aborts.size(), 1u);
    EXPECT_EQ(TestHost::aborts[0], kShortVertexFailure);
    EXPECT_EQ(TestHost::frameHead, nullptr);
}

// A second host, told apart from the test host by its abort alone.
std::vector<AbortRecord> gSecondHostAborts;

void SecondHostAbort(const char* typeName, const char* message)
{
    gSecondHostAborts.push_back({typeName, message});
    throw TestAbort{gSecondHostAborts.back()};
}

void* SecondHostResolve(const char* name)
{
    void* function = TestHost::Resolve(name);
    return std::string(name) == HEIGHTMESH_HOST_ABORT ? reinterpret_cast<void*>(&SecondHostAbort) : function;
}

// Initialising again once setup has armed the abort hands failures to the
// new host's abort, and the trampoline still pops the failing entry's frame,
// whether or not setup is called again.
TEST_F(HostBinding, InitializeAfterSetupRearmsWithTheNewHostAbort)
{
    for (bool setupAgain : {false, true}) {
        SCOPED_TRACE(setupAgain ? "setup called again" : "no second setup");
        library.initialize(&TestHost::Resolve);
        library.setupExtra(&TestHost::FrameList);
        TestHost::Reset();
        gSecondHostAborts.clear();

        library.initialize(&SecondHostResolve);
        if (setupAgain)
            library.setupExtra(&TestHost::FrameList);
        ShortVertexView run;
        TestHost::frameHead = OuterFrame();
        EXPECT_THROW(library.jobEntry(&run.job, nullptr, nullptr, run.ranges.Address(), 0), TestAbort);
        EXPECT_TRUE(TestHost::aborts.empty()) << "the first host's abort was called";
        ASSERT_EQ(gSecondHostAborts.size(), 1u);
        EXPECT_EQ(gSecondHostAborts[0], kShortVertexFailure);
        EXPECT_EQ(TestHost::frameHead, OuterFrame()) << "the failing entry's frame was left on the list";
    }
}

// On Windows the trap ends the process with an illegal-instruction exception,
// not a signal; the DLL's tests run without this case.
#ifndef _WIN32
using HostBindingDeathTest = HostBinding;

// A host abort that returns must not let the job go on to the refused write.
TEST_F(HostBindingDeathTest, ReturningHostAbortStopsTheJob)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            TestHost::abortMode = AbortMode::kReturn;
            ShortVertexView run;
            // The vertex buffer does have a ninth element: only the trap keeps the write out.
            library.jobEntry(&run.job, nullptr, nullptr, run.ranges.Address(), 0);
            std::exit(0);
        },
        ::testing::KilledBySignal(SIGILL), "");
}
#endif

}  // namespace
}  // namespace heightmesh::testing
