// The AVX2 road of the vertex kernel: eight vertices per group, then four,
// compiled for AVX2 and taken only where the processor and the operating
// system support it (ProcessorHasAvx2). The packed code is the same as the
// SSE2 road's (vertex_lanes.h), so the bits are too.
#pragma once

#include <stdint.h>

#include "job/vertex_lanes.h"

namespace heightmesh {

// Whether the processor has AVX2 and the operating system saves the YMM
// registers: CPUID leaf 1 (OSXSAVE and AVX), XCR0 (XMM and YMM state), CPUID
// leaf 7 (AVX2). Read with the instructions themselves, which imports
// nothing and needs no run-time library.
inline bool ProcessorHasAvx2()
{
    uint32_t a, b, c, d;
    asm volatile("cpuid" : "=a"(a), "=b"(b), "=c"(c), "=d"(d) : "a"(0u), "c"(0u));
    if (a < 7)
        return false;
    asm volatile("cpuid" : "=a"(a), "=b"(b), "=c"(c), "=d"(d) : "a"(1u), "c"(0u));
    const uint32_t kOsxsave = 1u << 27, kAvx = 1u << 28;
    if ((c & (kOsxsave | kAvx)) != (kOsxsave | kAvx))
        return false;
    uint32_t xcr0Low, xcr0High;
    asm volatile("xgetbv" : "=a"(xcr0Low), "=d"(xcr0High) : "c"(0u));
    const uint32_t kXmmAndYmmState = 6;
    if ((xcr0Low & kXmmAndYmmState) != kXmmAndYmmState)
        return false;
    asm volatile("cpuid" : "=a"(a), "=b"(b), "=c"(c), "=d"(d) : "a"(7u), "c"(0u));
    return (b & (1u << 5)) != 0;
}

// GCC takes the instruction set for a whole region; clang gives it to each
// function declared in the region, and inlines the helpers into it.
#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx2"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx2")
#endif

// The AVX2 road of one interior stretch. Everything it inlines, the exact
// road of a group in doubt included, is compiled for AVX2 here; nothing else
// is, so the SSE2 road never meets an AVX2 instruction.
[[gnu::noinline]] inline void ExecuteInteriorAvx2(const HeightfieldMeshJob& record, int32_t& i, int32_t& x, int32_t z,
                                                  int32_t end)
{
    if (z < WrapSub(record.height, 1)) {
        ExecuteInteriorLanes<8, true>(record, i, x, z, end);
        ExecuteInteriorLanes<4, true>(record, i, x, z, end);
    } else {
        ExecuteInteriorLanes<8, false>(record, i, x, z, end);
        ExecuteInteriorLanes<4, false>(record, i, x, z, end);
    }
}

#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif

}  // namespace heightmesh
