// The library's boundary with the host engine: the table of host functions
// resolved by name at initialisation, the per-entry abort frames and the abort
// trampoline that unwinds them before handing a failure to the host.
#pragma once

#include <stdint.h>

#include "heightmesh/job_abi.h"

// The ABI leaves the frame opaque to hosts; the library completes it. One
// per job entry call, in the entry's own storage: the list link and the
// vector registers xmm6..xmm15 as they stood when the frame was pushed (the
// 128-bit values a callee must preserve under the Windows x64 convention).
// Being the ABI's own type, the host's accessor is called through exactly
// the function type the host defined it with.
struct HeightmeshAbortFrame {
    HeightmeshAbortFrame* next;
    uint64_t unused;
    uint8_t preservedVectors[10][16];
};

namespace heightmesh {

using AbortFrame = HeightmeshAbortFrame;

// Field offsets used by the assembly trampoline.
inline constexpr int kAbortFrameNextOffset = 0;
inline constexpr int kAbortFramePreservedOffset = 16;
static_assert(__builtin_offsetof(AbortFrame, next) == kAbortFrameNextOffset);
static_assert(__builtin_offsetof(AbortFrame, preservedVectors) == kAbortFramePreservedOffset);

// The library's only mutable static state, written by the two initialisation
// exports before any job runs and read-only afterwards.
struct HostFunctionTable {
    HeightmeshSafetyCheckFn checkReadAndThrowNoEarlyOut;
    HeightmeshSafetyCheckFn checkWriteAndThrowNoEarlyOut;
    HeightmeshGetWorkStealingRangeFn getWorkStealingRange;
    HeightmeshPatchBufferMinMaxRangesFn patchBufferMinMaxRanges;
    HeightmeshAbortFn abort;
    HeightmeshFrameListAccessor frameListAccessor;
    HeightmeshAbortFn savedAbort;
};

inline constexpr int kHostTableAbortOffset = 32;
inline constexpr int kHostTableAccessorOffset = 40;
inline constexpr int kHostTableSavedAbortOffset = 48;
static_assert(__builtin_offsetof(HostFunctionTable, abort) == kHostTableAbortOffset);
static_assert(__builtin_offsetof(HostFunctionTable, frameListAccessor) == kHostTableAccessorOffset);
static_assert(__builtin_offsetof(HostFunctionTable, savedAbort) == kHostTableSavedAbortOffset);

}  // namespace heightmesh

extern "C" {
// The table is reached by name from the assembly trampoline.
extern heightmesh::HostFunctionTable heightmesh_host_functions __attribute__((visibility("hidden")));

// Installed in the abort slot by setup: pops the calling thread's top frame,
// restores its preserved vector registers and tail-calls the saved host abort
// with both arguments unchanged. Falls through to the saved abort when the
// thread has no frame.
[[noreturn]] void heightmesh_abort_trampoline(const char* typeName, const char* message)
    __attribute__((visibility("hidden")));

// Stores xmm6..xmm15 into the frame's preserved vector state.
void heightmesh_capture_preserved_vectors(uint8_t (*preserved)[16]) __attribute__((visibility("hidden")));

// The exports, under their dotted names (the job entry's is declared with it,
// in job/job_entry.cpp).
void heightmesh_initialize(HeightmeshHostResolver resolver) __asm__(HEIGHTMESH_EXPORT_INITIALIZE);
void heightmesh_initialize_externals(HeightmeshHostResolver resolver) __asm__(HEIGHTMESH_EXPORT_INITIALIZE_EXTERNALS);
void heightmesh_initialize_statics() __asm__(HEIGHTMESH_EXPORT_INITIALIZE_STATICS);
void heightmesh_setup_extra(HeightmeshFrameListAccessor accessor) __asm__(HEIGHTMESH_EXPORT_SETUP_EXTRA);
}

namespace heightmesh {

inline HostFunctionTable& HostFunctions() { return heightmesh_host_functions; }

void PushAbortFrame(AbortFrame* frame);
void PopAbortFrame();

// Ends the job through whatever the abort slot holds. A host abort that
// returns despite its contract stops at the trap instead of letting the caller
// go on to the access it was refused.
[[noreturn]] inline void RaiseAbort(const char* typeName, const char* message)
{
    heightmesh_host_functions.abort(typeName, message);
    __builtin_trap();
}

}  // namespace heightmesh
