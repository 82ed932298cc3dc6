// The ten preserved vector registers of the Windows x64 convention, for real:
// a host thunk starts the job entry with known values in xmm6..xmm15, and the
// host abort (or the thunk, after a normal return) finds exactly those values
// again. A host write check in mid-job shows that the library's own code has
// used the registers by then, so that on the failure path only the abort
// trampoline's restore can bring the values back.
#include <gtest/gtest.h>

#include <csetjmp>
#include <cstdint>
#include <cstring>
#include <string>

#include "support/loaded_library.h"
#include "support/test_grid.h"
#include "support/test_host.h"

namespace {

using VectorState = uint8_t[10][16];

struct EntryCall {
    HeightmeshJobEntryFn entry;
    HeightmeshHeightfieldMeshJob* job;
    void* additional;
    void* patchData;
    HeightmeshWorkRanges* ranges;
    int32_t jobIndex;
};
static_assert(offsetof(EntryCall, entry) == 0 && offsetof(EntryCall, job) == 8 &&
                  offsetof(EntryCall, additional) == 16 && offsetof(EntryCall, patchData) == 24 &&
                  offsetof(EntryCall, ranges) == 32 && offsetof(EntryCall, jobIndex) == 40,
              "EntryCall is read by register_thunks.S at these offsets");

int gChecks = 0;

}  // namespace

extern "C" {
alignas(16) VectorState heightmesh_test_vectors_after_return;
alignas(16) VectorState heightmesh_test_vectors_at_abort;
alignas(16) VectorState heightmesh_test_vectors_at_check;

void heightmesh_test_call_with_vectors(const VectorState* values, const EntryCall* call);
void heightmesh_test_capturing_abort(const char* typeName, const char* message);
void heightmesh_test_capturing_check(HeightmeshAtomicSafetyHandle* handle);

void heightmesh_test_raise_abort(const char* typeName, const char* message)
{
    heightmesh::testing::TestHost::Abort(typeName, message);
}

void heightmesh_test_record_check(HeightmeshAtomicSafetyHandle*) { ++gChecks; }
}

namespace heightmesh::testing {
namespace {

void* ResolveCapturing(const char* name)
{
    const std::string key = name;
    if (key == HEIGHTMESH_HOST_ABORT)
        return reinterpret_cast<void*>(&heightmesh_test_capturing_abort);
    if (key == HEIGHTMESH_HOST_CHECK_WRITE)
        return reinterpret_cast<void*>(&heightmesh_test_capturing_check);
    return TestHost::Resolve(name);
}

// Distinct bytes in every register and lane, none zero.
void FillDistinct(VectorState& values)
{
    for (int r = 0; r < 10; ++r)
        for (int b = 0; b < 16; ++b)
            values[r][b] = static_cast<uint8_t>(0x11 + r * 16 + b);
}

// Names each register that differs from the expected state.
std::string Differences(const VectorState& actual, const VectorState& expected)
{
    std::string text;
    for (int r = 0; r < 10; ++r) {
        if (std::memcmp(actual[r], expected[r], 16) == 0)
            continue;
        char line[96];
        std::snprintf(line, sizeof line, "xmm%d holds %02x%02x..%02x, not %02x%02x..%02x\n", r + 6, actual[r][0],
                      actual[r][1], actual[r][15], expected[r][0], expected[r][1], expected[r][15]);
        text += line;
    }
    return text;
}

class PreservedVectors : public ::testing::Test {
protected:
    void SetUp() override
    {
        TestHost::Reset();
        gChecks = 0;
        library.initialize(&ResolveCapturing);
        library.setupExtra(&TestHost::FrameList);
        FillDistinct(values);
        std::memset(heightmesh_test_vectors_after_return, 0, sizeof(VectorState));
        std::memset(heightmesh_test_vectors_at_abort, 0, sizeof(VectorState));
        std::memset(heightmesh_test_vectors_at_check, 0, sizeof(VectorState));
        // A stale version on the triangle buffer sends every triangle write
        // through the capturing host check.
        job = grid.Job();
        job.triangles.safety.version = 8;
    }
    void TearDown() override { TestHost::Reset(); }

    // The registers the library left in mid-job must differ from the entry's,
    // or the test could not tell a missing restore from a working one.
    void ExpectLibraryUsedTheRegisters()
    {
        EXPECT_GT(gChecks, 0);
        EXPECT_NE(Differences(heightmesh_test_vectors_at_check, values), "")
            << "the library left xmm6..xmm15 untouched up to the host check";
    }

    LoadedLibrary library;
    TestGrid grid{3, 3};
    HeightmeshHeightfieldMeshJob job{};
    ScriptedRanges ranges{{{0, 9}}};
    alignas(16) VectorState values;
};

// The host abort leaves by exception or by long jump; either way it is the
// trampoline that hands it the registers.
class PreservedVectorsOnFailure : public PreservedVectors, public ::testing::WithParamInterface<AbortMode> {};

TEST_P(PreservedVectorsOnFailure, HostAbortStartsWithTheEntryValues)
{
    // The last cell's third triangle entry is beyond the view.
    job.triangles.length = 20;
    job.triangles.maxIndex = 19;
    TestHost::abortMode = GetParam();
    std::jmp_buf target;
    TestHost::jumpTarget = &target;
    const EntryCall call{library.jobEntry, &job, nullptr, nullptr, ranges.Address(), 0};
    volatile bool failed = false;
    if (setjmp(target) == 0) {
        try {
            heightmesh_test_call_with_vectors(&values, &call);
        } catch (const TestAbort&) {
            failed = true;
        }
    } else {
        failed = true;
    }
    ASSERT_TRUE(failed) << "the job did not fail";
    ASSERT_EQ(TestHost::aborts.size(), 1u);
    EXPECT_EQ(TestHost::aborts[0],
              (AbortRecord{"System.IndexOutOfRangeException", "Index 20 is out of range of '20' Length."}));
    EXPECT_EQ(Differences(heightmesh_test_vectors_at_abort, values), "");
    EXPECT_EQ(TestHost::frameHead, nullptr);
    ExpectLibraryUsedTheRegisters();
}

TEST_F(PreservedVectors, NormalReturnGivesBackTheEntryValues)
{
    const EntryCall call{library.jobEntry, &job, nullptr, nullptr, ranges.Address(), 0};
    heightmesh_test_call_with_vectors(&values, &call);
    EXPECT_TRUE(TestHost::aborts.empty());
    EXPECT_EQ(Differences(heightmesh_test_vectors_after_return, values), "");
    EXPECT_EQ(TestHost::frameHead, nullptr);
    EXPECT_EQ(grid.triangles[18], 4);  // the job did run to the last cell
    ExpectLibraryUsedTheRegisters();
}

INSTANTIATE_TEST_SUITE_P(LeavingBy, PreservedVectorsOnFailure,
                         ::testing::Values(AbortMode::kThrow, AbortMode::kLongJump),
                         [](const ::testing::TestParamInfo<AbortMode>& mode) {
                             return mode.param == AbortMode::kThrow ? "Exception" : "LongJump";
                         });

}  // namespace
}  // namespace heightmesh::testing
