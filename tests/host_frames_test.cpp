// Abort frames and the abort trampoline, through the static build.
#include <gtest/gtest.h>

#include <array>
#include <cstring>

#include "host/host_binding.h"

extern "C" {
// The vector registers as the host abort found them on entry.
alignas(16) unsigned char heightmesh_test_vectors_at_abort[10][16];
void heightmesh_test_throwing_abort(const char* typeName, const char* message);
void heightmesh_test_capturing_abort(const char* typeName, const char* message);
}

// Records xmm6..xmm15 before any compiled code can touch them, then throws.
asm(R"(
        .text
        .globl  heightmesh_test_capturing_abort
        .type   heightmesh_test_capturing_abort, @function
heightmesh_test_capturing_abort:
        .cfi_startproc
        movdqu  %xmm6,  heightmesh_test_vectors_at_abort+0(%rip)
        movdqu  %xmm7,  heightmesh_test_vectors_at_abort+16(%rip)
        movdqu  %xmm8,  heightmesh_test_vectors_at_abort+32(%rip)
        movdqu  %xmm9,  heightmesh_test_vectors_at_abort+48(%rip)
        movdqu  %xmm10, heightmesh_test_vectors_at_abort+64(%rip)
        movdqu  %xmm11, heightmesh_test_vectors_at_abort+80(%rip)
        movdqu  %xmm12, heightmesh_test_vectors_at_abort+96(%rip)
        movdqu  %xmm13, heightmesh_test_vectors_at_abort+112(%rip)
        movdqu  %xmm14, heightmesh_test_vectors_at_abort+128(%rip)
        movdqu  %xmm15, heightmesh_test_vectors_at_abort+144(%rip)
        jmp     heightmesh_test_throwing_abort
        .cfi_endproc
        .size   heightmesh_test_capturing_abort, .-heightmesh_test_capturing_abort
)");

namespace {

struct Raised {
    std::string typeName;
    std::string message;
};

thread_local heightmesh::AbortFrame* tFrameHead = nullptr;
heightmesh::AbortFrame** FrameList() { return &tFrameHead; }

}  // namespace

extern "C" void heightmesh_test_throwing_abort(const char* typeName, const char* message)
{
    throw Raised{typeName, message};
}

namespace heightmesh {
namespace {

class AbortFrames : public ::testing::Test {
protected:
    void SetUp() override
    {
        tFrameHead = nullptr;
        HostFunctions() = HostFunctionTable{};
        HostFunctions().abort = &heightmesh_test_throwing_abort;
        heightmesh_setup_extra(&FrameList);
    }
    void TearDown() override { tFrameHead = nullptr; }

    // Calls the abort slot as library code does and returns what reached the host.
    static Raised RaiseThroughSlot(const char* typeName, const char* message)
    {
        try {
            RaiseAbort(typeName, message);
        } catch (const Raised& raised) {
            return raised;
        }
    }
};

TEST_F(AbortFrames, SetupArmsTheTrampolineAndKeepsTheHostAbort)
{
    EXPECT_EQ(HostFunctions().abort, &heightmesh_abort_trampoline);
    EXPECT_EQ(HostFunctions().savedAbort, &heightmesh_test_throwing_abort);
    heightmesh_setup_extra(&FrameList);
    EXPECT_EQ(HostFunctions().savedAbort, &heightmesh_test_throwing_abort);
}

TEST_F(AbortFrames, NestedFramesPopLastInFirstOut)
{
    AbortFrame outer, inner;
    PushAbortFrame(&outer);
    EXPECT_EQ(tFrameHead, &outer);
    EXPECT_EQ(outer.next, nullptr);
    PushAbortFrame(&inner);
    EXPECT_EQ(tFrameHead, &inner);
    EXPECT_EQ(inner.next, &outer);
    PopAbortFrame();
    EXPECT_EQ(tFrameHead, &outer);
    PopAbortFrame();
    EXPECT_EQ(tFrameHead, nullptr);
}

TEST_F(AbortFrames, TrampolineRemovesOnlyTheTopFrameAndPassesBothTextsOn)
{
    AbortFrame outer, inner;
    PushAbortFrame(&outer);
    PushAbortFrame(&inner);
    const Raised raised = RaiseThroughSlot("Some.Type", "some message");
    EXPECT_EQ(raised.typeName, "Some.Type");
    EXPECT_EQ(raised.message, "some message");
    EXPECT_EQ(tFrameHead, &outer);

    const Raised second = RaiseThroughSlot("Other.Type", "");
    EXPECT_EQ(second.typeName, "Other.Type");
    EXPECT_EQ(tFrameHead, nullptr);
}

TEST_F(AbortFrames, TrampolineWithoutAFrameGoesStraightToTheHostAbort)
{
    const Raised raised = RaiseThroughSlot("No.Frame", "none on the list");
    EXPECT_EQ(raised.typeName, "No.Frame");
    EXPECT_EQ(raised.message, "none on the list");
    EXPECT_EQ(tFrameHead, nullptr);
}

TEST_F(AbortFrames, TrampolineRestoresThePreservedVectorsBeforeTheHostAbortRuns)
{
    HostFunctions().savedAbort = &heightmesh_test_capturing_abort;
    AbortFrame frame;
    PushAbortFrame(&frame);
    // Stand-in register values, distinct per byte.
    for (int r = 0; r < 10; ++r)
        for (int b = 0; b < 16; ++b)
            frame.preservedVectors[r][b] = static_cast<uint8_t>(r * 16 + b + 1);
    std::memset(heightmesh_test_vectors_at_abort, 0, sizeof heightmesh_test_vectors_at_abort);

    RaiseThroughSlot("T", "M");
    EXPECT_EQ(std::memcmp(heightmesh_test_vectors_at_abort, frame.preservedVectors, sizeof frame.preservedVectors), 0);
    EXPECT_EQ(tFrameHead, nullptr);
}

}  // namespace
}  // namespace heightmesh
